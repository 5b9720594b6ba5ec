// Malformed SDF headers of both forms: NUL bytes, overlong lines and keys, missing "=",
// NaN and infinities in every floating field, negative and huge counts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string with_header(const ascii_head& h, const std::string& values = "1 2 3\n4 5 6\n")
{
    return h.text() + values + "*\n" + trailer();
}

// ---- NUL bytes --------------------------------------------------------------------------------

TEST(NulBytes, InsideAKeyTheLineIsNotThatKey)
{
    ascii_head h;
    h.points = "3";
    std::string file = with_header(h);
    std::size_t at = file.find("NumPoints");
    file[at + 3] = '\0';
    outcome o = read_sdf(file);
    EXPECT_EQ(o.rc, ERR_PARAM_OUT_OF_RANGE);  // no NumPoints: an empty grid
    EXPECT_TRUE(sane(o));
}

TEST(NulBytes, AfterADigitTheNumberEnds)
{
    ascii_head h;
    h.points = std::string("3\0 7", 4);
    outcome o = read_sdf(with_header(h));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_TRUE(sane(o));
    EXPECT_EQ(o.sdf.NumPoints, 3u);
}

TEST(NulBytes, InsideADataTypeNameTheTypeIsRefused)
{
    ascii_head h;
    h.type = std::string("ULONG\0INT", 9);
    EXPECT_EQ(read_sdf(with_header(h)).rc, ERR_BAD_PARAM);
}

TEST(NulBytes, InsideTheDataTheFileIsRefused)
{
    outcome o = read_sdf(ascii_head{}.text() + std::string("1 2\0 3\n4 5 6\n", 13) + "*\n" + trailer());
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(o.out, "Missing required fields.\n");
    EXPECT_TRUE(sane(o));
}

TEST(NulBytes, AfterATrailerKeyTheKeyDoesNotMatch)
{
    std::string t = trailer();
    t.replace(t.find("phase_res=0"), 11, std::string("phase_res\0=0", 12));
    outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + t);
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(o.out, "Missing required fields.\n");
}

TEST(NulBytes, EverywhereInTheHeaderNothingBreaks)
{
    std::string file = with_header(ascii_head{});
    std::size_t end = file.find("\n*\n");
    for (std::size_t at = 0; at < end; ++at) {
        std::string bad = file;
        bad.insert(at, 1, '\0');
        outcome o = read_sdf(bad);
        ASSERT_TRUE(sane(o)) << at;
    }
}

TEST(NulBytes, AFirstNulByteMakesTheFileBinary)
{
    std::string file = with_header(ascii_head{});
    file[0] = '\0';
    outcome o = read_sdf(file);
    EXPECT_TRUE(sane(o));
    EXPECT_EQ(o.sdf.banner[0], '\0');
    EXPECT_EQ(o.sdf.NumPoints, static_cast<uint32_t>(static_cast<unsigned char>(file[42]) |
                                                     (static_cast<unsigned char>(file[43]) << 8)));
}

// ---- overlong lines and keys ------------------------------------------------------------------

TEST(Overlong, HeaderLineWithoutEqualsSignLongerThanAnyBuffer)
{
    ascii_head h;
    h.extra = std::string(3 << 20, 'x') + "\n";
    outcome o = read_sdf(with_header(h));
    EXPECT_EQ(o.rc, NO_ERROR);
    EXPECT_TRUE(sane(o));
}

TEST(Overlong, UnknownKeyOfMegabytes)
{
    ascii_head h;
    h.extra = std::string(2 << 20, 'K') + " = 5\n";
    outcome o = read_sdf(with_header(h));
    EXPECT_EQ(o.rc, NO_ERROR);
    EXPECT_TRUE(sane(o));
}

TEST(Overlong, TextValuesAreCutToTheirFields)
{
    ascii_head h;
    h.extra = "ManufacID = " + std::string(100000, 'M') + "\nCreateDate = " + std::string(5000, '9') + "\n";
    outcome o = read_sdf(with_header(h));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(std::string(o.sdf.ManufacID), std::string(10, 'M'));
    EXPECT_EQ(std::string(o.sdf.CreateDate), std::string(12, '9'));
    EXPECT_EQ(std::string(o.header.swinfo.date, 30), std::string(30, ' '));  // not a date
}

