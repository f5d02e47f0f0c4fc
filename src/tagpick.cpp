// tagpick: the front end of tagjoin for whole dumps.  It reads each FILE,
// gzipped or not, and writes the lines that begin with "rs", "SNP", "VAL"
// or "CTG", byte for byte as they stand (NUL, CR and any other byte
// included), each ended by a line feed.
//
//   tagpick [--drop-incomplete] [--numbered] [--all-lines] [--progress] [FILE]...
//
// An input is gzip when it starts with gzip's magic bytes (any number of
// members, BGZF included) and plain text otherwise; a FILE whose name ends
// in ".gz" must be gzip.  Lines may be of any length: each is decided on
// its first three bytes and then passed through or skipped as it comes,
// so memory stays the same whatever the input.  The first input that
// cannot be read whole ends the run with a message naming it and status
// 1; nothing is ever taken for the end of an input but the end of the
// file itself after a whole gzip member.

#include "inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Bytes asked of each read of a file, and the room for what one call of
// the inflater makes: a few hundred KiB keeps the buffers in a core's
// cache and the system calls few.
constexpr std::size_t read_block = std::size_t{128} << 10;
constexpr std::size_t text_block = std::size_t{256} << 10;
// Output goes in writes of a whole pipe's worth (see pipe_size).
constexpr std::size_t out_block = std::size_t{1} << 20;
// Line feeds are found this many bytes at a time (see line_feeds); the
// text buffer has this much room after its data for the last window.
constexpr std::size_t window = 64;
// Lines up to this long are copied with one copy of this fixed size (see
// keep_text), as most lines of a dump are; the text buffer's slack covers
// it.
constexpr std::size_t short_line = 128;
constexpr std::size_t slack = std::max(window, short_line);
// The longest tag; a line is decided on this many bytes.
constexpr std::size_t tag_max = 3;
// --progress redraws its line at most this often.
constexpr double progress_every = 0.25;

// A pipe holds 64 KiB unless asked for more, and a reader is woken each
// time: asked for 1 MiB, the most an ordinary user may ask, each of
// tagpick's writes of a block fits it whole.
constexpr int pipe_size = 1 << 20;

constexpr int status_failure = 1;
constexpr int status_usage = 2;

constexpr std::string_view usage_text =
    "usage: tagpick [--drop-incomplete] [--numbered] [--all-lines] "
    "[--progress] [FILE]...\n";

struct Options {
	bool drop_incomplete = false;
	bool numbered = false;
	bool all_lines = false;
	bool progress = false;
};

// How a run, or the reading of one input, ends.  what is the reason, and
// name the input, when there is one to name.
struct Ending {
	bool failed = false;
	std::string name;
	std::string what;
};

Ending failure(std::string_view name, std::string_view what)
{
	return {true, std::string(name), std::string(what)};
}

constexpr std::size_t none = static_cast<std::size_t>(-1);

// Standard output, gathered in a block.  After a failed write nothing
// more is written and error holds its errno.
//
// With --drop-incomplete, the record being read is held until its first
// "CTG" line shows that it has one: its bytes are gathered like any
// other, from held on, and are not delivered until then, or are taken
// back when it has none.  A record too large for the block goes on in a
// temporary file, spilled, and the whole block is then held.
struct Output {
	std::unique_ptr<char[]> buf{new char[out_block]};
	std::size_t len = 0;
	int error = 0;
	std::size_t held = none;
	int spill = -1;                 // the temporary file, once needed
	off_t spilled = 0;
	int spill_error = 0;
};

bool write_all(int fd, const char *p, std::size_t n, int &error)
{
	while (n > 0 && error == 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0) {
			if (errno != EINTR)
				error = errno;
			continue;
		}
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return error == 0;
}

int open_temporary()
{
	const char *dir = std::getenv("TMPDIR");
	if (dir == nullptr || *dir == '\0')
		dir = "/tmp";
	int fd = -1;
#ifdef O_TMPFILE
	fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
	if (fd >= 0)
		return fd;
#endif
	std::string path = std::string(dir) + "/tagpick.XXXXXX";
	fd = mkstemp(path.data());
	if (fd >= 0)
		unlink(path.c_str());
	return fd;
}

