#ifndef TAGJOIN_IO_H
#define TAGJOIN_IO_H

// What tagjoin and tagpick both do with their descriptors and their bytes:
// reads and writes that see a non-blocking descriptor through, a larger
// pipe, and the index of line feeds that both read their input through.
// Inline functions and constants only: each program stays one pass over
// its own buffers.

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__) && !defined(TAGJOIN_PORTABLE)
#include <immintrin.h>
#endif

// Line feeds are found in windows of 64 bytes, one bit each in a 64-bit
// word: one count of trailing zeros then finds the next line feed, and one
// word serves a dozen short lines.
constexpr std::size_t lf_window = 64;

// A pipe holds 64 KiB unless asked for more: a writer upstream is then
// stopped, and the reader woken, every 64 KiB, which took `cat F |
// tagjoin` 0.69 s a gigabyte against 0.27 s.  1 MiB is the most an
// ordinary user may ask for, and leaves a writer the most room.
constexpr int pipe_size = 1 << 20;

// After a read or write on fd has failed: 0 when it should be made again,
// otherwise the errno that ends the run.  Whoever started the program may
// have left a standard descriptor non-blocking.  Its flags are shared with
// every process that holds it, so rather than change them the program
// sleeps in poll(2) until the descriptor is ready.
[[gnu::noinline]] inline int wait_to_retry(int fd, short events)
{
	int err = errno;
	if (err == EINTR)
		return 0;
	if (err != EAGAIN && err != EWOULDBLOCK)
		return err;
	pollfd p{fd, events, 0};
	while (poll(&p, 1, -1) < 0)
		if (errno != EINTR)
			return errno;
	return 0;
}

// Reads up to n bytes, waiting as long as it takes for at least one.
// Returns the count, 0 at the end of the input, or minus the errno of a
// read that failed.
inline ssize_t read_some(int fd, void *p, std::size_t n)
{
	ssize_t r;
	while ((r = read(fd, p, n)) < 0)
		if (int err = wait_to_retry(fd, POLLIN))
			return -err;
	return r;
}

// Writes all n bytes, through short writes, interrupted calls and a full
// non-blocking pipe.  Returns 0, or the errno of the write that failed.
[[gnu::noinline]] inline int write_all(int fd, const char *p, std::size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0) {
			if (int err = wait_to_retry(fd, POLLOUT))
				return err;
			continue;
		}
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return 0;
}

// Asks for a larger pipe when fd is one (see pipe_size).  The kernel may
// refuse, and then the pipe stays as it was; a pipe already as large is
// left alone.  Where the call does not exist this does nothing.
inline void enlarge_pipe([[maybe_unused]] int fd)
{
#ifdef F_SETPIPE_SZ
	struct stat st;
	if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
	    fcntl(fd, F_GETPIPE_SZ) < pipe_size)
		fcntl(fd, F_SETPIPE_SZ, pipe_size);
#endif
}

// The line feeds among the 64 bytes at p, as the bits of a word.
#if defined(__SSE2__) && !defined(TAGJOIN_PORTABLE)
// SSE2 fills the word with four 16-byte compares, written out rather than
// as a loop of four, which compilers do not always unroll where this is
// inlined; and always inlined, since a call would cost as much as the
// compares.
[[gnu::always_inline]] inline std::uint64_t line_feeds(const char *p)
{
	const __m128i lf = _mm_set1_epi8('\n');
	auto sixteen = [&](std::size_t at) {
		__m128i v = _mm_loadu_si128(
		    reinterpret_cast<const __m128i *>(p + at));
		return std::uint64_t{static_cast<unsigned>(
		    _mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))};
	};
	return sixteen(0) | sixteen(16) << 16 | sixteen(32) << 32 |
	    sixteen(48) << 48;
}
#else
// Eight bytes at a time in a 64-bit word, built byte by byte so that byte
// k is p[i + k] in any byte order (compilers make that one load).  After
// x = word ^ 0x0a0a..., a byte of x is zero exactly where a line feed was.
// Adding 0x7f to a byte's low seven bits sets its top bit unless they are
// all zero, and carries into no other byte; or-ing x in covers a byte
// whose only bit is the top one.  The top bits left clear mark the line
// feeds, and the multiply gathers them, in byte order, into the top byte
// of the product.  Not forced inline: its eight rounds are better called
// than repeated wherever it is used.
inline std::uint64_t line_feeds(const char *p)
{
	constexpr std::uint64_t ones = 0x0101010101010101;
	constexpr std::uint64_t low7 = 0x7f * ones, top = 0x80 * ones;
	constexpr std::uint64_t gather = 0x0102040810204080;
	std::uint64_t bits = 0;
	for (std::size_t i = 0; i < lf_window; i += 8) {
		std::uint64_t word = 0;
		for (std::size_t k = 0; k < 8; ++k)
			word |= std::uint64_t{static_cast<unsigned char>(
			    p[i + k])} << (8 * k);
		std::uint64_t x = word ^ '\n' * ones;
		std::uint64_t found = ~(((x & low7) + low7) | x) & top;
		bits |= (found >> 7) * gather >> 56 << i;
	}
	return bits;
}
#endif

#endif
