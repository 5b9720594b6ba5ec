// u_trim, sdf_date_text and the number conversions behind the SDF readers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "vell/sdf/numbers.h"
#include "vell/sdf/plain_window.h"
#include "vell/sdf/sdf.h"

namespace {

std::string trimmed(const char* in, int* removed = nullptr)
{
    char buf[64];
    std::strcpy(buf, in);
    int n = u_trim(buf);
    if (removed)
        *removed = n;
    return buf;
}

TEST(UTrim, RemovesBlanksTabsAndLineFeedsAtBothEnds)
{
    int removed = 0;
    EXPECT_EQ(trimmed(" \t abc def\t\n", &removed), "abc def");
    EXPECT_EQ(removed, 5);
    EXPECT_EQ(trimmed("abc", &removed), "abc");
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(trimmed(" \n\t ", &removed), "");
    EXPECT_EQ(removed, 4);
    EXPECT_EQ(trimmed("", &removed), "");
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(u_trim(nullptr), 0);
}

TEST(UTrim, KeepsCarriageReturns)
{
    int removed = 0;
    EXPECT_EQ(trimmed(" abc\r\n", &removed), "abc\r");
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(trimmed("\rx\r"), "\rx\r");
}

TEST(SdfDateText, FormatsTheCreationDate)
{
    std::string t = sdf_date_text("020319951120");
    EXPECT_EQ(t, "Mar 02 11:20:00 1995" + std::string(10, ' '));
    EXPECT_EQ(t.size(), 30u);
    EXPECT_EQ(std::string(sdf_date_text("311219992359")), "Dec 31 23:59:00 1999" + std::string(10, ' '));
    EXPECT_EQ(std::string(sdf_date_text("010120000000")), "Jan 01 00:00:00 2000" + std::string(10, ' '));
    EXPECT_EQ(std::string(sdf_date_text("290220001530")), "Feb 29 15:30:00 2000" + std::string(10, ' '));
}

TEST(SdfDateText, OtherLengthsGiveBlanks)
{
    const std::string blanks(30, ' ');
    EXPECT_EQ(std::string(sdf_date_text("")), blanks);
    EXPECT_EQ(std::string(sdf_date_text("02031995112")), blanks);
    EXPECT_EQ(std::string(sdf_date_text("0203199511200")), blanks);
    EXPECT_EQ(std::string(sdf_date_text(nullptr)), blanks);
}

TEST(SdfDateText, InvalidDatesAndTimesGiveBlanks)
{
    const std::string blanks(30, ' ');
    for (const char* bad : {"021319951120",   // month 13
                            "020019951120",   // month 0
                            "320119951120",   // day 32
                            "000119951120",   // day 0
                            "310419951120",   // April 31
                            "290219951120",   // no 29 February in 1995
                            "290219001120",   // nor in 1900
                            "020319952400",   // hour 24
                            "020319951160",   // minute 60
                            "0203199511x0", "  0319951120", "-20319951120", "02031995+120"}) {
        EXPECT_EQ(std::string(sdf_date_text(bad)), blanks) << bad;
    }
}

TEST(SdfDateText, SharesOneBufferBetweenCalls)
{
    const char* a = sdf_date_text("020319951120");
    const char* b = sdf_date_text("311219992359");
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::strncmp(a, "Dec 31", 6), 0);
}

using namespace sdf::num;

TEST(PlainWindow, BothFormsClassifyEveryCharacterAsTheDataSectionDoes)
{
    // Windows drawn mostly from digits and separators, with every other byte now and then:
    // digits are '0' to '9', and a window is plain when each character is a digit, a blank,
    // or one of tab, line feed, vertical tab, form feed, carriage return.
    std::mt19937 rng(7);
    const std::string common = "0123456789 \t\n\r\v\f";
    for (int round = 0; round < 20000; ++round) {
        char w[64];
        int odd_every = 1 + round % 200;
        for (char& c : w)
            c = static_cast<char>(rng() % odd_every == 0 ? rng() % 256 : common[rng() % common.size()]);
        uint64_t want_digits = 0;
        bool want_plain = true;
        for (int i = 0; i < 64; ++i) {
            auto c = static_cast<unsigned char>(w[i]);
            bool digit = c >= '0' && c <= '9';
            want_digits |= uint64_t{digit} << i;
            want_plain = want_plain && (digit || c == ' ' || (c >= '\t' && c <= '\r'));
        }
        uint64_t digits = 0;
        uint64_t word_digits = 0;
        ASSERT_EQ(sdf::num::plain_window(w, digits), want_plain) << round;
        ASSERT_EQ(sdf::num::plain_window_words(w, word_digits), want_plain) << round;
        ASSERT_EQ(digits, want_digits) << round;
        ASSERT_EQ(word_digits, want_digits) << round;
    }
}

