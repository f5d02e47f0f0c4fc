// tagpick run as a user would: the lines it keeps against a plain model,
// gzip members of every kind, its options, every way an input can be
// damaged, and its memory; on two threads where it may use two CPUs, and
// on one in the OneCPU build.

#include "run.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TAGPICK_LIBRARY
#define TAGPICK_LIBRARY ""
#endif

namespace {

using namespace std::string_literals;

// The model: what tagpick should write for these inputs, worked out the
// plain way, whole lines and one rule at a time.
struct Options {
	bool drop_incomplete = false;
	bool numbered = false;
	bool all_lines = false;
};

struct Picked {
	std::string out;
	long dropped = 0;
};

bool starts(const std::string &line, const std::string &tag)
{
	return line.compare(0, tag.size(), tag) == 0;
}

Picked model(const std::vector<std::string> &inputs, Options o = {})
{
	Picked p;
	for (const std::string &text : inputs) {
		// Each line with its number, ended by a line feed.
		std::vector<std::pair<long, std::string>> lines;
		long number = 0;
		for (std::size_t at = 0; at < text.size();) {
			std::size_t lf = text.find('\n', at);
			std::size_t end = lf == std::string::npos ? text.size() : lf + 1;
			std::string line = text.substr(at, end - at);
			if (lf == std::string::npos)
				line += '\n';
			at = end;
			++number;
			if (o.all_lines || starts(line, "rs") || starts(line, "SNP") ||
			    starts(line, "VAL") || starts(line, "CTG"))
				lines.emplace_back(number, line);
		}
		// What comes before the first rs line, then each record.
		std::vector<std::vector<std::pair<long, std::string>>> groups(1);
		for (auto &l : lines) {
			if (starts(l.second, "rs"))
				groups.emplace_back();
			groups.back().push_back(l);
		}
		for (std::size_t g = 0; g < groups.size(); ++g) {
			bool has_ctg = false;
			for (auto &l : groups[g])
				has_ctg = has_ctg || starts(l.second, "CTG");
			if (o.drop_incomplete && g > 0 && !has_ctg) {
				++p.dropped;
				continue;
			}
			for (auto &l : groups[g])
				p.out += (o.numbered ? std::to_string(l.first) + "\t" : "") +
				    l.second;
		}
	}
	return p;
}

std::vector<std::string> args_of(Options o)
{
	std::vector<std::string> a;
	if (o.drop_incomplete)
		a.push_back("--drop-incomplete");
	if (o.numbered)
		a.push_back("--numbered");
	if (o.all_lines)
		a.push_back("--all-lines");
	return a;
}

Outcome want(const std::vector<std::string> &inputs, Options o = {})
{
	Picked p = model(inputs, o);
	return {p.out, o.drop_incomplete ? "records without a CTG line dropped: " +
	    std::to_string(p.dropped) + "\n" : "", 0};
}

// Deflates all of data with z, made ready by the caller, and ends it.
std::string deflate_all(z_stream &z, const std::string &data)
{
	std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 64, '\0');
	z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
	z.avail_in = static_cast<uInt>(data.size());
	z.next_out = reinterpret_cast<Bytef *>(out.data());
	z.avail_out = static_cast<uInt>(out.size());
	EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
	out.resize(z.total_out);
	deflateEnd(&z);
	return out;
}

// gzip, made with zlib: one member, with the header's optional fields if
// asked.
std::string gzip(const std::string &data, int level = 6, bool header_fields = false)
{
	z_stream z{};
	EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8,
	    Z_DEFAULT_STRATEGY), Z_OK);
	gz_header h{};
	std::string extra = "XY\x03\0" "abc"s;
	char name[] = "dump.txt", comment[] = "a comment";
	if (header_fields) {
		h.extra = reinterpret_cast<Bytef *>(extra.data());
		h.extra_len = static_cast<uInt>(extra.size());
		h.name = reinterpret_cast<Bytef *>(name);
		h.comment = reinterpret_cast<Bytef *>(comment);
		h.hcrc = 1;
		deflateSetHeader(&z, &h);
	}
	return deflate_all(z, data);
}

std::string little_endian(std::uint32_t v, int bytes)
{
	std::string s;
	for (int i = 0; i < bytes; ++i)
		s += static_cast<char>(v >> (8 * i) & 0xff);
	return s;
}

// BGZF, as samtools and tabix write it: members of at most 64 KiB of
// data, each with its size in an extra field, and an empty member last.
std::string bgzf(const std::string &data)
{
	std::string out;
	for (std::size_t at = 0; at < data.size(); at += 65280) {
		std::string part = data.substr(at, 65280);
		z_stream z{};
		EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8,
		    Z_DEFAULT_STRATEGY), Z_OK);
		std::string raw = deflate_all(z, part);
		auto crc = static_cast<std::uint32_t>(crc32(0,
		    reinterpret_cast<const Bytef *>(part.data()),
		    static_cast<uInt>(part.size())));
		out += "\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0"s +
		    little_endian(static_cast<std::uint32_t>(raw.size() + 25), 2) +
		    raw + little_endian(crc, 4) +
		    little_endian(static_cast<std::uint32_t>(part.size()), 4);
	}
	return out + "\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0\x03\0\0\0\0\0\0\0\0\0"s;
}

// A folder of input files, removed at the end of the test.
struct Folder {
	std::string path;

	Folder()
	{
		char name[] = "/tmp/tagpick-test-XXXXXX";
		path = mkdtemp(name);
	}
	~Folder()
	{
		std::string rm = "rm -rf '" + path + "'";
		EXPECT_EQ(std::system(rm.c_str()), 0);
	}
	std::string file(const std::string &name, const std::string &bytes) const
	{
		std::string p = path + "/" + name;
		FILE *f = std::fopen(p.c_str(), "wb");
		EXPECT_NE(f, nullptr);
		if (f) {
			std::fwrite(bytes.data(), 1, bytes.size(), f);
			std::fclose(f);
		}
		return p;
	}
};

Outcome run(const std::vector<std::string> &args, const std::string &input = "",
    Feed feed = Feed::pipe, std::vector<std::size_t> chunks = {})
{
	return run_tagjoin(Invocation{.input = input, .feed = feed, .chunks = chunks,
	    .args = args});
}

// A listing shaped as a whole dump: a header, records with lines of
// other kinds among theirs, a blank line after each.
std::string dump(int records, int every_nth_without_ctg = 0)
{
	std::string d = "LISTING (FULL)\nCREATED ON: 2016-11-17\n\n";
	for (int n = 1; n <= records; ++n) {
		d += "rs" + std::to_string(n) + " | human | 9606 | snp\n"
		    "ss" + std::to_string(7 * n) + " | LABX\n"
		    "SNP | alleles='A/G' | het=? \r\n"
		    "VAL | validated=YES\n"
		    "GMAF | allele=G | count=311\n";
		if (every_nth_without_ctg == 0 || n % every_nth_without_ctg != 0)
			d += "CTG | assembly=GRCh37 | chr=7 | chr-pos=" +
			    std::to_string(n * 10) + "\nLOC | GENE812\n"
			    "CTG | assembly=GRCh38 | chr=7\n";
		d += "SEQ | 212998034 | source-db=remap\n\n";
	}
	return d;
}