// Moves the held part of the block, all of it, to the temporary file.
void spill(Output &out)
{
	if (out.spill < 0 && out.spill_error == 0) {
		out.spill = open_temporary();
		if (out.spill < 0)
			out.spill_error = errno;
	}
	if (write_all(out.spill, out.buf.get(), out.len, out.spill_error))
		out.spilled += static_cast<off_t>(out.len);
	out.len = 0;
}

// Delivers what is gathered and not held, and makes room: the held part
// moves to the front of the block, or to the temporary file when it
// fills half the block.
void deliver(Output &out)
{
	std::size_t ready = out.held == none ? out.len : out.held;
	write_all(STDOUT_FILENO, out.buf.get(), ready, out.error);
	std::memmove(out.buf.get(), out.buf.get() + ready, out.len - ready);
	out.len -= ready;
	if (out.held != none) {
		out.held = 0;
		if (out.len > out_block / 2)
			spill(out);
	}
}

void put(Output &out, const char *p, std::size_t n)
{
	if (n > out_block - out.len) {
		deliver(out);
		if (n > out_block - out.len) {
			if (out.held == none) {
				write_all(STDOUT_FILENO, p, n, out.error);
				return;
			}
			spill(out);
			write_all(out.spill, p, n, out.spill_error);
			out.spilled += static_cast<off_t>(n);
			return;
		}
	}
	std::memcpy(out.buf.get() + out.len, p, n);
	out.len += n;
}

// Starts holding a record whose first line is about to be gathered.
inline void hold(Output &out, std::size_t at)
{
	out.held = at;
}

void forget_spilled(Output &out)
{
	if (out.spilled > 0 && out.spill_error == 0 &&
	    (ftruncate(out.spill, 0) != 0 || lseek(out.spill, 0, SEEK_SET) != 0))
		out.spill_error = errno;
	out.spilled = 0;
}

// Takes back the record held, which has no "CTG" line.
void drop_held(Output &out)
{
	out.len = out.held;
	out.held = none;
	forget_spilled(out);
}

// Lets the record held go out with the rest: its spilled part first,
// which comes before all that is in the block.
void release_held(Output &out)
{
	if (out.spilled > 0 && out.spill_error == 0) {
		if (lseek(out.spill, 0, SEEK_SET) != 0)
			out.spill_error = errno;
		std::string chunk(out_block, '\0');
		for (off_t left = out.spilled; left > 0 && out.spill_error == 0 &&
		     out.error == 0;) {
			ssize_t n = read(out.spill, chunk.data(),
			    static_cast<std::size_t>(std::min<off_t>(left,
				static_cast<off_t>(out_block))));
			if (n <= 0) {
				out.spill_error = n < 0 ? errno : EIO;
				break;
			}
			write_all(STDOUT_FILENO, chunk.data(),
			    static_cast<std::size_t>(n), out.error);
			left -= n;
		}
	}
	out.held = none;
	forget_spilled(out);
}

// What is known of the line being read.
enum class Line { start, kept, skipped };

// The state of picking lines from one input after another.
struct Picker {
	Options options;
	Line line = Line::start;
	std::int64_t number = 0;        // of the current line in its input
	std::int64_t dropped = 0;       // records, with --drop-incomplete
};

// What a line's tag says of it.
enum class Tag { none, rs, ctg, other };

// A tag as a word and a mask over a line's first four bytes, so that one
// load and one compare test it; built from bytes, so either byte order
// serves.
struct TagWord {
	std::uint32_t word;
	std::uint32_t mask;
};

constexpr TagWord tag_word(std::string_view text)
{
	std::array<unsigned char, 4> word{}, mask{};
	for (std::size_t i = 0; i < text.size(); ++i) {
		word[i] = static_cast<unsigned char>(text[i]);
		mask[i] = 0xff;
	}
	return {std::bit_cast<std::uint32_t>(word),
	    std::bit_cast<std::uint32_t>(mask)};
}

constexpr TagWord rs_tag = tag_word("rs"), snp_tag = tag_word("SNP"),
    val_tag = tag_word("VAL"), ctg_tag = tag_word("CTG");

bool begins_with(const char *p, std::size_t n, std::string_view tag)
{
	return n >= tag.size() && std::memcmp(p, tag.data(), tag.size()) == 0;
}

