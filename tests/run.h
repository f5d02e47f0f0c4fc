#ifndef TAGJOIN_TEST_RUN_H
#define TAGJOIN_TEST_RUN_H

#include <cstddef>
#include <sys/types.h>
#include <string>
#include <vector>

// What a run of the program left behind.
struct Outcome {
	std::string out;
	std::string err;
	int status = -1;        // exit status, or -1 when a signal ended it
	int signal = 0;

	bool operator==(const Outcome &) const = default;
};

// How standard input reaches the program.
enum class Feed {
	pipe,           // through a pipe, as fast as it takes it
	drip,           // through a pipe, one chunk a read
	file,           // from a regular file
};

struct Invocation {
	std::string input;
	Feed feed = Feed::pipe;
	// Chunk sizes for Feed::drip, used in turn.
	std::vector<std::size_t> chunks;
	std::vector<std::string> args;
	// Standard input opened from this path instead, or closed ("-").
	std::string stdin_path;
	// Standard input this descriptor of the test's instead, from where
	// it stands (the test closes it).
	int stdin_fd = -1;
	// The input pipe held open once the input is sent, until the program
	// has ended: it never sees the end of its input.
	bool input_held_open = false;
	// Standard output opened onto this path instead, or closed ("-").
	std::string stdout_path;
	// Standard error closed, or a terminal of this many columns (0: a
	// pipe).
	bool stderr_closed = false;
	unsigned short stderr_columns = 0;
	// Standard output a pipe whose reader has already gone.
	bool stdout_broken = false;
	// The program starts with SIGPIPE ignored.
	bool ignore_sigpipe = false;
	// Output taken at most this many bytes a read (0: as much as there is).
	std::size_t read_slice = 0;
	// Output read up to this many bytes, then its pipe closed (0: to its
	// end).
	std::size_t read_most = 0;
	// With Feed::drip: signals sent, in turn, once the program has taken
	// the first chunk and waits for more.
	std::vector<int> signals;
	// The program's standard input or output pipe left non-blocking.
	bool nonblocking_input = false;
	bool nonblocking_output = false;
	// A program, with its arguments, that runs the program: it is given
	// the program's path and arguments after its own.
	std::vector<std::string> runner;
	// Milliseconds of idling after each chunk taken (Feed::drip) and
	// after each slice of output read (read_slice).
	int pause_ms = 0;
};

// The program's CPU time, user and system, goes to *cpu_seconds if given.
Outcome run_tagjoin(const Invocation &run, double *cpu_seconds = nullptr);

// Starts the program on these descriptors as its standard input, output
// and error (-1: that stream closed), with SIGPIPE at its default or
// ignored; built with TAGPICK_ONE_CPU, on one CPU, with whatever runs it.
// The caller waits for it.
pid_t start_tagjoin(int in, int out, int err,
    const std::vector<std::string> &args = {}, bool ignore_sigpipe = false,
    const std::vector<std::string> &runner = {});
Outcome run_tagjoin(const std::string &input);

// Whether the program runs under an emulator such as qemu-user, which
// behaves differently in a few places that the tests name.
bool under_emulator();

// Writes all n bytes at p, or throws naming the call that failed.
void write_all(int fd, const char *p, std::size_t n);

// What fd gives until its end.
std::string read_all(int fd);

// Expects the outcome wanted, field by field (the signal that ended the
// program included), the output spelled out, and names what was run when
// it differs.
void expect_outcome(const Outcome &got, const Outcome &want, const std::string &what);

// Spells out bytes so that a failing case shows what it was fed.
std::string visible(const std::string &bytes, std::size_t most = 300);

#endif
