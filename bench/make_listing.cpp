// Writes a synthetic SNP listing to standard output, the same bytes for the
// same arguments:
//   make_listing realistic BYTES   records shaped like a public flat dump
//   make_listing minimal BYTES     "rs", "SNP", "VAL", "CTG", "CTG" lines
//   make_listing dump BYTES [SEED [NO_CTG_PERCENT [gzip]]]
//                                  a whole published dump: a header, ss,
//                                  GMAF, LOC and SEQ lines among the
//                                  record's own, a blank line after each
//                                  record, and NO_CTG_PERCENT of the
//                                  records (default 0) without a CTG line;
//                                  gzipped with pigz, or gzip, if asked
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

// A record's first line, as both kinds of listing have it.
void add_rs_line(std::string &out, Random &rnd, unsigned id)
{
	char line[128];
	std::snprintf(line, sizeof line,
	    "rs%u | human | 9606 | snp | genotype=%s | submitterlink=YES | "
	    "updated 20%02u-%02u-%02u %02u:%02u", id,
	    rnd.below(2) ? "YES" : "NO", 10 + rnd.below(15), 1 + rnd.below(12),
	    1 + rnd.below(28), rnd.below(24), rnd.below(60));
	out += line;
}

// A CTG line on the assembly named.
void add_ctg_line(std::string &out, Random &rnd, const char *assembly)
{
	char line[256];
	unsigned pos = rnd.below(250000000);
	std::snprintf(line, sizeof line,
	    "CTG | assembly=%s | chr=%u | chr-pos=%u | NT_%06u.%u | "
	    "ctg-start=%u | ctg-end=%u | loctype=2 | orient=%c", assembly,
	    1 + rnd.below(22), pos, rnd.below(1000000), 1 + rnd.below(20),
	    pos % 1000000, pos % 1000000, rnd.below(2) ? '+' : '-');
	out += line;
}

void add_record(std::string &out, Random &rnd, unsigned id)
{
	static const char *const bases[] = {"A", "C", "G", "T"};
	char line[256];
	add_rs_line(out, rnd, id);
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
		add_ctg_line(out, rnd, "GRCh38.p14");
		end_line(out, rnd);
	}
}

// A record as a whole dump holds it: the lines of the listing and others
// about the same variant, then a blank line.
void add_dump_record(std::string &out, Random &rnd, unsigned id, bool ctg)
{
	static const char *const bases[] = {"A", "C", "G", "T"};
	static const char *const labs[] = {"LABX", "BROAD", "SC_JCM", "1000G"};
	char line[320];
	add_rs_line(out, rnd, id);
	out += '\n';
	for (unsigned n = 1 + rnd.below(3); n > 0; --n) {
		const char *lab = labs[rnd.below(4)];
		std::snprintf(line, sizeof line,
		    "ss%u | %s | %s-%u | orient=%c | ss_pick=%s\n",
		    rnd.below(900000000), lab, lab, rnd.below(100000),
		    rnd.below(2) ? '+' : '-', rnd.below(4) ? "NO" : "YES");
		out += line;
	}
	std::snprintf(line, sizeof line,
	    "SNP | alleles='%s/%s' | het=? | se(het)=?\n", bases[rnd.below(4)],
	    bases[rnd.below(4)]);
	out += line;
	std::snprintf(line, sizeof line,
	    "VAL | validated=%s | min_prob=? | max_prob=? | notwithdrawn\n",
	    rnd.below(3) ? "YES" : "NO");
	out += line;
	if (rnd.below(2)) {
		std::snprintf(line, sizeof line,
		    "GMAF | allele=%s | count=%u | MAF=0.%04u\n",
		    bases[rnd.below(4)], rnd.below(5008), rnd.below(5000));
		out += line;
	}
	for (unsigned n = ctg ? 1 + rnd.below(3) : 0; n > 0; --n) {
		add_ctg_line(out, rnd, "GRCh37.p13");
		out += '\n';
		for (unsigned k = rnd.below(3); k > 0; --k) {
			std::snprintf(line, sizeof line,
			    "LOC | GENE%u | locus_id=%u | "
			    "fxn-class=intron-variant | allele=%s\n",
			    rnd.below(20000), rnd.below(100000),
			    bases[rnd.below(4)]);
			out += line;
		}
	}
	if (rnd.below(3) == 0) {
		std::snprintf(line, sizeof line,
		    "SEQ | %u | source-db=remap | seq-pos=%u | orient=+\n",
		    rnd.below(300000000), rnd.below(1000));
		out += line;
	}
	out += '\n';
}

} // namespace

int main(int argc, char **argv)
{
	std::string kind = argc >= 3 ? argv[1] : "";
	if ((kind != "realistic" && kind != "minimal" && kind != "dump") ||
	    (kind != "dump" && argc != 3) || argc > 6 ||
	    (argc == 6 && std::strcmp(argv[5], "gzip") != 0)) {
		std::fputs("usage: make_listing realistic|minimal BYTES\n"
		    "       make_listing dump BYTES [SEED [NO_CTG_PERCENT "
		    "[gzip]]]\n", stderr);
		return 2;
	}
	unsigned long long want = std::strtoull(argv[2], nullptr, 10);
	Random rnd{argc >= 4 ? std::strtoull(argv[3], nullptr, 10) : 20261208};
	unsigned no_ctg = argc >= 5 ? std::strtoul(argv[4], nullptr, 10) : 0;
	FILE *to = stdout;
	if (argc == 6) {
		to = popen("if command -v pigz >/dev/null; then exec pigz -c; "
		    "else exec gzip -c; fi", "w");
		if (to == nullptr)
			return 1;
	}
	std::string out;
	if (kind == "dump")
		out = "LISTING (FULL)\nCREATED ON: 2016-11-17 08:55\n\n";
	unsigned long long written = 0;
	for (unsigned id = 1000; written < want; ++id) {
		if (kind == "realistic")
			add_record(out, rnd, id);
		else if (kind == "dump")
			add_dump_record(out, rnd, id, rnd.below(100) >= no_ctg);
		else
			out += "rs\nSNP\nVAL\nCTG\nCTG\n";
		if (out.size() >= (1 << 20) || written + out.size() >= want) {
			if (std::fwrite(out.data(), 1, out.size(), to) !=
			    out.size())
				return 1;
			written += out.size();
			out.clear();
		}
	}
	if (to != stdout)
		return pclose(to) == 0 ? 0 : 1;
	return std::fflush(stdout) == 0 ? 0 : 1;
}
