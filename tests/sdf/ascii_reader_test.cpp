// The ASCII form of SDF files: header lines, text data of every type, the trailer, the rescale
// into phase counts, and every way such a file can be wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/sdf_writer.h"
#include "tests/sdf/reader_common.h"
#include "tests/sdf/sdf_files.h"

namespace {

using namespace sdftest;
constexpr int32_t INV = DAT_INVALID_PHASE;
const std::string missing = "Missing required fields.\n";

std::string file(const ascii_head& head, const std::string& data, const std::string& tail = trailer())
{
    return head.text() + data + tail;
}

TEST(SdfAsciiReader, ReadsHeaderDataAndTrailerIntoTheDataset)
{
    dataset d;
    auto r = read_bytes(file({}, "1 2 3\n4 5 6\n", trailer(0, "cn_org_x=5\ncn_org_y=-2\ncomment=\"hello\"\n")), d);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(d.phase.count, 6u);
    EXPECT_EQ(d.phase.width, 3);
    EXPECT_EQ(d.phase.height, 2);
    EXPECT_EQ(d.phase.org_x, 5);
    EXPECT_EQ(d.phase.org_y, -2);
    EXPECT_EQ(d.intensity.data, nullptr);
    EXPECT_EQ(d.intensity.width, 0);

    const dat_header& h = d.header;
    EXPECT_EQ(h.magic_number, DAT_MAGIC_FORMAT1);
    EXPECT_EQ(h.header_format, 1);
    EXPECT_EQ(h.header_size, 834);
    EXPECT_EQ(h.cn_width, 3);
    EXPECT_EQ(h.cn_height, 2);
    EXPECT_EQ(h.cn_n_bytes, 24);
    EXPECT_EQ(h.cn_org_x, 5);
    EXPECT_STREQ(h.comment, "hello");
    EXPECT_EQ(std::string(h.swinfo.date, 30), "Mar 02 11:20:00 1995" + std::string(10, ' '));
    EXPECT_EQ(h.pixel_width, static_cast<float>(1e-6 / 3));
    EXPECT_EQ(h.pixel_height, h.pixel_width);
    // The trailer's values win over the defaults.
    EXPECT_EQ(h.wavelength_in, 0.5f);
    EXPECT_EQ(h.camera_width, 640);
    EXPECT_EQ(h.num_aperture, 0.25f);
}

TEST(SdfAsciiReader, DefaultsStandWhereTheTrailerIsSilent)
{
    // A trailer with the required keys only; lateral_res and the unit come from it, the pixel
    // size from the SDF header.
    dataset d;
    ascii_head head;
    head.xscale = head.yscale = "3e-06";
    ASSERT_EQ(read_bytes(file(head, "1 2 3 4 5 6\n"), d).rc, NO_ERROR);
    EXPECT_EQ(d.header.pixel_width, static_cast<float>(3e-6 / 3));
    EXPECT_EQ(d.header.intf_scale_factor, 0.5f);
    EXPECT_EQ(d.header.obliquity_factor, 1.0f);
    EXPECT_EQ(d.header.phase_res, 0);
    EXPECT_EQ(d.header.sys_serial, 0);
}

TEST(SdfAsciiReader, HeaderKeysInAnyCaseWithCommentsAndBlanks)
{
    dataset d;
    sdf_header sh;
    std::string text = "aBCR-1.0\n"
                       "  manufacid =  abcdefghijklmn \n"
                       "createdate=020319951120xx\n"
                       "ModDate = 1\n"
                       "\tNumPoints = 5 ; five points\n"
                       "NUMPROFILES=1\n"
                       "xscale = 2e-6\n"
                       "YScale = 2E-6\n"
                       "zscale = 6.103515625e-05\n"
                       "ZResolution = 1.5\n"
                       "Compression = rrl\n"
                       "DataType = 2\n"
                       "CheckType = uinttrace\n"
                       "Unknown = 7\n"
                       "no equals sign here\n"
                       "; NumPoints = 9\n"
                       "*\n";
    ASSERT_EQ(read_bytes(text + "1 2 3 4 5\n" + trailer(), d, &sh).rc, NO_ERROR);
    EXPECT_EQ(std::string(sh.banner, 8), "aBCR-1.0");
    EXPECT_STREQ(sh.ManufacID, "ABCDEFGHIJ");
    EXPECT_STREQ(sh.CreateDate, "020319951120");
    EXPECT_STREQ(sh.ModDate, "1");
    EXPECT_EQ(sh.NumPoints, 5u);
    EXPECT_EQ(sh.NumProfiles, 1u);
    EXPECT_EQ(sh.Xscale, 2e-6);
    EXPECT_EQ(sh.Zresolution, 1.5);
    EXPECT_EQ(sh.Compression, 1);
    EXPECT_EQ(sh.CheckType, 1);
    EXPECT_EQ(sh.DataType, SDF_ULONGINT);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
}

TEST(SdfAsciiReader, WavelengthComesFromZresolutionUntilTheTrailerSetsIt)
{
    // Without a wavelength_in line the unit is Zresolution: 8192 x Zresolution x 0.5 / 4096.
    dataset d;
    ascii_head head;
    head.zres = "1e-09";
    head.zscale = "1e-09";
    std::string t = trailer();
    t.replace(t.find("wavelength_in=         0.5\n"), 27, "num_aperture=0.25\n");
    ASSERT_EQ(read_bytes(file(head, "1 2 3 -4 5 6\n", t), d).rc, NO_ERROR);
    EXPECT_EQ(d.header.wavelength_in, static_cast<float>(8192 * 1e-9));
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, -4, 5, 6}));
}

