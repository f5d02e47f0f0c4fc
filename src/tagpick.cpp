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
//
// The program is three layers: a source of bytes (each input read, and
// inflated member by member when it is gzip), a picker of lines, and a
// sink that holds, spills and writes what is kept.  With two CPUs the
// source runs on a thread of its own, a few blocks of text ahead of the
// other two.  Every way a run can end is one Ending, and report() alone
// turns it into a message and a status.

#include "inflate.h"
#include "io.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes asked of each read of a file, and the room for what one call of
// the inflater makes, a block of text.  Blocks of a MiB pass between the
// two threads a few hundred times in 300 MB, few enough that waking the
// picker costs nothing measurable; with a quarter of that the hand-overs
// cost the job a tenth of its time.
constexpr std::size_t read_block = std::size_t{128} << 10;
constexpr std::size_t text_block = std::size_t{1} << 20;
// Output goes in writes of a whole pipe's worth (see pipe_size).  It is
// also the most of a record held for --drop-incomplete that stays in
// memory: a larger one goes on in a temporary file.
constexpr std::size_t out_block = std::size_t{1} << 20;
// What the temporary file's contents are read back through.
constexpr std::size_t spill_chunk = std::size_t{64} << 10;
// Line feeds are found a window at a time (see line_feeds); the text
// buffer has this much room after its data for the last window.
constexpr std::size_t window = lf_window;
// Lines up to this long are copied with one copy of this fixed size (see
// keep_text), as most lines of a dump are; the text buffer's slack covers
// it.
constexpr std::size_t short_line = 128;
constexpr std::size_t slack = std::max(window, short_line);
// The longest tag; a line is decided on this many bytes.
constexpr std::size_t tag_max = 3;
// --progress redraws its line at most this often, and shows a rate once
// this much time has gone, when it no longer measures the first read.
constexpr double progress_every = 0.25;
constexpr double rate_after = 1.0;

constexpr int status_failure = 1;
constexpr int status_usage = 2;

constexpr std::string_view usage_text =
    "usage: tagpick [--drop-incomplete] [--numbered] [--all-lines] "
    "[--progress] [FILE]...\n";
constexpr std::string_view standard_input = "(standard input)";

struct Options {
	bool drop_incomplete = false;
	bool numbered = false;
	bool all_lines = false;
	bool progress = false;
};

// How a run, or the reading of one input, ends.  name is the input's (or
// for a record that could not be held, the temporary folder's); error an
// errno; detail the words of the inflate library, or the option or
// reason of a usage error.
struct Ending {
	enum Kind {
		done, usage, same_as_output, read_error, not_gzip,
		empty_not_gzip, cut_short, trailing_garbage, unknown_method,
		unknown_flags, header_crc, corrupt, cannot_hold, write_error,
	};
	Kind kind = done;
	std::string name;
	int error = 0;
	std::string detail;
};

Ending ending(Ending::Kind kind, std::string_view name, int error = 0,
    std::string_view detail = {})
{
	return {kind, std::string(name), error, std::string(detail)};
}

// ---- The sink: standard output, gathered in a block. ----
//
// With --drop-incomplete, the record being read is held until its first
// "CTG" line shows that it has one: its bytes are gathered like any
// other, from held on, and are not delivered until then, or are taken
// back when it has none.  A record that outgrows the block goes on in a
// temporary file, and the whole block is then held.
//
// The first failure, of a write or of the temporary file, stops the sink:
// nothing more is written to standard output after it.

constexpr std::size_t none = static_cast<std::size_t>(-1);

struct Sink {
	std::unique_ptr<char[]> buf{new char[out_block]};
	std::size_t len = 0;
	std::size_t held = none;        // where the record held starts
	int spill_fd = -1;              // the temporary file, once needed
	off_t spilled = 0;              // bytes of the record held in it
	std::string spill_dir;          // its folder, to name in a message
	int write_error = 0;            // errno of the first failed write
	int spill_error = 0;            // errno of the temporary file's failure
};

bool stopped(const Sink &out)
{
	return out.write_error != 0 || out.spill_error != 0;
}

void write_out(Sink &out, const char *p, std::size_t n)
{
	if (!stopped(out))
		out.write_error = write_all(STDOUT_FILENO, p, n);
}