// The tag of the line at p, n bytes of which are in hand: all of its
// first three, or up to its line feed, or all there is.
inline Tag tag_of(const char *p, std::size_t n)
{
	if (n < 4) [[unlikely]] {
		if (begins_with(p, n, "rs"))
			return Tag::rs;
		if (begins_with(p, n, "CTG"))
			return Tag::ctg;
		return begins_with(p, n, "SNP") || begins_with(p, n, "VAL") ?
		    Tag::other : Tag::none;
	}
	std::uint32_t head;
	std::memcpy(&head, p, sizeof head);
	if ((head & rs_tag.mask) == rs_tag.word)
		return Tag::rs;
	std::uint32_t three = head & ctg_tag.mask;
	if (three == ctg_tag.word)
		return Tag::ctg;
	return three == snp_tag.word || three == val_tag.word ? Tag::other :
	    Tag::none;
}

// keep for bytes of the text buffer, whose slack lets a short line go as
// one copy of a fixed size, in line, rather than a call that first sorts
// out the size: the bytes copied past the line are never delivered.
inline void keep_text(Output &out, const char *p, std::size_t n)
{
	if (n <= short_line && out_block - out.len >= short_line) {
		std::memcpy(out.buf.get() + out.len, p, short_line);
		out.len += n;
		return;
	}
	put(out, p, n);
}

// What --drop-incomplete does at a line tagged tag, kept and about to be
// gathered: a record held is dropped at the next "rs" line, which is
// held in its turn, and goes out at its first "CTG" line.
inline void drop_or_release(Picker &pk, Output &out, Tag tag)
{
	if (tag == Tag::rs) {
		if (out.held != none) {
			drop_held(out);
			++pk.dropped;
		}
		hold(out, out.len);
	} else if (tag == Tag::ctg && out.held != none) {
		release_held(out);
	}
}

// What --drop-incomplete and --numbered do at the start of a kept line,
// line number in its input, tagged tag.
void start_kept_line(Picker &pk, Output &out, Tag tag, std::int64_t number)
{
	if (pk.options.drop_incomplete)
		drop_or_release(pk, out, tag);
	if (pk.options.numbered) {
		char text[24];
		auto end = std::to_chars(text, text + sizeof text - 1, number).ptr;
		*end++ = '\t';
		put(out, text, static_cast<std::size_t>(end - text));
	}
}

