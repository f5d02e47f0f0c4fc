#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef TAGJOIN_EMULATOR
#define TAGJOIN_EMULATOR ""
#endif

namespace {

void check(bool ok, const char *what)
{
	if (!ok)
		throw std::runtime_error(std::string(what) + ": " +
		    std::strerror(errno));
}

// A regular file holding the input, for runs that read from one.
int file_with(const std::string &input)
{
	int fd = memfd_create("tagjoin-input", 0);
	check(fd >= 0, "memfd_create");
	write_all(fd, input.data(), input.size());
	check(lseek(fd, 0, SEEK_SET) == 0, "lseek");
	return fd;
}

// Reads what is there without waiting; false at the end of the stream,
// which a terminal tells by EIO once its other side is closed.
bool drain(int fd, std::string &into, std::size_t most = 65536)
{
	char buf[65536];
	ssize_t n = read(fd, buf, std::min(most, sizeof buf));
	if (n > 0)
		into.append(buf, static_cast<std::size_t>(n));
	return n > 0 || (n < 0 && errno != EIO);
}

// A pseudo-terminal of that many columns, as a pipe would be: fds[0] the
// side read, fds[1] the program's.  Raw, so that bytes pass unchanged.
void open_terminal(int fds[2], unsigned short columns)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0,
	    "posix_openpt");
	int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
	check(slave >= 0, "open the terminal");
	termios t;
	check(tcgetattr(slave, &t) == 0, "tcgetattr");
	cfmakeraw(&t);
	check(tcsetattr(slave, TCSANOW, &t) == 0, "tcsetattr");
	winsize size{};
	size.ws_row = 24;
	size.ws_col = columns;
	check(ioctl(master, TIOCSWINSZ, &size) == 0, "TIOCSWINSZ");
	fds[0] = master;
	fds[1] = slave;
}

std::size_t unread_in_pipe(int fd)
{
	int n = 0;
	check(ioctl(fd, FIONREAD, &n) == 0, "FIONREAD");
	return static_cast<std::size_t>(n);
}

// The descriptor a standard stream is to be opened on: the file at path,
// none when path is "-" (the stream is closed), or otherwise fallback.
int stream_from(const std::string &path, int flags, int fallback)
{
	if (path.empty())
		return fallback;
	if (path == "-")
		return -1;
	int fd = open(path.c_str(), flags);
	check(fd >= 0, "open");
	return fd;
}

// The state letter of a process, as /proc shows it: S waiting, T stopped.
char state_of(pid_t pid)
{
	char path[64], buf[512];
	std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
	int fd = open(path, O_RDONLY);
	check(fd >= 0, "open /proc/PID/stat");
	ssize_t n = read(fd, buf, sizeof buf - 1);
	close(fd);
	check(n > 0, "read /proc/PID/stat");
	buf[n] = '\0';
	const char *paren = std::strrchr(buf, ')');
	return paren && paren[1] == ' ' ? paren[2] : '?';
}

// Waits until the process is in the state wanted, or has ended (Z): a
// faulty program that ends early must fail its test, not hang it.
void wait_for_state(pid_t pid, char want)
{
	for (char now; (now = state_of(pid)) != want && now != 'Z';)
		usleep(200);
}

// Sends the signals to a program that waits in a read, waiting after a
// stop until it has stopped.
void interrupt(pid_t pid, const std::vector<int> &signals)
{
	wait_for_state(pid, 'S');
	for (int sig : signals) {
		check(kill(pid, sig) == 0, "kill");
		wait_for_state(pid, sig == SIGSTOP ? 'T' : 'S');
	}
}

} // namespace

void write_all(int fd, const char *p, std::size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		check(w > 0, "write");
		p += w;
		n -= static_cast<std::size_t>(w);
	}
}

