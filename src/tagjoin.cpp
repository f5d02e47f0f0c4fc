// tagjoin: fold a tagged SNP listing into one line per record.
//
// Standard input holds records: an "rs" line, a "SNP" line, a "VAL" line
// and one or more "CTG" lines.  Each record leaves on standard output as
// one line: its lines, trimmed of trailing white space, joined by " | ".
// The first line out of that order, or too long, ends the run with one
// message naming its number and status 255.
//
// Lines are cut as a line read into a 20001-byte buffer would cut them:
// after the next line feed, or after 20000 bytes, whichever comes first.
// Each such piece is a line of its own, with its own number.  The input is
// read in large blocks, its line feeds found 64 bytes at a time, and the
// pieces are used where they lie; the output is gathered in one large
// buffer.  Nothing is allocated after the start.

#include "io.h"
#include "tagjoin.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include <unistd.h>

namespace {

// A read holds at most this many bytes; the rest of a longer physical line
// comes in the next read.
constexpr std::size_t piece_max = 20000;
// The longest line accepted, trailing white space not counted.
constexpr std::size_t line_max = piece_max - 1;

// Bytes asked of each read: few enough that both buffers stay in a core's
// cache, many enough that the system calls do not count.  The tests build
// the program once more with tiny blocks, so that pieces, CR LF pairs and
// the 64-byte windows below meet the edge of a block all the time.
#ifdef TAGJOIN_TEST_BLOCK
constexpr std::size_t in_block = TAGJOIN_TEST_BLOCK;
#else
constexpr std::size_t in_block = std::size_t{256} << 10;
#endif
// Line feeds are found a window at a time (see line_feeds).
constexpr std::size_t window = lf_window;
// The kernel copies a read fastest into a destination on a 64-byte
// boundary: on an AMD EPYC of family 25, reading a file into a buffer 1
// to 31 bytes past one took four times the system time.  So the input
// buffer starts on one, and the unfinished piece left over from the last
// block is moved to end on one, where the next block is read.
constexpr std::size_t read_align = 64;
// The input buffer holds a byte in front of its data (see
// trimmed_before_line_feed), the room that the unfinished piece may be
// moved along for its end to fall on a boundary, that piece, which is
// shorter than piece_max, and the next block.
constexpr std::size_t in_front = read_align;
constexpr std::size_t in_size = in_front + read_align + piece_max + in_block;
// Room made in the output before a line is read the slow way, enough for
// all that the lines up to the next such read can add: that line, at most
// piece_max bytes, and the rest of its 64-byte window (see next_line),
// each line with up to four bytes before it.  Lines are then written
// without a test for room.
constexpr std::size_t out_room = piece_max + 8 * window;
constexpr std::size_t out_size = std::max(in_block, out_room);
// Lines up to this long are copied with one fixed-size copy, which costs
// less than a copy of exactly their length (see put).
constexpr std::size_t short_line = 32;
// Room after the data of both buffers, so that a window, a tag word or a
// fixed-size copy may run past the end of the data without leaving the
// buffer.  Each read clears the window's worth after the data, so no line
// feed is found there; what else is read or written there is never used.
constexpr std::size_t slack = window;
// Writes are copied fastest from the start of a page, where the output
// buffer begins: every write but the rest of a short one starts there.
constexpr std::size_t default_page = 4096;

constexpr int status_error = -1;        // the shell sees 255

// White space of the C locale, which this program never leaves: space,
// tab, line feed, vertical tab, form feed, carriage return.  Tested inline
// rather than through isspace(3) so that the per-line trim makes no call.
constexpr bool is_white(unsigned char c)
{
	constexpr std::uint64_t set = 1ull << ' ' | 1ull << '\t' |
	    1ull << '\n' | 1ull << '\v' | 1ull << '\f' | 1ull << '\r';
	return c <= ' ' && (set >> c & 1) != 0;
}

// The length of the first n bytes of s without their trailing white space.
inline std::size_t trimmed_length(const char *s, std::size_t n)
{
	while (n > 0 && is_white(static_cast<unsigned char>(s[n - 1])))
		--n;
	return n;
}

// trimmed_length for a piece that ends in its line feed.  The usual line
// ends in a byte that is not white space, and one test tells: made
// without asking first whether there is a byte before the line feed at
// all, since a piece that is a line feed alone gets the right length
// whatever byte stands before it.  That byte is the previous piece's last,
// or the one the buffer keeps in front of its data.
inline std::size_t trimmed_before_line_feed(std::string_view piece)
{
	std::size_t n = piece.size() - 1;
	const char *last = piece.data() + static_cast<std::ptrdiff_t>(n) - 1;
	if (static_cast<unsigned char>(*last) > ' ') [[likely]]
		return n;
	return trimmed_length(piece.data(), n);
}

} // namespace

