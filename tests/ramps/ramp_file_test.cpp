// Ramp data files: the header at its offsets and byte orders, reading, writing, the dump, the
// checks for an instrument, standard names and scan codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_file.h"
#include "tests/ramps/ramp_bytes.h"
#include "tests/support/test_support.h"

namespace {

using ramptest::full_ramp;
using ramptest::ramp_bytes;

TEST(RampFile, HandBuiltFileReadsBackEveryField)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "r.b12345", full_ramp().b);
    rr_ramp_hdr_t h;
    uint16_t* s = nullptr;
    ASSERT_EQ(rr_read_ramp_file(dir.str("r.b12345").c_str(), &h, &s), NO_ERROR);
    rr_samples owner(s);
    rr_ramp_hdr_t want{0x52414D51u, 17, 12345, 7, 3, 101, 102, 103, 104, 4.0f, 25.0f, 64536, 1, 81.0f, 1, 2, 2048,
                       {1.5f, 2.5f, 3.5f}, 10.5f, 'b', 32768, 64, 0.5f, 0.25f, 12.5f, 800, 525, 1, 1, 8, 2, 3, -4,
                       -100, 200, 300, 400, 500, 0.98f, 0xDEADBEEFu, 0.75f, 20.0f, 2, 0x11223344u, 1,
                       {0x55667788u, 0x99AABBCCu}, {}};
    for (int i = 0; i < 132; ++i)
        want.spare[i] = static_cast<uint8_t>(197 + i);
    EXPECT_EQ(std::memcmp(&h, &want, sizeof h), 0) << rr_format_ramp_hdr(h, nullptr, true);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::vector<uint16_t>(s, s + 3), (std::vector<uint16_t>{0x0102, 0xFFFE, 0x8000}));
}

TEST(RampFile, WriteThenReadIsLosslessAndByteIdentical)
{
    vptest::TempDir dir;
    const std::string original = full_ramp().b;
    vptest::write_file(dir / "in", original);
    rr_ramp_hdr_t h;
    uint16_t* s = nullptr;
    ASSERT_EQ(rr_read_ramp_file(dir.str("in").c_str(), &h, &s), NO_ERROR);
    rr_samples owner(s);
    const rr_ramp_hdr_t before = h;
    ASSERT_EQ(rr_write_ramp_file(dir.str("out").c_str(), &h, s), NO_ERROR);
    EXPECT_EQ(vptest::read_file(dir / "out"), original);
    EXPECT_EQ(std::memcmp(&before, &h, sizeof h), 0) << "the caller's header is not changed";

    // The writer sets the magic number, whatever the record held.
    h.magicNumber = 0;
    ASSERT_EQ(rr_write_ramp_file(dir.str("out").c_str(), &h, s), NO_ERROR);
    EXPECT_EQ(vptest::read_file(dir / "out"), original);
    EXPECT_EQ(h.magicNumber, 0u);
}