void expect_outcome(const Outcome &got, const Outcome &want, const std::string &what)
{
	// Every byte compared; shown, when they differ, from the first that
	// does.
	if (got.out != want.out) {
		std::size_t n = std::min(got.out.size(), want.out.size());
		std::size_t at = static_cast<std::size_t>(std::mismatch(got.out.begin(),
		    got.out.begin() + static_cast<std::ptrdiff_t>(n), want.out.begin()).first -
		    got.out.begin());
		std::size_t from = at < 100 ? 0 : at - 100;
		ADD_FAILURE() << what << ": the output differs at byte " << at << " of "
		    << got.out.size() << " (" << want.out.size() << " wanted); from byte "
		    << from << ":\n" << visible(got.out.substr(from)) << "\nnot\n"
		    << visible(want.out.substr(from));
	}
	EXPECT_EQ(got.err, want.err) << what;
	EXPECT_EQ(got.status, want.status) << what;
	EXPECT_EQ(got.signal, want.signal) << what;
}

std::string read_all(int fd)
{
	std::string s;
	char buf[65536];
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
		s.append(buf, static_cast<std::size_t>(n));
	return s;
}

bool under_emulator()
{
	return std::string_view{TAGJOIN_EMULATOR} != "";
}

Outcome run_tagjoin(const std::string &input)
{
	return run_tagjoin(Invocation{.input = input});
}

pid_t start_tagjoin(int in, int out, int err,
    const std::vector<std::string> &args, bool ignore_sigpipe,
    const std::vector<std::string> &runner)
{
	// A program that stops reading early must not end the test.
	std::signal(SIGPIPE, SIG_IGN);

	// A program built for another processor runs under its emulator,
	// which takes the program's path as its first argument.
	std::vector<std::string> words = {TAGJOIN_PATH};
	if (under_emulator())
		words.insert(words.begin(), TAGJOIN_EMULATOR);
	words.insert(words.begin(), runner.begin(), runner.end());
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);

	pid_t pid = fork();
	check(pid >= 0, "fork");
	if (pid == 0) {
#ifdef TAGPICK_ONE_CPU
		// The CPU it is on is the only one it, and what it execs, may
		// use: tagpick then reads on one thread.
		cpu_set_t one;
		CPU_ZERO(&one);
		CPU_SET(sched_getcpu(), &one);
		if (sched_setaffinity(0, sizeof one, &one) != 0) {
			std::perror("sched_setaffinity");
			_exit(127);
		}
#endif
		std::signal(SIGPIPE, ignore_sigpipe ? SIG_IGN : SIG_DFL);
		const int from[3] = {in, out, err};
		for (int fd = 0; fd < 3; ++fd)
			if (from[fd] < 0)
				close(fd);
			else
				dup2(from[fd], fd);
		for (int fd = 3; fd < 64; ++fd)
			close(fd);
		execv(argv[0], argv.data());
		_exit(127);
	}
	return pid;
}

