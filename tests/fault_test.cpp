#include "model.h"
#include "run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

namespace {

// Enough records that the output overflows a pipe several times over;
// 12000 overflow even the 1 MiB pipe the program asks for, 40000 by four
// times.
std::string many_records(int count = 3000)
{
	std::string in;
	for (int i = 0; i < count; ++i)
		in += "rs" + std::to_string(i) + " x\r\nSNP y\nVAL z \n"
		    "CTG " + std::string(80, 'c') + "\nCTG w\n";
	return in;
}

struct Fault {
	const char *what;
	Invocation run;
	Outcome want;                   // empty: what the model says
	// The other end idles: the program must sleep meanwhile, not spin.
	bool idles = false;
};

TEST(Faults, EachEndsAsItShould)
{
	const std::string small = "rs\nSNP\nVAL\nCTG\n";
	const std::string big = many_records();
	const std::string huge = many_records(12000);
	const std::string huger = many_records(40000);
	const Fault faults[] = {
		{"input a directory", {.input = small, .stdin_path = "/"},
		    {"", "error reading input: Is a directory", 255}},
		{"output to a full device",
		    {.input = small, .stdout_path = "/dev/full"},
		    {"", "error writing output: No space left on device", 255}},
		{"output closed", {.input = small, .stdout_path = "-"},
		    {"", "error writing output: Bad file descriptor", 255}},
		{"reader gone, SIGPIPE ignored",
		    {.input = small, .stdout_broken = true, .ignore_sigpipe = true},
		    {"", "error writing output: Broken pipe", 255}},
		{"reader gone, SIGPIPE at its default",
		    {.input = small, .stdout_broken = true},
		    {"", "", -1, SIGPIPE}},
		{"output read seven bytes at a time",
		    {.input = big, .read_slice = 7}, {}},
		{"input in slices of one to eight bytes",
		    {.input = big.substr(0, 20000), .feed = Feed::drip,
		        .chunks = {1, 2, 3, 5, 8}}, {}},
		{"stopped and continued while it waits for input",
		    {.input = big, .feed = Feed::drip, .chunks = {1000, 1 << 20},
		        .signals = {SIGSTOP, SIGCONT}}, {}},
		{"window change while it waits for input",
		    {.input = big, .feed = Feed::drip, .chunks = {999, 1 << 20},
		        .signals = {SIGWINCH}}, {}},
		{"non-blocking input fed slowly",
		    {.input = big, .feed = Feed::drip, .chunks = {1 << 15},
		        .nonblocking_input = true, .pause_ms = 40}, {}, true},
		{"non-blocking output drained slowly",
		    {.input = huger, .read_slice = 1 << 16,
		        .nonblocking_output = true, .pause_ms = 8}, {}, true},
		{"non-blocking input and output, both slow",
		    {.input = huge, .feed = Feed::drip, .chunks = {1 << 17},
		        .read_slice = 1 << 16, .nonblocking_input = true,
		        .nonblocking_output = true, .pause_ms = 10}, {}, true},
	};
	for (const Fault &f : faults) {
		SCOPED_TRACE(f.what);
		Outcome want = f.want == Outcome{} ? model(f.run.input) : f.want;
		double cpu = 0;
		auto start = std::chrono::steady_clock::now();
		Outcome got = run_tagjoin(f.run, &cpu);
		std::chrono::duration<double> wall =
		    std::chrono::steady_clock::now() - start;
		// A program that retried at once, instead of sleeping until
		// the other end is ready, would be busy all the while.
		if (f.idles) {
			EXPECT_LT(cpu, wall.count() / 4) << wall.count() << " s";
		}
		EXPECT_EQ(got.out.size(), want.out.size());
		EXPECT_TRUE(got.out == want.out);
		EXPECT_EQ(got.err, want.err);
		EXPECT_EQ(got.status, want.status);
		EXPECT_EQ(got.signal, want.signal);
	}
}

// qemu-user opens the program file itself, on the lowest free descriptor:
// started with standard input closed, the program finds the file there.
TEST(Faults, InputClosed)
{
	if (under_emulator())
		GTEST_SKIP() << "under qemu-user descriptor 0 holds the program file";
	Outcome got = run_tagjoin(
	    Invocation{.input = "rs\nSNP\n", .stdin_path = "-"});
	EXPECT_EQ(got, (Outcome{"", "error reading input: Bad file descriptor",
	    255}));
}

} // namespace