// Exact lines: every byte of a kept line as it stands, on standard input
// plain and gzipped, and fed a few bytes at a time.

struct Lines {
	const char *what;
	std::string input;
};

const Lines lines_cases[] = {
	{"empty", ""},
	{"the four tags alone, and lines too short for theirs",
	    "rs\nSNP\nVAL\nCTG\nr\nSN\nVA\nCT\ns\n\n"},
	{"tags running on, in the wrong case, after white space",
	    "rsX\nSNPx\nVALUE\nCTGCTG\nRs\nsnp\n rs\n\trs\nRS\n"},
	{"NUL, CR, bytes that are not UTF-8, kept whole",
	    "rs1 \0x\xff\xfe\r\nSNP\0\nGMAF\0rs\nCTG \x80\x81 \r\n\r\nVAL\r\n"s},
	{"the last line without a line feed", "hdr\nrs1\nCTG end"},
	{"a last line too short to tell, tagged", "x\nrs"},
	{"a last line too short to tell, untagged", "rs1\nSN"},
	{"a last line of one byte", "rs1\nr"},
	{"a last line shorter than the tag it starts, after that tag",
	    "SNP\nSN"},
	{"kept lines about the size copied at once, and longer",
	    "rs" + std::string(124, 'a') + "\nSNP" + std::string(124, 'b') +
	    "\nVAL" + std::string(125, 'c') + "\nCTG" + std::string(200, 'd') +
	    "\nx" + std::string(300, 'e') + "\nCTG" + std::string(1000, 'f') + "\n"},
	{"only lines of other kinds", "LOC\nSEQ\nss1\n\n\n"},
	{"a dump", dump(20)},
};

TEST(TagpickLines, AsTheModelKeepsThem)
{
	for (const Lines &c : lines_cases) {
		Outcome want_out = want({c.input});
		expect_outcome(run({}, c.input), want_out, c.what + " (plain)"s);
		expect_outcome(run({}, gzip(c.input)), want_out, c.what + " (gzip)"s);
		expect_outcome(run({}, c.input, Feed::drip, {1, 2, 3, 5}), want_out,
		    c.what + " (plain, a few bytes a read)"s);
		expect_outcome(run({}, gzip(c.input), Feed::drip, {1, 7}), want_out,
		    c.what + " (gzip, a few bytes a read)"s);
		// Four bytes a read: bytes of the read before stand after the
		// data, where a tag test must not look.
		expect_outcome(run({}, c.input, Feed::drip, {4}), want_out,
		    c.what + " (plain, four bytes a read)"s);
	}
}

// Random lines of tags, near-tags and bytes of every value, of every
// length from nothing to past the program's blocks, as both kinds.
TEST(TagpickLines, RandomInputs)
{
	std::mt19937 rnd(20261208);
	const std::string starts[] = {"rs", "SNP", "VAL", "CTG", "r", "SN", "VA",
	    "CT", "R", "ss", "", " rs", "\0rs"s, "CTGX", "LOC"};
	for (int round = 0; round < 40; ++round) {
		std::string in;
		int count = static_cast<int>(rnd() % 2000);
		for (int i = 0; i < count; ++i) {
			in += starts[rnd() % std::size(starts)];
			std::size_t len = rnd() % 200 == 0 ? rnd() % 300000 : rnd() % 400;
			for (std::size_t k = 0; k < len; ++k)
				in += static_cast<char>(rnd() % 4 ? 'a' + rnd() % 26 : rnd() % 256);
			if (rnd() % 50 != 0)
				in += '\n';
		}
		std::string what = "round " + std::to_string(round);
		expect_outcome(run({}, in), want({in}), what + " (plain)");
		expect_outcome(run({}, gzip(in, static_cast<int>(rnd() % 10))),
		    want({in}), what + " (gzip)");
		if (HasFailure())
			return;
	}
}

// Members: one after another, of each compression level, with the
// header's optional fields, empty ones, BGZF; and the same from files.

TEST(TagpickMembers, EveryKindJoinsAsOne)
{
	const std::string a = dump(700), b = dump(5), c = "rs9\nCTG last";
	const std::string whole = a + b + c;
	struct Kind {
		const char *what;
		std::string bytes, text;
	} kinds[] = {
		{"one member", gzip(whole), whole},
		{"three members", gzip(a) + gzip(b) + gzip(c), whole},
		{"stored, fastest and best", gzip(a, 0) + gzip(b, 1) + gzip(c, 9), whole},
		{"name, comment, extra field and header CRC", gzip(a, 6, true) +
		    gzip(b + c, 6, true), whole},
		{"empty members among them", gzip("") + gzip(a) + gzip("") +
		    gzip(b + c) + gzip(""), whole},
		{"BGZF", bgzf(whole), whole},
		{"a line cut across members", gzip(a + "rs77 split") +
		    gzip(" here\n" + b), a + "rs77 split here\n" + b},
		{"a tag cut across members", gzip(a + "r") + gzip("s5\n" + b) +
		    gzip("C") + gzip("T") + gzip("G" + c), a + "rs5\n" + b + "CTG" + c},
	};
	Folder folder;
	for (const Kind &k : kinds) {
		expect_outcome(run({}, k.bytes), want({k.text}), k.what);
		std::string path = folder.file("members.gz", k.bytes);
		expect_outcome(run({path}), want({k.text}), k.what + " (a file)"s);
	}
	EXPECT_GT(whole.size(), 2 * 65280u) << "BGZF of several blocks";
}

// A gzip input is told by its magic bytes whatever its name; a plain
// one under any name but .gz is read as it is; many inputs in turn.
TEST(TagpickMembers, InputsOfEachKindInTurn)
{
	Folder folder;
	const std::string text = "x\nrs1\nSNP\nVAL\nCTG\n", other = "rs2 y\nLOC\n";
	std::string plain = folder.file("plain.txt", text);
	std::string gz_unnamed = folder.file("gz.bin", gzip(other));
	std::string gz = folder.file("dump.txt.gz", gzip(text));
	std::string dash = folder.file("-x", text);
	expect_outcome(run({plain, gz_unnamed, gz}), want({text, other, text}),
	    "plain, gzip not named so, gzip");
	expect_outcome(run({gz, "-", plain}, other), want({text, other, text}),
	    "- reads standard input among files");
	expect_outcome(run({"--", dash}), want({text}), "a file named -x after --");
	expect_outcome(run({"-"}, gzip(other)), want({other}), "- alone");
}

// Options.

struct OptionCase {
	const char *what;
	std::vector<std::string> inputs;
};

