#include "tagjoin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
	std::string text;       // what stands in the buffer, NULs and all
	std::string expect;     // the whole buffer afterwards
	int length;
};

// The buffer is compared whole, so that a trim writing past the first
// NUL, or not writing its terminator, shows up.
const Case cases[] = {
	{std::string("\0", 1), std::string("\0", 1), 0},
	{std::string(" \t\n\v\f\r\0", 7), std::string("\0\t\n\v\f\r\0", 7), 0},
	{std::string("abc \t\r\n\0", 8), std::string("abc\0\t\r\n\0", 8), 3},
	{std::string("abc\0", 4), std::string("abc\0", 4), 3},
	{std::string(" ab\n\0", 5), std::string(" ab\0\0", 5), 3},
	{std::string("a b\tc\0", 6), std::string("a b\tc\0", 6), 5},
	{std::string("ab\x85\xa0\xff\0", 6), std::string("ab\x85\xa0\xff\0", 6), 5},
	{std::string("x\xa0 \0", 4), std::string("x\xa0\0\0", 4), 2},
	{std::string("ab \0cd  \0", 9), std::string("ab\0\0cd  \0", 9), 2},
	{std::string("\0  x\0", 5), std::string("\0  x\0", 5), 0},
};

TEST(Rtrim, TrimsTrailingWhiteSpaceInPlace)
{
	for (const Case &c : cases) {
		std::string buf = c.text;
		SCOPED_TRACE(testing::PrintToString(c.text));
		EXPECT_EQ(rtrim(buf.data()), c.length);
		EXPECT_EQ(buf, c.expect);
	}
}

} // namespace
