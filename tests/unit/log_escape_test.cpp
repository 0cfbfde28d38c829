// Client text as a log line shows it.
#include "log/escape.h"

#include <gtest/gtest.h>

TEST(LogEscape, ControlsAndBrokenUtf8BecomeEscapesAndLongTextIsCut)
{
    struct Case {
        std::string in, out;
    } const cases[] = {
        {"org.example.Plain /a/b", "org.example.Plain /a/b"},
        {"a\nb\rc\td\x1b[2Ke\x7f", "a\\x0ab\\x0dc\\x09d\\x1b[2Ke\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        // Not UTF-8: a stray byte, a cut sequence, an overlong '/', a surrogate.
        {"\xff" "a", "\\xffa"},
        {"\xc3" "a", "\\xc3a"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        // UTF-8 that a terminal reads as a control or a line break.
        {"\xc2\x9b" "2K", "\\xc2\\x9b2K"},
        {"x\xe2\x80\xa8y\xe2\x80\xaez\xe2\x81\xa6", "x\\xe2\\x80\\xa8y\\xe2\\x80\\xaez\\xe2\\x81\\xa6"},
        {"\xc2\xa0\xe2\x80\xa7\xe2\x80\xaf", "\xc2\xa0\xe2\x80\xa7\xe2\x80\xaf"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(log_escape(c.in), c.out) << c.in;
    EXPECT_EQ(log_escape(static_cast<const char *>(nullptr)), "(null)");
    EXPECT_EQ(log_escape(std::string(10, 'x'), 4), "xxxx...(6 more bytes)");
    EXPECT_EQ(log_escape(std::string(4, 'x'), 4), "xxxx");
    // A sequence cut by the limit is not passed on half.
    EXPECT_EQ(log_escape("ab\xc3\xa9", 3), "ab\\xc3...(1 more bytes)");
}
