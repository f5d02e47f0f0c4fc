#include "model.h"

#include <cctype>

namespace {

std::string trim(std::string s)
{
	while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
		s.pop_back();
	return s;
}

Outcome failed(const std::string &out, const std::string &msg, long long line)
{
	std::string err = msg;
	err.replace(err.find("%d"), 2, std::to_string(line));
	return {out, err, 255};
}

} // namespace

Outcome model(const std::string &input)
{
	const std::string want[] = {"rs", "SNP", "VAL", "CTG"};
	std::string out;
	int state = 0;                  // 0-3: want[state] is due; 4: in CTG lines
	long long line = 0, open_line = 0;

	for (std::size_t at = 0; at < input.size();) {
		// A read stops after a line feed or after 20000 bytes.
		std::size_t end = input.find('\n', at);
		end = end == std::string::npos ? input.size() : end + 1;
		end = std::min(end, at + 20000);
		std::string piece = input.substr(at, end - at);
		at = end;
		++line;

		std::string text = trim(piece);
		if (open_line != 0 && !text.empty())
			return failed(out, "input line %d is too long", open_line);
		open_line = 0;
		if (text.size() >= 20000)
			return failed(out, "input line %d is too long", line);
		if (piece.size() == 20000 && piece.back() != '\n')
			open_line = line;

		if (state == 4 && text.rfind("CTG", 0) == 0) {
			out += " | " + text;
			continue;
		}
		if (state == 4) {
			out += "\n";
			state = 0;
		}
		if (text.rfind(want[state], 0) != 0)
			return failed(out, "\"" + want[state] +
			    "\" expected at beginning of input line %d", line);
		out += (state == 0 ? "" : " | ") + text;
		++state;
	}
	return {out + "\n", "", 0};
}