const OptionCase option_cases[] = {
	{"records without CTG first, in the middle, twice in a row, last",
	    {"head\nrs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG a\nrs3\nSNP\nrs4\nVAL\n"
	     "rs5\nCTG\nCTG b\nrs6\nSNP\nVAL\n"}},
	{"lines before the first rs pass; other kinds among the records",
	    {"VAL before\nCTG before\nLOC\nrs1\nss\nSNP\n\nrs2\nLOC\nCTG\n"}},
	{"a dump with a record in three without CTG", {dump(90, 3)}},
	{"no record at all", {"LOC\nSNP\n"}},
	{"each input numbered and ended alone",
	    {"rs1\nSNP\n", "CTG orphan\nrs2\nCTG\n", "x\ny\nrs3\n"}},
	{"a record without a line feed at its end", {"rs1\nSNP\nCTG"}},
};

TEST(TagpickOptions, DropNumberAndAllLines)
{
	Folder folder;
	for (const OptionCase &c : option_cases) {
		std::vector<std::string> paths;
		for (std::size_t i = 0; i < c.inputs.size(); ++i)
			paths.push_back(folder.file("in" + std::to_string(i) +
			    (i % 2 ? ".gz" : ".txt"), i % 2 ? gzip(c.inputs[i]) :
			    c.inputs[i]));
		for (int bits = 0; bits < 8; ++bits) {
			Options o{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
			std::vector<std::string> args = args_of(o);
			std::string what = c.what + " with"s;
			for (auto &a : args)
				what += " " + a;
			args.insert(args.end(), paths.begin(), paths.end());
			expect_outcome(run(args), want(c.inputs, o), what);
		}
	}
}

// A record of about size bytes kept, past the 1 MiB held in memory, of
// lines line bytes long and a few skipped lines, with a CTG line last
// ('e'), in its middle ('m') or none ('n'); filled with a letter of its
// own, so that bytes of one record found in another show.
std::string large_record(int id, std::size_t size, char ctg, std::size_t line)
{
	const char letter = static_cast<char>('a' + id % 26);
	const std::string ctg_line = "CTG " + std::string(1, letter) + "\n";
	std::string r = "rs" + std::to_string(id) + "\n";
	for (int n = 1; r.size() < size; ++n) {
		if (ctg == 'm' && r.size() >= size / 2)
			r += ctg_line, ctg = 'n';
		r += (n % 8 ? "SNP " : "ss ") + std::string(line, letter) + "\n";
	}
	return ctg == 'e' ? r + ctg_line : r;
}

// A record held for --drop-incomplete past what memory holds, in the
// temporary file; and where that file cannot be made.
TEST(TagpickOptions, LargeRecordsHeld)
{
	std::string big = "rs1 " + std::string(3 << 20, 'x') + "\nSNP\n" +
	    "VAL " + std::string(2 << 20, 'v') + "\n";
	std::string in = big + "CTG kept\n" + big + "rs2\nCTG\n" + big;
	Options o{true};
	expect_outcome(run({"--drop-incomplete"}, in), want({in}, o),
	    "records larger than memory holds");
	// Several large records in a run, each spilled (size, CTG, line): the
	// temporary file holds each one's bytes alone, whether the one before
	// it was dropped or released.  Small records (size 0) among them.
	const std::size_t M = 1 << 20;
	const std::vector<std::tuple<std::size_t, char, std::size_t>> runs[] = {
		{{M + M / 2, 'n', 5000}, {M + M / 2, 'e', 5000}},
		{{2 * M, 'e', 40}, {M + M / 3, 'n', 40}},
		{{M + 9, 'n', 20}, {2 * M, 'n', 300}, {M + M / 4, 'e', 20}, {M + 1, 'e', 3000}},
		{{M + M / 2, 'm', 60}, {0, 'n', 9}, {3 * M, 'm', 100000}, {M * 5 / 4, 'n', 60}},
		{{M * 6 / 5, 'n', M * 6 / 5}, {M * 6 / 5, 'e', M * 6 / 5}, {0, 'e', 9}, {M * 2, 'e', 7}},
	};
	for (const auto &records : runs) {
		std::string text = "hdr\n", what = "large records, run " + std::to_string(&records - runs);
		int id = 0;
		for (auto [size, ctg, line] : records)
			text += large_record(++id, size, ctg, line);
		expect_outcome(run({"--drop-incomplete"}, text), want({text}, o), what);
		expect_outcome(run({"--drop-incomplete", "--numbered"}, gzip(text, 1)),
		    want({text}, {true, true}), what + " (gzip, numbered)");
	}
	// 1 MiB of a record, as written, is held in memory; one byte more
	// goes to the temporary file, which cannot be made here.  The run
	// then ends at once, naming the folder: nothing after the record
	// is written, not even the record's tail.
	const std::size_t in_memory = 1 << 20;
	setenv("TMPDIR", "/nonexistent", 1);
	for (const std::string &before : {""s, "hdr\nrs0\nSNP\nCTG\n"s}) {
		for (std::size_t size : {in_memory, in_memory + 1}) {
			std::string record = "rs1 " + std::string(size - 5, 'x') + "\n";
			std::string text = before + record + "CTG\nrs2\nSNP\nVAL\nCTG\n";
			std::string what = std::to_string(size) + " bytes after " +
			    visible(before);
			Outcome got = run({"--drop-incomplete"}, text);
			if (size == in_memory)
				expect_outcome(got, want({text}, o), what);
			else
				expect_outcome(got, {model({before}).out,
				    "tagpick: cannot hold a record in /nonexistent: "
				    "No such file or directory\n", 1}, what);
		}
	}
	unsetenv("TMPDIR");
}

TEST(TagpickOptions, ProgressHelpVersionUsage)
{
	Folder folder;
	std::string text = dump(2000);
	std::string path = folder.file("dump.txt.gz", gzip(text));
	std::string plain = folder.file("dump.txt", text);
	// Standard error no terminal: a line for each input at its end,
	// with the bytes read, and nothing redrawn.
	Outcome got = run({"--progress", path, "-", plain}, text);
	EXPECT_EQ(got.out, model({text, text, text}).out);
	EXPECT_EQ(got.status, 0);
	char mb[3][32];
	std::snprintf(mb[0], sizeof mb[0], "%.1f", static_cast<double>(gzip(text).size()) / 1e6);
	std::snprintf(mb[1], sizeof mb[1], "%.1f", static_cast<double>(text.size()) / 1e6);
	std::string lines[] = {path + ": " + mb[0], "(standard input): "s + mb[1],
	    plain + ": " + mb[1]};
	std::size_t at = 0;
	for (const std::string &line : lines) {
		std::size_t end = got.err.find('\n', at);
		ASSERT_NE(end, std::string::npos) << got.err;
		std::string shown = got.err.substr(at, end - at);
		EXPECT_EQ(shown.rfind(line + " MB read in 0:", 0), 0u) << shown;
		at = end + 1;
	}
	EXPECT_EQ(at, got.err.size()) << got.err;
	EXPECT_EQ(got.err.find('\r'), std::string::npos) << got.err;

	got = run({"--help"});
	EXPECT_EQ(got.status, 0);
	EXPECT_EQ(got.out.rfind("usage: tagpick ", 0), 0u) << got.out;
	EXPECT_EQ(got.err, "");
	got = run({"--version"});
	EXPECT_EQ(got.status, 0);
	EXPECT_EQ(got.out.rfind("tagpick 1.0.0, inflating with " TAGPICK_LIBRARY " ", 0), 0u)
	    << got.out;
	for (const char *option : {"--help", "--version"})
		expect_outcome(run_tagjoin(Invocation{.args = {option}, .stdout_path = "/dev/full"}),
		    {"", "tagpick: error writing output: No space left on device\n", 1}, option);

	// Each usage error names what was typed, then the usage line; no
	// input is read.
	struct Usage {
		std::vector<std::string> args;
		std::string says;
	} usages[] = {
		{{"--bogus"}, "unknown option: --bogus"},
		{{"-x", path}, "unknown option: -x"},
		{{"-xy", path}, "unknown option: -x"},
		{{path, "--numbred"}, "unknown option: --numbred"},
		{{"--help=yes"}, "option --help takes no value: --help=yes"},
		{{"--drop-incomplete=yes", path},
		    "option --drop-incomplete takes no value: --drop-incomplete=yes"},
		{{"--numbered=1"}, "option --numbered takes no value: --numbered=1"},
		{{path, "--progress=x"}, "option --progress takes no value: --progress=x"},
		{{"--all-lines="}, "option --all-lines takes no value: --all-lines="},
		{{"--drop=yes"}, "option --drop-incomplete takes no value: --drop=yes"},
		{{"--bogus=1"}, "unknown option: --bogus=1"},
		{{"--numbered", "-d"}, "unknown option: -d"},
		{{path, "-\xc3\xa9x"}, "unknown option: -\xc3\xa9"},
		{{"--numbered", "-"}, ""},
		{{folder.path + "/missing.gz"}, folder.path + "/missing.gz: No such file or directory"},
		{{path, folder.path + "/missing"}, folder.path + "/missing: No such file or directory"},
	};
	for (const Usage &u : usages) {
		if (u.says.empty())
			continue;
		expect_outcome(run(u.args), {"", "tagpick: " + u.says + "\nusage: tagpick "
		    "[--drop-incomplete] [--numbered] [--all-lines] [--progress] [FILE]...\n", 2},
		    u.says);
	}
}

// --progress on a terminal: one line redrawn in place, never wider than
// the terminal, with no rate until there is one to show, and cleared at
// every ending.  Each case gives the run, and what its frames must be.
struct ProgressCase {
	const char *what;
	Invocation run;
	std::string first;              // how the first frame starts
	bool shows_rate = false;        // the last frame shows one
	std::string message;            // after the frames, on a line of its own
	int signal = 0;
};

// The frames drawn: what stands between carriage returns.
std::vector<std::string> frames_of(const std::string &err)
{
	std::vector<std::string> frames;
	for (std::size_t at = 0; at < err.size();) {
		std::size_t cr = err.find('\r', at + 1);
		std::size_t end = cr == std::string::npos ? err.size() : cr;
		frames.push_back(err.substr(at, end - at));
		at = end;
	}
	return frames;
}

TEST(TagpickProgress, OnATerminal)
{
	Folder folder;
	std::string text = dump(20000);
	std::string long_name = folder.file(std::string(120, 'n') + ".txt", text);
	std::string plain = folder.file("dump.txt", text);
	std::string damaged = gzip(text);
	damaged.resize(damaged.size() / 2);
	std::string cut = folder.file("cut.gz", damaged);
	// The first frame is drawn at the first read, of 128 KiB.
	char first[128];
	double mb = static_cast<double>(text.size()) / 1e6;
	std::snprintf(first, sizeof first, ": 0.1 of %.1f MB (%.0f %%)", mb, 13.1072 / mb);
	const ProgressCase cases[] = {
		{"a file, no rate in the first second",
		    {.args = {"--progress", plain}, .stderr_columns = 200}, plain + first},
		{"a name wider than the terminal, cut to it",
		    {.args = {"--progress", long_name}, .stderr_columns = 60},
		    (long_name + first).substr(0, 59)},
		{"a pipe, no size",
		    {.input = std::string(100000, 'x'), .feed = Feed::drip, .chunks = {100000},
		        .args = {"--progress", "-"}, .stderr_columns = 80},
		    "(standard input): 0."},
		{"a rate once a second has gone",
		    {.input = dump(4000), .feed = Feed::drip, .chunks = {150000},
		        .args = {"--progress", "-"}, .stderr_columns = 200, .pause_ms = 300},
		    "(standard input): 0.", true},
		{"a damaged input: the message on a cleared line",
		    {.args = {"--progress", cut}, .stderr_columns = 100}, cut + ": 0.1 of ",
		    false, "tagpick: " + cut + ": unexpected end of file: the gzip data is cut short\n"},
		{"a reader gone: cleared before SIGPIPE ends it",
		    {.args = {"--progress", plain}, .stderr_columns = 100, .stdout_broken = true},
		    plain + first, false, "", SIGPIPE},
	};
	for (const ProgressCase &c : cases) {
		Outcome got = run_tagjoin(c.run);
		std::string err = got.err;
		EXPECT_EQ(got.signal, c.signal) << c.what;
		if (!c.message.empty()) {
			EXPECT_EQ(err.substr(err.size() - std::min(err.size(), c.message.size())),
			    c.message) << c.what << ": " << visible(err);
			err.resize(err.size() - std::min(err.size(), c.message.size()));
		} else if (c.signal == 0) {
			EXPECT_EQ(got.status, 0) << c.what;
			EXPECT_EQ(got.out, model({c.run.input.empty() ? text : c.run.input}).out) << c.what;
		}
		std::vector<std::string> frames = frames_of(err);
		ASSERT_GE(frames.size(), 3u) << c.what << ": " << visible(err);
		EXPECT_EQ(frames[0].rfind("\r" + c.first, 0), 0u) << c.what << ": " << frames[0];
		EXPECT_EQ(frames[0].find(" MB/s"), std::string::npos) << c.what << ": " << frames[0];
		if (c.run.args.back() == "-") {
			EXPECT_EQ(frames[0].find(" of "), std::string::npos) << frames[0];
		}
		std::size_t columns = c.run.stderr_columns;
		for (const std::string &f : frames)
			EXPECT_LT(f.size() - 1, columns) << c.what << ": " << visible(f);
		// Blanks over the last frame, then back to the start of the line.
		const std::string &last = frames[frames.size() - 3];
		EXPECT_EQ(frames[frames.size() - 2], "\r" + std::string(last.size() - 1, ' '))
		    << c.what;
		EXPECT_EQ(frames.back(), "\r") << c.what;
		if (c.shows_rate) {
			EXPECT_NE(last.find(" MB/s"), std::string::npos) << c.what << ": " << last;
		}
	}
}

// The state letter of a process, as /proc shows it: S asleep, Z ended.
char state_of(pid_t pid)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
	std::string stat((std::istreambuf_iterator<char>(f)), {});
	std::size_t paren = stat.rfind(')');
	return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 'Z';
}

