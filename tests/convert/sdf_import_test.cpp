// sdf_import: SDF files of other instruments and programs, every dialect and data type, with
// invalid points and foreign trailers, read under the import policy and converted by the built
// command; the platform's policy is left as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/datafile/reader.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/sdf/sdf.h"
#include "tests/support/run_program.h"
#include "tests/support/sdf_bytes.h"
#include "tests/support/test_support.h"

namespace {

using vptest::TempDir;
using vptest::write_file;

constexpr double nan_v = std::numeric_limits<double>::quiet_NaN();

// One data type: its header name, its grid's Zscale and Zresolution, and values that are valid
// in both dialects as they are written in text.
struct type_row {
    uint8_t type;
    const char* name;
    double zscale;
    const char* zres;  // as written in the text header; "-1" is "not stated"
    std::vector<std::string> values;
};

const std::vector<type_row> type_rows = {
    {SDF_UCHAR, "UCHAR", 1e-9, "1e-10", {"1", "17", "254", "2.0E+01"}},
    {SDF_UINTEGER, "UINTEGER", 1e-9, "1e-10", {"1", "1000", "65534", "3E2"}},
    {SDF_ULONGINT, "ULONGINT", 1e-10, "1e-9", {"1", "123456", "4294967294", "7.5e3"}},
    {SDF_FLOAT, "FLOAT", 1.0, "-1", {"1.2345678E-07", "-2.5e-08", "0.0", "3.0E-7"}},
    {SDF_CHAR, "CHAR", 1e-9, "1e-10", {"-127", "0", "126", "-1.2e1"}},
    {SDF_INTEGER, "INTEGER", 1e-9, "0", {"-32767", "0", "32766", "1.5E+03"}},
    {SDF_LONGINT, "LONGINT", 1e-10, "1e-9", {"-2147483647", "0", "2147483646", "-4.25e5"}},
    {SDF_DOUBLE, "DOUBLE", 1.0, "-1", {"1.2345678901234567E-07", "-9.87654321e-8", "0", "5E-10"}},
};

// The type's invalid value in a dialect, as text and as a value.
double invalid_of(uint8_t type, bool iso)
{
    switch (type) {
    case SDF_UCHAR: return iso ? 0 : 255;
    case SDF_UINTEGER: return iso ? 0 : 65535;
    case SDF_ULONGINT: return iso ? 0 : 4294967295.0;
    case SDF_FLOAT: return (iso ? -1 : 1) * static_cast<double>(std::numeric_limits<float>::max());
    case SDF_CHAR: return iso ? -128 : 127;
    case SDF_INTEGER: return iso ? -32768 : 32767;
    case SDF_LONGINT: return iso ? -2147483648.0 : 2147483647.0;
    default: return (iso ? -1 : 1) * std::numeric_limits<double>::max();
    }
}
std::string invalid_text(uint8_t type, bool iso)
{
    if (type == SDF_FLOAT)
        return iso ? "-3.4028235E+38" : "3.4028235e38";
    if (type == SDF_DOUBLE)
        return iso ? "-1.7976931348623157E+308" : "1.7976931348623157e308";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", invalid_of(type, iso));
    return buf;
}

const char* const dialects[] = {"aBCR-1.0", "aISO-1.0", "aISO-2.0", "bBCR-1.0", "bISO-1.0", "bISO-2.0"};

enum trailer_kind { no_trailer, key_value_trailer, tagged_trailer };
const char* const trailer_names[] = {"none", "key = value", "<key> value </key>"};

std::string foreign_trailer(trailer_kind kind)
{
    switch (kind) {
    case key_value_trailer:
        return "Comment = measured elsewhere\nOperator = someone ; a comment\nwavelength = 633e-9\n*\n";
    case tagged_trailer:  // and no "*" line: the file simply ends
        return "<Comment> measured elsewhere </Comment>\n<Operator>someone</Operator>\n";
    default:
        return "";
    }
}

// A 4 x 2 file of the row's values, then its invalid value, "BAD" and "NaN" (text) or its
// invalid value and NaN (binary, floating types) or its invalid value twice; `expect` gets each
// point's value, NaN for an invalid one.
std::string make_file(const type_row& row, const std::string& banner, trailer_kind kind, std::vector<double>& expect)
{
    const bool iso = banner.substr(1, 3) == "ISO";
    std::vector<std::string> tokens = row.values;
    expect.clear();
    for (const std::string& v : row.values)
        expect.push_back(std::strtod(v.c_str(), nullptr));
    tokens.push_back(invalid_text(row.type, iso));
    tokens.push_back("BAD");
    tokens.push_back("nAn");
    tokens.push_back(row.values[0]);
    expect.insert(expect.end(), {nan_v, nan_v, nan_v, expect[0]});
    const double zres = std::strtod(row.zres, nullptr);
    std::string s;
    if (banner[0] == 'a') {
        vptest::ascii_head h;
        h.points = "4";
        h.profiles = "2";
        h.type = row.type % 2 == 0 ? row.name : std::to_string(row.type);  // names and digits
        char z[32];
        std::snprintf(z, sizeof z, "%.17g", row.zscale);
        h.zscale = z;
        h.zres = row.zres;
        s = h.text();
        s.replace(0, 8, banner);
        for (std::size_t i = 0; i < tokens.size(); ++i)
            s += tokens[i] + (i % 4 == 3 ? "\n" : " ");
        s += "*\n";
    } else {
        vptest::binary_head h;
        h.points = 4;
        h.profiles = 2;
        h.type = row.type;
        h.zscale = row.zscale;
        h.zres = zres;
        s = h.bytes();
        s.replace(0, 8, banner);
        for (std::size_t i = 0; i < expect.size(); ++i) {
            double v = std::isnan(expect[i]) ? invalid_of(row.type, iso) : expect[i];
            if (i == 5 && (row.type == SDF_FLOAT || row.type == SDF_DOUBLE))
                v = nan_v;
            switch (row.type) {
            case SDF_FLOAT: vptest::put_f32(s, static_cast<float>(v)); break;
            case SDF_DOUBLE: vptest::put_f64(s, v); break;
            case SDF_UCHAR:
            case SDF_CHAR: vptest::put_le(s, static_cast<uint64_t>(static_cast<int64_t>(v)), 1); break;
            case SDF_UINTEGER:
            case SDF_INTEGER: vptest::put_le(s, static_cast<uint64_t>(static_cast<int64_t>(v)), 2); break;
            default: vptest::put_le(s, static_cast<uint64_t>(static_cast<int64_t>(v)), 4); break;
            }
            if (row.type == SDF_FLOAT && !std::isnan(expect[i]))
                expect[i] = static_cast<float>(expect[i]);  // what the file holds
        }
    }
    return s + foreign_trailer(kind);
}

// The phase unit the dataset states.
double unit_of(const dat_header& h)
{
    return static_cast<double>(h.intf_scale_factor) * h.wavelength_in * h.obliquity_factor /
           (h.phase_res == 0 ? 4096.0 : 32768.0);
}

// Every point: invalid where the file had an invalid point, else counts x unit within one
// count of value x Zscale.
void expect_heights(const dat_header& h, const phase_map& p, const std::vector<double>& expect, double zscale)
{
    ASSERT_NE(p.data, nullptr);
    ASSERT_EQ(p.count, expect.size());
    const double u = unit_of(h);
    for (std::size_t i = 0; i < expect.size(); ++i) {
        SCOPED_TRACE(i);
        if (std::isnan(expect[i])) {
            EXPECT_EQ(p.data[i], DAT_INVALID_PHASE);
        } else {
            EXPECT_NE(p.data[i], DAT_INVALID_PHASE);
            EXPECT_LE(std::fabs(p.data[i] * u - expect[i] * zscale), u) << p.data[i] << " counts, value " << expect[i];
        }
    }
}

struct read_result {
    int32_t rc;
    dat_header header;
    phase_map phase;
};

read_result import_file(const std::string& path)
{
    read_result r{};
    sdf_read_options options;
    options.policy = SDF_POLICY_IMPORT;
    r.rc = sdf_read_file_ex(path.c_str(), &r.header, nullptr, &r.phase, nullptr, options);
    return r;
}

TEST(SdfImport, EveryDialectTypeAndTrailerReadsIntoHeightsOfTheFileWithItsInvalidPoints)
{
    TempDir dir;
    const std::string path = dir.str("in.sdf");
    for (const char* banner : dialects) {
        for (const type_row& row : type_rows) {
            for (int kind = no_trailer; kind <= tagged_trailer; ++kind) {
                SCOPED_TRACE(std::string(banner) + " " + row.name + ", trailer " + trailer_names[kind]);
                std::vector<double> expect;
                write_file(path, make_file(row, banner, static_cast<trailer_kind>(kind), expect));
                read_result r = import_file(path);
                ASSERT_EQ(r.rc, NO_ERROR) << u_err_name(r.rc);
                // The unit follows Zresolution, the binary form's value when it is not positive.
                double zres = std::strtod(row.zres, nullptr);
                EXPECT_FLOAT_EQ(static_cast<float>(unit_of(r.header)), static_cast<float>(zres > 0 ? zres : 7.724609375e-11));
                expect_heights(r.header, r.phase, expect, row.zscale);
                u_free(r.phase.data);

                // The platform's own policy still refuses such a file: no platform trailer.
                if (banner[0] == 'a') {
                    dat_header h;
                    phase_map p{};
                    EXPECT_EQ(sdf_read_file(path.c_str(), &h, nullptr, &p), ERR_CORRUPT_DATA_FILE);
                    EXPECT_EQ(p.data, nullptr);
                }
            }
        }
    }
}

TEST(SdfImport, APlatformTrailerGivesItsUnitAndAPartialOneTheDefault)
{
    TempDir dir;
    const std::string path = dir.str("in.sdf");
    std::vector<double> expect;
    const type_row& row = type_rows[7];  // DOUBLE, Zscale 1, Zresolution not stated
    std::string base = make_file(row, "aISO-1.0", no_trailer, expect);
    const std::string platform =
        "Comment = foreign, ignored\n"
        "intf_scale_factor=0.5\nobliquity_factor=1\nwavelength_in=6.328e-07\nnum_aperture=0.3\n"
        "lateral_res=1e-06\ncamera_width=0\ncamera_height=0\nphase_res=1\n<Operator>x</Operator>\n*\n";
    write_file(path, base + platform);
    read_result r = import_file(path);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(r.header.phase_res, 1);
    EXPECT_DOUBLE_EQ(unit_of(r.header), 0.5 * static_cast<double>(6.328e-07f) / 32768.0);
    expect_heights(r.header, r.phase, expect, row.zscale);
    u_free(r.phase.data);

    // Some of the platform's keys only: the unit is Zresolution's all the same.
    write_file(path, base + "wavelength_in=6.328e-07\nphase_res=1\nnum_aperture=0.3\n*\n");
    r = import_file(path);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_FLOAT_EQ(static_cast<float>(unit_of(r.header)), 7.724609375e-11f);
    EXPECT_FLOAT_EQ(r.header.num_aperture, 0.3f);  // used as the platform uses it
    expect_heights(r.header, r.phase, expect, row.zscale);
    u_free(r.phase.data);

    // "Data Offset" is the platform's key too: added to every value, with or without the rest.
    const type_row& ints = type_rows[5];  // INTEGER
    base = make_file(ints, "aBCR-1.0", no_trailer, expect);
    write_file(path, base + "Data Offset = 100\nComment = elsewhere\n*\n");
    for (double& v : expect)
        v += 100;
    r = import_file(path);
    ASSERT_EQ(r.rc, NO_ERROR);
    expect_heights(r.header, r.phase, expect, ints.zscale);
    u_free(r.phase.data);
}

TEST(SdfImport, FilesOutsideThePolicyAreRefusedWithNoData)
{
    TempDir dir;
    const std::string path = dir.str("in.sdf");
    vptest::ascii_head h;
    h.type = "DOUBLE";
    h.zres = "-1";
    h.points = "2";
    h.profiles = "1";
    const std::string head = h.text();
    struct refusal {
        const char* what;
        std::string bytes;
        int32_t rc;
    };
    std::string unknown = head;
    unknown.replace(0, 8, "aXYZ-1.0");
    const refusal rows[] = {
        {"unknown banner", unknown + "1 2\n*\n", ERR_NOT_A_DATA_FILE},
        {"empty file", "", ERR_NOT_A_DATA_FILE},
        {"a value beyond the map", head + "1e300 2\n*\n", ERR_FP_OVERFLOW},
        {"infinity", head + "inf 2\n*\n", ERR_PREMATURE_EOF},
        {"not a number", head + "1.2.3 2\n*\n", ERR_PREMATURE_EOF},
        {"a word", head + "BADX 2\n*\n", ERR_PREMATURE_EOF},
        {"more values than points", head + "1 2 3\n*\n", ERR_CORRUPT_DATA_FILE},
        {"fewer values than points", head + "1\n*\n", ERR_CORRUPT_DATA_FILE},
        {"cut inside the data", head + "1", ERR_PREMATURE_EOF},
        {"different lateral scales", [&] { vptest::ascii_head g = h; g.yscale = "2e-6"; return g.text() + "1 2\n*\n"; }(),
         ERR_BAD_PARAM},
        {"binary cut inside the data", [] { vptest::binary_head b; return b.bytes() + "x"; }(), ERR_PREMATURE_EOF},
    };
    for (const refusal& row : rows) {
        SCOPED_TRACE(row.what);
        write_file(path, row.bytes);
        read_result r = import_file(path);
        EXPECT_EQ(r.rc, row.rc) << u_err_name(r.rc);
        EXPECT_EQ(r.phase.data, nullptr);
    }
}

// The built command: the same checks, messages and statuses as sdf_to_dat, its own usage text,
// and a data file that holds what the reader read.
class ImportCommand : public ::testing::Test {
protected:
    vptest::program_result go(const std::vector<std::string>& args)
    {
        std::string line;
        for (const std::string& a : args)
            line += (line.empty() ? "" : " ") + vptest::shell_quoted(a);
        return vptest::run_program(SDF_IMPORT_PATH, line, scratch.path());
    }
    TempDir dir;
    TempDir scratch;
};

TEST_F(ImportCommand, ConvertsEveryDialectIntoTheDataFileOfTheReader)
{
    const std::string in = dir.str("in.sdf");
    const std::string out = dir.str("out.dat");
    for (const char* banner : dialects) {
        SCOPED_TRACE(banner);
        std::vector<double> expect;
        const type_row& row = type_rows[banner[1] == 'I' ? 7 : 5];
        write_file(in, make_file(row, banner, banner[6] == '2' ? tagged_trailer : key_value_trailer, expect));
        vptest::program_result r = go({"-f", in, out});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "Converting \"" + in + "\" to \"" + out + "\"\nConversion from \"" + in + "\" to \"" + out +
                             "\" successful\n");
        EXPECT_EQ(r.out, "");
        dat_header h;
        intensity_map im{};
        phase_map p{};
        ASSERT_EQ(dat_read_file(out.c_str(), &h, &im, &p), NO_ERROR);
        EXPECT_EQ(p.width, 4);
        EXPECT_EQ(p.height, 2);
        expect_heights(h, p, expect, row.zscale);
        read_result direct = import_file(in);
        ASSERT_EQ(direct.rc, NO_ERROR);
        EXPECT_EQ(std::memcmp(direct.phase.data, p.data, p.count * sizeof(int32_t)), 0);
        u_free(direct.phase.data);
        u_free(p.data);
        u_free(im.data);
    }
}