Outcome run_tagjoin(const Invocation &run, double *cpu_seconds)
{
	int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2];
	int stdin_fd = run.stdin_fd >= 0 ? dup(run.stdin_fd) :
	    stream_from(run.stdin_path, O_RDONLY, -1);
	if (run.stdin_path.empty() && run.stdin_fd < 0) {
		if (run.feed == Feed::file)
			stdin_fd = file_with(run.input);
		else {
			check(pipe(in) == 0, "pipe");
			stdin_fd = in[0];
		}
	}
	int stdout_fd = stream_from(run.stdout_path, O_WRONLY, -1);
	if (run.stdout_path.empty()) {
		check(pipe(out) == 0, "pipe");
		stdout_fd = out[1];
	}
	if (run.stderr_columns > 0)
		open_terminal(err, run.stderr_columns);
	else
		check(pipe(err) == 0, "pipe");
	if (run.nonblocking_input)
		check(fcntl(stdin_fd, F_SETFL, O_NONBLOCK) == 0, "fcntl");
	if (run.nonblocking_output)
		check(fcntl(stdout_fd, F_SETFL, O_NONBLOCK) == 0, "fcntl");
	if (run.stdout_broken) {
		close(out[0]);
		out[0] = -1;
	}

	pid_t pid = start_tagjoin(stdin_fd, stdout_fd,
	    run.stderr_closed ? -1 : err[1], run.args,
	    run.ignore_sigpipe, run.runner);
	for (int fd : {stdin_fd, stdout_fd, err[1]})
		if (fd >= 0)
			close(fd);

	Outcome o;
	int to = in[1];
	if (to >= 0)
		fcntl(to, F_SETFL, O_NONBLOCK);
	std::size_t sent = 0, chunk_end = 0, turn = 0;
	bool out_open = out[0] >= 0, err_open = true;
	bool interrupted = run.signals.empty();
	std::size_t paused_at = 0;
	while (out_open || err_open) {
		if (to >= 0 && sent == run.input.size() && !run.input_held_open) {
			close(to);
			to = -1;
		}
		bool dripping = to >= 0 && run.feed == Feed::drip;
		// A drip waits until the program has taken the last chunk
		// whole, so that each of its reads sees exactly one chunk.
		bool taken = dripping && sent == chunk_end &&
		    unread_in_pipe(to) == 0;
		if (taken && sent > 0 && !interrupted) {
			interrupt(pid, run.signals);
			interrupted = true;
		}
		if (taken && sent > paused_at && run.pause_ms > 0) {
			usleep(run.pause_ms * 1000);
			paused_at = sent;
		}
		bool may_send = to >= 0 && sent < run.input.size() &&
		    (!dripping || sent < chunk_end || taken);
		pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
		    {err_open ? err[0] : -1, POLLIN, 0},
		    {may_send ? to : -1, POLLOUT, 0}};
		check(poll(fds, 3, dripping && !may_send ? 1 : -1) >= 0 ||
		    errno == EINTR, "poll");
		if (fds[0].revents) {
			std::size_t slice = run.read_slice ? run.read_slice : 65536;
			if (run.read_most)
				slice = std::min(slice, run.read_most - o.out.size());
			out_open = drain(out[0], o.out, slice);
			if (run.read_slice && run.pause_ms > 0)
				usleep(run.pause_ms * 1000);
			if (run.read_most && o.out.size() == run.read_most) {
				close(out[0]);
				out[0] = -1;
				out_open = false;
			}
		}
		if (fds[1].revents)
			err_open = drain(err[0], o.err);
		if (fds[2].revents & (POLLERR | POLLHUP)) {
			sent = run.input.size();    // the program has gone
		} else if (fds[2].revents) {
			if (dripping && sent == chunk_end)
				chunk_end = std::min(run.input.size(), sent +
				    run.chunks[turn++ % run.chunks.size()]);
			std::size_t want = dripping ? chunk_end - sent :
			    run.input.size() - sent;
			ssize_t n = write(to, run.input.data() + sent, want);
			if (n > 0)
				sent += static_cast<std::size_t>(n);
			else if (errno == EPIPE)
				sent = run.input.size();
		}
	}
	if (to >= 0)
		close(to);
	if (out[0] >= 0)
		close(out[0]);
	close(err[0]);

	int ws;
	rusage usage;
	check(wait4(pid, &ws, 0, &usage) == pid, "wait4");
	if (cpu_seconds)
		*cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec +
		    usage.ru_stime.tv_sec) + (usage.ru_utime.tv_usec +
		    usage.ru_stime.tv_usec) / 1e6;
	if (WIFEXITED(ws))
		o.status = WEXITSTATUS(ws);
	else if (WIFSIGNALED(ws))
		o.signal = WTERMSIG(ws);
	return o;
}

std::string visible(const std::string &bytes, std::size_t most)
{
	std::string s;
	for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
		unsigned char c = static_cast<unsigned char>(bytes[i]);
		if (c == '\n')
			s += "\\n\n";
		else if (c >= 0x20 && c < 0x7f && c != '\\')
			s += static_cast<char>(c);
		else {
			char hex[8];
			std::snprintf(hex, sizeof hex, "\\x%02x", c);
			s += hex;
		}
	}
	if (bytes.size() > most)
		s += "... (" + std::to_string(bytes.size()) + " bytes)";
	return s;
}
