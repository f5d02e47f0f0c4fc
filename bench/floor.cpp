// The least that any one-thread joiner must do, as a yardstick for
// tagjoin: read standard input in tagjoin's blocks, find its line feeds in
// 64-byte SSE2 windows, visit every line feed, copy each block to an output
// buffer and write it.  It checks nothing and joins nothing; it asks for
// tagjoin's pipe size, so that a pipe costs both programs the same, and
// like tagjoin it reads into and writes from the start of a page, where
// the kernel copies fastest, so that no one-thread joiner can beat it.
//
//   floor < listing > /dev/null

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <immintrin.h>
#endif

namespace {

constexpr std::size_t block = std::size_t{256} << 10;  // as tagjoin reads
constexpr std::size_t window = 64;
constexpr int pipe_size = 1 << 20;

std::uint64_t line_feeds(const char *p)
{
#ifdef __SSE2__
	const __m128i lf = _mm_set1_epi8('\n');
	std::uint64_t bits = 0;
	for (int i = 0; i < 4; ++i) {
		__m128i v = _mm_loadu_si128(
		    reinterpret_cast<const __m128i *>(p + 16 * i));
		bits |= std::uint64_t{static_cast<unsigned>(
		    _mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << (16 * i);
	}
	return bits;
#else
	std::uint64_t bits = 0;
	for (std::size_t i = 0; i < window; ++i)
		bits |= std::uint64_t{p[i] == '\n'} << i;
	return bits;
#endif
}

void enlarge_pipe(int fd)
{
	struct stat st;
	if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
	    fcntl(fd, F_GETPIPE_SZ) < pipe_size)
		fcntl(fd, F_SETPIPE_SZ, pipe_size);
}

bool write_all(const char *p, std::size_t n)
{
	while (n > 0) {
		ssize_t w = write(STDOUT_FILENO, p, n);
		if (w <= 0)
			return false;
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return true;
}

using Memory = std::unique_ptr<char, decltype(&std::free)>;

Memory page_memory(std::size_t size)
{
	long page = sysconf(_SC_PAGESIZE);
	std::size_t align = page > 0 ? static_cast<std::size_t>(page) : 4096;
	size = (size + align - 1) / align * align;
	return {static_cast<char *>(std::aligned_alloc(align, size)), &std::free};
}

} // namespace

int main()
{
	enlarge_pipe(STDIN_FILENO);
	enlarge_pipe(STDOUT_FILENO);
	Memory in = page_memory(block + window);
	Memory out = page_memory(block);
	if (!in || !out)
		return 1;
	std::uint64_t lines = 0, where = 0;
	for (;;) {
		ssize_t n = read(STDIN_FILENO, in.get(), block);
		if (n < 0)
			return 1;
		if (n == 0)
			break;
		std::memset(in.get() + n, 0, window);
		for (std::size_t at = 0; at < static_cast<std::size_t>(n);
		    at += window) {
			// Every line feed's place is used, so none is skipped.
			for (std::uint64_t bits = line_feeds(in.get() + at);
			    bits != 0; bits &= bits - 1) {
				where += at + static_cast<std::size_t>(
				    __builtin_ctzll(bits));
				++lines;
			}
		}
		std::memcpy(out.get(), in.get(), static_cast<std::size_t>(n));
		if (!write_all(out.get(), static_cast<std::size_t>(n)))
			return 1;
	}
	// Kept, so that the walk over the line feeds is not optimised away.
	volatile std::uint64_t seen = lines + where;
	static_cast<void>(seen);
	return 0;
}