TEST_F(ImportCommand, UsageRefusalsAndStatusesAreThoseOfTheConversionCommand)
{
    const std::string usage =
        "\nUsage:  sdf_import [options] input output\n"
        "\tinput  = existing SDF data file\n"
        "\t\t (aBCR-1.0, aISO-1.0, aISO-2.0, bBCR-1.0, bISO-1.0 or bISO-2.0;\n"
        "\t\t  its rows are kept in the order in which the file stores them)\n"
        "\toutput = Vell binary data file to create\n"
        "\n\tOptions:\n"
        "\t\t-f\twrites output even if file already exists\n";
    const std::string in = dir.str("in.sdf");
    const std::string out = dir.str("out.dat");
    vptest::program_result r = go({in});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_EQ(go({"-x", in, out}).status, 1);

    r = go({in, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n\t\"" + in + "\" does not exist\n");

    std::string unknown = vptest::ascii_head{}.text() + "1 2 3\n4 5 6\n*\n";
    unknown.replace(0, 8, "aSUR-3.1");
    write_file(in, unknown);
    write_file(out, "keep");
    r = go({in, out});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(vptest::read_file(out), "keep");
    r = go({in, out, "-f"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("is none of the SDF dialects"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\tthere was an error reading the file \"" + in + "\"\n\tERR_NOT_A_DATA_FILE\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