TEST(PlainWindow, RunsOfDigitsTwoAtATimeAndTheBitCount)
{
    // Random runs of one to eight digits with what may follow them in a window: each pair's
    // values are those of the runs' text; the bit count is the number of bits set.
    std::mt19937_64 rng(3);
    for (int k = 0; k < 20000; ++k) {
        char text[2][16];
        unsigned length[2];
        uint64_t want[2];
        for (int r = 0; r < 2; ++r) {
            length[r] = 1 + static_cast<unsigned>(rng() % 8);
            want[r] = 0;
            for (unsigned i = 0; i < 16; ++i) {
                text[r][i] = i < length[r] ? static_cast<char>('0' + rng() % 10) : " \n\r\t5"[rng() % 5];
                if (i < length[r])
                    want[r] = want[r] * 10 + static_cast<uint64_t>(text[r][i] - '0');
            }
        }
#ifdef SDF_PLAIN_WINDOW_SSE2
        int32_t got[2] = {-1, -1};
        sdf::num::two_runs(sdf::num::load_eight(text[0]), 8 * (8 - length[0]), sdf::num::load_eight(text[1]),
                           8 * (8 - length[1]), got);
        ASSERT_EQ(got[0], static_cast<int32_t>(want[0])) << std::string(text[0], length[0]);
        ASSERT_EQ(got[1], static_cast<int32_t>(want[1])) << std::string(text[1], length[1]);
#endif
        for (int r = 0; r < 2; ++r)
            ASSERT_EQ(sdf::num::digits_value(sdf::num::load_eight(text[r]), length[r]), want[r]);
        uint64_t word = rng() & rng();
        ASSERT_EQ(sdf::num::bit_count(word), static_cast<unsigned>(std::popcount(word))) << word;
    }
    EXPECT_EQ(sdf::num::bit_count(0), 0u);
    EXPECT_EQ(sdf::num::bit_count(~uint64_t{0}), 64u);
}

TEST(SdfNumbers, Long32ReadsLikeStrtolWithA32BitLong)
{
    std::size_t used = 9;
    EXPECT_EQ(to_long32("  -42xyz", &used), -42);
    EXPECT_EQ(used, 5u);
    EXPECT_EQ(to_long32("+7"), 7);
    EXPECT_EQ(to_long32("abc", &used), 0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(to_long32("-", &used), 0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(to_long32("2147483647"), 2147483647);
    EXPECT_EQ(to_long32("2147483648"), 2147483647);
    EXPECT_EQ(to_long32("99999999999999999999999999"), 2147483647);
    EXPECT_EQ(to_long32("-2147483648"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(to_long32("-2147483649"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(to_long32("\t\v\f\r\n 12"), 12);
}

TEST(SdfNumbers, Ulong32ReadsLikeStrtoulWithA32BitLong)
{
    EXPECT_EQ(to_ulong32("4294967295"), 4294967295u);
    EXPECT_EQ(to_ulong32("-1"), 4294967295u);
    EXPECT_EQ(to_ulong32("-4294967295"), 1u);
    EXPECT_EQ(to_ulong32("4294967296"), 4294967295u);
    EXPECT_EQ(to_ulong32("-4294967296"), 4294967295u);
    EXPECT_EQ(to_ulong32(" 5 "), 5u);
    EXPECT_EQ(to_ulong32("x5"), 0u);
}

TEST(SdfNumbers, DoubleReadsLikeStrtod)
{
    std::size_t used = 0;
    EXPECT_EQ(to_double("  1.5e3x", &used), 1500.0);
    EXPECT_EQ(used, 7u);
    EXPECT_EQ(to_double("+2.5"), 2.5);
    EXPECT_EQ(to_double("-.25"), -0.25);
    EXPECT_EQ(to_double("+-1", &used), 0.0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(to_double("none", &used), 0.0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(to_double("1e", &used), 1.0);
    EXPECT_EQ(used, 1u);
    EXPECT_TRUE(std::isinf(to_double("INF")));
    EXPECT_TRUE(std::isinf(to_double("-infinity")));
    EXPECT_TRUE(std::isnan(to_double("NaN")));
    // Beyond the range: infinities; below it: zeros, each with its sign.
    EXPECT_EQ(to_double("1e400"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(to_double("-1e400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(to_double(std::string(400, '9')), std::numeric_limits<double>::infinity());
    EXPECT_EQ(to_double("1e-400"), 0.0);
    EXPECT_TRUE(std::signbit(to_double("-1e-400")));
    EXPECT_EQ(to_double("0." + std::string(400, '0') + "1"), 0.0);
    EXPECT_EQ(to_float("1e39"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(to_float("3.4028235e38"), std::numeric_limits<float>::max());
}

TEST(SdfNumbers, NarrowRoundsAndSaturatesToInfinity)
{
    EXPECT_EQ(narrow(0.1), 0.1f);
    EXPECT_EQ(narrow(1e300), std::numeric_limits<float>::infinity());
    EXPECT_EQ(narrow(-1e300), -std::numeric_limits<float>::infinity());
    // Just above the largest single, but below the half-way point to 2^128: rounds down.
    EXPECT_EQ(narrow(0x1.fffffe8p127), std::numeric_limits<float>::max());
    EXPECT_EQ(narrow(0x1.ffffffp127), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(narrow(std::numeric_limits<double>::quiet_NaN())));
}

TEST(SdfNumbers, FormatG10MatchesPrintf)
{
    for (double v : {0.5, 1.0, 1e-9, 6.103515625e-05, 123456789012.0, -2.5e-300, 0.0, 8.19199967e-06,
                     1.0 / 3.0, 1e21, 65536.0}) {
        char mine[40];
        std::size_t n = format_g10(v, mine);
        char theirs[40];
        std::snprintf(theirs, sizeof theirs, "%.10g", v);
        EXPECT_EQ(std::string(mine, n), theirs);
    }
}

}  // namespace
