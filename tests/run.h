#ifndef TAGJOIN_TEST_RUN_H
#define TAGJOIN_TEST_RUN_H

#include <cstddef>
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
	// Standard output opened onto this path instead, or closed ("-").
	std::string stdout_path;
};

Outcome run_tagjoin(const Invocation &run);
Outcome run_tagjoin(const std::string &input);

// Spells out bytes so that a failing case shows what it was fed.
std::string visible(const std::string &bytes, std::size_t most = 300);

#endif
