#include "model.h"
#include "run.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

Outcome ok(const std::string &out)
{
	return {out, "", 0};
}

Outcome fail(const std::string &out, const std::string &err)
{
	return {out, err, 255};
}

std::string expected(const std::string &tag, int line)
{
	return "\"" + tag + "\" expected at beginning of input line " +
	    std::to_string(line);
}

std::string too_long(long long line)
{
	return "input line " + std::to_string(line) + " is too long";
}


struct Case {
	const char *what;
	std::string input;
	Outcome want;
};

const std::string a19997(19997, 'a');
const std::string at_window_edges = "rs" + std::string(61, '1') + "\nSNP" +
    std::string(60, '2') + "\nVAL" + std::string(60, '3') + "\nCTG" +
    std::string(28, '4') + "\nCTG" + std::string(28, '5') + "\n";

const Case cases[] = {
	{"empty input", "", ok("\n")},
	{"tags alone", "rs\nSNP\nVAL\nCTG\n", ok("rs | SNP | VAL | CTG\n")},
	{"CTG lines join until the next rs; end mid-record",
	    "rs7 a\nSNP b\nVAL c\nCTG d\nCTG e\nrs8 f\n",
	    ok("rs7 a | SNP b | VAL c | CTG d | CTG e\nrs8 f\n")},
	{"end after SNP", "rs1\nSNP x\n", ok("rs1 | SNP x\n")},
	{"CR LF and trailing blanks go; leading and inner stay",
	    "rs1 \t\r\nSNP  a\tb \r\nVAL\r\nCTG x \v\f\r\n",
	    ok("rs1 | SNP  a\tb | VAL | CTG x\n")},
	{"tags run on; text is never a format",
	    "rsX %s %d\nSNPx | y\nVALUE\nCTGCTG\nCTG%n\n",
	    ok("rsX %s %d | SNPx | y | VALUE | CTGCTG | CTG%n\n")},
	{"last line without a line feed", "rs\nSNP\nVAL\nCTG z",
	    ok("rs | SNP | VAL | CTG z\n")},

	{"blank first line", "\nrs\n", fail("", expected("rs", 1))},
	{"white space line after CTG closes the record first",
	    "rs\nSNP\nVAL\nCTG\n \t\n",
	    fail("rs | SNP | VAL | CTG\n", expected("rs", 5))},
	{"other line after CTG", "rs\nSNP\nVAL\nCTG\nSNP\n",
	    fail("rs | SNP | VAL | CTG\n", expected("rs", 5))},
	{"leading space", "rs\n SNP\n", fail("rs", expected("SNP", 2))},
	{"tag in the wrong case", "Rs1\n", fail("", expected("rs", 1))},
	{"SNP in lower case", "rs\nsnp\n", fail("rs", expected("SNP", 2))},
	{"line shorter than its tag", "rs\nSN\n", fail("rs", expected("SNP", 2))},
	{"VAL missing", "rs\nSNP\nCTG\n", fail("rs | SNP", expected("VAL", 3))},
	{"CTG missing", "rs\nSNP\nVAL\nrs\n",
	    fail("rs | SNP | VAL", expected("CTG", 4))},

	{"19999 characters pass", "rs" + a19997 + "\n", ok("rs" + a19997 + "\n")},
	{"20000 characters are too long", "rs" + a19997 + "a",
	    fail("", too_long(1))},
	{"20000 characters and a line feed are too long",
	    "rs\nSNP" + a19997 + "\n", fail("rs", too_long(2))},
	{"40000 characters are too long", "rs" + std::string(39998, 'b') + "\n",
	    fail("", too_long(1))},
	{"20000th character white, the rest blank: a blank line follows",
	    "rs\nSNP\nVAL\nCTG" + std::string(19996, 'c') + "   \r\n",
	    fail("rs | SNP | VAL | CTG" + std::string(19996, 'c') + "\n",
	        expected("rs", 5))},
	{"20000th character white, more text after it: too long",
	    "rs\nSNP" + std::string(19996, 's') + "\tx\n",
	    fail("rs | SNP" + std::string(19996, 's'), too_long(2))},
	{"20000 bytes ending in white space at the end of input",
	    "rs" + a19997 + " ", ok("rs" + a19997 + "\n")},

	{"NUL is an ordinary byte", "rs\0\nSNP\nVAL\nCTG x\0y\n"s,
	    ok("rs\0 | SNP | VAL | CTG x\0y\n"s)},
	{"NUL is no tag and no white space", "rs \0 \n\0SNP\n"s,
	    fail("rs \0"s, expected("SNP", 2))},

	// The unfinished "CT" is moved to the front of the buffer over
	// "rsG\n": the stale "G\n" after it must not complete the tag or end
	// the line.
	{"a tag cut by the end of the input, stale bytes after it",
	    "rsG\nSNP\nVAL\nCTG\nCT",
	    fail("rsG | SNP | VAL | CTG\n", expected("rs", 5))},
	// Line feeds at the last byte of each 64-byte window, and a last
	// window filled to its end that holds two lines.
	{"lines ending at 64-byte boundaries", at_window_edges,
	    ok("rs" + std::string(61, '1') + " | SNP" + std::string(60, '2') +
	        " | VAL" + std::string(60, '3') + " | CTG" +
	        std::string(28, '4') + " | CTG" + std::string(28, '5') + "\n")},
};