// The line feeds among the 64 bytes at p, as the bits of a word: one
// count of trailing zeros then finds the next, and one word serves the
// several short lines of a dump that it spans.
#if defined(__SSE2__)
inline std::uint64_t line_feeds(const char *p)
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
// Eight bytes at a time, built byte by byte so that byte k is p[i + k] in
// either byte order.  In x = word ^ 0x0a0a..., a byte is zero where a
// line feed was; adding 0x7f to each byte's low seven bits sets its top
// bit unless they are all zero, or-ing x covers the top bit itself, and
// the multiply gathers the top bits left clear into the product's top
// byte.
inline std::uint64_t line_feeds(const char *p)
{
	constexpr std::uint64_t ones = 0x0101010101010101;
	constexpr std::uint64_t low7 = 0x7f * ones, top = 0x80 * ones;
	constexpr std::uint64_t gather = 0x0102040810204080;
	std::uint64_t bits = 0;
	for (std::size_t i = 0; i < window; i += 8) {
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

// The line feeds of [p, end), a window at a time.  The window may run
// past end into the buffer's slack; the bits of those bytes are cleared.
struct LineFeeds {
	const char *window_at;
	const char *end;
	std::uint64_t bits;
};

[[gnu::always_inline]] inline std::uint64_t window_bits(const char *at,
    const char *end)
{
	std::uint64_t bits = line_feeds(at);
	std::size_t n = static_cast<std::size_t>(end - at);
	return n < window ? bits & ((std::uint64_t{1} << n) - 1) : bits;
}

// The next line feed, or nullptr when there is none before end.
const char *next_line_feed(LineFeeds &f)
{
	while (f.bits == 0) {
		f.window_at += window;
		if (f.window_at >= f.end)
			return nullptr;
		f.bits = window_bits(f.window_at, f.end);
	}
	const char *lf = f.window_at + std::countr_zero(f.bits);
	f.bits &= f.bits - 1;
	return lf;
}

// The usual lines, in a tight loop: each starts with its tag in hand and
// ends in a line feed within the text, and is only kept or skipped, and
// with --drop-incomplete held, dropped or released (but not numbered), a
// kept one short enough for a fixed-size copy into the room left.
// Returns where it stopped, at the start of a line that the
// loop in pick must take.
inline const char *pick_usual_lines(Picker &pk, Output &out, LineFeeds &f,
    const char *p, const char *end)
{
	bool dropping = pk.options.drop_incomplete;
	while (end - p >= 4) {
		while (f.bits == 0) {
			f.window_at += window;
			if (f.window_at >= end)
				return p;
			f.bits = window_bits(f.window_at, end);
		}
		const char *lf = f.window_at + std::countr_zero(f.bits);
		std::size_t n = static_cast<std::size_t>(lf + 1 - p);
		Tag tag = tag_of(p, 4);
		if (tag != Tag::none) {
			if (n > short_line || out_block - out.len < short_line)
				return p;
			if (dropping)
				drop_or_release(pk, out, tag);
			std::memcpy(out.buf.get() + out.len, p, short_line);
			out.len += n;
		}
		f.bits &= f.bits - 1;
		p = lf + 1;
	}
	return p;
}

// Picks the lines of [p, end), the next bytes of the input.  Returns
// where it stopped: at end, or, when more of the input is to come, at the
// start of a line too short so far to tell its tag, whose bytes must be
// given again with what follows them.
const char *pick(Picker &pk, Output &out, const char *p, const char *end,
    bool last)
{
	if (p == end)
		return p;
	LineFeeds feeds{p, end, window_bits(p, end)};
	// The state that changes a line is kept here, and in pk again on
	// the way out.
	Line line = pk.line;
	std::int64_t number = pk.number;
	bool every_line = pk.options.all_lines;
	bool more = pk.options.drop_incomplete || pk.options.numbered;
	bool usual = !every_line && !pk.options.numbered;
	while (p < end) {
		if (line == Line::start && usual) {
			p = pick_usual_lines(pk, out, feeds, p, end);
			if (p == end)
				break;
		}
		if (line == Line::start) {
			std::size_t n = static_cast<std::size_t>(end - p);
			if (n < tag_max && !last && !std::memchr(p, '\n', n))
				break;
			++number;
			Tag tag = tag_of(p, n);
			line = tag != Tag::none || every_line ? Line::kept :
			    Line::skipped;
			if (line == Line::kept && more)
				start_kept_line(pk, out, tag, number);
		}
		const char *lf = next_line_feed(feeds);
		const char *next = lf ? lf + 1 : end;
		if (line == Line::kept)
			keep_text(out, p, static_cast<std::size_t>(next - p));
		if (lf)
			line = Line::start;
		p = next;
	}
	pk.line = line;
	pk.number = number;
	return p;
}

// At the end of an input: its last line gains a line feed, and a record
// still held has no "CTG" line.  Numbers start again with the next input.
void end_input(Picker &pk, Output &out)
{
	if (pk.line == Line::kept)
		put(out, "\n", 1);
	if (out.held != none) {
		drop_held(out);
		++pk.dropped;
	}
	pk.line = Line::start;
	pk.number = 0;
}

// --progress: how much of an input has been read, redrawn in place on
// standard error.
struct Progress {
	bool on = false;
	std::string_view name;
	off_t size = 0;                 // 0 when not known, as for a pipe
	off_t done = 0;
	std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
	double drawn_at = -1;
	std::size_t width = 0;          // of the line last drawn
};

void draw(Progress &pr, std::string_view text)
{
	std::string line(1, '\r');
	line += text;
	if (text.size() < pr.width)
		line.append(pr.width - text.size(), ' ');
	pr.width = text.size();
	int ignored = 0;            // a progress line is no output to fail for
	write_all(STDERR_FILENO, line.data(), line.size(), ignored);
}

void show_progress(Progress &pr, bool now)
{
	if (!pr.on)
		return;
	double t = std::chrono::duration<double>(
	    std::chrono::steady_clock::now() - pr.start).count();
	if (!now && t - pr.drawn_at < progress_every)
		return;
	pr.drawn_at = t;
	double mb = static_cast<double>(pr.done) / 1e6;
	double rate = t > 0 ? mb / t : 0;
	char text[512];
	if (pr.size > 0) {
		double total = static_cast<double>(pr.size) / 1e6;
		int left = rate > 0 ? static_cast<int>((total - mb) / rate) : 0;
		std::snprintf(text, sizeof text,
		    "%.*s: %.1f of %.1f MB (%.0f %%), %.1f MB/s, %d:%02d left",
		    static_cast<int>(std::min<std::size_t>(pr.name.size(), 300)),
		    pr.name.data(), mb, total, 100 * mb / total, rate,
		    left / 60, left % 60);
	} else {
		std::snprintf(text, sizeof text, "%.*s: %.1f MB, %.1f MB/s",
		    static_cast<int>(std::min<std::size_t>(pr.name.size(), 300)),
		    pr.name.data(), mb, rate);
	}
	draw(pr, text);
}

void clear_progress(Progress &pr)
{
	if (pr.on && pr.width > 0) {
		draw(pr, "");
		int ignored = 0;
		write_all(STDERR_FILENO, "\r", 1, ignored);
	}
}

// One input, open on fd, and the buffers it is read through.
struct Input {
	int fd;
	std::string_view name;
	bool must_be_gzip;              // its name ends in .gz
	unsigned char *raw;             // read_block bytes: reads land here
	char *text;                     // text_block bytes: lines are picked here
	Progress progress;
};

// Reads up to n bytes into p.  Returns the count, 0 at the end of the
// file, or -1 with errno set.
ssize_t read_some(Input &in, void *p, std::size_t n)
{
	for (;;) {
		ssize_t r = read(in.fd, p, n);
		if (r >= 0) {
			in.progress.done += r;
			show_progress(in.progress, false);
			return r;
		}
		if (errno != EINTR)
			return -1;
	}
}

Ending read_failure(const Input &in)
{
	return failure(in.name, std::string("read error: ") + std::strerror(errno));
}

// Picks the lines of text [carry, carry + n) after the carry bytes left
// at the front of in.text; moves what is left to wait for more to the
// front.  Returns the new carry.
std::size_t pick_text(Picker &pk, Output &out, Input &in, std::size_t carry,
    std::size_t n, bool last)
{
	const char *end = in.text + carry + n;
	const char *stop = pick(pk, out, in.text, end, last);
	std::size_t left = static_cast<std::size_t>(end - stop);
	std::memmove(in.text, stop, left);
	return left;
}

// A plain text input, whose first n bytes are already in in.text.
Ending read_plain(Picker &pk, Output &out, Input &in, std::size_t n)
{
	std::size_t carry = 0;
	while (n > 0) {
		carry = pick_text(pk, out, in, carry, n, false);
		if (out.error != 0)
			return {};
		ssize_t r = read_some(in, in.text + carry, text_block - carry);
		if (r < 0)
			return read_failure(in);
		n = static_cast<std::size_t>(r);
	}
	pick_text(pk, out, in, 0, carry, true);
	return {};
}

// A gzip input, whose first n bytes are already in in.raw: one member
// after another until the end of the file, which must come right after a
// member's trailer.
Ending read_gzip(Picker &pk, Output &out, Input &in, std::size_t n)
{
	InflaterPtr z = make_inflater();
	const unsigned char *next = in.raw, *end = in.raw + n;
	bool eof = false;
	// Moves what is left of the data to the front and reads more after
	// it; eof when nothing more came.
	auto refill = [&]() {
		std::size_t left = static_cast<std::size_t>(end - next);
		std::memmove(in.raw, next, left);
		ssize_t r = read_some(in, in.raw + left, read_block - left);
		next = in.raw;
		end = in.raw + left + (r > 0 ? static_cast<std::size_t>(r) : 0);
		eof = r == 0;
		return r >= 0;
	};
	bool member_start = true, stalled = false;
	std::int64_t members = 0;
	std::size_t carry = 0;
	for (;;) {
		if (member_start) {
			// Each member starts with the magic bytes; anything
			// else after a member is not gzip.
			while (end - next < 2 && !eof)
				if (!refill())
					return read_failure(in);
			if (next == end)
				break;
			if (end - next < 2 || next[0] != 0x1f || next[1] != 0x8b)
				return failure(in.name, members == 0 ?
				    "not in gzip format" :
				    "trailing garbage after the last gzip member");
			start_member(*z);
			member_start = false;
		}
		if ((next == end || stalled) && !eof && !refill())
			return read_failure(in);
		auto *from = reinterpret_cast<unsigned char *>(in.text + carry);
		auto *made = from;
		const unsigned char *before = next;
		Inflated how = inflate_some(*z, next, end, made,
		    reinterpret_cast<unsigned char *>(in.text + text_block));
		std::size_t produced = static_cast<std::size_t>(made - from);
		carry = pick_text(pk, out, in, carry, produced, false);
		if (out.error != 0)
			return {};
		if (how == Inflated::corrupt)
			return failure(in.name, inflate_error(*z));
		if (how == Inflated::member_end) {
			++members;
			member_start = true;
		}
		stalled = how == Inflated::going && next == before && produced == 0;
		if (stalled && eof)
			return failure(in.name, "unexpected end of file: "
			    "the gzip data is cut short");
	}
	if (members == 0)
		return failure(in.name, "empty, not in gzip format");
	pick_text(pk, out, in, 0, carry, true);
	return {};
}

// Reads one input to its end: gzip or plain, told by its first bytes.
Ending read_input(Picker &pk, Output &out, Input &in)
{
	std::size_t n = 0;
	// Enough for the magic bytes, however the first reads come.
	while (n < 2) {
		ssize_t r = read_some(in, in.raw + n, read_block - n);
		if (r < 0)
			return read_failure(in);
		if (r == 0)
			break;
		n += static_cast<std::size_t>(r);
	}
	Ending e;
	if (n >= 2 && in.raw[0] == 0x1f && in.raw[1] == 0x8b) {
		e = read_gzip(pk, out, in, n);
	} else if (in.must_be_gzip) {
		e = failure(in.name, n == 0 ? "empty, not in gzip format" :
		    "not in gzip format");
	} else {
		std::memcpy(in.text, in.raw, n);
		e = read_plain(pk, out, in, n);
	}
	if (!e.failed)
		end_input(pk, out);
	return e;
}

bool ends_with(std::string_view s, std::string_view end)
{
	return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

constexpr std::string_view standard_input = "(standard input)";

// Opens and reads the input named, "-" being standard input.
Ending read_named(Picker &pk, Output &out, const char *name,
    unsigned char *raw, char *text)
{
	bool is_stdin = std::strcmp(name, "-") == 0;
	Input in{is_stdin ? STDIN_FILENO : open(name, O_RDONLY | O_CLOEXEC),
	    is_stdin ? standard_input : std::string_view(name),
	    ends_with(name, ".gz"), raw, text, {}};
	if (in.fd < 0)
		return failure(name, std::strerror(errno));
	struct stat st;
	in.progress.on = pk.options.progress;
	in.progress.name = in.name;
	if (fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode))
		in.progress.size = st.st_size;
	in.progress.start = std::chrono::steady_clock::now();
	Ending e = read_input(pk, out, in);
	show_progress(in.progress, true);
	clear_progress(in.progress);
	if (!is_stdin)
		close(in.fd);
	return e;
}

// Asks for a larger pipe when standard output is one (see pipe_size).
// The kernel may refuse; a pipe already as large is left alone.
void enlarge_output_pipe()
{
#ifdef F_SETPIPE_SZ
	struct stat st;
	if (fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode) &&
	    fcntl(STDOUT_FILENO, F_GETPIPE_SZ) < pipe_size)
		fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipe_size);
#endif
}