// The folder for temporary files, as other programs find it.
std::string temporary_folder()
{
	const char *dir = std::getenv("TMPDIR");
	return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// A file with no name in dir, or -1 with errno set.
int open_temporary(const std::string &dir)
{
#ifdef O_TMPFILE
	int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
	// Not every file system can make one: then a named file, unlinked.
	if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
		return fd;
#endif
	std::string path = dir + "/tagpick.XXXXXX";
	int named = mkostemp(path.data(), O_CLOEXEC);
	if (named >= 0)
		unlink(path.c_str());
	return named;
}

// Adds n bytes of the record held to the temporary file, made at the
// first need.
void spill(Sink &out, const char *p, std::size_t n)
{
	if (stopped(out))
		return;
	if (out.spill_fd < 0) {
		out.spill_dir = temporary_folder();
		out.spill_fd = open_temporary(out.spill_dir);
		if (out.spill_fd < 0) {
			out.spill_error = errno;
			return;
		}
	}
	out.spill_error = write_all(out.spill_fd, p, n);
	out.spilled += static_cast<off_t>(n);
}

// Delivers what is gathered and not held; the held part moves to the
// front of the block.
void deliver(Sink &out)
{
	std::size_t ready = out.held == none ? out.len : out.held;
	write_out(out, out.buf.get(), ready);
	std::memmove(out.buf.get(), out.buf.get() + ready, out.len - ready);
	out.len -= ready;
	if (out.held != none)
		out.held = 0;
}

void put(Sink &out, const char *p, std::size_t n)
{
	if (n > out_block - out.len) {
		deliver(out);
		if (n > out_block - out.len) {
			if (out.held == none) {
				write_out(out, p, n);
				return;
			}
			// The record held outgrows the block: all of it so
			// far, then these bytes, go to the temporary file.
			spill(out, out.buf.get(), out.len);
			out.len = 0;
			spill(out, p, n);
			return;
		}
	}
	std::memcpy(out.buf.get() + out.len, p, n);
	out.len += n;
}

void forget_spilled(Sink &out)
{
	if (out.spilled > 0 && !stopped(out) &&
	    (ftruncate(out.spill_fd, 0) != 0 || lseek(out.spill_fd, 0, SEEK_SET) != 0))
		out.spill_error = errno;
	out.spilled = 0;
}

// Starts holding a record whose first line is about to be gathered.
void hold(Sink &out)
{
	out.held = out.len;
}

// Takes back the record held, which has no "CTG" line.
void drop_held(Sink &out)
{
	out.len = out.held;
	out.held = none;
	forget_spilled(out);
}

// Lets the record held go out with the rest: its spilled part first,
// which comes before all that is in the block.
void release_held(Sink &out)
{
	if (out.spilled > 0 && !stopped(out) &&
	    lseek(out.spill_fd, 0, SEEK_SET) != 0)
		out.spill_error = errno;
	char chunk[spill_chunk];
	for (off_t left = out.spilled; left > 0 && !stopped(out);) {
		ssize_t n = read_some(out.spill_fd, chunk, static_cast<std::size_t>(
		    std::min<off_t>(left, static_cast<off_t>(sizeof chunk))));
		if (n <= 0) {
			out.spill_error = n < 0 ? static_cast<int>(-n) : EIO;
			break;
		}
		write_out(out, chunk, static_cast<std::size_t>(n));
		left -= n;
	}
	out.held = none;
	forget_spilled(out);
}

// ---- The picker: which lines are kept. ----

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

// put for bytes of the text buffer, whose slack lets a short line go as
// one copy of a fixed size, in line, rather than a call that first sorts
// out the size: the bytes copied past the line are never delivered.
inline void keep_text(Sink &out, const char *p, std::size_t n)
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
inline void drop_or_release(Picker &pk, Sink &out, Tag tag)
{
	if (tag == Tag::rs) {
		if (out.held != none) {
			drop_held(out);
			++pk.dropped;
		}
		hold(out);
	} else if (tag == Tag::ctg && out.held != none) {
		release_held(out);
	}
}

// What --drop-incomplete and --numbered do at the start of a kept line,
// line number in its input, tagged tag.
void start_kept_line(Picker &pk, Sink &out, Tag tag, std::int64_t number)
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
// Returns where it stopped, at the start of a line that the loop in pick
// must take.
inline const char *pick_usual_lines(Picker &pk, Sink &out, LineFeeds &f,
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
const char *pick(Picker &pk, Sink &out, const char *p, const char *end,
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
void end_input(Picker &pk, Sink &out)
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

// ---- --progress: how far the run has got in the input being read. ----
//
// On a terminal the line is redrawn in place, cut to the terminal's width
// so that it never wraps (a wrapped line cannot be drawn over), and
// cleared at every ending.  Anywhere else, such as a log file, frames
// drawn over each other would be noise: one line is written at the end of
// each input instead, saying how much was read and how long it took.

struct Progress {
	bool on = false;
	bool terminal = false;          // standard error is a terminal
	std::string_view name;
	off_t size = 0;                 // 0 when not known, as for a pipe
	off_t done = 0;
	std::chrono::steady_clock::time_point start;
	double drawn_at = -1;
	std::size_t width = 0;          // of the line on the terminal now
};

double seconds_since(const Progress &pr)
{
	return std::chrono::duration<double>(
	    std::chrono::steady_clock::now() - pr.start).count();
}

// The terminal's width, or 80 when it does not say.
std::size_t terminal_width()
{
	winsize ws{};
	if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
		return ws.ws_col;
	return 80;
}

// Draws text over the line last drawn: blanks cover what it leaves.
void draw(Progress &pr, std::string_view text)
{
	// The last column left free: a line that fills it may wrap.
	text = text.substr(0, terminal_width() - 1);
	std::string line(1, '\r');
	line += text;
	if (text.size() < pr.width)
		line.append(pr.width - text.size(), ' ');
	pr.width = text.size();
	write_all(STDERR_FILENO, line.data(), line.size());
}

void show_progress(Progress &pr)
{
	if (!pr.on || !pr.terminal)
		return;
	double t = seconds_since(pr);
	if (t - pr.drawn_at < progress_every)
		return;
	pr.drawn_at = t;
	double mb = static_cast<double>(pr.done) / 1e6;
	double rate = t >= rate_after ? mb / t : 0;
	std::string text(pr.name);
	char figures[128];
	if (pr.size > 0) {
		double total = static_cast<double>(pr.size) / 1e6;
		std::snprintf(figures, sizeof figures, ": %.1f of %.1f MB (%.0f %%)",
		    mb, total, 100 * mb / total);
		text += figures;
		if (rate > 0) {
			int left = static_cast<int>((total - mb) / rate);
			std::snprintf(figures, sizeof figures,
			    ", %.1f MB/s, %d:%02d left", rate, left / 60, left % 60);
			text += figures;
		}
	} else {
		std::snprintf(figures, sizeof figures, ": %.1f MB", mb);
		text += figures;
		if (rate > 0) {
			std::snprintf(figures, sizeof figures, ", %.1f MB/s", rate);
			text += figures;
		}
	}
	draw(pr, text);
}

void clear_progress(Progress &pr)
{
	if (pr.width > 0) {
		draw(pr, "");
		write_all(STDERR_FILENO, "\r", 1);
		pr.width = 0;
	}
}

// At the end of an input read whole.
void end_progress(Progress &pr)
{
	if (!pr.on)
		return;
	if (pr.terminal) {
		clear_progress(pr);
		return;
	}
	int t = static_cast<int>(seconds_since(pr));
	char figures[64];
	std::snprintf(figures, sizeof figures, ": %.1f MB read in %d:%02d\n",
	    static_cast<double>(pr.done) / 1e6, t / 60, t % 60);
	std::string line = std::string(pr.name) + figures;
	write_all(STDERR_FILENO, line.data(), line.size());
}

// ---- The text between the source and the picker. ----
//
// With two CPUs or more, each input is read, and inflated, on a thread of
// its own, up to ring_blocks blocks of text ahead of the main thread,
// which picks the lines, writes them and draws the progress line.  The
// two share only a Ring, under its lock: which blocks are full, the
// reader's Ending, posted after its last block, and whether the picking
// has given up.  All else is one thread's: the Input, its raw bytes and
// the inflater the reader's; the Picker, the Sink and the Progress the
// main thread's.  With one CPU the same reading code hands each block
// straight to the picker on the one thread, and only the first block is
// used.
//
// The picking gives up only when the sink has stopped, which ends the
// run: the reader is then told through the lock, and, as it may be
// waiting for a pipe or a terminal to give more, by the end of a pipe of
// its own being closed.

constexpr std::size_t ring_blocks = 3;
// Room before a block's text for the bytes of a line that the block
// before left unpicked (fewer than tag_max), so that they are picked with
// the text that follows them without moving it.
constexpr std::size_t carry_room = lf_window;

struct TextBlock {
	std::unique_ptr<char[]> room{new char[carry_room + text_block + slack]};
	std::size_t size = 0;           // bytes of text
	off_t read = 0;                 // the input's bytes read when it was made
};

char *text_of(TextBlock &b)
{
	return b.room.get() + carry_room;
}

struct Ring {
	std::array<TextBlock, ring_blocks> blocks;
	std::mutex lock;
	std::condition_variable filled;     // a block, or the reader's Ending
	std::condition_variable emptied;    // a block, or the picking gave up
	std::uint64_t made = 0;             // blocks filled for this input
	std::uint64_t taken = 0;            // and emptied
	bool ended = false;                 // ending is posted
	Ending ending;
	bool giving_up = false;
	int given_up[2] = {-1, -1};         // the pipe closed on giving up;
					    // -1: one thread
};

// The lines picked so far and where they go, the main thread's.  carry
// holds the bytes of a line left unpicked at the end of a block.
struct Picking {
	Picker &pk;
	Sink &out;
	Progress &pr;
	std::array<char, tag_max> carry{};
	std::size_t carried = 0;
};

// Picks a block's text after the bytes carried over; last at the end of
// the input, when nothing is left to carry.
void take_text(Picking &pg, TextBlock &b, bool last)
{
	char *text = text_of(b);
	char *from = text - pg.carried;
	std::memcpy(from, pg.carry.data(), pg.carried);
	const char *stop = pick(pg.pk, pg.out, from, text + b.size, last);
	pg.carried = static_cast<std::size_t>(text + b.size - stop);
	std::memcpy(pg.carry.data(), stop, pg.carried);
	pg.pr.done = b.read;
	show_progress(pg.pr);
}

// Where the reader's text goes: into the ring, for the main thread, or
// when picking is set, to the picker at once.
struct TextOut {
	Ring &ring;
	Picking *picking;
};

TextBlock &block_to_fill(TextOut &t)
{
	// Only the reader changes made.
	return t.ring.blocks[t.picking ? 0 : t.ring.made % ring_blocks];
}

// The room for the next block's text, text_block bytes, once a block is
// free; nullptr when the picking has given up.
char *room_for_text(TextOut &t)
{
	Ring &r = t.ring;
	if (t.picking == nullptr) {
		std::unique_lock held(r.lock);
		r.emptied.wait(held, [&r] {
			return r.giving_up || r.made - r.taken < ring_blocks;
		});
		if (r.giving_up)
			return nullptr;
	}
	return text_of(block_to_fill(t));
}

// Hands over n bytes of text made in the room; false when the picking has
// stopped.
bool hand_over(TextOut &t, std::size_t n, off_t read)
{
	TextBlock &b = block_to_fill(t);
	b.size = n;
	b.read = read;
	if (t.picking != nullptr) {
		take_text(*t.picking, b, false);
		return !stopped(t.picking->out);
	}
	{
		std::lock_guard held(t.ring.lock);
		++t.ring.made;
	}
	t.ring.filled.notify_one();
	return true;
}

void post_ending(Ring &r, Ending e)
{
	{
		std::lock_guard held(r.lock);
		r.ending = std::move(e);
		r.ended = true;
	}
	r.filled.notify_one();
}

void start_input(Ring &r)
{
	r.made = r.taken = 0;
	r.ended = false;
}

// The next block filled, or nullptr when the reader has ended and every
// block has been taken.
TextBlock *next_filled(Ring &r)
{
	std::unique_lock held(r.lock);
	r.filled.wait(held, [&r] { return r.taken < r.made || r.ended; });
	return r.taken < r.made ? &r.blocks[r.taken % ring_blocks] : nullptr;
}

void done_with(Ring &r)
{
	{
		std::lock_guard held(r.lock);
		++r.taken;
	}
	r.emptied.notify_one();
}

void give_up(Ring &r)
{
	{
		std::lock_guard held(r.lock);
		r.giving_up = true;
	}
	r.emptied.notify_one();
	close(r.given_up[1]);
}

// Two threads when the program may run on two CPUs or more, and the pipe
// that tells the reader the picking gave up can be had.
void choose_threads(Ring &r)
{
	cpu_set_t cpus;
	bool two = sched_getaffinity(0, sizeof cpus, &cpus) == 0 &&
	    CPU_COUNT(&cpus) >= 2;
	// Without the pipe, one thread too.
	if (two && pipe2(r.given_up, O_CLOEXEC) != 0)
		r.given_up[0] = r.given_up[1] = -1;
}

// ---- The source: each input, read and, when it is gzip, inflated. ----

// One input, open on fd, and the buffer its raw bytes are read into.  Its
// raw bytes not yet used are [next, end) of raw.
struct Input {
	int fd;
	std::string_view name;
	bool must_be_gzip;              // its name ends in .gz
	bool may_block;                 // a pipe, a terminal: not a regular file
	int given_up;                   // see Ring, or -1 on one thread
	unsigned char *raw;             // read_block bytes: reads land here
	const unsigned char *next = raw;
	const unsigned char *end = raw;
	bool eof = false;               // a read found the end of the file
	off_t read = 0;                 // bytes read so far
};

// Reads up to n bytes into p.  Returns the count, 0 at the end of the
// file, or minus the errno of a read that failed.  A reader on a thread
// of its own first waits for bytes to come or for the picking to give up
// (see Ring): then it reads no more, and the run is ending anyway.
ssize_t read_input(Input &in, void *p, std::size_t n)
{
	if (in.given_up >= 0 && in.may_block) {
		pollfd ready[2] = {{in.fd, POLLIN, 0}, {in.given_up, POLLIN, 0}};
		while (poll(ready, 2, -1) < 0)
			if (errno != EINTR)
				return -errno;
		if (ready[1].revents != 0)
			return -ECANCELED;
	}
	ssize_t r = read_some(in.fd, p, n);
	if (r > 0)
		in.read += r;
	return r;
}

// Moves the raw bytes not yet used to the front and reads more after
// them; in.eof when nothing more came.  Returns 0 or the read's errno.
int refill_raw(Input &in)
{
	std::size_t left = static_cast<std::size_t>(in.end - in.next);
	std::memmove(in.raw, in.next, left);
	in.next = in.raw;
	in.end = in.raw + left;
	ssize_t r = read_input(in, in.raw + left, read_block - left);
	if (r < 0)
		return static_cast<int>(-r);
	in.end += r;
	in.eof = r == 0;
	return 0;
}

// A plain text input, whose first bytes are already in in.raw.
Ending read_plain(Input &in, TextOut &t)
{
	std::size_t n = static_cast<std::size_t>(in.end - in.raw);
	char *room = room_for_text(t);
	if (room == nullptr)
		return {};
	std::memcpy(room, in.raw, n);
	while (n > 0) {
		if (!hand_over(t, n, in.read) || (room = room_for_text(t)) == nullptr)
			return {};
		ssize_t r = read_input(in, room, text_block);
		if (r < 0)
			return ending(Ending::read_error, in.name, static_cast<int>(-r));
		n = static_cast<std::size_t>(r);
	}
	return {};
}

// Makes sure at least n raw bytes are in hand, reading as needed: false
// with *e set when the file ends first or a read fails.
bool need(Input &in, std::size_t n, Ending *e)
{
	while (static_cast<std::size_t>(in.end - in.next) < n) {
		if (in.eof) {
			*e = ending(Ending::cut_short, in.name);
			return false;
		}
		if (int err = refill_raw(in)) {
			*e = ending(Ending::read_error, in.name, err);
			return false;
		}
	}
	return true;
}

// Takes n raw bytes, in hand, into the header's CRC.
void take_header(Input &in, std::size_t n, std::uint32_t &crc)
{
	crc = crc32_update(crc, in.next, n);
	in.next += n;
}

// Skips a field that ends in a NUL, however long.
bool skip_to_nul(Input &in, std::uint32_t &crc, Ending *e)
{
	for (;;) {
		if (!need(in, 1, e))
			return false;
		std::size_t n = static_cast<std::size_t>(in.end - in.next);
		const void *nul = std::memchr(in.next, 0, n);
		if (nul != nullptr) {
			take_header(in, static_cast<std::size_t>(
			    static_cast<const unsigned char *>(nul) - in.next) + 1, crc);
			return true;
		}
		take_header(in, n, crc);
	}
}

// gzip's header flags: those tagpick reads, and those that no gzip sets.
constexpr unsigned char flag_hcrc = 0x02, flag_extra = 0x04,
    flag_name = 0x08, flag_comment = 0x10, flags_reserved = 0xe0;
constexpr unsigned char method_deflate = 8;

unsigned little_endian16(const unsigned char *p)
{
	return p[0] | unsigned{p[1]} << 8;
}

// Reads a member's header, from its magic bytes to its deflate data,
// wherever the reads fall: its optional fields may be of any length.
bool read_header(Input &in, Ending *e)
{
	constexpr std::size_t fixed = 10;
	if (!need(in, fixed, e))
		return false;
	const unsigned char method = in.next[2], flags = in.next[3];
	if (method != method_deflate) {
		*e = ending(Ending::unknown_method, in.name);
		return false;
	}
	if ((flags & flags_reserved) != 0) {
		*e = ending(Ending::unknown_flags, in.name);
		return false;
	}
	std::uint32_t crc = 0;
	take_header(in, fixed, crc);
	if (flags & flag_extra) {
		if (!need(in, 2, e))
			return false;
		std::size_t left = little_endian16(in.next);
		take_header(in, 2, crc);
		while (left > 0) {
			if (!need(in, 1, e))
				return false;
			std::size_t n = std::min(left,
			    static_cast<std::size_t>(in.end - in.next));
			take_header(in, n, crc);
			left -= n;
		}
	}
	if ((flags & flag_name) && !skip_to_nul(in, crc, e))
		return false;
	if ((flags & flag_comment) && !skip_to_nul(in, crc, e))
		return false;
	if (flags & flag_hcrc) {
		if (!need(in, 2, e))
			return false;
		if (little_endian16(in.next) != (crc & 0xffff)) {
			*e = ending(Ending::header_crc, in.name);
			return false;
		}
		in.next += 2;
	}
	return true;
}

bool at_magic(const Input &in)
{
	return in.end - in.next >= 2 && in.next[0] == 0x1f && in.next[1] == 0x8b;
}

// A gzip input, whose first bytes, the magic ones, are already in in.raw:
// one member after another until the end of the file, which must come
// right after a member's trailer.
Ending read_gzip(Input &in, TextOut &t)
{
	InflaterPtr z = make_inflater();
	Ending e;
	for (;;) {
		if (!read_header(in, &e))
			return e;
		start_member(*z);
		for (bool stalled = false;;) {
			if ((in.next == in.end || stalled) && !in.eof)
				if (int err = refill_raw(in))
					return ending(Ending::read_error, in.name, err);
			auto *from = reinterpret_cast<unsigned char *>(room_for_text(t));
			if (from == nullptr)
				return {};
			auto *made = from;
			const unsigned char *before = in.next;
			Inflated how = inflate_some(*z, in.next, in.end, made,
			    from + text_block);
			std::size_t produced = static_cast<std::size_t>(made - from);
			if (produced > 0 && !hand_over(t, produced, in.read))
				return {};
			if (how == Inflated::corrupt)
				return ending(Ending::corrupt, in.name, 0,
				    inflate_error(*z));
			if (how == Inflated::member_end)
				break;
			stalled = in.next == before && produced == 0;
			if (stalled && in.eof)
				return ending(Ending::cut_short, in.name);
		}
		// Another member starts with the magic bytes; anything else
		// after a member is not gzip.
		while (in.end - in.next < 2 && !in.eof)
			if (int err = refill_raw(in))
				return ending(Ending::read_error, in.name, err);
		if (in.next == in.end)
			return {};
		if (!at_magic(in))
			return ending(Ending::trailing_garbage, in.name);
	}
}

// Reads one input to its end, gzip or plain, told by its first bytes, and
// hands its text to the picking.
Ending read_whole(Input &in, TextOut &t)
{
	// Enough for the magic bytes, however the first reads come.
	while (in.end - in.raw < 2 && !in.eof)
		if (int err = refill_raw(in))
			return ending(Ending::read_error, in.name, err);
	if (at_magic(in))
		return read_gzip(in, t);
	if (in.must_be_gzip)
		return ending(in.end == in.raw ? Ending::empty_not_gzip :
		    Ending::not_gzip, in.name);
	return read_plain(in, t);
}

// Reads the input on a thread of its own while this one picks its text;
// on this thread alone when a thread cannot be had.
Ending read_ahead(Picking &pg, Input &in, Ring &ring)
{
	start_input(ring);
	std::thread reader;
	try {
		reader = std::thread([&in, &ring] {
			TextOut t{ring, nullptr};
			post_ending(ring, read_whole(in, t));
		});
	} catch (const std::system_error &) {
		in.given_up = -1;
		TextOut t{ring, &pg};
		return read_whole(in, t);
	}
	while (TextBlock *b = next_filled(ring)) {
		take_text(pg, *b, false);
		done_with(ring);
		if (stopped(pg.out)) {
			give_up(ring);
			break;
		}
	}
	reader.join();
	return stopped(pg.out) ? Ending{} : std::move(ring.ending);
}

// Reads one input to its end and picks its lines, on one thread or two;
// then its last line is ended, and its progress told.
Ending read_and_pick(Picking &pg, Input &in, Ring &ring)
{
	Ending e;
	if (ring.given_up[0] >= 0) {
		e = read_ahead(pg, in, ring);
	} else {
		TextOut t{ring, &pg};
		e = read_whole(in, t);
	}
	// Any reader thread has ended: its blocks and in are this one's.
	if (e.kind == Ending::done && !stopped(pg.out)) {
		TextBlock &b = ring.blocks[0];
		b.size = 0;
		b.read = in.read;
		take_text(pg, b, true);
		end_input(pg.pk, pg.out);
		end_progress(pg.pr);
	}
	return e;
}

bool ends_with(std::string_view s, std::string_view end)
{
	return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool is_standard_input(const char *name)
{
	return std::strcmp(name, "-") == 0;
}

// Opens and reads the input named, "-" being standard input.
Ending read_named(Picking &pg, Ring &ring, const char *name,
    unsigned char *raw)
{
	bool is_stdin = is_standard_input(name);
	int fd = is_stdin ? STDIN_FILENO : open(name, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return ending(Ending::read_error, name, errno);
	struct stat st;
	bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
	Input in{fd, is_stdin ? standard_input : std::string_view(name),
	    ends_with(name, ".gz"), !regular, ring.given_up[0], raw};
	Progress &pr = pg.pr;
	pr.name = in.name;
	pr.size = regular ? st.st_size : 0;
	pr.done = 0;
	pr.start = std::chrono::steady_clock::now();
	pr.drawn_at = -1;
	Ending e = read_and_pick(pg, in, ring);
	if (!is_stdin)
		close(fd);
	return e;
}

// ---- The run: its command line, its checks, and its ending. ----

// Any standard descriptor that is closed is opened on /dev/null, so that
// no file the program opens takes its number: a temporary file on 2
// would get the progress line, one on 1 the output.  Each is opened the
// way it is not used, so that a read of standard input or a write of
// standard output still fails as it would have; a message to standard
// error goes nowhere, as it would have.
bool fill_closed_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
		if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
			continue;
		int flags = fd == STDOUT_FILENO ? O_RDONLY : O_WRONLY;
		if (open("/dev/null", flags) != fd)
			return false;
	}
	return true;
}

// Whether the regular file at st is standard output: reading it would
// read what the run writes, without end.
bool is_the_output(const struct stat &st, const struct stat &output)
{
	return S_ISREG(st.st_mode) && S_ISREG(output.st_mode) &&
	    st.st_dev == output.st_dev && st.st_ino == output.st_ino;
}

// Every input is there, can be read and is not the output: a mistake
// in the command, said before any input is read.
Ending check_inputs(char **names, int count)
{
	struct stat output;
	bool output_known = fstat(STDOUT_FILENO, &output) == 0;
	for (int i = 0; i < count; ++i) {
		const char *name = names[i];
		bool is_stdin = is_standard_input(name);
		if (!is_stdin && access(name, R_OK) != 0)
			return ending(Ending::usage, "", 0,
			    std::string(name) + ": " + std::strerror(errno));
		struct stat st;
		int got = is_stdin ? fstat(STDIN_FILENO, &st) : stat(name, &st);
		if (got == 0 && output_known && is_the_output(st, output))
			return ending(Ending::same_as_output,
			    is_stdin ? standard_input : std::string_view(name));
	}
	return {};
}

// Writes a message to standard error, headed by the program's name.
void tell(std::string_view name, std::string_view what)
{
	std::string m = "tagpick: ";
	if (!name.empty())
		m += std::string(name) + ": ";
	m += std::string(what) + "\n";
	write_all(STDERR_FILENO, m.data(), m.size());
}

// What an ending says after the name it concerns.
std::string words(const Ending &e)
{
	switch (e.kind) {
	case Ending::done:
	case Ending::usage:
		return e.detail;
	case Ending::same_as_output:
		return "input file is also the output";
	case Ending::read_error:
		return std::string("read error: ") + std::strerror(e.error);
	case Ending::not_gzip:
		return "not in gzip format";
	case Ending::empty_not_gzip:
		return "empty, not in gzip format";
	case Ending::cut_short:
		return "unexpected end of file: the gzip data is cut short";
	case Ending::trailing_garbage:
		return "trailing garbage after the last gzip member";
	case Ending::unknown_method:
		return "unknown compression method";
	case Ending::unknown_flags:
		return "unknown flags in the gzip header";
	case Ending::header_crc:
		return "wrong CRC-16 in the gzip header";
	case Ending::corrupt:
		return e.detail;
	case Ending::cannot_hold:
		return std::string("cannot hold a record in ") + e.name + ": " +
		    std::strerror(e.error);
	case Ending::write_error:
		return std::string("error writing output: ") +
		    std::strerror(e.error);
	}
	return {};
}

// The one place where a run's end is told: any progress line cleared,
// one message for a failure, and the status.  A reader that has gone
// ends the program by SIGPIPE, as it ends any filter, unless whoever
// started it chose otherwise; the program itself ignores the signal
// until then, so that the progress line is cleared first.
int report(const Ending &e, Progress &pr, const Picker &pk,
    bool sigpipe_ends)
{
	clear_progress(pr);
	switch (e.kind) {
	case Ending::done:
		// A count, not a complaint: no program's name before it.
		if (pk.options.drop_incomplete) {
			std::string m = "records without a CTG line dropped: " +
			    std::to_string(pk.dropped) + "\n";
			write_all(STDERR_FILENO, m.data(), m.size());
		}
		return 0;
	case Ending::usage:
		tell("", words(e));
		write_all(STDERR_FILENO, usage_text.data(), usage_text.size());
		return status_usage;
	case Ending::same_as_output:
		tell(e.name, words(e));
		return status_usage;
	case Ending::cannot_hold:
	case Ending::write_error:
		if (e.kind == Ending::write_error && e.error == EPIPE &&
		    sigpipe_ends) {
			std::signal(SIGPIPE, SIG_DFL);
			std::raise(SIGPIPE);
		}
		tell("", words(e));
		return status_failure;
	default:
		tell(e.name, words(e));
		return status_failure;
	}
}

// The end of a run that read its inputs.  An input that failed is told
// before what was gathered is delivered, so that a reader that has
// stopped cannot silence the message; a failure of the sink, which
// stopped the reading, is told after all that can still be written.
int finish(Sink &out, const Ending &read, const Picker &pk, Progress &pr,
    bool sigpipe_ends)
{
	if (read.kind != Ending::done) {
		int status = report(read, pr, pk, sigpipe_ends);
		deliver(out);
		return status;
	}
	deliver(out);
	if (out.spill_error != 0)
		return report(ending(Ending::cannot_hold, out.spill_dir,
		    out.spill_error), pr, pk, sigpipe_ends);
	if (out.write_error != 0)
		return report(ending(Ending::write_error, "", out.write_error),
		    pr, pk, sigpipe_ends);
	return report(read, pr, pk, sigpipe_ends);
}

std::string help_text()
{
	return std::string(usage_text) +
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
}

std::string version_text()
{
	return "tagpick " TAGPICK_VERSION ", inflating with " +
	    inflate_library() + "\n";
}

// --help and --version: their text, and a failed write told.
Ending show(const std::string &text)
{
	if (int err = write_all(STDOUT_FILENO, text.data(), text.size()))
		return ending(Ending::write_error, "", err);
	return {};
}

// The short option getopt_long refused, letter, as it was typed.  No
// short option is known, so it is the first letter of its word, which
// getopt_long has stepped past when that letter is all of it (-x) and not
// when more follow (-xy).  A letter beyond ASCII is named with all its
// bytes, not the first alone.
std::string typed_letter(char **argv, char letter)
{
	const char *past = argv[optind - 1];
	bool alone = past[0] == '-' && past[1] == letter && past[2] == '\0';
	const char *word = alone ? past : argv[optind];
	std::size_t end = 2;
	while ((static_cast<unsigned char>(word[end]) & 0xc0) == 0x80)
		++end;
	return std::string(word, end);
}

// The usage error for the option getopt_long refused, refused being what
// it left in optopt: a long option's value when the option was given a
// value, 0 for a long option it does not know, and a short option's
// letter.  A long option is the whole word it stepped past, as typed
// (--drop=yes, --numbred).
Ending refused_option(char **argv, const option *long_options, int refused)
{
	for (const option *o = long_options; o->name != nullptr; ++o)
		if (o->val == refused)
			return ending(Ending::usage, "", 0, "option --" +
			    std::string(o->name) + " takes no value: " + argv[optind - 1]);
	return ending(Ending::usage, "", 0, "unknown option: " +
	    (refused == 0 ? std::string(argv[optind - 1]) : typed_letter(argv, static_cast<char>(refused))));
}

} // namespace

int main(int argc, char **argv)
{
	if (!fill_closed_standard_descriptors())
		return status_failure;
	// Past any letter, so that what getopt_long leaves in optopt tells a
	// long option given a value from a short option.
	enum {
		drop_option = 1000, numbered_option, all_lines_option,
		progress_option, help_option, version_option,
	};
	const option long_options[] = {
		{"drop-incomplete", no_argument, nullptr, drop_option},
		{"numbered", no_argument, nullptr, numbered_option},
		{"all-lines", no_argument, nullptr, all_lines_option},
		{"progress", no_argument, nullptr, progress_option},
		{"help", no_argument, nullptr, help_option},
		{"version", no_argument, nullptr, version_option},
		{nullptr, 0, nullptr, 0},
	};
	// SIGPIPE waits until report() has cleared the progress line.
	bool sigpipe_ends = std::signal(SIGPIPE, SIG_IGN) == SIG_DFL;
	Picker pk;
	Progress pr;
	Ending e;
	opterr = 0;
	for (int c; e.kind == Ending::done &&
	     (c = getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
		switch (c) {
		case drop_option: pk.options.drop_incomplete = true; break;
		case numbered_option: pk.options.numbered = true; break;
		case all_lines_option: pk.options.all_lines = true; break;
		case progress_option: pk.options.progress = true; break;
		case help_option: return report(show(help_text()), pr, {}, sigpipe_ends);
		case version_option: return report(show(version_text()), pr, {}, sigpipe_ends);
		default:
			e = refused_option(argv, long_options, optopt);
		}
	}
	const char *stdin_only[] = {"-"};
	char **names = argv + optind;
	int count = argc - optind;
	if (count == 0) {
		names = const_cast<char **>(stdin_only);
		count = 1;
	}
	if (e.kind == Ending::done)
		e = check_inputs(names, count);
	if (e.kind != Ending::done)
		return report(e, pr, pk, sigpipe_ends);

	pr.on = pk.options.progress;
	pr.terminal = isatty(STDERR_FILENO) == 1;
	enlarge_pipe(STDOUT_FILENO);
	auto raw = std::make_unique<unsigned char[]>(read_block);
	Ring ring;
	choose_threads(ring);
	Sink out;
	Picking pg{pk, out, pr};
	for (int i = 0; i < count && e.kind == Ending::done && !stopped(out); ++i)
		e = read_named(pg, ring, names[i], raw.get());
	return finish(out, e, pk, pr, sigpipe_ends);
}
