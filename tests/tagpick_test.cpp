// tagpick run as a user would: the lines it keeps against a plain model,
// gzip members of every kind, its options, every way an input can be
// damaged, and its memory.

#include "run.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
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
	// Where no temporary file can be made, the run fails, saying why.
	setenv("TMPDIR", "/nonexistent", 1);
	Outcome got = run({"--drop-incomplete"}, in);
	unsetenv("TMPDIR");
	EXPECT_EQ(got.status, 1);
	EXPECT_EQ(got.err, "tagpick: cannot hold a record: No such file or directory\n");
}

TEST(TagpickOptions, ProgressHelpVersionUsage)
{
	Folder folder;
	std::string text = dump(2000);
	std::string path = folder.file("dump.txt.gz", gzip(text));
	Outcome got = run({"--progress", path});
	EXPECT_EQ(got.out, model({text}).out);
	EXPECT_EQ(got.status, 0);
	// Drawn at least at the end, then cleared: the line goes back to its
	// start and is blanked out.
	EXPECT_NE(got.err.find(path + ": "), std::string::npos) << got.err;
	EXPECT_NE(got.err.find("MB"), std::string::npos) << got.err;
	EXPECT_EQ(got.err.front(), '\r');
	EXPECT_EQ(got.err.find('\n'), std::string::npos) << got.err;
	std::size_t cleared = got.err.rfind('\r', got.err.size() - 2);
	std::string last = got.err.substr(cleared + 1);
	EXPECT_GT(last.size(), 1u) << "blanked over";
	EXPECT_EQ(last.find_first_not_of(' '), last.size() - 1) << visible(last);
	EXPECT_EQ(last.back(), '\r');
	got = run({"--progress"}, text);
	EXPECT_NE(got.err.find("(standard input): "), std::string::npos) << got.err;

	got = run({"--help"});
	EXPECT_EQ(got.status, 0);
	EXPECT_EQ(got.out.rfind("usage: tagpick ", 0), 0u) << got.out;
	EXPECT_EQ(got.err, "");
	got = run({"--version"});
	EXPECT_EQ(got.status, 0);
	EXPECT_EQ(got.out.rfind("tagpick 1.0.0, inflating with " TAGPICK_LIBRARY " ", 0), 0u)
	    << got.out;

	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
		 {"--bogus"}, {"-x", path}, {path, "--numbred"},
		 {folder.path + "/missing.gz"}, {path, folder.path + "/missing"}}) {
		got = run(args);
		EXPECT_EQ(got.status, 2) << args.back();
		EXPECT_EQ(got.out, "") << args.back();
		EXPECT_NE(got.err.find("\nusage: tagpick "), std::string::npos) << got.err;
	}
}

// Errors: an input not read whole is never a success.

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
	std::string method = gz;
	method[2] = 7;
	// Each library names the damage in its own words.
	const bool zlib = std::string_view(TAGPICK_LIBRARY) == "zlib";
	const Damage damages[] = {
		{"cut inside a block", gz.substr(0, gz.size() / 2), "unexpected end of file"},
		{"cut inside the trailer", gz.substr(0, gz.size() - 3), "unexpected end of file"},
		{"cut inside the header", gz.substr(0, 5), "unexpected end of file"},
		{"cut inside a second member", gz + gz.substr(0, 40), "unexpected end of file"},
		{"the magic bytes alone", gz.substr(0, 2), "unexpected end of file"},
		{"a wrong CRC-32", crc, zlib ? "incorrect data check" :
		    "wrong CRC-32 or length in the trailer"},
		{"a wrong length", length, zlib ? "incorrect length check" :
		    "wrong CRC-32 or length in the trailer"},
		{"a corrupt block", block, "", true},
		{"an unknown method", method, ""},
		{"text after the last member", gz + "rs1\nSNP\n", "trailing garbage"},
		{"zeros after the last member", gz + std::string(512, '\0'), "trailing garbage"},
		{"one byte after the last member", gz + "\x1f", "trailing garbage"},
	};
	Folder folder;
	for (const Damage &d : damages) {
		std::string path = folder.file("damaged.txt.gz", d.bytes);
		Outcome got = run({path});
		EXPECT_EQ(got.status, 1) << d.what;
		EXPECT_EQ(got.err.rfind("tagpick: " + path + ": " + d.says, 0), 0u)
		    << d.what << ": " << got.err;
		EXPECT_EQ(got.err.find('\n'), got.err.size() - 1) << d.what;
		// What came before the damage is written, nothing invented.
		if (!d.found_late) {
			EXPECT_EQ(model({text}).out.compare(0, got.out.size(),
			    got.out), 0) << d.what;
		}
		got = run({}, d.bytes);
		EXPECT_EQ(got.status, 1) << d.what << " (standard input)";
		EXPECT_EQ(got.err.rfind("tagpick: (standard input): " + d.says, 0), 0u)
		    << d.what << ": " << got.err;
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