// tagpick on standard input in, its standard error a terminal of that
// many columns (0: a pipe), its output a pipe of 1 MiB that the test
// leaves full for each pause in turn, then drains of what it held: the
// program waits in its write meanwhile.  From the test's clock: the run's
// length, and when the program was last seen waiting.
struct Stalled {
	Outcome got;
	double lasted = 0, seen_waiting = 0;
	bool whole_pipe = false;
};

Stalled run_stalled(int in, const std::vector<std::string> &args,
    unsigned short columns = 0, const std::vector<int> &pauses_ms = {})
{
	Stalled s;
	int err[2], out[2];
	winsize size{24, columns, 0, 0};
	EXPECT_EQ(columns ? openpty(&err[0], &err[1], nullptr, nullptr, &size) : pipe(err), 0);
	EXPECT_EQ(pipe(out), 0);
	s.whole_pipe = fcntl(out[0], F_SETPIPE_SZ, 1 << 20) == 1 << 20;
	const auto start = std::chrono::steady_clock::now();
	auto since_start = [&] {
		return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	};
	pid_t pid = start_tagjoin(in, out[1], err[1], args);
	close(out[1]);
	close(err[1]);
	std::thread drawn([&] { s.got.err = read_all(err[0]); });
	for (int pause : pauses_ms) {
		// A write to a pipe sleeps only when the pipe is full.
		int unread = 0;
		for (char state; (state = state_of(pid)) != 'Z' &&
		     (ioctl(out[0], FIONREAD, &unread) != 0 || unread == 0 || state != 'S');)
			usleep(200);
		s.seen_waiting = since_start();
		usleep(static_cast<useconds_t>(pause) * 1000);
		std::string held(static_cast<std::size_t>(unread), '\0');
		EXPECT_EQ(read(out[0], held.data(), held.size()), unread);
		s.got.out += held;
	}
	s.got.out += read_all(out[0]);
	drawn.join();
	int ws;
	EXPECT_EQ(waitpid(pid, &ws, 0), pid);
	s.lasted = since_start();
	s.got.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
	close(out[0]);
	close(err[0]);
	return s;
}