TEST(Overlong, NumberWithAMegabyteOfLeadingZeros)
{
    ascii_head h;
    h.points = std::string(1 << 20, '0') + "3";
    outcome o = read_sdf(with_header(h));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.sdf.NumPoints, 3u);
}

TEST(Overlong, DataTokenLongerThanTheReadBlockIsRefused)
{
    std::string values = "1 2 3\n4 5 " + std::string(3 << 20, '0') + "6\n";
    outcome o = read_sdf(ascii_head{}.text() + values + "*\n" + trailer());
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(o.out, "Missing required fields.\n");
    EXPECT_TRUE(sane(o));
}

TEST(Overlong, DataTokenOfManyDigitsWithinTheBlockIsANumber)
{
    std::string values = "1 2 3\n4 5 " + std::string(100000, '0') + "6\n";
    outcome o = read_sdf(ascii_head{}.text() + values + "*\n" + trailer());
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.values, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(Overlong, TrailerTextLongerThanItsFieldIsCut)
{
    std::string extra = "comment=\"" + std::string(1 << 20, 'c') + "\"\nobj_name=\"" + std::string(300, 'o') + "\n";
    outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, extra));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(std::string(o.header.comment, sizeof o.header.comment), std::string(sizeof o.header.comment, 'c'));
    EXPECT_EQ(std::string(o.header.obj_name, sizeof o.header.obj_name), std::string(sizeof o.header.obj_name, 'o'));
    // The fields after them are untouched.
    EXPECT_EQ(o.header.source, 0);
    EXPECT_TRUE(converts(o));
}

TEST(Overlong, TrailerKeyOfMegabytesIsIgnored)
{
    std::string extra = std::string(2 << 20, 'k') + "=1\n";
    outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, extra));
    EXPECT_EQ(o.rc, NO_ERROR);
}

// ---- missing "=" and quotes -------------------------------------------------------------------

TEST(MissingSeparators, HeaderLineWithoutEqualsSignIsIgnored)
{
    std::string file = with_header(ascii_head{});
    file.replace(file.find("NumPoints = 3"), 13, "NumPoints 3");
    EXPECT_EQ(read_sdf(file).rc, ERR_PARAM_OUT_OF_RANGE);

    file = with_header(ascii_head{});
    file.replace(file.find("Xscale = "), 9, "Xscale ");
    EXPECT_EQ(read_sdf(file).rc, ERR_BAD_PARAM);  // Xscale 0, Yscale 1e-6

    // Without its "=", the type line is not read: the data are read as UCHAR and 4294967295 is
    // no UCHAR.
    file = ascii_head{}.text() + "4294967295 0 12\n-1 7 100000\n*\n" + trailer();
    file.replace(file.find("DataType = "), 11, "DataType ");
    EXPECT_EQ(read_sdf(file).rc, ERR_CORRUPT_DATA_FILE);
}

TEST(MissingSeparators, EmptyKeyAndEmptyValue)
{
    ascii_head h;
    h.extra = "= 5\n=\n  =  \nNumPoints =\n";
    outcome o = read_sdf(with_header(h));
    EXPECT_EQ(o.rc, ERR_PARAM_OUT_OF_RANGE);  // the empty NumPoints value reads as 0
}

TEST(MissingSeparators, TrailerKeysWithBlanksInsteadOfEqualsSign)
{
    std::string extra = "magnification 2.5\nsource\t7\n";
    outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, extra));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.header.magnification, 2.5f);
    EXPECT_EQ(o.header.source, 7);
    // A required key with a blank counts like one with "="; given twice it counts twice, and
    // nine is not eight.
    o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, "camera_width 640\n"));
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);
}

TEST(MissingSeparators, TrailerKeyAloneCountsAndReadsAsZero)
{
    std::string t = trailer();
    t.replace(t.find("phase_res=0"), 11, "phase_res");
    outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + t);
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.header.phase_res, 0);
}