TEST(RampFile, ReadFailuresReleaseTheSamplesAndReturnNothing)
{
    vptest::TempDir dir;
    std::string wrong_magic = full_ramp().b;
    wrong_magic[3] = 'X';
    std::string more_than_held = full_ramp().b;
    more_than_held.resize(328 + 4);  // two of the three samples
    ramp_bytes huge = full_ramp();
    huge.be(17, 0x7FFFFFFF);  // a count no file backs: refused before any allocation
    const struct {
        const char* what;
        std::string bytes;
        int32_t rc;
    } rows[] = {
        {"2 bytes", "RA", ERR_PREMATURE_EOF},
        {"empty", "", ERR_PREMATURE_EOF},
        {"not RAMQ", wrong_magic, ERR_NOT_A_RAMP_FILE},
        {"short header", full_ramp().b.substr(0, 200), ERR_PREMATURE_EOF},
        {"fewer samples", more_than_held, ERR_CORRUPT_RAMP_FILE},
        {"2^31-1 samples announced", huge.b, ERR_CORRUPT_RAMP_FILE},
    };
    for (const auto& row : rows) {
        vptest::write_file(dir / "f", row.bytes);
        rr_ramp_hdr_t h;
        std::memset(&h, 0x5A, sizeof h);
        uint16_t* s = static_cast<uint16_t*>(u_malloc(8));  // released by the reader
        EXPECT_EQ(rr_read_ramp_file(dir.str("f").c_str(), &h, &s), row.rc) << row.what;
        EXPECT_EQ(s, nullptr) << row.what;
        EXPECT_EQ(h.nPoints, 0) << row.what;
    }
    uint16_t* s = static_cast<uint16_t*>(u_malloc(8));
    rr_ramp_hdr_t h;
    EXPECT_EQ(rr_read_ramp_file(dir.str("missing").c_str(), &h, &s), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(rr_read_ramp_file(dir.str("missing").c_str(), nullptr, nullptr), ERR_INVALID_PARAM);

    // The header alone, without samples wanted, reads from a file whose samples are short.
    vptest::write_file(dir / "f", more_than_held);
    EXPECT_EQ(rr_read_ramp_file(dir.str("f").c_str(), &h, nullptr), NO_ERROR);
    EXPECT_EQ(h.nPoints, 3);
}

TEST(RampFile, WriteRefusesBadArgumentsAndLeavesNoTemporaryFile)
{
    vptest::TempDir dir;
    rr_ramp_hdr_t h{};
    uint16_t s[2] = {1, 2};
    h.nPoints = 2;
    EXPECT_EQ(rr_write_ramp_file(dir.str("f").c_str(), &h, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(rr_write_ramp_file(dir.str("f").c_str(), nullptr, s), ERR_INVALID_PARAM);
    h.nPoints = -1;
    EXPECT_EQ(rr_write_ramp_file(dir.str("f").c_str(), &h, s), ERR_INVALID_PARAM);
    EXPECT_FALSE(vptest::fs::exists(dir / "f"));
    h.nPoints = 2;
    EXPECT_EQ(rr_write_ramp_file(dir.str("no_dir/f").c_str(), &h, s), ERR_CANT_CREATE_FILE);
    ASSERT_EQ(rr_write_ramp_file(dir.str("f").c_str(), &h, s), NO_ERROR);
    std::string bytes = vptest::read_file(dir / "f");
    ASSERT_EQ(bytes.size(), 332u);
    EXPECT_EQ(bytes.substr(328), std::string("\0\1\0\2", 4));
    EXPECT_EQ(bytes.substr(0, 4), "RAMQ");
    // Nothing is left beside the target.
    int files = 0;
    for (const auto& e : vptest::fs::directory_iterator(dir.path()))
        files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1);
}

TEST(RampFile, DumpShowsEveryNamedFieldWithItsBytePositions)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "f", full_ramp().b);
    rr_ramp_hdr_t h;
    uint16_t* s = nullptr;
    ASSERT_EQ(rr_read_ramp_file(dir.str("f").c_str(), &h, &s), NO_ERROR);
    rr_samples owner(s);
    const std::string dump = rr_format_ramp_hdr(h, s, true);
    const char* expected_lines[] = {
        "#   1-  4  magicNumber        = 1380011345\n",
        "#   5-  8  rampType           = 17\n",
        "#  37- 40  sampleClkFreq      = 4\n",
        "#  69- 72  rampTriple[0]      = 1.5\n",
        "#  85- 88  polar              = b\n",
        "# 137-140  leakage            = -4\n",
        "# 161-164  scanCal            = 0.98\n",
        "# 169-172  fringesPerFrame    = 0.75\n",
        "# 185-188  scan direction     = 1\n",
        "# 197-328  spare             \n# sizeof rr_ramp_hdr_t = 328\n258\n65534\n32768\n",
    };
    for (const char* line : expected_lines)
        EXPECT_NE(dump.find(line), std::string::npos) << line << "\n" << dump;
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 45 + 2 + 3) << "45 named fields, spare, size, samples";
    EXPECT_EQ(dump.find("165-168"), std::string::npos);
    EXPECT_EQ(dump.find("181-184"), std::string::npos);

    // Ten per line: a line feed after samples 0, 10, 20, ... and one at the end.
    h.nPoints = 3;
    std::string packed = rr_format_ramp_hdr(h, s, false);
    EXPECT_EQ(packed.substr(packed.find("= 328\n") + 6), "258  \n65534  32768  \n");
    EXPECT_EQ(rr_format_ramp_hdr(h, nullptr, false).substr(dump.find("# sizeof")), "# sizeof rr_ramp_hdr_t = 328\n");
}