TEST(SdfAsciiReader, FirstByteTellsTheForm)
{
    dataset d;
    std::string text = file({}, "1 2 3 4 5 6\n");
    text[0] = 'A';
    EXPECT_EQ(read_bytes(text, d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    // The other banner characters play no part.
    EXPECT_EQ(read_bytes("a banner of any kind\n" + text.substr(9), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(SdfAsciiReader, DataTypeNamesAndDigits)
{
    const char* names[] = {"UCHAR", "UINTEGER", "ULONGINT", "FLOAT", "CHAR", "INTEGER", "LONGINT", "DOUBLE"};
    for (int t = 0; t < 8; ++t) {
        for (std::string v : {std::string(names[t]), std::to_string(t)}) {
            for (char& c : v)
                c = static_cast<char>(std::tolower(c));
            dataset d;
            sdf_header sh;
            ascii_head head;
            head.type = v;
            ASSERT_EQ(read_bytes(file(head, "1 2 3 4 5 6\n"), d, &sh).rc, NO_ERROR) << v;
            EXPECT_EQ(sh.DataType, t) << v;
            EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6})) << v;
        }
    }
    for (const char* bad : {"8", "ULONG", "", "2 ", "02", "-1"}) {
        dataset d;
        ascii_head head;
        head.type = bad;
        EXPECT_EQ(read_bytes(file(head, "1 2 3 4 5 6\n"), d).rc, std::string(bad) == "2 " ? NO_ERROR : ERR_BAD_PARAM)
            << bad;
    }
}

TEST(SdfAsciiReader, UnequalScalesAreRejectedBeforeTheData)
{
    dataset d;
    ascii_head head;
    head.yscale = "2e-06";
    auto r = read_bytes(file(head, "not even numbers\n"), d);
    EXPECT_EQ(r.rc, ERR_BAD_PARAM);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(d.phase.data, nullptr);
    head.xscale = head.yscale = "nan";
    EXPECT_EQ(read_bytes(file(head, "1 2 3 4 5 6\n"), d).rc, ERR_BAD_PARAM);
}

TEST(SdfAsciiReader, MissingOrIncompleteTrailer)
{
    dataset d;
    auto r = read_bytes(ascii_head{}.text() + "1 2 3 4 5 6\n*\n", d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(r.out, missing);
    EXPECT_EQ(d.phase.data, nullptr);
    EXPECT_EQ(d.phase.count, 0u);

    std::string t = trailer();
    t.erase(t.find("phase_res=0\n"), 12);
    r = read_bytes(file({}, "1 2 3 4 5 6\n", t), d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(r.out, missing);

    // The last trailer line ends with a line feed but no "*" follows.
    t = trailer();
    t.pop_back();
    t.pop_back();
    r = read_bytes(file({}, "1 2 3 4 5 6\n", t), d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(r.out, missing);

    // A last line without a line feed completes it.
    t = trailer();
    t.pop_back();
    r = read_bytes(file({}, "1 2 3 4 5 6\n", t), d);
    EXPECT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(r.out, "");
}

TEST(SdfAsciiReader, EndOfFileInTheHeader)
{
    dataset d;
    std::string head = ascii_head{}.text();
    EXPECT_EQ(read_bytes(head.substr(0, head.size() - 2), d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(read_bytes("a", d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(read_bytes("aBCR-1.0\n", d).rc, ERR_PREMATURE_EOF);
}

TEST(SdfAsciiReader, DataSectionSyntax)
{
    dataset d;
    // Comments, tabs, blank lines, several numbers a line or one; a "*" ends the data only at
    // the start of a line.
    std::string data = "1\t2 ; the rest is a comment 99 98\n\n   \n3;4\n  5\r\n6 ;\n\f7\v\n";
    auto r = read_bytes(file({}, data), d);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 5, 6, 7}));

    // Elsewhere it is a token that is no number: the data fail, and the trailer, read from
    // the next line, meets the data's own "*" line first.
    for (std::string bad : {"1 2 3\n4 5 6 *\n", "1 2 3\n 4 5 6\n *\n"}) {
        auto failed = read_bytes(file({}, bad), d);
        EXPECT_EQ(failed.rc, ERR_CORRUPT_DATA_FILE) << bad;
        EXPECT_EQ(failed.out, "Missing required fields.\n") << bad;
    }
    // "+" and "-" signs; "-1" is the unsigned 4294967295, the invalid point.
    data = "+1 -1 4294967295 0 -0 -2\n";
    ASSERT_EQ(read_bytes(file({}, data), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, INV, INV, 0, 0, -2}));
}

TEST(SdfAsciiReader, CommentsAndCarriageReturnsEverywhere)
{
    dataset d;
    std::string text = file({}, "1 2 3 ; first\n4 5 6\n", trailer(0, "obj_name=\"ABC\"\n"));
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    auto r = read_bytes(crlf, d);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_STREQ(d.header.obj_name, "ABC");
    EXPECT_EQ(d.header.camera_height, 480);
}

// A failing data section keeps its code, and the trailer is read from the line after the
// failure: it meets the data's "*" line (or the end of the file) first and reports the missing
// fields, unless the trailer follows without that line.
TEST(SdfAsciiReader, TokensThatAreNotNumbers)
{
    std::string bare_trailer = trailer().substr(2);  // without the data's "*" line
    for (const char* bad : {"1 2 3 4 5 x\n", "1 2 3 4 5 6x\n", "1 2 3 4 5 0x10\n", "1 2 3 4 5 --6\n",
                            "1 2 3 4 5 +\n", "1 2 3 4 5 1,5\n", "1 2 3 4 5 1.0\n", "1 x 3\n4 5 6\n"}) {
        dataset d;
        auto r = read_bytes(file({}, bad), d);
        EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE) << bad;
        EXPECT_EQ(r.out, "Missing required fields.\n") << bad;
        EXPECT_EQ(d.phase.data, nullptr);
        r = read_bytes(ascii_head{}.text() + bad + bare_trailer, d);
        EXPECT_EQ(r.rc, ERR_PREMATURE_EOF) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_EQ(d.phase.data, nullptr);
    }
}

TEST(SdfAsciiReader, CountOfNumbersMustMatchThePoints)
{
    dataset d;
    auto r = read_bytes(file({}, "1 2 3 4 5\n"), d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(d.phase.data, nullptr);
    r = read_bytes(file({}, "1 2 3 4 5 6 7\n"), d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);
    r = read_bytes(file({}, ""), d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);
}

TEST(SdfAsciiReader, DataThatEndEarly)
{
    dataset d;
    std::string head = ascii_head{}.text();
    for (std::string cut : {"1 2 3 4 5 6\n", "1 2 3 4 5 6", "1 2 3\n4 5", "1 2 3 4 5 6 ; comment", ""}) {
        auto r = read_bytes(head + cut, d);
        EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE) << cut;
        EXPECT_EQ(r.out, "Missing required fields.\n") << cut;
        EXPECT_EQ(d.phase.data, nullptr);
    }
}

TEST(SdfAsciiReader, FileTooShortForItsPointsTakesNoMapOfTheClaimedSize)
{
    dataset d;
    ascii_head head;
    head.points = "20000";
    head.profiles = "20000";
    alloc_watch watch;
    auto r = read_bytes(file(head, "1 2 3\n"), d);
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);  // too few numbers, complete trailer
    EXPECT_EQ(r.out, "");
    EXPECT_LT(alloc_watch::largest(), std::size_t{16} << 20);
    EXPECT_EQ(d.phase.data, nullptr);
}

TEST(SdfAsciiReader, DimensionsBeyondTheDatasetGeometry)
{
    for (auto [points, profiles] : {std::pair{"32768", "1"}, std::pair{"1", "32768"}, std::pair{"4294967295", "1"},
                                    std::pair{"-1", "1"}, std::pair{"99999999999", "1"}}) {
        dataset d;
        ascii_head head;
        head.points = points;
        head.profiles = profiles;
        alloc_watch watch;
        EXPECT_EQ(read_bytes(file(head, "1\n"), d).rc, ERR_DATASET_DIM_TOO_LARGE) << points << " " << profiles;
        EXPECT_LT(alloc_watch::largest(), std::size_t{16} << 20);
    }
    // 32767 is still accepted (and this file merely has too few numbers for it).
    dataset d;
    ascii_head head;
    head.points = "32767";
    head.profiles = "1";
    EXPECT_EQ(read_bytes(file(head, "1\n"), d).rc, ERR_CORRUPT_DATA_FILE);
}

TEST(SdfAsciiReader, EmptyGrid)
{
    dataset d;
    ascii_head head;
    head.points = "0";
    EXPECT_EQ(read_bytes(file(head, ""), d).rc, ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(d.phase.data, nullptr);
}

TEST(SdfAsciiReader, TrailerGeometryMustAgreeWithTheData)
{
    for (std::string extra : {"cn_width=4\n", "cn_height=1\n", "cn_n_bytes=28\n", "cn_n_bytes=0\n"}) {
        dataset d;
        auto r = read_bytes(file({}, "1 2 3 4 5 6\n", trailer(0, extra)), d);
        EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE) << extra;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(d.phase.data, nullptr);
    }
    dataset d;
    EXPECT_EQ(read_bytes(file({}, "1 2 3 4 5 6\n", trailer(0, "cn_width=3\ncn_height=2\ncn_n_bytes=24\n")), d).rc,
              NO_ERROR);
}

TEST(SdfAsciiReader, RescaleWithOffsetAndFactor)
{
    // Zscale is ten units: each raw value plus the offset, times 10.
    dataset d;
    ascii_head head;
    head.zscale = "0.0006103515625";
    ASSERT_EQ(read_bytes(file(head, "0 5 12 4294967295 7 100\n", trailer(-5)), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{-50, 0, 70, INV, 20, 950}));
}

TEST(SdfAsciiReader, RescaleRoundsHalfAwayFromZero)
{
    // A tenth of a unit per raw count, offset -27: -2.7 gives -3 (the binary form gives -2).
    dataset d;
    ascii_head head;
    head.zscale = "6.103515625e-06";
    ASSERT_EQ(read_bytes(file(head, "0 54 5 49 27 4294967295\n", trailer(-27)), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{-3, 3, -2, 2, 0, INV}));
}

TEST(SdfAsciiReader, RescaleUsesTheUnitAfterTheTrailer)
{
    // phase_res 1 makes R 32768: the unit is 2^-17, Zscale 2^-14 is eight units.
    dataset d;
    std::string t = trailer();
    t.replace(t.find("phase_res=0"), 11, "phase_res=1");
    ASSERT_EQ(read_bytes(file({}, "1 2 3 4 5 6\n", t), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{8, 16, 24, 32, 40, 48}));
    EXPECT_EQ(d.header.phase_res, 1);

    // The unit is rounded to ten digits as the writer prints it: S x O x W = 0.1 in single
    // precision, u = 0.1f / 4096, printed "2.441406287e-05"; Zscale printed the same way.
    t = trailer();
    t.replace(t.find("wavelength_in=         0.5"), 26, "wavelength_in=0.2");
    ascii_head head;
    char z[40];
    std::snprintf(z, sizeof z, "%12.10g", static_cast<double>(0.5f * 1.0f * 0.2f) / 4096.0);
    head.zscale = z;
    ASSERT_EQ(read_bytes(file(head, "1 -2 3 -4 5 1000000\n", t), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, -2, 3, -4, 5, 1000000}));
}

TEST(SdfAsciiReader, RescaledValuesThatDoNotFitTheMap)
{
    dataset d;
    ascii_head head;
    head.zscale = "61.03515625";  // a million units per count
    EXPECT_EQ(read_bytes(file(head, "1 2 3 4 5 2148\n"), d).rc, ERR_FP_OVERFLOW);
    EXPECT_EQ(d.phase.data, nullptr);
    EXPECT_EQ(read_bytes(file(head, "1 2 3 4 5 4294965148\n"), d).rc, ERR_FP_OVERFLOW);  // -2148
    EXPECT_EQ(read_bytes(file(head, "1 2 3 4 5 2147\n"), d).rc, NO_ERROR);
    EXPECT_EQ(d.at(5), 2147000000);
    // Exactly the invalid mark, and one below it.
    EXPECT_EQ(read_bytes(file({}, "1 2 3 4 5 2147483640\n"), d).rc, ERR_FP_OVERFLOW);
    ASSERT_EQ(read_bytes(file({}, "1 2 3 4 5 2147483639\n"), d).rc, NO_ERROR);
    EXPECT_EQ(d.at(5), 2147483639);
    // A zero unit makes every valid point unrepresentable.
    std::string t = trailer();
    t.replace(t.find("wavelength_in=         0.5"), 26, "wavelength_in=0");
    EXPECT_EQ(read_bytes(file({}, "1 2 3 4 5 6\n", t), d).rc, ERR_FP_OVERFLOW);
    // ...while a map of invalid points only is fine.
    std::string inv = "4294967295 4294967295 4294967295 4294967295 4294967295 4294967295\n";
    ASSERT_EQ(read_bytes(file({}, inv, t), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), std::vector<int32_t>(6, INV));
}

TEST(SdfAsciiReader, RawValuesAndOffsetWrapIn32Bits)
{
    // The writer stores values relative to their minimum; the sum with the offset wraps back.
    dataset d;
    ASSERT_EQ(read_bytes(file({}, "2147484000 0 2147483640 1 2 3\n", trailer(-1000)), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{2147483000, -1000, 2147482640, -999, -998, -997}));
    // A raw 0x7FFFFFF8 is a valid value; only 4294967295 is an invalid point.
    ASSERT_EQ(read_bytes(file({}, "2147483640 4294967295 0 0 0 0\n", trailer(-5)), d).rc, NO_ERROR);
    EXPECT_EQ(d.at(0), 2147483635);
    EXPECT_EQ(d.at(1), INV);
    // Numbers beyond 32 bits clamp to 4294967295, as the C conversion does.
    ASSERT_EQ(read_bytes(file({}, "99999999999 0 0 0 0 0\n"), d).rc, NO_ERROR);
    EXPECT_EQ(d.at(0), INV);
}

struct typed_case {
    const char* type;
    const char* data;
    std::vector<int32_t> values;  // empty: the code below
    int32_t rc;
};

TEST(SdfAsciiReader, TextDataOfEveryType)
{
    const typed_case cases[] = {
        {"UCHAR", "0 1 254 255 7 8", {0, 1, 254, INV, 7, 8}, NO_ERROR},
        {"UCHAR", "0 1 256 2 3 4", {}, ERR_CORRUPT_DATA_FILE},
        {"UCHAR", "0 -1 2 3 4 5", {}, ERR_CORRUPT_DATA_FILE},
        {"UINTEGER", "0 65534 65535 -0 +5 6", {0, 65534, INV, 0, 5, 6}, NO_ERROR},
        {"UINTEGER", "65536 0 0 0 0 0", {}, ERR_CORRUPT_DATA_FILE},
        {"CHAR", "-128 127 126 -1 0 5", {-128, INV, 126, -1, 0, 5}, NO_ERROR},
        {"CHAR", "128 0 0 0 0 0", {}, ERR_CORRUPT_DATA_FILE},
        {"CHAR", "-129 0 0 0 0 0", {}, ERR_CORRUPT_DATA_FILE},
        {"INTEGER", "-32768 32767 32766 -1 0 5", {-32768, INV, 32766, -1, 0, 5}, NO_ERROR},
        {"INTEGER", "32768 0 0 0 0 0", {}, ERR_CORRUPT_DATA_FILE},
        {"LONGINT", "-2147483648 2147483647 2147483639 -1 0 5", {std::numeric_limits<int32_t>::min(), INV, 2147483639, -1, 0, 5}, NO_ERROR},
        {"LONGINT", "2147483648 0 0 0 0 0", {}, ERR_CORRUPT_DATA_FILE},
        {"FLOAT", "1.9 -1.9 3.4028235e38 nan 2e3 -0.5", {1, -1, INV, INV, 2000, 0}, NO_ERROR},
        {"FLOAT", "3e9 0 0 0 0 0", {}, ERR_FP_OVERFLOW},
        {"FLOAT", "-3.4028235e38 0 0 0 0 0", {}, ERR_FP_OVERFLOW},
        {"FLOAT", "1e39 0 0 0 0 0", {}, ERR_FP_OVERFLOW},
        {"FLOAT", "1.5x 0 0 0 0 0", {}, ERR_PREMATURE_EOF},
        {"DOUBLE", "1.7976931348623157e308 2147483639.9 -2147483648.9 NaN +7.5 -1e-300",
         {INV, 2147483639, std::numeric_limits<int32_t>::min(), INV, 7, 0}, NO_ERROR},
        {"DOUBLE", "2147483640 0 0 0 0 0", {}, ERR_FP_OVERFLOW},
        {"DOUBLE", "inf 0 0 0 0 0", {}, ERR_FP_OVERFLOW},
    };
    for (const auto& c : cases) {
        dataset d;
        ascii_head head;
        head.type = c.type;
        // A failing data line is followed by the trailer without the data's "*" line: the
        // trailer is read from the next line, complete, and the data's code is the result.
        std::string text = c.rc == NO_ERROR ? file(head, std::string(c.data) + "\n")
                                            : head.text() + c.data + "\n" + trailer().substr(2);
        auto r = read_bytes(text, d);
        EXPECT_EQ(r.rc, c.rc) << c.type << ": " << c.data;
        if (c.rc == NO_ERROR)
            EXPECT_EQ(d.values(), c.values) << c.type << ": " << c.data;
        else
            EXPECT_EQ(d.phase.data, nullptr);
    }
}

TEST(SdfAsciiReader, LongLinesAreReadWhole)
{
    // All values on one line of far more than 254 characters, with a number that crosses
    // character 254.
    dataset d;
    ascii_head head;
    head.points = "1000";
    head.profiles = "1";
    std::string data = std::string(250, ' ');
    std::vector<int32_t> expect;
    for (int i = 0; i < 1000; ++i) {
        data += std::to_string(1234567 + i) + " ";
        expect.push_back(1234567 + i);
    }
    ASSERT_EQ(read_bytes(file(head, data + "\n"), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), expect);

    // A header line and a trailer line of thousands of characters.
    head.points = "3";
    head.profiles = "2";
    head.extra = "ManufacID = " + std::string(5000, 'm') + "\n";
    std::string t = trailer(0, "comment=\"" + std::string(5000, 'c') + "\"\n");
    ASSERT_EQ(read_bytes(file(head, "1 2 3 4 5 6\n", t), d).rc, NO_ERROR);
    EXPECT_EQ(std::string(d.header.comment, 82), std::string(82, 'c'));
}

// Many values, so that numbers, comments and line ends cross the reader's block boundaries.
TEST(SdfAsciiReader, LargeFileAcrossBufferBoundaries)
{
    std::mt19937 rng(1234);
    const int w = 700, h = 500;
    std::vector<int32_t> expect;
    std::string data;
    data.reserve(6 << 20);
    for (int i = 0; i < w * h; ++i) {
        uint32_t raw = rng() % 5 == 0 ? rng() : rng() % 100000;
        if (raw == 0xFFFFFFFFu || static_cast<int32_t>(raw - 7u) >= INV)
            raw = 12345;
        // Raw values are offset by -7 and their sum wraps.
        expect.push_back(static_cast<int32_t>(raw - 7u));
        if (i % 97 == 13 && rng() % 3 == 0) {
            data += "4294967295";
            expect.back() = INV;
        } else {
            data += std::to_string(raw);
        }
        switch (rng() % 16) {
        case 0: data += " ; a comment " + std::string(rng() % 300, 'x') + "\r\n"; break;
        case 1: data += "\r\n"; break;
        case 2: data += "\t\t"; break;
        case 3: data += "\n\n"; break;
        default: data += ' '; break;
        }
    }
    ascii_head head;
    head.points = std::to_string(w);
    head.profiles = std::to_string(h);
    dataset d;
    ASSERT_GT(data.size(), std::size_t{3} << 20);
    ASSERT_EQ(read_bytes(file(head, data + "\n", trailer(-7)), d).rc, NO_ERROR);
    ASSERT_EQ(d.phase.count, expect.size());
    for (std::size_t i = 0; i < expect.size(); ++i)
        ASSERT_EQ(d.at(static_cast<int>(i)), expect[i]) << "point " << i;
}

TEST(SdfAsciiReader, ReadsBackWhatTheWriterWrote)
{
    auto header = std::make_unique<dat_header>();
    ASSERT_EQ(dat_header_create(header.get()), NO_ERROR);
    header->intf_scale_factor = 0.5f;
    header->obliquity_factor = 1.0f;
    header->wavelength_in = 6.328e-7f;
    header->num_aperture = 0.3f;
    header->lateral_res = 2.5e-6f;
    header->camera_width = 640;
    header->camera_height = 480;
    header->phase_res = 1;
    header->time_stamp = 123456;
    std::strcpy(header->comment, "round trip");
    std::strcpy(header->part_name, "part");
    header->sys_serial2 = 654321;
    header->coords.x_pos = -1.25f;
    header->magnification = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(header->swinfo.date, sdf_date_text("020319951120"), 30);
    header->swinfo.vers.maj = 9;

    std::mt19937 rng(7);
    std::vector<int32_t> values(50 * 40);
    for (auto& v : values)
        v = static_cast<int32_t>(rng() % 2000001) - 1000000;
    values[3] = INV;
    values[17] = -2000000000;
    values[18] = 2000000000;
    phase_map phase{};
    phase.width = 50;
    phase.height = 40;
    phase.count = static_cast<uint32_t>(values.size());
    phase.data = values.data();
    header->cn_width = 50;
    header->cn_height = 40;
    header->cn_n_bytes = 50 * 40 * 4;
    header->cn_org_x = 3;
    phase.org_x = 3;

    vptest::TempDir dir;
    ASSERT_EQ(sdf_write_file(dir.str("rt.sdf").c_str(), header.get(), nullptr, &phase), NO_ERROR);
    dataset d;
    testing::internal::CaptureStdout();
    int32_t rc = sdf_read_file(dir.str("rt.sdf").c_str(), &d.header, &d.intensity, &d.phase);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(rc, NO_ERROR);
    EXPECT_EQ(d.values(), values);
    EXPECT_EQ(d.phase.org_x, 3);
    EXPECT_EQ(d.header.time_stamp, 123456);
    EXPECT_STREQ(d.header.comment, "round trip");
    EXPECT_EQ(d.header.sys_serial2, 654321);
    EXPECT_EQ(d.header.sys_serial, static_cast<int16_t>(654321 & 0xFFFF));
    EXPECT_EQ(d.header.coords.x_pos, -1.25f);
    EXPECT_TRUE(std::isnan(d.header.magnification));
    EXPECT_EQ(d.header.wavelength_in, 6.328e-7f);
    EXPECT_EQ(d.header.phase_res, 1);
    EXPECT_EQ(d.header.swinfo.vers.maj, 9);
    EXPECT_EQ(std::memcmp(d.header.swinfo.date, header->swinfo.date, 30), 0);
}

TEST(SdfAsciiReader, WidePath)
{
    vptest::TempDir dir;
    std::string name = "d\xC3\xA9j\xC3\xA0.sdf";
    vptest::write_file(dir / name, file({}, "1 2 3 4 5 6\n"));
    std::string wide = os::make_wide_path(dir.str(name));
    dataset d;
    ASSERT_EQ(sdf_read_file(wide.c_str(), &d.header, &d.intensity, &d.phase), NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(SdfReadFile, FilesThatCannotBeOpenedAndBadArguments)
{
    vptest::TempDir dir;
    dataset d;
    EXPECT_EQ(sdf_read_file(dir.str("missing.sdf").c_str(), &d.header, &d.intensity, &d.phase), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(d.intensity.data, nullptr);  // the maps were cleared first
    EXPECT_EQ(sdf_read_file(dir.path().string().c_str(), &d.header, &d.intensity, &d.phase), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(sdf_read_file(nullptr, &d.header, &d.intensity, &d.phase), ERR_CANT_OPEN_FILE);
    vptest::write_file(dir / "ok.sdf", file({}, "1 2 3 4 5 6\n"));
    EXPECT_EQ(sdf_read_file(dir.str("ok.sdf").c_str(), nullptr, &d.intensity, &d.phase), ERR_INVALID_PARAM);
    EXPECT_EQ(sdf_read_file(dir.str("ok.sdf").c_str(), &d.header, &d.intensity, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sdf_read_file(dir.str("ok.sdf").c_str(), &d.header, nullptr, &d.phase), NO_ERROR);
}

TEST(SdfLoadDataset, CopiesSwinfoAndAttributes)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "ok.sdf", file({}, "1 2 3 4 5 6\n", trailer(0, "time_stamp=77\nswinfo.vers.min=4\n")));
    dat_swinfo sw{};
    auto attrs = std::make_unique<dat_header>();
    std::memset(attrs.get(), 0xAB, sizeof(dat_header));
    intensity_map in{};
    phase_map ph{};
    ASSERT_EQ(sdf_load_dataset(dir.str("ok.sdf").c_str(), &sw, &attrs->time_stamp, &in, &ph), NO_ERROR);
    EXPECT_EQ(std::string(sw.date, 30), "Mar 02 11:20:00 1995" + std::string(10, ' '));
    EXPECT_EQ(sw.vers.min, 4);
    EXPECT_EQ(attrs->time_stamp, 77);
    EXPECT_EQ(attrs->camera_width, 640);
    EXPECT_EQ(attrs->lateral_res, 1e-6f);
    EXPECT_EQ(attrs->cn_n_bytes, static_cast<int32_t>(0xABABABAB));  // before the attributes
    EXPECT_EQ(attrs->record_tail[1], 0);                              // the last byte copied
    ASSERT_NE(ph.data, nullptr);
    EXPECT_EQ(ph.data[5], 6);
    u_free(ph.data);

    // A missing destination: ERR_INVALID_PARAM, but the maps are filled.
    ph = phase_map{};
    EXPECT_EQ(sdf_load_dataset(dir.str("ok.sdf").c_str(), nullptr, &attrs->time_stamp, &in, &ph), ERR_INVALID_PARAM);
    ASSERT_NE(ph.data, nullptr);
    u_free(ph.data);
    ph = phase_map{};
    sw.type = 42;
    EXPECT_EQ(sdf_load_dataset(dir.str("ok.sdf").c_str(), &sw, nullptr, &in, &ph), ERR_INVALID_PARAM);
    EXPECT_EQ(sw.type, 42);
    u_free(ph.data);
    // A failed read is passed on.
    EXPECT_EQ(sdf_load_dataset(dir.str("none.sdf").c_str(), &sw, &attrs->time_stamp, &in, &ph), ERR_CANT_OPEN_FILE);
}

}  // namespace
