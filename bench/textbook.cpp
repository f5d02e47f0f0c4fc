// The same record joining done the textbook way, a line at a time through
// stdio: fgets into a 20001-byte buffer, fprintf for each joined line.
// Kept as the baseline that tagjoin's speed is measured against.

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

int rtrim(char *s)
{
	int i = static_cast<int>(std::strlen(s)) - 1;
	while (i >= 0 && std::isspace(static_cast<unsigned char>(s[i])))
		--i;
	s[i + 1] = '\0';
	return i + 1;
}

bool begins(const char *s, const char *tag)
{
	return std::strncmp(s, tag, std::strlen(tag)) == 0;
}

} // namespace

int main()
{
	static char line[20001];
	int state = 1, n = 0;
	const char *want[] = {"", "rs", "SNP", "VAL", "CTG"};
	while (std::fgets(line, sizeof line, stdin)) {
		++n;
		if (rtrim(line) > 19999) {
			std::fprintf(stderr, "input line %d is too long", n);
			return -1;
		}
		if (state == 5) {
			if (begins(line, "CTG")) {
				std::fprintf(stdout, " | %s", line);
				continue;
			}
			std::fputc('\n', stdout);
			state = 1;
		}
		if (!begins(line, want[state])) {
			std::fprintf(stderr,
			    "\"%s\" expected at beginning of input line %d",
			    want[state], n);
			return -1;
		}
		if (state == 1)
			std::fputs(line, stdout);
		else
			std::fprintf(stdout, " | %s", line);
		++state;
	}
	std::fputc('\n', stdout);
	return 0;
}