int rtrim(char *s)
{
	std::size_t n = trimmed_length(s, std::strlen(s));
	s[n] = '\0';
	return static_cast<int>(n);
}

namespace {

// How a run ends.  A bad tag carries the tag that was wanted; a failed
// read or write carries its errno.
struct Ending {
	enum Kind { end_of_input, too_long, bad_tag, read_error, write_error };
	Kind kind = end_of_input;
	std::int64_t line = 0;
	int detail = 0;
};

// The input buffer, the index of its line feeds, and the numbering of the
// pieces read from it.  Bit i of lf_bits stands for byte scan - window + i;
// the line feeds before that window have all been used, and so have those
// before start.  Windows lie on 64-byte boundaries of buf.
struct Input {
	char *buf;
	const char *start;              // the unread bytes are [start, end)
	char *end;
	const char *scan;               // the next window to index
	std::uint64_t lf_bits = 0;
	bool eof = false;
	std::int64_t line = 0;          // number of the latest piece
	// A piece that filled all piece_max bytes with no line feed, passing
	// the limit only because it ended in white space: its physical line
	// goes on in the next piece, which must then be blank.
	std::int64_t open_line = 0;
	Ending ending{};                // why no further line came
};

struct Output {
	char *buf;
	char *end;                      // where the next byte goes
	int error = 0;                  // errno of the first failed write
};

// A tag as a word and a mask over the first four bytes of a line, so that
// one load and one compare test it.  Built from bytes, so either byte
// order serves.
struct Tag {
	std::uint32_t word;
	std::uint32_t mask;
	int number;                     // for the message
};

constexpr std::string_view tag_texts[] = {"rs", "SNP", "VAL", "CTG"};

constexpr Tag make_tag(int number)
{
	std::string_view text = tag_texts[number];
	std::array<unsigned char, 4> word{}, mask{};
	for (std::size_t i = 0; i < text.size(); ++i) {
		word[i] = static_cast<unsigned char>(text[i]);
		mask[i] = 0xff;
	}
	return {std::bit_cast<std::uint32_t>(word),
	    std::bit_cast<std::uint32_t>(mask), number};
}

constexpr Tag rs = make_tag(0), snp = make_tag(1), val = make_tag(2),
    ctg = make_tag(3);

// Hands the gathered output to standard output.  After a failed write
// nothing more is written: the first error is kept and reported.
//
// This and the other functions that take the run's Input or Output are
// forced inline where the compiler would call them: the buffers are
// written through char pointers, which may alias any object whose address
// leaves join_records, and then every cursor would be stored and loaded
// again for each line.  Each one's force was measured: without it, the
// instructions a line rose by up to 70 %.
[[gnu::always_inline]] inline bool deliver(Output &out)
{
	if (out.error == 0 && out.end > out.buf)
		out.error = write_all(STDOUT_FILENO, out.buf,
		    static_cast<std::size_t>(out.end - out.buf));
	out.end = out.buf;
	return out.error == 0;
}

// What stands before a line in the joined output: the separator within a
// record, a line feed where the line begins the next record, nothing at
// the very start.  Always four bytes are copied and len of them kept,
// which is cheaper than copying a varying number.
struct Joint {
	char text[4];
	std::size_t len;
};
constexpr Joint within_record{{' ', '|', ' '}, 3};
constexpr Joint next_record{{'\n'}, 1};
constexpr Joint first_record{{}, 0};

// Runs once a line.  There is room: next_line_slowly made it.
[[gnu::always_inline]] inline void put(Output &out, const Joint &before,
    std::string_view line)
{
	char *p = out.end;
	std::memcpy(p, before.text, sizeof before.text);
	p += before.len;
	// A short line, as most are in some listings, goes as one copy of a
	// fixed size: two 16-byte moves in line, where a copy of exactly
	// line.size() bytes is a call that first sorts out the size.  It may
	// run up to 31 bytes past the line, out of the input buffer or its
	// slack and into the output's slack or where the next line will be
	// written: those bytes are never delivered.
	if (line.size() <= short_line)
		std::memcpy(p, line.data(), short_line);
	else
		std::memcpy(p, line.data(), line.size());
	out.end = p + line.size();
}

[[gnu::always_inline]] inline void put_newline(Output &out)
{
	if (out.end == out.buf + out_size)
		deliver(out);
	*out.end++ = '\n';
}

// Whether the line begins with the tag.  The four bytes loaded may run
// past the line, and the mask keeps only the tag's own bytes, so a line
// shorter than its tag is never tested for its length: the byte just past
// every line is white space that trimming took off (the line feed at
// least), or at the end of the input one of the zeros that each read
// leaves after the data, and no tag holds either.
inline bool begins_with(std::string_view line, const Tag &tag)
{
	std::uint32_t head;
	std::memcpy(&head, line.data(), sizeof head);
	return (head & tag.mask) == tag.word;
}

// Moves the unread tail to the front of the buffer, so that it ends on a
// boundary (see read_align), and reads the next block after it.  The tail
// holds no line feed, so the index starts again after it.  Returns 0, or
// the errno of a read that failed.
[[gnu::always_inline]] inline int refill(Input &in)
{
	std::size_t tail = static_cast<std::size_t>(in.end - in.start);
	std::size_t to = (read_align - tail % read_align) % read_align;
	std::memmove(in.buf + to, in.start, tail);
	in.start = in.buf + to;
	in.end = in.buf + to + tail;
	in.scan = in.end;
	in.lf_bits = 0;
	// read(2) and wait_to_retry called here rather than through
	// read_some: the per-line loop that this is inlined into took 2 %
	// more instructions a minimal line with that call.
	ssize_t n;
	while ((n = read(STDIN_FILENO, in.end, in_block)) < 0)
		if (int err = wait_to_retry(STDIN_FILENO, POLLIN))
			return err;
	in.end += static_cast<std::size_t>(n);
	in.eof = n == 0;
	// The last window of the data runs on past its end, where earlier
	// blocks left their bytes: cleared, they hold no line feed to find.
	std::memset(in.end, 0, window);
	return 0;
}

// Finds the line feed that ends the next piece, indexing further windows
// as needed.  False when there is none in the data within piece_max bytes.
[[gnu::always_inline]] inline bool find_line_feed(Input &in, const char *&lf)
{
	while (in.lf_bits == 0) {
		if (in.scan >= in.end)
			return false;
		in.lf_bits = line_feeds(in.scan);
		in.scan += window;
	}
	lf = in.scan - window + std::countr_zero(in.lf_bits);
	return static_cast<std::size_t>(lf - in.start) < piece_max;
}

// Cuts the piece that ends in the line feed at lf, and takes that line
// feed out of the index.
[[gnu::always_inline]] inline std::string_view cut_at_line_feed(Input &in,
    const char *lf)
{
	in.lf_bits &= in.lf_bits - 1;
	std::string_view piece{in.start, static_cast<std::size_t>(lf + 1 - in.start)};
	in.start = lf + 1;
	return piece;
}

// Cuts a piece that has no line feed within piece_max bytes: piece_max
// bytes of a longer line, or at the end of the input what is left.  A
// shorter piece may still grow until the input ends, so it waits for the
// next refill.  The index starts again at the window where the next piece
// begins: its line feed, if any, may lie anywhere, and next_line takes the
// quick way only for a line feed within the window it indexed last.
[[gnu::always_inline]] inline bool cut_long_piece(Input &in,
    std::string_view &piece)
{
	std::size_t n = std::min(static_cast<std::size_t>(in.end - in.start), piece_max);
	if (n == 0 || (n < piece_max && !in.eof))
		return false;
	piece = {in.start, n};
	in.start += n;
	in.scan = in.buf + (in.start - in.buf) / window * window;
	in.lf_bits = 0;
	return true;
}

// The length limit.  Only a piece that fills all piece_max bytes can break
// it, or leave its physical line open; and the piece after such a one must
// then be blank.
[[gnu::always_inline]] inline bool within_limit(Input &in,
    std::string_view piece, std::string_view line)
{
	if (in.open_line != 0 && !line.empty()) {
		in.ending = {Ending::too_long, in.open_line};
		return false;
	}
	in.open_line = 0;
	if (line.size() > line_max) {
		in.ending = {Ending::too_long, in.line};
		return false;
	}
	if (piece.size() == piece_max && piece.back() != '\n')
		in.open_line = in.line;
	return true;
}

// next_line for all but the usual piece: a line feed that is not within
// piece_max bytes, or not there before the end of the data; a piece after
// one that left its line open.  Refills the buffer as needed.  What is
// written so far goes out before each wait for more input, so a reader
// downstream sees each record as soon as the next one begins.
[[gnu::always_inline]] inline bool next_line_slowly(Input &in, Output &out,
    std::string_view &line)
{
	// A failed write is kept in out.error and ends the run before the
	// next read.
	if (out.buf + out_size - out.end < static_cast<std::ptrdiff_t>(out_room))
		deliver(out);
	std::string_view piece;
	for (;;) {
		const char *lf;
		if (find_line_feed(in, lf)) {
			piece = cut_at_line_feed(in, lf);
			break;
		}
		if (cut_long_piece(in, piece))
			break;
		if (in.eof)
			return false;
		if (!deliver(out)) {
			in.ending = {Ending::write_error, 0, out.error};
			return false;
		}
		if (int err = refill(in)) {
			in.ending = {Ending::read_error, 0, err};
			return false;
		}
	}
	++in.line;
	line = {piece.data(), trimmed_length(piece.data(), piece.size())};
	return within_limit(in, piece, line);
}

// Reads the next piece of the input as a line, trimmed and checked against
// the length limit.  False at the end of the input, or when the run must
// end; in.ending says which.
[[gnu::always_inline]] inline bool next_line(Input &in, Output &out,
    std::string_view &line)
{
	if (in.lf_bits != 0) [[likely]] {
		// The usual piece ends in a line feed of the window indexed
		// last, after a piece that ended in one too (see
		// cut_long_piece): it is shorter than a window, so within the
		// limit, and leaves no line open.  The line feed is trimmed
		// with any white space before it.
		const char *lf = in.scan - window + std::countr_zero(in.lf_bits);
		std::string_view piece = cut_at_line_feed(in, lf);
		++in.line;
		line = {piece.data(), trimmed_before_line_feed(piece)};
		return true;
	}
	return next_line_slowly(in, out, line);
}

// Writes the line, with what stands before it, when it begins with the
// tag.  Otherwise the run ends; a record closed by this line is ended
// with its line feed all the same.
[[gnu::always_inline]] inline bool take(Input &in, Output &out,
    std::string_view line, const Tag &tag, const Joint &before)
{
	if (!begins_with(line, tag)) [[unlikely]] {
		if (&before == &next_record)
			put_newline(out);
		in.ending = {Ending::bad_tag, in.line, tag.number};
		return false;
	}
	put(out, before, line);
	return true;
}

// Delivers what is left.  A failed write is the one error reported: the
// output is incomplete whatever else went wrong.
inline Ending finish(Output &out, Ending e)
{
	if (!deliver(out))
		return {Ending::write_error, 0, out.error};
	return e;
}

// The whole run, between the buffers that main allocates.  Where the code
// stands is the state of the grammar: each line of a record is read where
// its tag is due.
Ending join_records(char *in_buf, char *out_buf)
{
	Input in{.buf = in_buf, .start = in_buf, .end = in_buf, .scan = in_buf};
	Output out{.buf = out_buf, .end = out_buf};
	std::string_view line;
	bool more = next_line(in, out, line);
	const Joint *before_rs = &first_record;
	while (more) {
		if (!take(in, out, line, rs, *before_rs) ||
		    !(next_line(in, out, line) &&
		        take(in, out, line, snp, within_record)) ||
		    !(next_line(in, out, line) &&
		        take(in, out, line, val, within_record)) ||
		    !(next_line(in, out, line) &&
		        take(in, out, line, ctg, within_record)))
			break;
		// Only a line that is not another "CTG" line closes a record.
		while ((more = next_line(in, out, line)) && begins_with(line, ctg))
			put(out, within_record, line);
		before_rs = &next_record;
	}
	if (in.ending.kind == Ending::end_of_input)
		put_newline(out);
	return finish(out, in.ending);
}

// A message for standard error, built without allocating.
struct Message {
	char text[256];
	std::size_t len = 0;
};

void add(Message &m, std::string_view s)
{
	std::size_t n = std::min(s.size(), sizeof m.text - m.len);
	std::memcpy(m.text + m.len, s.data(), n);
	m.len += n;
}

void add(Message &m, std::int64_t number)
{
	auto [end, ec] = std::to_chars(m.text + m.len,
	    m.text + sizeof m.text, number);
	if (ec == std::errc())
		m.len = static_cast<std::size_t>(end - m.text);
}

// The one place where a run's failure is told: one message on standard
// error, with no line feed after it.
int report(const Ending &e)
{
	Message m;
	switch (e.kind) {
	case Ending::end_of_input:
		return 0;
	case Ending::too_long:
		add(m, "input line ");
		add(m, e.line);
		add(m, " is too long");
		break;
	case Ending::bad_tag:
		add(m, "\"");
		add(m, tag_texts[e.detail]);
		add(m, "\" expected at beginning of input line ");
		add(m, e.line);
		break;
	case Ending::read_error:
		add(m, "error reading input: ");
		add(m, std::strerror(e.detail));
		break;
	case Ending::write_error:
		add(m, "error writing output: ");
		add(m, std::strerror(e.detail));
		break;
	}
	write_all(STDERR_FILENO, m.text, m.len);
	return status_error;
}

using Memory = std::unique_ptr<char, decltype(&std::free)>;

// size bytes that start a page, zeroed, so that the slack read past the
// data is never uninitialised memory.
Memory page_memory(std::size_t size)
{
	long page = sysconf(_SC_PAGESIZE);
	std::size_t align = page > 0 ? static_cast<std::size_t>(page) : default_page;
	size = (size + align - 1) / align * align;
	Memory m{static_cast<char *>(std::aligned_alloc(align, size)), &std::free};
	if (!m)
		throw std::bad_alloc();
	std::memset(m.get(), 0, size);
	return m;
}

} // namespace

int main(int, char **)
{
	Memory in_buf = page_memory(in_size + slack);
	Memory out_buf = page_memory(out_size + slack);
	enlarge_pipe(STDIN_FILENO);
	enlarge_pipe(STDOUT_FILENO);
	return report(join_records(in_buf.get() + in_front, out_buf.get()));
}
