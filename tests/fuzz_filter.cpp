// libFuzzer target: runs the filter in this process on arbitrary bytes and
// compares what it writes, and its status, with the reference model.

#include "model.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

int tagjoin_main(int argc, char **argv);

namespace {

std::string contents(int fd)
{
	std::string s;
	char buf[65536];
	lseek(fd, 0, SEEK_SET);
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
		s.append(buf, static_cast<std::size_t>(n));
	return s;
}

void refill(int fd, const std::string &with)
{
	ftruncate(fd, 0);
	pwrite(fd, with.data(), with.size(), 0);
	lseek(fd, 0, SEEK_SET);
}

void show(const char *what, const std::string &bytes)
{
	std::fprintf(stderr, "%s (%zu bytes):", what, bytes.size());
	for (unsigned char c : bytes)
		std::fprintf(stderr, " %02x", c);
	std::fputc('\n', stderr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static const int in = memfd_create("in", 0), out = memfd_create("out", 0),
	    err = memfd_create("err", 0);
	static const int saved[3] = {dup(0), dup(1), dup(2)};
	const std::string input(reinterpret_cast<const char *>(data), size);

	refill(in, input);
	refill(out, "");
	refill(err, "");
	dup2(in, 0);
	dup2(out, 1);
	dup2(err, 2);
	char name[] = "tagjoin";
	char *argv[] = {name, nullptr};
	int status = tagjoin_main(1, argv) & 0xff;
	for (int fd = 0; fd < 3; ++fd)
		dup2(saved[fd], fd);

	Outcome got{contents(out), contents(err), status};
	Outcome want = model(input);
	if (!(got == want)) {
		show("input", input);
		show("output", got.out);
		show("expected output", want.out);
		std::fprintf(stderr, "message \"%s\", expected \"%s\"; status %d, "
		    "expected %d\n", got.err.c_str(), want.err.c_str(),
		    got.status, want.status);
		std::abort();
	}
	return 0;
}