// Errors: an input not read whole is never a success.

// A regular file, as the program sees it, that gives these bytes and then
// fails with EIO: the test's own memory, read through /proc/self/mem from
// where the bytes end at a page the test has unmapped.
struct FailingAfter {
	std::size_t mapped;
	char *pages;
	int fd;

	explicit FailingAfter(const std::string &bytes)
	{
		const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
		mapped = (bytes.size() / page + 2) * page;
		pages = static_cast<char *>(mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
		    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
		char *end = pages + mapped - page;
		EXPECT_TRUE(pages != MAP_FAILED && munmap(end, page) == 0);
		std::memcpy(end - bytes.size(), bytes.data(), bytes.size());
		fd = open("/proc/self/mem", O_RDONLY);
		auto offset = static_cast<off_t>(reinterpret_cast<std::intptr_t>(end - bytes.size()));
		EXPECT_EQ(lseek(fd, offset, SEEK_SET), offset);
	}
	~FailingAfter()
	{
		close(fd);
		// Not the last page, unmapped already: another mapping may have
		// taken its place since.
		munmap(pages, mapped - static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
	}
};

struct Damage {
	const char *what;
	std::string bytes;
	std::string says;               // after "tagpick: NAME: "
	// Found only at the member's end, where the CRC-32 shows it: what
	// was written before may hold bytes of the damage.
	bool found_late = false;
};

TEST(TagpickErrors, DamagedInputsFail)
{
	const std::string text = dump(3000);
	const std::string gz = gzip(text);
	std::string crc = gz, length = gz, block = gz;
	crc[crc.size() - 8] ^= 1;
	length[length.size() - 1] ^= 1;
	block[block.size() / 2] ^= 0x55;
	std::string method = gz, reserved = gz;
	method[2] = 7;
	reserved[10] = 0x07;            // a last block of the reserved type
	// Each library names the damage in its own words; each message is
	// compared whole but the one for the block damaged at random.
	const std::string cut_short = "unexpected end of file: the gzip data is cut short";
	const std::string garbage = "trailing garbage after the last gzip member";
	const bool zlib = std::string_view(TAGPICK_LIBRARY) == "zlib";
	const Damage damages[] = {
		{"cut inside a block", gz.substr(0, gz.size() / 2), cut_short},
		{"cut inside the trailer", gz.substr(0, gz.size() - 3), cut_short},
		{"cut inside the header", gz.substr(0, 5), cut_short},
		{"cut inside a second member", gz + gz.substr(0, 40), cut_short},
		{"the magic bytes alone", gz.substr(0, 2), cut_short},
		{"a wrong CRC-32", crc, zlib ? "incorrect data check" :
		    "wrong CRC-32 or length in the trailer"},
		{"a wrong length", length, zlib ? "incorrect length check" :
		    "wrong CRC-32 or length in the trailer"},
		{"a corrupt block", block, "", true},
		{"a block of the reserved type", reserved, zlib ? "invalid block type" :
		    "invalid deflate block"},
		{"an unknown method", method, "unknown compression method"},
		{"text after the last member", gz + "rs1\nSNP\n", garbage},
		{"zeros after the last member", gz + std::string(512, '\0'), garbage},
		{"one byte after the last member", gz + "\x1f", garbage},
	};
	Folder folder;
	auto expect_said = [](const std::string &err, const std::string &said, const Damage &d) {
		if (d.says.empty())
			EXPECT_EQ(err.rfind(said, 0), 0u) << d.what << ": " << err;
		else
			EXPECT_EQ(err, said + "\n") << d.what;
	};
	for (const Damage &d : damages) {
		std::string path = folder.file("damaged.txt.gz", d.bytes);
		Outcome got = run({path});
		EXPECT_EQ(got.status, 1) << d.what;
		expect_said(got.err, "tagpick: " + path + ": " + d.says, d);
		EXPECT_EQ(got.err.find('\n'), got.err.size() - 1) << d.what;
		// What came before the damage is written, nothing invented.
		if (!d.found_late) {
			EXPECT_EQ(model({text}).out.compare(0, got.out.size(),
			    got.out), 0) << d.what;
		}
		got = run({}, d.bytes);
		EXPECT_EQ(got.status, 1) << d.what << " (standard input)";
		expect_said(got.err, "tagpick: (standard input): " + d.says, d);
	}
}

// Every cut of a small two-member file but the one between the members
// fails: none passes for a whole input.
TEST(TagpickErrors, EveryCutFails)
{
	const std::string first = gzip("rs1\nSNP\nVAL\nCTG\n"), second = gzip("rs2\nCTG\n");
	const std::string gz = first + second;
	Folder folder;
	for (std::size_t n = 0; n < gz.size(); ++n) {
		Outcome got = run({folder.file("cut.gz", gz.substr(0, n))});
		if (n == first.size())
			EXPECT_EQ(got.status, 0) << "cut between the members";
		else
			EXPECT_EQ(got.status, 1) << "cut after " << n << " of " << gz.size();
	}
}

TEST(TagpickErrors, NamesThatMustBeGzipAndUnreadableInputs)
{
	Folder folder;
	struct NotGzip {
		const char *what;
		std::string name, bytes, says;
	} cases[] = {
		{"an empty .gz", "empty.gz", "", "empty, not in gzip format"},
		{"plain text named .gz", "plain.txt.gz", "rs1\nSNP\n", "not in gzip format"},
		{"one byte named .gz", "one.gz", "\x1f", "not in gzip format"},
	};
	for (const NotGzip &c : cases) {
		std::string path = folder.file(c.name, c.bytes);
		Outcome got = run({path});
		expect_outcome(got, {"", "tagpick: " + path + ": " + c.says + "\n", 1}, c.what);
	}
	// An empty input not named .gz is plain and empty.
	expect_outcome(run({folder.file("empty.txt", "")}), {"", "", 0}, "an empty file");
	expect_outcome(run({}, ""), {"", "", 0}, "empty standard input");

	Outcome got = run({folder.path});
	expect_outcome(got, {"", "tagpick: " + folder.path + ": read error: Is a directory\n", 1},
	    "a directory");
	got = run_tagjoin(Invocation{.args = {}, .stdin_path = "/"});
	expect_outcome(got, {"", "tagpick: (standard input): read error: Is a directory\n", 1},
	    "standard input a directory");
	// The input after a failed one is not read.
	std::string good = folder.file("good.txt", "rs1\n");
	got = run({folder.path, good});
	EXPECT_EQ(got.out, "");
	EXPECT_EQ(got.status, 1);

	// Each failure told whole, in its errno's words: EIO at the first
	// byte; the temporary file past the file size limit, SIGXFSZ ignored.
	expect_outcome(run({"/proc/self/mem"}), {"", "tagpick: /proc/self/mem: read error: "
	    "Input/output error\n", 1}, "/proc/self/mem");
	const std::string before = "hdr\nrs0\nSNP\nCTG\n";
	setenv("TMPDIR", folder.path.c_str(), 1);
	expect_outcome(run_tagjoin(Invocation{.input = before + "rs1 " + std::string(2 << 20, 'x') +
	    "\nCTG\n", .args = {"--drop-incomplete"}, .runner = {"/bin/sh", "-c",
	    "ulimit -f 1024 && trap '' XFSZ && exec \"$0\" \"$@\""}}), {model({before}).out,
	    "tagpick: cannot hold a record in " + folder.path + ": File too large\n", 1},
	    "a record spilled past the file size limit");
	unsetenv("TMPDIR");

	// A read that fails after reads that succeeded, on each path that
	// reads.
	const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
	// Stored deflate data starts 15 bytes into a member: the page ends
	// after this line of it.
	const std::string stored = "SNP " + std::string(page - 20, 'a') + "\n";
	const struct {
		const char *what;
		std::string bytes, out;
	} cuts[] = {
		{"plain text", dump(12), model({dump(12)}).out},
		{"after a whole gzip member", gzip(dump(12)), model({dump(12)}).out},
		{"in a gzip header's name", "\x1f\x8b\x08\x08\0\0\0\0\0\x03"s +
		    std::string(page - 10, 'n'), ""},
		{"in a member's data", gzip(stored + "rs2\n", 0).substr(0, page), stored},
	};
	for (const auto &c : cuts) {
		FailingAfter in(c.bytes);
		expect_outcome(run_stalled(in.fd, {}).got, {c.out, "tagpick: (standard input): "
		    "read error: Input/output error\n", 1}, c.what);
	}
}

TEST(TagpickErrors, FailedWrites)
{
	const std::string text = dump(2000);
	Outcome got = run_tagjoin(Invocation{.input = text, .stdout_path = "/dev/full"});
	expect_outcome(got, {"", "tagpick: error writing output: No space left on device\n", 1},
	    "a full disk");
	got = run_tagjoin(Invocation{.input = gzip(text), .stdout_path = "/dev/full"});
	EXPECT_EQ(got.status, 1);
	got = run_tagjoin(Invocation{.input = text, .stdout_path = "-"});
	expect_outcome(got, {"", "tagpick: error writing output: Bad file descriptor\n", 1},
	    "standard output closed");
	// A reader gone: SIGPIPE, as for any filter; ignored, a message.
	got = run_tagjoin(Invocation{.input = text, .stdout_broken = true});
	EXPECT_EQ(got.signal, SIGPIPE);
	got = run_tagjoin(Invocation{.input = text, .stdout_broken = true, .ignore_sigpipe = true});
	expect_outcome(got, {"", "tagpick: error writing output: Broken pipe\n", 1},
	    "a reader gone, SIGPIPE ignored");
}

// Large inputs that end in a fault, their output drained 64 KiB at a
// time: on two threads the reading one meets the fault up to a megabyte
// of text ahead, while the picking one waits in its last write.  All that
// was picked before the fault is written, and the fault told; a fault of
// the output met first is told instead, whatever the reading thread has
// met; the same on one thread.  An output that fails while the input has
// more to come ends the run, reading thread and all.
TEST(TagpickErrors, FaultsMetAhead)
{
	// 4.2 MiB kept of 6.7 MiB: the last of the 1 MiB writes comes less
	// than a MiB of text before the end.
	const int records = 28400;
	const std::string text = dump(records), gz = gzip(text), kept = model({text}).out;
	const std::string cut = gz + gz.substr(0, 40);
	std::string crc = gz, stored = gzip(text, 0), flipped = text;
	crc[crc.size() - 8] ^= 1;
	// The r of the last rs line, a bit flipped in stored data: only the
	// CRC-32 tells, at the end, and the line is no longer kept.
	const std::string last_rs = "rs" + std::to_string(records) + " |";
	ASSERT_NE(stored.rfind(last_rs), std::string::npos);
	stored[stored.rfind(last_rs)] ^= 0x20;
	flipped[flipped.rfind(last_rs)] ^= 0x20;
	const std::string on_stdin = "tagpick: (standard input): ", crc_says =
	    std::string_view(TAGPICK_LIBRARY) == "zlib" ? "incorrect data check" :
	    "wrong CRC-32 or length in the trailer";
	const std::string gone = "tagpick: error writing output: Broken pipe\n";
	Folder folder;
	const std::string crc_path = folder.file("crc.gz", crc);
	FailingAfter unreadable(text);
	const std::size_t part = 5 << 19;
	const std::string one_write_and_more = text.substr(0, text.find('\n', 1 << 20) + 1);
	const struct {
		const char *what;
		Invocation run;
		Outcome want;
	} cases[] = {
		{"read whole", {.input = gz}, want({text})},
		{"a second member cut short", {.input = cut},
		    {kept, on_stdin + "unexpected end of file: the gzip data is cut short\n", 1}},
		{"a bit flipped in the CRC-32", {.args = {crc_path}},
		    {kept, "tagpick: " + crc_path + ": " + crc_says + "\n", 1}},
		{"a bit flipped in stored data", {.input = stored, .feed = Feed::file},
		    {model({flipped}).out, on_stdin + crc_says + "\n", 1}},
		{"a read error after the text", {.stdin_fd = unreadable.fd},
		    {kept, on_stdin + "read error: Input/output error\n", 1}},
		{"a reader gone after 2.5 MiB, before the member cut short",
		    {.input = cut, .read_most = part}, {kept.substr(0, part), "", -1, SIGPIPE}},
		{"a reader gone after 2.5 MiB, SIGPIPE ignored",
		    {.input = cut, .ignore_sigpipe = true, .read_most = part},
		    {kept.substr(0, part), gone, 1}},
		{"a full disk, the input never ending",
		    {.input = text, .input_held_open = true, .stdout_path = "/dev/full"},
		    {"", "tagpick: error writing output: No space left on device\n", 1}},
		{"a reader gone, the input never ending", {.input = one_write_and_more,
		    .args = {"--all-lines"}, .input_held_open = true, .stdout_broken = true},
		    {"", "", -1, SIGPIPE}},
	};
	for (auto c : cases) {
		c.run.read_slice = 1 << 16;
		c.run.pause_ms = 1;
		expect_outcome(run_tagjoin(c.run), c.want, c.what);
	}
}

// Gzip headers, each field of any length and wherever the reads fall:
// one table, the same statuses and messages from both builds.
struct Header {
	const char *what;
	unsigned char flags;
	std::string extra, name, comment;
	bool wrong_crc = false;
	unsigned char method = 8;
	std::size_t cut = 0;            // the member cut after this many bytes
	std::string says;               // empty: the member is read whole
};

// A member with the header asked for, made by hand around zlib's raw
// deflate data.
std::string member(const Header &h, const std::string &data)
{
	std::string head = "\x1f\x8b"s + static_cast<char>(h.method) +
	    static_cast<char>(h.flags) + "\0\0\0\0\0\x03"s;
	if (h.flags & 4)
		head += little_endian(static_cast<std::uint32_t>(h.extra.size()), 2) + h.extra;
	if (h.flags & 8)
		head += h.name + '\0';
	if (h.flags & 16)
		head += h.comment + '\0';
	if (h.flags & 2) {
		auto crc = static_cast<std::uint32_t>(crc32(0,
		    reinterpret_cast<const Bytef *>(head.data()), static_cast<uInt>(head.size())));
		head += little_endian((crc & 0xffff) ^ (h.wrong_crc ? 1 : 0), 2);
	}
	z_stream z{};
	EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
	auto crc = static_cast<std::uint32_t>(crc32(0,
	    reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
	std::string whole = head + deflate_all(z, data) + little_endian(crc, 4) +
	    little_endian(static_cast<std::uint32_t>(data.size()), 4);
	return h.cut ? whole.substr(0, h.cut) : whole;
}

TEST(TagpickErrors, GzipHeaders)
{
	const std::string text = dump(40);
	const std::string past_a_read(200000, 'n'), longest_extra(65535, 'e');
	const std::string cut_short = "unexpected end of file: the gzip data is cut short";
	const Header headers[] = {
		{"a name past the first read, then a comment", 8 | 16, "", past_a_read, "c"},
		{"a name past the first read, then a header CRC", 8 | 2, "", past_a_read},
		{"a comment past the first read, then a header CRC", 16 | 2, "", "", past_a_read},
		{"every field, the extra field at its longest", 4 | 8 | 16 | 2, longest_extra,
		    "dump.txt", past_a_read},
		{"an empty extra field, name and comment", 4 | 8 | 16, "", "", ""},
		{"reserved flag 0x20", 0x20, "", "", "", false, 8, 0,
		    "unknown flags in the gzip header"},
		{"reserved flag 0x80 among others", 0x80 | 8, "", "x", "", false, 8, 0,
		    "unknown flags in the gzip header"},
		{"a wrong header CRC", 8 | 2, "", past_a_read, "", true, 8, 0,
		    "wrong CRC-16 in the gzip header"},
		{"a method that is not deflate", 0, "", "", "", false, 7, 0,
		    "unknown compression method"},
		{"cut in the fixed part", 0, "", "", "", false, 8, 7, cut_short},
		{"cut in the extra field's length", 4, "abc", "", "", false, 8, 11, cut_short},
		{"cut in the extra field", 4, longest_extra, "", "", false, 8, 1000, cut_short},
		{"cut in the name", 8, "", past_a_read, "", false, 8, 150000, cut_short},
		{"cut in the comment", 16, "", "", "abc", false, 8, 12, cut_short},
		{"cut in the header CRC", 2, "", "", "", false, 8, 11, cut_short},
	};
	Folder folder;
	for (const Header &h : headers) {
		// After a whole member, so that a second member's header is read
		// where the reads fall too.
		std::string bytes = gzip(text) + member(h, text);
		std::string path = folder.file("header.gz", bytes);
		Outcome whole = want({text + text});
		Outcome failed{model({text}).out, "tagpick: " + path + ": " + h.says + "\n", 1};
		expect_outcome(run({path}), h.says.empty() ? whole : failed, h.what);
		failed.err = "tagpick: (standard input): " + h.says + "\n";
		expect_outcome(run({}, bytes, Feed::drip, {4093, 1, 7}),
		    h.says.empty() ? whole : failed, h.what + " (a few bytes a read)"s);
	}
}

// Standard descriptors closed at the start, with every option: each one
// that is used fails as a closed one does, and no file the program opens
// takes its place.  With standard error closed, the records held in the
// temporary file come back whole, though --progress writes its line for
// standard input to descriptor 2.
TEST(TagpickErrors, ClosedStandardDescriptors)
{
	if (under_emulator())
		GTEST_SKIP() << "under qemu-user the lowest free descriptor holds the program file";
	Folder folder;
	// Past the 1 MiB held in memory.
	const std::string held = "rs1 " + std::string(1200000, 'x') + "\nSNP\nCTG\n";
	const std::string first = dump(30) + held, second = held + dump(3, 2);
	const std::vector<std::string> files = {folder.file("a.txt", first),
	    folder.file("b.gz", gzip(second))};
	for (int bits = 0; bits < 16; ++bits) {
		Options o{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
		std::vector<std::string> args = args_of(o);
		if (bits & 8)
			args.push_back("--progress");
		std::string what = "with";
		for (auto &a : args)
			what += " " + a;
		std::vector<std::string> with_files = args;
		with_files.insert(with_files.end(), files.begin(), files.end());
		expect_outcome(run_tagjoin(Invocation{.input = first, .args = args, .stdin_path = "-"}),
		    {"", "tagpick: (standard input): read error: Bad file descriptor\n", 1},
		    "standard input closed " + what);
		expect_outcome(run_tagjoin(Invocation{.args = with_files, .stdout_path = "-"}),
		    {"", "tagpick: error writing output: Bad file descriptor\n", 1},
		    "standard output closed " + what);
		// Standard input first: no input file takes descriptor 2
		// before the temporary file could.
		std::vector<std::string> stdin_first = args;
		stdin_first.insert(stdin_first.end(), {"-", files[1]});
		expect_outcome(run_tagjoin(Invocation{.input = first, .args = stdin_first,
		    .stderr_closed = true}), {model({first, second}, o).out, "", 0},
		    "standard error closed " + what);
	}
}

// An input that is the output, by any name, is refused before anything is
// read: the file stays as it was.
TEST(TagpickErrors, InputSameAsOutput)
{
	Folder folder;
	const std::string text = dump(50);
	std::string path = folder.file("a.txt", text);
	std::string other = folder.file("b.txt", text);
	std::string link = folder.path + "/link.txt";
	ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
	struct Same {
		const char *what;
		Invocation run;
		std::string name;
	} cases[] = {
		{"the only input", {.args = {path}, .stdout_path = path}, path},
		{"after another input", {.args = {other, path}, .stdout_path = path}, path},
		{"by another name", {.args = {other, link}, .stdout_path = path}, link},
		{"standard input", {.args = {"--numbered"}, .stdin_path = path, .stdout_path = path},
		    "(standard input)"},
	};
	for (const Same &c : cases) {
		expect_outcome(run_tagjoin(c.run),
		    {"", "tagpick: " + c.name + ": input file is also the output\n", 2}, c.what);
		std::string kept = read_all(open(path.c_str(), O_RDONLY));
		EXPECT_TRUE(kept == text) << c.what << ": the file changed";
	}
	// A copy is another file; /dev/null, no regular file, may be both.
	Outcome got = run_tagjoin(Invocation{.args = {other}, .stdout_path = path});
	EXPECT_EQ(got.status, 0) << got.err;
	got = run_tagjoin(Invocation{.args = {"/dev/null"}, .stdout_path = "/dev/null"});
	expect_outcome(got, {"", "", 0}, "/dev/null in and out");
}

// A parent that left standard input or output non-blocking, readers and
// writers that are slow: the program waits for them, as tagjoin does.
TEST(TagpickErrors, NonBlockingAndSlowEnds)
{
	// Kept, three times what a pipe holds: writes come back short.
	const std::string text = dump(20000);
	const std::string gz = gzip(text);
	const Outcome whole = want({text});
	struct Slow {
		const char *what;
		Invocation run;
	} cases[] = {
		{"non-blocking input fed slowly",
		    {.input = text, .feed = Feed::drip, .chunks = {1 << 15},
		        .nonblocking_input = true, .pause_ms = 5}},
		{"non-blocking gzip input fed slowly",
		    {.input = gz, .feed = Feed::drip, .chunks = {1 << 13},
		        .nonblocking_input = true, .pause_ms = 5}},
		{"non-blocking output drained slowly, from a file read at once",
		    {.input = text, .feed = Feed::file, .read_slice = 1 << 15,
		        .nonblocking_output = true, .pause_ms = 5}},
		{"both non-blocking, both slow",
		    {.input = gz, .feed = Feed::drip, .chunks = {1 << 14}, .read_slice = 1 << 15,
		        .nonblocking_input = true, .nonblocking_output = true, .pause_ms = 3}},
	};
	for (const Slow &c : cases)
		expect_outcome(run_tagjoin(c.run), whole, c.what);
}

// Each input is closed once read: more inputs than the descriptors a
// process may hold.
TEST(TagpickErrors, ManyInputs)
{
	Folder folder;
	std::vector<std::string> args, texts;
	for (int i = 0; i < 60; ++i) {
		texts.push_back("rs" + std::to_string(i) + "\nLOC\nCTG\n");
		args.push_back(folder.file("in" + std::to_string(i) + (i % 2 ? ".gz" : ".txt"),
		    i % 2 ? gzip(texts.back()) : texts.back()));
	}
	Outcome got = run_tagjoin(Invocation{.args = args,
	    .runner = {"/bin/sh", "-c", "ulimit -n 24 && exec \"$0\" \"$@\""}});
	expect_outcome(got, want(texts), "60 inputs, 24 descriptors");
}

// tagpick reads on a thread of its own where it may use two CPUs, and on
// its one thread where it may use one, as in the OneCPU build: its threads
// counted once it has taken the first line of an input that goes on.
TEST(TagpickThreads, TwoWhereTwoCPUs)
{
	if (under_emulator())
		GTEST_SKIP() << "the emulator runs threads of its own";
	cpu_set_t cpus;
	ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
#ifdef TAGPICK_ONE_CPU
	const bool two = false;
#else
	const bool two = CPU_COUNT(&cpus) >= 2;
#endif
	int in[2], out[2];
	ASSERT_TRUE(pipe(in) == 0 && pipe(out) == 0);
	pid_t pid = start_tagjoin(in[0], out[1], out[1]);
	close(in[0]);
	close(out[1]);
	write_all(in[1], "rs1\n", 4);
	for (int unread = 1; state_of(pid) != 'Z' && (ioctl(in[1], FIONREAD, &unread) != 0 ||
	     unread > 0);)
		usleep(200);
	auto threads = std::distance(std::filesystem::directory_iterator(
	    "/proc/" + std::to_string(pid) + "/task"), {});
	close(in[1]);
	EXPECT_EQ(read_all(out[0]), "rs1\n");
	close(out[0]);
	EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
	EXPECT_EQ(threads > 1, two) << threads << " threads on " << CPU_COUNT(&cpus) << " CPUs";
}

// Memory: the same few MiB for 10 MB as for 100 MB, and for a line of
// 100 MB, kept, dropped or held.
TEST(TagpickMemory, StaysFlat)
{
	if (under_emulator())
		GTEST_SKIP() << "the emulator's own memory would be counted";
#ifdef TAGPICK_SANITIZED
	GTEST_SKIP() << "the sanitizers' own memory would be counted";
#endif
	Folder folder;
	std::string measured = folder.path + "/peak";
	auto peak = [&](const std::vector<std::string> &args, const std::string &in) {
		Outcome got = run_tagjoin(Invocation{.input = in, .args = args,
		    .runner = {PEAK_MEMORY_PATH, measured}});
		EXPECT_EQ(got.status, 0) << got.err;
		FILE *f = std::fopen(measured.c_str(), "r");
		long kib = 0;
		EXPECT_TRUE(f && std::fscanf(f, "%ld", &kib) == 1);
		if (f)
			std::fclose(f);
		return kib;
	};
	long small_kib = peak({}, gzip(dump(50000)));
	long large_kib = peak({}, gzip(dump(500000)));
	EXPECT_LE(large_kib, 8 * 1024);
	EXPECT_LE(large_kib, small_kib + 512) << small_kib << " KiB for 10 MB";
	std::string line(100 << 20, 'z');
	for (const std::string &first : {"rs"s, "ss"s}) {
		std::string in = first + line + "\nCTG\n";
		EXPECT_LE(peak({"--drop-incomplete"}, in), 8 * 1024) << first;
		EXPECT_LE(peak({"--numbered"}, gzip(in, 1)), 8 * 1024) << first;
	}
}

} // namespace
