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
// read in large blocks and the pieces are used where they lie; the output
// is gathered in one large buffer.  Nothing is allocated after the start.

#include "tagjoin.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include <unistd.h>

namespace {

// A read holds at most this many bytes; the rest of a longer physical line
// comes in the next read.
constexpr std::size_t piece_max = 20000;
// The longest line accepted, trailing white space not counted.
constexpr std::size_t line_max = piece_max - 1;
// Block sizes chosen by measurement: from 128 KiB to 512 KiB both buffers
// stay in a core's cache and a gigabyte runs about 7 % faster than with
// 1 MiB blocks; below that the system calls begin to count.
constexpr std::size_t in_size = std::size_t{256} << 10;
constexpr std::size_t out_size = std::size_t{256} << 10;
constexpr int status_error = -1;        // the shell sees 255

// White space of the C locale, which this program never leaves: space,
// tab, line feed, vertical tab, form feed, carriage return.  Tested inline
// rather than through isspace(3) so that the per-line trim makes no call.
constexpr bool is_white(unsigned char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// The length of the first n bytes of s without their trailing white space.
inline std::size_t trimmed_length(const char *s, std::size_t n)
{
	while (n > 0 && is_white(static_cast<unsigned char>(s[n - 1])))
		--n;
	return n;
}

} // namespace

int rtrim(char *s)
{
	std::size_t n = trimmed_length(s, std::strlen(s));
	s[n] = '\0';
	return static_cast<int>(n);
}

namespace {

// How a run ends.  A bad tag carries the state that wanted another tag;
// a failed read or write carries its errno.
struct Ending {
	enum Kind { end_of_input, too_long, bad_tag, read_error, write_error };
	Kind kind = end_of_input;
	std::int64_t line = 0;
	int detail = 0;
};

struct Input {
	char *buf;
	std::size_t start = 0;          // the unread bytes are buf[start, end)
	std::size_t end = 0;
	bool eof = false;
};

struct Output {
	char *buf;
	std::size_t len = 0;
	int error = 0;                  // errno of the first failed write
};

// The grammar of a record, one state for each line it waits for.
enum State { want_rs, want_snp, want_val, want_ctg, in_ctg };
constexpr std::string_view tags[] = {"rs", "SNP", "VAL", "CTG"};

struct Record {
	int state = want_rs;
	std::int64_t line = 0;          // number of the latest read
	// A read that filled all piece_max bytes with no line feed, passing
	// the limit only because it ended in white space: its physical line
	// goes on in the next read, which must then be blank.
	std::int64_t open_line = 0;
};

// Writes all n bytes, through short writes and interrupted calls.
// Returns 0, or the errno of the write that failed.
int write_all(int fd, const char *p, std::size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			return errno;
		}
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return 0;
}

// Hands the gathered output to standard output.  After a failed write
// nothing more is written: the first error is kept and reported.
bool deliver(Output &out)
{
	if (out.error == 0 && out.len > 0)
		out.error = write_all(STDOUT_FILENO, out.buf, out.len);
	out.len = 0;
	return out.error == 0;
}

// What stands before a line in the joined output: the separator within a
// record, a line feed where the line begins the next record, nothing at
// the very start.  Always three bytes are copied and len of them kept,
// which is cheaper than copying a varying number.
struct Joint {
	char text[3];
	std::size_t len;
};
constexpr Joint within_record{{' ', '|', ' '}, 3};
constexpr Joint next_record{{'\n'}, 1};
constexpr Joint first_record{{}, 0};

// Runs once a line: kept inline on purpose, since a call and its frame
// cost as much as the rest of the work for a short line.
[[gnu::always_inline]] inline void put(Output &out, const Joint &before,
    std::string_view line)
{
	if (out_size - out.len < sizeof before.text + line.size())
		deliver(out);
	char *p = out.buf + out.len;
	std::memcpy(p, before.text, sizeof before.text);
	std::memcpy(p + before.len, line.data(), line.size());
	out.len += before.len + line.size();
}

void put_newline(Output &out)
{
	if (out.len == out_size)
		deliver(out);
	out.buf[out.len++] = '\n';
}

// Whether the line begins with the tag.  Tags are two or three bytes,
// compared one by one: a loop or a call to memcmp costs more than that.
inline bool begins_with(std::string_view line, std::string_view tag)
{
	return line.size() >= tag.size() && line[0] == tag[0] &&
	    line[1] == tag[1] && (tag.size() == 2 || line[2] == tag[2]);
}

// Moves the unread tail to the front of the buffer and reads more after
// it.  Returns 0, or the errno of a read that failed.
int refill(Input &in)
{
	std::memmove(in.buf, in.buf + in.start, in.end - in.start);
	in.end -= in.start;
	in.start = 0;
	for (;;) {
		ssize_t n = read(STDIN_FILENO, in.buf + in.end, in_size - in.end);
		if (n >= 0) {
			in.end += static_cast<std::size_t>(n);
			in.eof = n == 0;
			return 0;
		}
		if (errno != EINTR)
			return errno;
	}
}

// Cuts the next piece off the buffer: up to and including the next line
// feed, or piece_max bytes.  A shorter piece with no line feed may still
// grow until the input ends, so it waits for the next refill.
bool next_piece(Input &in, std::string_view &piece)
{
	const char *p = in.buf + in.start;
	std::size_t scan = std::min(in.end - in.start, piece_max);
	auto nl = static_cast<const char *>(std::memchr(p, '\n', scan));
	std::size_t n = nl ? static_cast<std::size_t>(nl - p) + 1 : scan;
	if (n == 0 || (!nl && n < piece_max && !in.eof))
		return false;
	in.start += n;
	piece = {p, n};
	return true;
}

// The length limit.  Only a piece that fills all piece_max bytes can break
// it, or leave its physical line open; and the piece after such a one must
// then be blank.
Ending check_length(Record &r, std::string_view piece, std::string_view line)
{
	if (r.open_line != 0 && !line.empty())
		return {Ending::too_long, r.open_line};
	r.open_line = 0;
	if (line.size() > line_max)
		return {Ending::too_long, r.line};
	if (piece.size() == piece_max && piece.back() != '\n')
		r.open_line = r.line;
	return {};
}

// Checks one piece against the length limit and the record grammar, and
// writes what it adds to the joined line.
Ending take_line(Record &r, Output &out, std::string_view piece)
{
	++r.line;
	std::string_view line = piece.substr(0,
	    trimmed_length(piece.data(), piece.size()));
	if (piece.size() == piece_max || r.open_line != 0) [[unlikely]]
		if (Ending e = check_length(r, piece, line);
		    e.kind != Ending::end_of_input)
			return e;

	// Only a line that is not another "CTG" line closes a record.
	const Joint *before = r.state == want_rs ? &first_record : &within_record;
	if (r.state == in_ctg && !begins_with(line, tags[want_ctg])) {
		before = &next_record;
		r.state = want_rs;
	}
	if (r.state != in_ctg && !begins_with(line, tags[r.state])) {
		if (before == &next_record)     // closed all the same
			put_newline(out);
		return {Ending::bad_tag, r.line, r.state};
	}
	put(out, *before, line);
	r.state += r.state != in_ctg;
	return {};
}

Ending join_records(Input &in, Output &out)
{
	Record r;
	for (;;) {
		std::string_view piece;
		while (next_piece(in, piece))
			if (Ending e = take_line(r, out, piece);
			    e.kind != Ending::end_of_input)
				return e;
		if (in.eof)
			break;
		// What is written so far goes out before the program waits
		// for more, so a reader downstream sees each record as soon
		// as the next one begins.
		if (!deliver(out))
			return {Ending::write_error, 0, out.error};
		if (int err = refill(in))
			return {Ending::read_error, 0, err};
	}
	put_newline(out);
	return {};
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
		add(m, tags[e.detail]);
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

} // namespace

int main(int, char **)
{
	auto in_buf = std::make_unique_for_overwrite<char[]>(in_size);
	auto out_buf = std::make_unique_for_overwrite<char[]>(out_size);
	Input in{in_buf.get()};
	Output out{out_buf.get()};

	Ending e = join_records(in, out);
	if (!deliver(out))
		e = {Ending::write_error, 0, out.error};
	return report(e);
}