rr_ramp_hdr_t ramp_of(int32_t type, int32_t board, int32_t pzt, float fpf, float slope, int32_t buckets)
{
    rr_ramp_hdr_t h{};
    h.rampType = type;
    h.instrBdType = board;
    h.pztID = pzt;
    h.fringesPerFrame = fpf;
    h.rampSlope = slope;
    h.nBuckets = buckets;
    return h;
}

TEST(RampFile, CheckForAnInstrument)
{
    auto bad_fpf = [](const char* v) {
        return "Error: invalid fringesPerFrame " + std::string(v) + " in ramp data file \"r.b5\"\n";
    };
    const struct {
        rr_ramp_hdr_t h;
        int32_t board, pifoc, pzt, rc;
        float fpf;   // afterwards
        int32_t id;  // pztID afterwards
        std::string log;
    } rows[] = {
        {ramp_of(0, 1, 55, 0.25f, 81, 0), 8, 55, 9, NO_ERROR, 0.25f, 55, ""},
        {ramp_of(0, 1, 55, 0.25f, 81, 0), 3, 55, 9, ERR_WRONG_INSTR_BOARD, 0.25f, 55,
         "Error: ramp data file r.b5 is not compatible with this instrument\n"},
        {ramp_of(0, 3, 55, 0.25f, 81, 0), 8, 55, 9, ERR_WRONG_INSTR_BOARD, 0.25f, 55,
         "Error: ramp data file r.b5 is not compatible with this instrument\n"},
        {ramp_of(1, 0, 100, 0, 0, 5), 1, 55, -1, ERR_INVALID_PARAM, 0, 100,
         "Error: ramp data file \"r.b5\" can only be used with a PZT\n"},
        {ramp_of(0, 0, 55, 0.25f, 81, 0), 1, -1, 9, ERR_INVALID_PARAM, 0.25f, 55,
         "Error: ramp data file \"r.b5\" can only be used with a PIFOC\n"},
        {ramp_of(3, 0, 100, 0.25f, 0, 7), 1, -1, 200, NO_ERROR, 0.25f, 200,
         "Warning: ramp data file \"r.b5\" was generated for a different PZT\nChanging ramp S/N from 100 to 200\n"},
        {ramp_of(17, 0, 1, 0.75f, 0, 0), 1, 2, -1, NO_ERROR, 0.75f, 2,
         "Warning: ramp data file \"r.b5\" was generated for a different PIFOC\nChanging ramp S/N from 1 to 2\n"},
        {ramp_of(19, 0, 55, 0.25f, 81, 0), 1, 55, 9, ERR_CORRUPT_RAMP_FILE, 0.25f, 55,
         "Error: ramp data file \"r.b5\" is of unknown type 19\n"},
        {ramp_of(0, 0, 55, 0, 243, 0), 1, 55, 9, NO_ERROR, 0.75f, 55, ""},
        {ramp_of(0, 0, 55, 0, 100, 0), 1, 55, 9, ERR_INVALID_PARAM, 0, 55, bad_fpf("0")},
        {ramp_of(0, 0, 55, 0.5f, 81, 0), 1, 55, 9, ERR_INVALID_PARAM, 0.5f, 55, bad_fpf("0.5")},
        {ramp_of(0, 0, 55, 1.25f, 81, 0), 1, 55, 9, NO_ERROR, 1.25f, 55, ""},
        {ramp_of(0, 0, 55, -0.25f, 81, 0), 1, 55, 9, ERR_INVALID_PARAM, -0.25f, 55, bad_fpf("-0.25")},
        {ramp_of(1, 0, 9, 0.125f, 0, 7), 1, 55, 9, ERR_INVALID_PARAM, 0.125f, 9, bad_fpf("0.125")},
        {ramp_of(1, 0, 9, 3.0f, 0, 15), 1, 55, 9, NO_ERROR, 3.0f, 9, ""},
        {ramp_of(1, 0, 9, 0, 0, 11), 1, 55, 9, NO_ERROR, 0.125f, 9, ""},
        {ramp_of(1, 0, 9, 0, 0, 9), 1, 55, 9, ERR_INVALID_PARAM, 0, 9, bad_fpf("0")},
    };
    for (const auto& row : rows) {
        vptest::LogCapture log;
        rr_ramp_hdr_t h = row.h;
        const std::string what = std::to_string(&row - rows);
        EXPECT_EQ(rr_check_ramp_file(&h, "r.b5", row.board, row.pifoc, row.pzt), row.rc) << what;
        EXPECT_EQ(log.str(), row.log) << what;
        EXPECT_EQ(h.fringesPerFrame, row.fpf) << what;
        EXPECT_EQ(h.pztID, row.id) << what;
    }
}

