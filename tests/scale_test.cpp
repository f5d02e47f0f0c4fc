// Streams of billions of lines, made and checked on the fly through pipes:
// line numbers past 2^31 and memory that does not grow with the input.

#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t block = 1 << 20;

struct Stream {
	std::uint64_t ctg_lines;
	std::uint64_t out_bytes = 0;
	bool out_as_expected = true;
	std::string err;
	int status = -1;
	long peak_kib = 0;              // the program's peak resident set
};

long peak_kib_of(pid_t pid)
{
	char path[64];
	std::snprintf(path, sizeof path, "/proc/%d/status", pid);
	FILE *f = std::fopen(path, "r");
	if (!f)
		return -1;
	char line[256];
	long kib = -1;
	while (std::fgets(line, sizeof line, f))
		if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
			break;
	std::fclose(f);
	return kib;
}

// "rs", "SNP", "VAL", then ctg_lines lines "CTG " (the blank trimmed), then
// "x": the run must end at "x", after the whole record has been joined.
// A write that fails (the program gone) fails the test, not the run.
void feed(int fd, pid_t pid, Stream &s)
{
	try {
		write_all(fd, "rs\nSNP\nVAL\n", 11);
		std::string ctg;
		for (std::size_t i = 0; i < block / 5; ++i)
			ctg += "CTG \n";
		for (std::uint64_t left = s.ctg_lines; left > 0;) {
			std::uint64_t n = std::min<std::uint64_t>(left, block / 5);
			write_all(fd, ctg.data(), n * 5);
			left -= n;
		}
		// Measured while the program waits for the last line, all
		// else taken.
		for (int n = 1; n > 0;)
			ioctl(fd, FIONREAD, &n);
		s.peak_kib = peak_kib_of(pid);
		write_all(fd, "x\n", 2);
	} catch (const std::exception &e) {
		ADD_FAILURE() << e.what();
	}
	close(fd);
}

// Checks the output as it comes: "rs | SNP | VAL", " | CTG" for every CTG
// line, then the line feed that closes the record.
void check_output(int fd, Stream &s)
{
	const std::string head = "rs | SNP | VAL";
	std::string repeat;
	while (repeat.size() < block + 6)
		repeat += " | CTG";
	const std::uint64_t body_end = head.size() + 6 * s.ctg_lines;
	std::string buf(block, '\0');
	for (;;) {
		ssize_t n = read(fd, buf.data(), buf.size());
		if (n <= 0)
			break;
		for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
			std::uint64_t at = s.out_bytes + i;
			std::size_t len;
			bool same;
			if (at < head.size()) {
				len = std::min<std::size_t>(n - i, head.size() - at);
				same = std::memcmp(&buf[i], &head[at], len) == 0;
			} else if (at < body_end) {
				len = std::min<std::uint64_t>(n - i, body_end - at);
				same = std::memcmp(&buf[i],
				    &repeat[(at - head.size()) % 6], len) == 0;
			} else {
				len = 1;
				same = at == body_end && buf[i] == '\n';
			}
			s.out_as_expected = s.out_as_expected && same;
			i += len;
		}
		s.out_bytes += static_cast<std::uint64_t>(n);
	}
}

Stream run_stream(std::uint64_t ctg_lines)
{
	Stream s{ctg_lines};
	int in[2], out[2], err[2];
	if (pipe(in) || pipe(out) || pipe(err))
		return s;
	pid_t pid = start_tagjoin(in[0], out[1], err[1]);
	close(in[0]);
	close(out[1]);
	close(err[1]);
	std::thread feeder(feed, in[1], pid, std::ref(s));
	check_output(out[0], s);
	feeder.join();
	s.err = read_all(err[0]);
	close(out[0]);
	close(err[0]);
	int ws;
	waitpid(pid, &ws, 0);
	s.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
	return s;
}

void expect_whole(const Stream &s)
{
	EXPECT_EQ(s.out_bytes, 14 + 6 * s.ctg_lines + 1);
	EXPECT_TRUE(s.out_as_expected);
	EXPECT_EQ(s.err, "\"rs\" expected at beginning of input line " +
	    std::to_string(3 + s.ctg_lines + 1));
	EXPECT_EQ(s.status, 255);
}

TEST(Stream, TenMegabytes)
{
	expect_whole(run_stream(2'000'000));
}

// Over 10 GB in, 12.9 GB out, through pipes; labelled "scale".
TEST(Scale, PastTwoToTheThirtyOneLines)
{
	Stream small = run_stream(2'000'000);
	Stream big = run_stream(std::uint64_t{1} << 31);
	expect_whole(big);
	EXPECT_GT(small.peak_kib, 0);
	EXPECT_LE(std::abs(big.peak_kib - small.peak_kib) * 10, small.peak_kib)
	    << big.peak_kib << " KiB against " << small.peak_kib << " KiB";
}

} // namespace