TEST(MissingSeparators, TrailerTextsWithoutTheirQuotes)
{
    auto text_of = [](const std::string& line) {
        outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, line + "\n"));
        EXPECT_EQ(o.rc, NO_ERROR) << line;
        return std::string(o.header.obj_name, strnlen(o.header.obj_name, sizeof o.header.obj_name));
    };
    EXPECT_EQ(text_of("obj_name=\"ABC\""), "ABC");
    EXPECT_EQ(text_of("obj_name=ABC"), "BC");      // the first character stands for the quote
    EXPECT_EQ(text_of("obj_name=\"ABC"), "ABC");   // no closing quote: the line ends the text
    EXPECT_EQ(text_of("obj_name=\"AB\"C\"D"), "AB");
    EXPECT_EQ(text_of("obj_name=\""), "");
    EXPECT_EQ(text_of("obj_name="), "");
    EXPECT_EQ(text_of("obj_name"), "");
}

// ---- NaN and infinities in the header's floating fields -------------------------------------

std::string number_text(double v)
{
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    return std::to_string(v);
}

TEST(NonFinite, AsciiScales)
{
    for (double v : {kNaN, kInf, -kInf}) {
        std::string s = number_text(v);
        ascii_head h;
        h.xscale = s;
        EXPECT_EQ(read_sdf(with_header(h)).rc, ERR_BAD_PARAM) << "Xscale " << s;
        h = ascii_head{};
        h.yscale = s;
        EXPECT_EQ(read_sdf(with_header(h)).rc, ERR_BAD_PARAM) << "Yscale " << s;
        // Equal infinite spacings are a spacing; only NaN never equals itself.
        h = ascii_head{};
        h.xscale = h.yscale = s;
        outcome o = read_sdf(with_header(h));
        EXPECT_TRUE(sane(o)) << s;
        EXPECT_EQ(o.rc, std::isnan(v) ? ERR_BAD_PARAM : NO_ERROR) << "both scales " << s;
        // A height scale that is not finite gives heights that are not finite.
        h = ascii_head{};
        h.zscale = s;
        EXPECT_EQ(read_sdf(with_header(h)).rc, ERR_FP_OVERFLOW) << "Zscale " << s;
        // The trailer's wavelength replaces the one derived from Zresolution.
        h = ascii_head{};
        h.zres = s;
        o = read_sdf(with_header(h));
        EXPECT_EQ(o.rc, NO_ERROR) << "Zresolution " << s;
        EXPECT_EQ(o.header.wavelength_in, 0.5f);
        EXPECT_EQ(o.values, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    }
}

TEST(NonFinite, AsciiHugeAndTinyNumbers)
{
    ascii_head h;
    h.zscale = "1e999";  // beyond double: infinite
    EXPECT_EQ(read_sdf(with_header(h)).rc, ERR_FP_OVERFLOW);
    h.zscale = "1e-999";  // heights of zero
    outcome o = read_sdf(with_header(h));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.values, std::vector<int32_t>(6, 0));
}

TEST(NonFinite, BinaryScales)
{
    for (double v : {kNaN, kInf, -kInf}) {
        binary_head h;
        h.xscale = v;
        EXPECT_EQ(read_sdf(h.bytes() + binary_values(SDF_INTEGER)).rc, ERR_BAD_PARAM) << v;
        h = binary_head{};
        h.yscale = v;
        EXPECT_EQ(read_sdf(h.bytes() + binary_values(SDF_INTEGER)).rc, ERR_BAD_PARAM) << v;
        h = binary_head{};
        h.zscale = v;
        EXPECT_EQ(read_sdf(h.bytes() + binary_values(SDF_INTEGER)).rc, ERR_FP_OVERFLOW) << v;
    }
}

TEST(NonFinite, BinaryZresolutionNaNOrNegativeInfinityTakesTheDefault)
{
    for (double v : {kNaN, -kInf, 0.0, -1.0}) {
        binary_head h;
        h.zres = v;
        outcome o = read_sdf(h.bytes() + binary_values(SDF_INTEGER));
        ASSERT_EQ(o.rc, NO_ERROR) << v;
        EXPECT_EQ(o.header.wavelength_in, static_cast<float>(8192 * 7.724609375e-11)) << v;
        EXPECT_TRUE(sane(o));
    }
}

}  // namespace