// The one place where the run's end is told.  What was picked before a
// failed input is written all the same, after the message, so that a
// reader that has stopped cannot silence it.
int finish(Picker &pk, Output &out, Ending e)
{
	if (!e.failed && out.spill_error != 0)
		e = failure("", std::string("cannot hold a record: ") +
		    std::strerror(out.spill_error));
	if (e.failed) {
		std::string m = "tagpick: " + (e.name.empty() ? "" : e.name + ": ") +
		    e.what + "\n";
		int ignored = 0;
		write_all(STDERR_FILENO, m.data(), m.size(), ignored);
	}
	deliver(out);
	if (out.error != 0) {
		if (!e.failed) {
			std::string m = std::string("tagpick: error writing output: ") +
			    std::strerror(out.error) + "\n";
			int ignored = 0;
			write_all(STDERR_FILENO, m.data(), m.size(), ignored);
		}
		return status_failure;
	}
	if (e.failed)
		return status_failure;
	if (pk.options.drop_incomplete) {
		std::string m = "records without a CTG line dropped: " +
		    std::to_string(pk.dropped) + "\n";
		int ignored = 0;
		write_all(STDERR_FILENO, m.data(), m.size(), ignored);
	}
	return 0;
}

int usage(std::string_view why)
{
	std::string m = why.empty() ? "" : "tagpick: " + std::string(why) + "\n";
	m += usage_text;
	int ignored = 0;
	write_all(STDERR_FILENO, m.data(), m.size(), ignored);
	return status_usage;
}

