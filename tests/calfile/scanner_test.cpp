// The calibration file scanner: words, keywords, look-ahead, numbers and message reporting.
#include <gtest/gtest.h>

#include <string>

#include "vell/calfile/scanner.h"
#include "vell/platform/errors.h"
#include "tests/support/test_support.h"

namespace {

using vptest::LogCapture;

class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto& r = calfile_reporting();
        r.msg_count = 0;
        r.header_name.clear();
        r.plus_text.clear();
    }
    LogCapture log;
};

TEST_F(ScannerTest, WordsEndAtBlanksTabsQuotesAndLineEnds)
{
    calfile_stream in(std::string("  alpha\tbeta\"gamma\"delta\nnext"));
    std::string w;
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "alpha");
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "beta");
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "gamma");
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "delta");
    EXPECT_EQ(calfile_word(in, NO_ERROR, w), ERR_EOL);
    EXPECT_FALSE(in.skip_line());
    EXPECT_EQ(in.line(), 2);
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "next");
    EXPECT_EQ(calfile_word(in, NO_ERROR, w), ERR_EOF);
}

TEST_F(ScannerTest, PunctuationIsAWordOfItsOwn)
{
    calfile_stream in(std::string("[12,34]: x,y"));
    std::string w;
    const char* expected[] = {"[", "12,34]:", "x,y"};
    // Only a word that *begins* with punctuation is that character alone.
    for (const char* e : expected) {
        ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
        EXPECT_EQ(w, e);
    }
    calfile_stream in2(std::string(",:]["));
    for (const char* e : {",", ":", "]", "["}) {
        ASSERT_EQ(calfile_word(in2, NO_ERROR, w), NO_ERROR);
        EXPECT_EQ(w, e);
    }
}

TEST_F(ScannerTest, CommentOrLineEndMeansNoFurtherWord)
{
    calfile_stream in(std::string("   # comment\n"));
    std::string w;
    EXPECT_EQ(calfile_word(in, NO_ERROR, w), ERR_EOL);
    calfile_stream empty(std::string(""));
    EXPECT_EQ(calfile_word(empty, NO_ERROR, w), ERR_EOF);
}

TEST_F(ScannerTest, QuotedWordsKeepBlanks)
{
    calfile_stream in(std::string("\"two  words\" after"));
    std::string w;
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "two  words");
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "after");
}

TEST_F(ScannerTest, UnterminatedQuoteGivesEolOrEof)
{
    std::string w;
    calfile_stream line(std::string("\"open name\nZoom 1"));
    EXPECT_EQ(calfile_word(line, NO_ERROR, w), ERR_EOL);
    EXPECT_FALSE(line.skip_line());
    ASSERT_EQ(calfile_word(line, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "Zoom");
    calfile_stream file(std::string("\"open name"));
    EXPECT_EQ(calfile_word(file, NO_ERROR, w), ERR_EOF);
}

TEST_F(ScannerTest, LongWordsAreCutAt81Characters)
{
    std::string text(81, 'a');
    text += "bcd next";
    calfile_stream in(text);
    std::string w;
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, std::string(81, 'a'));
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "bcd");
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "next");

    // A quoted word keeps its first 81 characters; the rest up to the closing quote is dropped.
    calfile_stream q("\"" + std::string(100, 'q') + " x\" tail");
    ASSERT_EQ(calfile_word(q, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, std::string(81, 'q'));
    ASSERT_EQ(calfile_word(q, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "tail");
}

TEST_F(ScannerTest, CarriageReturnsAreIgnoredAndNulBytesAreBlanks)
{
    calfile_stream in(std::string("ab\r\ncd\0ef", 10));
    std::string w;
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "ab");
    EXPECT_EQ(calfile_word(in, NO_ERROR, w), ERR_EOL);
    in.skip_line();
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "cd");
    ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
    EXPECT_EQ(w, "ef");
}