TEST(Filter, EndToEnd)
{
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		expect_outcome(run_tagjoin(c.input), c.want, visible(c.input));
	}
}

TEST(Filter, IgnoresArguments)
{
	Invocation run{.input = "rs\nSNP\nVAL\nCTG\n",
	    .args = {"-h", "--version", "file.txt"}};
	expect_outcome(run_tagjoin(run), ok("rs | SNP | VAL | CTG\n"), visible(run.input));
}

// Inputs biased to the edges of the rules: tags nearly right, white space
// of every kind, NULs and high bytes, lines about the length limit.
std::string random_input(std::mt19937_64 &rng)
{
	auto pick = [&](std::size_t n) { return rng() % n; };
	auto chance = [&](unsigned percent) { return pick(100) < percent; };
	const std::string tags[] = {"rs", "SNP", "VAL", "CTG"};
	const std::string wrong[] = {"Rs", "rS", "RS", "snp", "Snp", "val",
	    "ctg", "CTg", "r", "SN", "VA", "CT", "", "x", " rs", "\tCTG",
	    "\0rs"s, "SNP"};
	const std::string bits[] = {"a", "Z", "0", " ", "\t", "|", " | ",
	    "%s", "%d", "\0"s, "\x80", "\xff", "\xa0", "\x85", "\r", "\v",
	    "\f", "rs", "CTG"};
	const std::string white[] = {" ", "\t", "\r", "\v", "\f"};
	const std::size_t lengths[] = {19997, 19998, 19999, 20000, 20001,
	    20002, 39999, 40000, 40001};

	std::string in;
	for (std::size_t r = pick(6); r > 0; --r) {
		for (std::size_t k = 0, ctgs = 1 + pick(4); k < 3 + ctgs; ++k) {
			std::string line = chance(4) ? wrong[pick(std::size(wrong))] :
			    tags[std::min<std::size_t>(k, 3)];
			if (chance(2))
				line.clear();
			if (chance(3)) {
				line.resize(lengths[pick(std::size(lengths))], 'L');
				if (line.size() > 19999 && chance(60))
					line[19999] = white[pick(5)][0];
				if (chance(40))
					for (std::size_t i = 20000; i < line.size(); ++i)
						line[i] = white[pick(5)][0];
			} else {
				for (std::size_t i = pick(8); i > 0; --i)
					line += bits[pick(std::size(bits))];
			}
			for (std::size_t i = pick(4); i > 0; --i)
				line += white[pick(5)];
			in += line + (chance(10) ? "\r\n" : "\n");
		}
	}
	if (chance(25))
		in.resize(pick(in.size() + 1));
	if (chance(15) && !in.empty() && in.back() == '\n')
		in.pop_back();
	return in;
}

TEST(Filter, AgreesWithModelOnRandomInputs)
{
	std::mt19937_64 rng(20261208);
	int mismatches = 0;
	for (int i = 0; i < 3000 && mismatches < 3; ++i) {
		std::string in = random_input(rng);
		Outcome got = run_tagjoin(in);
		if (got != model(in)) {
			++mismatches;
			expect_outcome(got, model(in), visible(in));
		}
	}
}

// Pieces, CR LF pairs and long lines split across reads must come out as
// when read whole.
TEST(Filter, SameBytesWhateverTheReads)
{
	std::mt19937_64 rng(7);
	for (int i = 0; i < 40; ++i) {
		Invocation drip{.input = random_input(rng), .feed = Feed::drip,
		    .chunks = {1, 7, 2, 13, 64, 3, 997, 5}};
		expect_outcome(run_tagjoin(drip), model(drip.input), visible(drip.input));
	}
}

// A record whose CTG lines fill the input up to exactly size bytes.
std::string record_up_to(std::size_t size)
{
	std::string in = "rs\nSNP\nVAL\n";
	while (size - in.size() >= 200)
		in += "CTG " + std::string(95, 'f') + "\n";
	return in + "CTG" + std::string(size - in.size() - 4, 'g') + "\n";
}

// Lines across the edge of the program's read blocks, whatever their size
// from 64 KiB to 4 MiB, must come out as when read in one piece.
TEST(Filter, SameBytesAcrossBlockEdges)
{
	const std::string tails[][2] = {
		// a 19998-character line straddling the edge, its CR LF at it
		{"CTG" + std::string(19995, 'l') + "\r\n", "CTG end\n"},
		// CR at the last byte before the edge, LF at the first after
		{"CTG" + std::string(46, 'c') + "\r\n", "CTG end\r\n"},
		// a 20000-byte piece ending at the edge, then its blank rest
		{"CTG" + std::string(19996, 'w') + " ", "\nrs\n"},
	};
	for (std::size_t edge = 1 << 16; edge <= 1 << 22; edge <<= 1) {
		for (const auto &[across, after] : tails) {
			std::size_t ends = across.find('\r') == across.size() - 2 ?
			    across.size() - 1 : across.size();
			std::string in = record_up_to(edge - ends) + across + after;
			SCOPED_TRACE(std::to_string(edge) + ": " + visible(after));
			Invocation run{.input = in, .feed = Feed::file};
			expect_outcome(run_tagjoin(run), model(in), "(block edge)");
			run.feed = Feed::pipe;
			expect_outcome(run_tagjoin(run), model(in), "(block edge)");
		}
	}
}

} // namespace