int help()
{
	std::string m = std::string(usage_text) +
	    "Writes the lines of each FILE (standard input when there is none, or\n"
	    "for -) that begin with rs, SNP, VAL or CTG, as they stand.  A FILE is\n"
	    "inflated when it is gzip, as a name ending in .gz must be.\n"
	    "\n"
	    "  --drop-incomplete  drop each record (an rs line and the lines kept up\n"
	    "                     to the next) that has no CTG line, and write their\n"
	    "                     count to standard error\n"
	    "  --numbered         put each line's number in its input and a tab\n"
	    "                     before it\n"
	    "  --all-lines        keep every line, not only those of the four tags\n"
	    "  --progress         show on standard error how far the run has got\n"
	    "  --help             show this help and exit\n"
	    "  --version          show the version and the inflate library, and exit\n"
	    "\n"
	    "Exit status: 0 when every input was read whole and all was written,\n"
	    "1 when not, 2 for a wrong command line.  See tagpick(1).\n";
	int error = 0;
	write_all(STDOUT_FILENO, m.data(), m.size(), error);
	return error == 0 ? 0 : status_failure;
}

int version()
{
	std::string m = "tagpick " TAGPICK_VERSION ", inflating with " +
	    inflate_library() + "\n";
	int error = 0;
	write_all(STDOUT_FILENO, m.data(), m.size(), error);
	return error == 0 ? 0 : status_failure;
}

} // namespace

