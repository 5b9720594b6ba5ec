// Configuration field readers: keyword comparison, the field readers' values and reports, the
// line reader.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "vell/platform/fields.h"
#include "tests/support/test_support.h"

namespace {

TEST(Strxcmp, IgnoresCaseColonsAndSurroundingBlanks)
{
    struct row {
        const char* a;
        const char* b;
        int sign;
    } rows[] = {
        {"VERSION:", "Version", 0}, {" version ", "Version", 0}, {":Channel:", "channel", 0},
        {"\tDiagOpts", "DIAGOPTS", 0}, {"Versions", "Version", 1}, {"Vers", "Version", -1},
        {"A B", "a  b", 1},        {"", "", 0},                {nullptr, "", 0},
        {"[", "[", 0},              {"abc", "abd", -1},
    };
    for (const row& r : rows) {
        int got = strxcmp(r.a, r.b);
        EXPECT_EQ((got > 0) - (got < 0), r.sign) << (r.a ? r.a : "(null)") << " / " << r.b;
        int back = strxcmp(r.b, r.a);
        EXPECT_EQ((back > 0) - (back < 0), -r.sign) << r.b;
    }
}

TEST(FieldReaders, IntegersAndTheirReports)
{
    constexpr int32_t none_lo = U_FIELD_NO_MIN;
    constexpr int32_t none_hi = U_FIELD_NO_MAX;
    struct row {
        const char* text;
        const char* desc;
        int32_t lo, hi;
        bool ok;
        int32_t value;
        const char* report;
    } rows[] = {
        {"  42 rest", "x", 0, 100, true, 42, ""},
        {"-7", nullptr, -10, 10, true, -7, ""},
        {"+7", nullptr, -10, 10, true, 7, ""},
        {"640", "coord x", 0, 639, false, 0,
         "Number out of range.\nExpected 'coord x' an integer value in the range [0,639]\n"},
        {"", "grab mode", 0, 10, false, 0, "Missing number.\nExpected 'grab mode' an integer value in the range [0,10]\n"},
        {" \t", "a", 0, none_hi, false, 0, "Missing number.\nExpected 'a' an integer value greater than or equal to 0\n"},
        {"abc", "a", none_lo, 5, false, 0, "Not a number.\nExpected 'a' an integer value less than or equal to 5\n"},
        {"12x", nullptr, none_lo, none_hi, false, 0, "Extra characters after number.\nExpected an integer value\n"},
        {"1.5", nullptr, none_lo, none_hi, false, 0, "Extra characters after number.\nExpected an integer value\n"},
        {"0x10", nullptr, none_lo, none_hi, false, 0, "Not a number.\nExpected an integer value\n"},
        {"-", nullptr, none_lo, none_hi, false, 0, "Not a number.\nExpected an integer value\n"},
        // Beyond 32 bits and beyond 64 bits: out of range, never clamped or wrapped.
        {"4294967297", nullptr, none_lo, none_hi, false, 0, "Number out of range.\nExpected an integer value\n"},
        {"-99999999999999999999999", nullptr, none_lo, none_hi, false, 0,
         "Number out of range.\nExpected an integer value\n"},
        {"9223372036854775808", nullptr, none_lo, none_hi, false, 0, "Number out of range.\nExpected an integer value\n"},
        {"2147483647", nullptr, none_lo, none_hi, true, 2147483647, ""},
        {"-2147483648", nullptr, none_lo, none_hi, true, none_lo, ""},
        {"5", "a description much longer than forty characters, cut", 0, 3, false, 0,
         "Number out of range.\nExpected 'a description much longer than forty cha' an integer value in the range [0,3]\n"},
    };
    for (const row& r : rows) {
        u_words words(r.text);
        int32_t v = -12345;
        std::string report = "old";
        EXPECT_EQ(u_field_int(words, U_FIELD_DELIMS, r.desc, r.lo, r.hi, v, &report), r.ok) << r.text;
        EXPECT_EQ(v, r.ok ? r.value : -12345) << r.text;
        EXPECT_EQ(report, r.ok ? "old" : r.report) << r.text;
        u_words again(r.text);
        EXPECT_EQ(u_field_int(again, U_FIELD_DELIMS, r.desc, r.lo, r.hi, v, nullptr), r.ok) << r.text;
    }
}

TEST(FieldReaders, RealsAndTheirReports)
{
    const double inf = std::numeric_limits<double>::infinity();
    struct row {
        const char* text;
        double lo, hi;
        bool ok;
        double value;
        const char* report;
    } rows[] = {
        {"30", 0, 500, true, 30, ""},
        {"-1.5e1", -99, 99, true, -15, ""},
        {"+.5", -99, 99, true, 0.5, ""},
        {"5.", -99, 99, true, 5, ""},
        {"1e", -99, 99, false, 0, "Extra characters after number.\nExpected 'r' a floating point value in the range [-99,99]\n"},
        {"600", 0, 500, false, 0, "Number out of range.\nExpected 'r' a floating point value in the range [0,500]\n"},
        {"nan", -inf, inf, false, 0, "Not a number.\nExpected 'r' a floating point value\n"},
        {"inf", -inf, inf, false, 0, "Not a number.\nExpected 'r' a floating point value\n"},
        {"-INF", -inf, inf, false, 0, "Not a number.\nExpected 'r' a floating point value\n"},
        {"0x1p3", -inf, inf, false, 0, "Not a number.\nExpected 'r' a floating point value\n"},
        {"1e999", -inf, inf, false, 0, "Number out of range.\nExpected 'r' a floating point value\n"},
        {"-1", 0.5, inf, false, 0, "Number out of range.\nExpected 'r' a floating point value greater than or equal to 0.5\n"},
        {"", -inf, 2.5, false, 0, "Missing number.\nExpected 'r' a floating point value less than or equal to 2.5\n"},
    };
    for (const row& r : rows) {
        u_words words(r.text);
        double v = -1234.0;
        std::string report = "old";
        EXPECT_EQ(u_field_real(words, U_FIELD_DELIMS, "r", r.lo, r.hi, v, &report), r.ok) << r.text;
        EXPECT_EQ(v, r.ok ? r.value : -1234.0) << r.text;
        EXPECT_EQ(report, r.ok ? "old" : r.report) << r.text;
    }
}

TEST(FieldReaders, StringsAndTheirReports)
{
    struct row {
        const char* text;
        const char* desc;
        bool ok;
        const char* value;
        const char* report;
    } rows[] = {
        {" X ", "label", true, "X", ""},
        {"abcdefghij", "label", true, "abcdefghij", ""},
        {"abcdefghijk", "label", false, "",
         "String longer than maximum of 10 characters.\nExpected label, a string of up to 10 characters\n"},
        {"", "label", false, "", "Missing string.\nExpected label, a string of up to 10 characters\n"},
        {"", nullptr, false, "", "Missing string.\nExpected a string of up to 10 characters\n"},
    };
    for (const row& r : rows) {
        u_words words(r.text);
        std::string v = "keep";
        std::string report = "old";
        EXPECT_EQ(u_field_string(words, U_FIELD_DELIMS, r.desc, 10, v, &report), r.ok) << r.text;
        EXPECT_EQ(v, r.ok ? r.value : "keep") << r.text;
        EXPECT_EQ(report, r.ok ? "old" : r.report) << r.text;
    }
}

TEST(FieldReaders, TakeWordsInTurnWithTheGivenDelimiters)
{
    u_words words("Channel 1,0\t 2.5 lbl");
    std::string_view w;
    ASSERT_TRUE(words.next(w));
    EXPECT_EQ(w, "Channel");
    int32_t a = 0, b = 0;
    double c = 0;
    std::string d;
    EXPECT_TRUE(u_field_int(words, ", ", nullptr, 0, 9, a, nullptr));
    EXPECT_TRUE(u_field_int(words, ", \t", nullptr, 0, 9, b, nullptr));
    EXPECT_TRUE(u_field_real(words, U_FIELD_DELIMS, nullptr, 0, 9, c, nullptr));
    EXPECT_TRUE(u_field_string(words, U_FIELD_DELIMS, nullptr, 3, d, nullptr));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 2.5);
    EXPECT_EQ(d, "lbl");
    EXPECT_FALSE(words.next(w));
}