TEST(RampFile, StandardFileNames)
{
    auto hdr = [](int32_t type, float len, float slope, float rate, int32_t skip, float mag, int32_t buckets,
                  int32_t mux, int32_t id) {
        rr_ramp_hdr_t h{};
        h.rampType = type, h.scanLen = len, h.rampSlope = slope, h.cameraRate = rate, h.grabSkip = skip;
        h.objMag = mag, h.nBuckets = buckets, h.rampMux = mux, h.pztID = id, h.polar = 'b';
        return h;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        rr_ramp_hdr_t h;
        int32_t rc;
        const char* name;
        const char* log;
    } rows[] = {
        {hdr(RR_BTW, 10.7f, 81, 60, 1, 20, 0, 0, 7), NO_ERROR, "d10s81c30m20.b7", ""},
        {hdr(RR_SWLI, 10.7f, 81, 25, 0, 0, 0, 0, 12345), NO_ERROR, "d10s81c25.b12345", ""},
        {hdr(5, 0, 0, 30, 2, 0, 13, 1, 42), NO_ERROR, "p13c10.q42", ""},
        {hdr(1, 0, 0, 29, 2, 0, 13, 0, 42), NO_ERROR, "p13c10.p42", ""},  // 9.67 Hz rounds to 10
        {hdr(RR_SWLI, 1e30f, 81, inf, 0, 0, 0, 0, 1), NO_ERROR, "d2147483647s81c2147483647.b1", ""},
        {hdr(RR_FR, 10, 81, 25, 0, 0, 0, 0, 1), ERR_INVALID_PARAM, "", "rr_get_std_ramp_filename: unsupported ramp type 19\n"},
        {hdr(RR_SWLI, 10, 81, 25, -1, 0, 0, 0, 1), ERR_INVALID_PARAM, "", "rr_get_std_ramp_filename: invalid grabSkip -1\n"},
    };
    for (const auto& row : rows) {
        vptest::LogCapture log;
        const char* name = "stale";
        EXPECT_EQ(rr_get_std_ramp_filename(&row.h, &name), row.rc) << row.name;
        EXPECT_STREQ(name, row.name);
        EXPECT_EQ(log.str(), row.log);
    }
}

TEST(RampFile, ScanCodes)
{
    const double fpfs[] = {0.25, 0.7505, 1.25, 1.75, 2.2491, 2.75, 5.25};
    const int32_t codes[] = {1, 3, 5, 7, 9, 11, 21};
    const int32_t types[] = {1, 5, 9, 17, 33, 65};
    for (int i = 0; i < 7; ++i) {
        int32_t code = 0;
        double fpf = 0;
        EXPECT_EQ(rr_fpf_to_scan_code(fpfs[i], &code), NO_ERROR);
        EXPECT_EQ(code, codes[i]);
        if (i < 6) {
            EXPECT_EQ(rr_scan_type_to_fpf(types[i], &fpf), NO_ERROR);
            EXPECT_NEAR(fpf, fpfs[i], 0.001);
        }
    }
    vptest::LogCapture log;
    int32_t code = -7;
    double fpf = -7;
    EXPECT_EQ(rr_fpf_to_scan_code(0.5, &code), ERR_INTERNAL_RV);
    EXPECT_EQ(rr_fpf_to_scan_code(std::nan(""), &code), ERR_INTERNAL_RV);
    EXPECT_EQ(rr_scan_type_to_fpf(3, &fpf), ERR_INTERNAL_RV);
    EXPECT_EQ(code + fpf, -14);
    EXPECT_EQ(log.str(), "Invalid fringesPerFrame 0.5\nInvalid fringesPerFrame nan\nInternal error: invalid scanType 3\n");
}

}  // namespace