TEST_F(ScannerTest, OperationsDoNothingOnceAStatusIsSet)
{
    calfile_stream in(std::string("word 12"));
    std::string w = "kept";
    EXPECT_EQ(calfile_word(in, ERR_EOL, w), ERR_EOL);
    EXPECT_EQ(w, "kept");
    cal_token t;
    EXPECT_EQ(calfile_keyword(in, ERR_SB_CALFILE_SYNTAX, t), ERR_SB_CALFILE_SYNTAX);
    int32_t n = 5;
    EXPECT_EQ(calfile_int(in, ERR_EOF, 0, 100, n), ERR_EOF);
    EXPECT_EQ(n, 5);
    double d = 1.5;
    EXPECT_EQ(calfile_real(in, ERR_SB_CALFILE_VALUE_RANGE, 0, 100, d), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(calfile_peek(in, ERR_EOL), cal_peek::eol);
    EXPECT_EQ(in.pos(), 0u);
}

TEST_F(ScannerTest, KeywordsAreLookedUpInLowerCase)
{
    calfile_stream in(std::string("ZOOM CaMeRa frobnicate"));
    cal_token t;
    std::string w;
    ASSERT_EQ(calfile_keyword(in, NO_ERROR, t, &w), NO_ERROR);
    EXPECT_EQ(t, TOK_ZOOM);
    EXPECT_EQ(w, "ZOOM");
    ASSERT_EQ(calfile_keyword(in, NO_ERROR, t, &w), NO_ERROR);
    EXPECT_EQ(t, TOK_CAMERA);
    ASSERT_EQ(calfile_keyword(in, NO_ERROR, t, &w), NO_ERROR);
    EXPECT_EQ(t, TOK_UNKNOWN);
    EXPECT_EQ(w, "frobnicate");
}

TEST_F(ScannerTest, PeekClassifiesWithoutConsuming)
{
    struct Case {
        const char* text;
        cal_peek kind;
    } cases[] = {
        {"", cal_peek::eol},        {"  \n", cal_peek::eol},     {"\t# c", cal_peek::eol},
        {"\r\n", cal_peek::eol},    {" 7", cal_peek::number},    {"-1", cal_peek::number},
        {".5", cal_peek::number},   {"abc", cal_peek::word},     {"Z", cal_peek::word},
        {"[", cal_peek::lbracket},  {":", cal_peek::colon},      {"\"q\"", cal_peek::other},
        {"+5", cal_peek::other},    {",", cal_peek::other},      {"_x", cal_peek::other},
    };
    for (const auto& c : cases) {
        calfile_stream in{std::string(c.text)};
        EXPECT_EQ(calfile_peek(in, NO_ERROR), c.kind) << '"' << c.text << '"';
        std::size_t at = in.pos();
        EXPECT_EQ(calfile_peek(in, NO_ERROR), c.kind);
        EXPECT_EQ(in.pos(), at);
    }
}

TEST_F(ScannerTest, IntegersWithRangeMessages)
{
    calfile_stream in(std::string("7 -3 +4 256 x"));
    int32_t n = 0;
    ASSERT_EQ(calfile_int(in, NO_ERROR, 0, 7, n), NO_ERROR);
    EXPECT_EQ(n, 7);
    ASSERT_EQ(calfile_int(in, NO_ERROR, -5, 5, n), NO_ERROR);
    EXPECT_EQ(n, -3);
    ASSERT_EQ(calfile_int(in, NO_ERROR, 0, 5, n), NO_ERROR);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(calfile_int(in, NO_ERROR, 0, 255, n), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(n, 4);  // not stored
    EXPECT_EQ(log.str(), "Error(s) reading system calibration info:\n256 out of range [0,255]\n");
    EXPECT_EQ(calfile_reporting().msg_count, 1);
    EXPECT_EQ(calfile_int(in, NO_ERROR, 0, 255, n), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(calfile_reporting().msg_count, 1);  // no message of its own
}

TEST_F(ScannerTest, NumbersSkipLineEndsAndStopAtTheEnd)
{
    calfile_stream in(std::string("\n\n  42"));
    int32_t n = 0;
    ASSERT_EQ(calfile_int(in, NO_ERROR, 0, 100, n), NO_ERROR);
    EXPECT_EQ(n, 42);
    EXPECT_EQ(in.line(), 3);
    EXPECT_EQ(calfile_int(in, NO_ERROR, 0, 100, n), ERR_EOF);
    double d;
    EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 100, d), ERR_EOF);
}

TEST_F(ScannerTest, HugeIntegersSaturateAndAreReportedOutOfRange)
{
    calfile_stream in(std::string("99999999999999999999 -99999999999999999999"));
    int32_t n = 0;
    EXPECT_EQ(calfile_int(in, NO_ERROR, 0, 100, n), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_NE(log.str().find("2147483647 out of range [0,100]"), std::string::npos);
    EXPECT_EQ(calfile_int(in, NO_ERROR, 0, 100, n), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_NE(log.str().find("-2147483648 out of range [0,100]"), std::string::npos);
}

TEST_F(ScannerTest, RealsInDecimalAndExponentNotation)
{
    calfile_stream in(std::string("1.5 -2 .25 3e2 4.E-1 +6 7e 8x"));
    double d = 0;
    double expected[] = {1.5, -2, 0.25, 300, 0.4, 6, 7, 8};
    for (double e : expected) {
        ASSERT_EQ(calfile_real(in, NO_ERROR, -1000, 1000, d), NO_ERROR);
        EXPECT_DOUBLE_EQ(d, e);
        if (e == 7) {  // "e" without digits is not part of the number
            std::string w;
            ASSERT_EQ(calfile_word(in, NO_ERROR, w), NO_ERROR);
            EXPECT_EQ(w, "e");
        }
    }
    calfile_stream bad(std::string("- . e5 inf nan 0x10"));
    EXPECT_EQ(calfile_real(bad, NO_ERROR, -10, 10, d), ERR_SB_CALFILE_SYNTAX);
    calfile_stream bad2(std::string("inf"));
    EXPECT_EQ(calfile_real(bad2, NO_ERROR, -10, 10, d), ERR_SB_CALFILE_SYNTAX);
    calfile_stream hex(std::string("0x10"));
    ASSERT_EQ(calfile_real(hex, NO_ERROR, -10, 10, d), NO_ERROR);  // reads the 0, "x10" is left
    EXPECT_EQ(d, 0.0);
}

TEST_F(ScannerTest, RealRangeMessagesForEveryKindOfInterval)
{
    double d = 0;
    {
        calfile_stream in(std::string("2.5"));
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d), ERR_SB_CALFILE_VALUE_RANGE);
    }
    {
        calfile_stream in(std::string("0"));
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d, cal_ends::open_low), ERR_SB_CALFILE_VALUE_RANGE);
    }
    {
        calfile_stream in(std::string("2"));
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d, cal_ends::open_high), ERR_SB_CALFILE_VALUE_RANGE);
    }
    {
        calfile_stream in(std::string("0"));
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d, cal_ends::open), ERR_SB_CALFILE_VALUE_RANGE);
    }
    {
        calfile_stream in(std::string("2 0 1e999"));
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d, cal_ends::open_low), NO_ERROR);
        EXPECT_EQ(d, 2.0);
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d, cal_ends::open_high), NO_ERROR);
        EXPECT_EQ(d, 0.0);
        EXPECT_EQ(calfile_real(in, NO_ERROR, 0, 2, d), ERR_SB_CALFILE_VALUE_RANGE);
    }
    EXPECT_EQ(log.str(),
              "Error(s) reading system calibration info:\n2.5 out of range [0,2]\n"
              "0 out of range (0,2]\n"
              "2 out of range [0,2)\n"
              "0 out of range (0,2)\n"
              "inf out of range [0,2]\n");
}

TEST_F(ScannerTest, ReportHeaderNamesTheFileOrTheUpdateText)
{
    auto& r = calfile_reporting();
    r.header_name = "/cfg/HOST.0";
    calfile_report_read("First %d.", 1);
    calfile_report_read("Second.");
    EXPECT_EQ(log.str(),
              "Error(s) reading system calibration file \"/cfg/HOST.0\":\nFirst 1.\nSecond.\n");
    EXPECT_EQ(r.msg_count, 2);
    log.clear();
    r.msg_count = 0;
    r.header_name.clear();
    r.plus_text = "+Zoom 300";
    calfile_report_read("x");
    EXPECT_EQ(log.str(), "Error(s) reading system calibration info\n\"+Zoom 300\":\nx\n");
}

}  // namespace