int main(int argc, char **argv)
{
	enum { help_option = 1000, version_option };
	const option long_options[] = {
		{"drop-incomplete", no_argument, nullptr, 'd'},
		{"numbered", no_argument, nullptr, 'n'},
		{"all-lines", no_argument, nullptr, 'a'},
		{"progress", no_argument, nullptr, 'p'},
		{"help", no_argument, nullptr, help_option},
		{"version", no_argument, nullptr, version_option},
		{nullptr, 0, nullptr, 0},
	};
	Picker pk;
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
		switch (c) {
		case 'd': pk.options.drop_incomplete = true; break;
		case 'n': pk.options.numbered = true; break;
		case 'a': pk.options.all_lines = true; break;
		case 'p': pk.options.progress = true; break;
		case help_option: return help();
		case version_option: return version();
		default:
			return usage(std::string("unknown option: ") +
			    argv[optind - 1]);
		}
	}
	// A FILE that is not there is a mistake in the command: said before
	// any input is read.
	for (int i = optind; i < argc; ++i)
		if (std::strcmp(argv[i], "-") != 0 && access(argv[i], R_OK) != 0)
			return usage(std::string(argv[i]) + ": " +
			    std::strerror(errno));

	enlarge_output_pipe();
	auto raw = std::make_unique<unsigned char[]>(read_block);
	auto text = std::make_unique<char[]>(text_block + slack);
	Output out;
	const char *stdin_only[] = {"-"};
	char **names = argv + optind;
	int count = argc - optind;
	if (count == 0) {
		names = const_cast<char **>(stdin_only);
		count = 1;
	}
	Ending e;
	for (int i = 0; i < count && !e.failed && out.error == 0; ++i)
		e = read_named(pk, out, names[i], raw.get(), text.get());
	return finish(pk, out, e);
}