TEST(LineReader, LimitsCountsAndPushesBack)
{
    vptest::TempDir dir;
    const std::string line99(99, 'a');
    const std::string line100(100, 'b');
    std::string bytes = line99 + "\r\n" + line99 + "\n" + line100 + "\n" + std::string("x\0y\r\n", 5) +
                        std::string(300, 'c') + "\r\n" + "last";
    vptest::write_file(dir / "f.txt", bytes);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(u_open_config_file(dir.str("f.txt").c_str()), &std::fclose);
    ASSERT_TRUE(f);
    u_line_reader in(f.get());
    EXPECT_EQ(in.next(), u_line_reader::line);
    EXPECT_EQ(in.text(), line99);
    EXPECT_EQ(in.next(), u_line_reader::line);
    EXPECT_EQ(in.number(), 2);
    in.push_back();
    EXPECT_EQ(in.next(), u_line_reader::line);  // the same line, not counted again
    EXPECT_EQ(in.number(), 2);
    EXPECT_EQ(in.text(), line99);
    EXPECT_EQ(in.next(), u_line_reader::too_long);
    EXPECT_EQ(in.number(), 3);
    EXPECT_EQ(in.next(), u_line_reader::line);
    EXPECT_EQ(in.text(), std::string("x\0y", 3));
    EXPECT_EQ(in.shown(), "x");
    EXPECT_EQ(in.next(), u_line_reader::too_long);  // consumed whole: the count stays right
    EXPECT_EQ(in.next(), u_line_reader::line);
    EXPECT_EQ(in.number(), 6);
    EXPECT_EQ(in.text(), "last");
    EXPECT_EQ(in.next(), u_line_reader::end);
    EXPECT_EQ(in.next(), u_line_reader::end);

    EXPECT_EQ(u_open_config_file(dir.str("missing.txt").c_str()), nullptr);
    EXPECT_EQ(u_open_config_file(dir.path().string().c_str()), nullptr);
    EXPECT_EQ(u_open_config_file(nullptr), nullptr);
}

TEST(LineReader, CommentLines)
{
    for (const char* c : {"", "  \t\r", "# x", "  #x 1", "#"})
        EXPECT_TRUE(u_config_comment(c)) << c;
    for (const char* c : {"x #", "1 2", " [ 0"})
        EXPECT_FALSE(u_config_comment(c)) << c;
}

}  // namespace
