// Writes a synthetic SNP listing to standard output, the same bytes for the
// same arguments:
//   make_listing realistic BYTES   records shaped like a public flat dump
//   make_listing minimal BYTES     "rs", "SNP", "VAL", "CTG", "CTG" lines
// It stops after the first record that reaches BYTES.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Random {
	std::uint64_t state;
	unsigned below(unsigned n)
	{
		state = state * 6364136223846793005ULL + 1442695040888963407ULL;
		return static_cast<unsigned>((state >> 33) % n);
	}
};

// A carriage return before the line feed on about one line in fifty, as in
// dumps that passed through another system.
void end_line(std::string &out, Random &rnd)
{
	if (rnd.below(50) == 0)
		out += '\r';
	out += '\n';
}

void add_record(std::string &out, Random &rnd, unsigned id)
{
	static const char *const bases[] = {"A", "C", "G", "T"};
	char line[256];
	std::snprintf(line, sizeof line,
	    "rs%u | human | 9606 | snp | genotype=%s | submitterlink=YES | "
	    "updated 20%02u-%02u-%02u %02u:%02u", id,
	    rnd.below(2) ? "YES" : "NO", 10 + rnd.below(15), 1 + rnd.below(12),
	    1 + rnd.below(28), rnd.below(24), rnd.below(60));
	out += line;
	end_line(out, rnd);
	std::snprintf(line, sizeof line,
	    "SNP | alleles='%s/%s' | het=0.%02u | se(het)=0.%02u",
	    bases[rnd.below(4)], bases[rnd.below(4)], rnd.below(100),
	    rnd.below(100));
	out += line;
	end_line(out, rnd);
	std::snprintf(line, sizeof line,
	    "VAL | validated=%s | min_prob=0.%02u | max_prob=1.0 | "
	    "notwithdrawn | freq=0.%02u", rnd.below(3) ? "YES" : "NO",
	    rnd.below(100), rnd.below(100));
	out += line;
	end_line(out, rnd);
	for (unsigned n = 1 + rnd.below(4); n > 0; --n) {
		unsigned pos = rnd.below(250000000);
		std::snprintf(line, sizeof line,
		    "CTG | assembly=GRCh38.p14 | chr=%u | chr-pos=%u | "
		    "NT_%06u.%u | ctg-start=%u | ctg-end=%u | loctype=2 | "
		    "orient=%c", 1 + rnd.below(22), pos, rnd.below(1000000),
		    1 + rnd.below(20), pos % 1000000, pos % 1000000,
		    rnd.below(2) ? '+' : '-');
		out += line;
		end_line(out, rnd);
	}
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 3 || (std::strcmp(argv[1], "realistic") != 0 &&
	    std::strcmp(argv[1], "minimal") != 0)) {
		std::fputs("usage: make_listing realistic|minimal BYTES\n", stderr);
		return 2;
	}
	bool realistic = std::strcmp(argv[1], "realistic") == 0;
	unsigned long long want = std::strtoull(argv[2], nullptr, 10);
	Random rnd{20261208};
	std::string out;
	unsigned long long written = 0;
	for (unsigned id = 1000; written < want; ++id) {
		if (realistic)
			add_record(out, rnd, id);
		else
			out += "rs\nSNP\nVAL\nCTG\nCTG\n";
		if (out.size() >= (1 << 20) || written + out.size() >= want) {
			if (std::fwrite(out.data(), 1, out.size(), stdout) !=
			    out.size())
				return 1;
			written += out.size();
			out.clear();
		}
	}
	return std::fflush(stdout) == 0 ? 0 : 1;
}
