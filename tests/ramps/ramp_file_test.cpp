// Ramp data files: the header at its offsets and byte orders, reading, writing, the dump, the
// checks for an instrument, standard names and scan codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/hooks.h"
#include "ramps/ramp_file.h"
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
    EXPECT_EQ(h.magicNumber, 0x52414D51u);
    EXPECT_EQ(h.rampType, 17);
    EXPECT_EQ(h.pztID, 12345);
    EXPECT_EQ(h.rampID, 7);
    EXPECT_EQ(h.nPoints, 3);
    EXPECT_EQ(h.rampUp, 101);
    EXPECT_EQ(h.rampStart, 102);
    EXPECT_EQ(h.rampLinear, 103);
    EXPECT_EQ(h.rampEnd, 104);
    EXPECT_EQ(h.sampleClkFreq, 4.0f);
    EXPECT_EQ(h.cameraRate, 25.0f);
    EXPECT_EQ(h.updateRate, 64536);
    EXPECT_EQ(h.grabSkip, 1);
    EXPECT_EQ(h.rampSlope, 81.0f);
    EXPECT_EQ(h.trigStartAddr, 1);
    EXPECT_EQ(h.trigEndAddr, 2);
    EXPECT_EQ(h.rampGainDflt, 2048);
    EXPECT_EQ(h.rampTriple[0], 1.5f);
    EXPECT_EQ(h.rampTriple[1], 2.5f);
    EXPECT_EQ(h.rampTriple[2], 3.5f);
    EXPECT_EQ(h.scanLen, 10.5f);
    EXPECT_EQ(h.polar, 'b');
    EXPECT_EQ(h.offset, 32768);
    EXPECT_EQ(h.nBuckets, 64);
    EXPECT_EQ(h.rampLin, 0.5f);
    EXPECT_EQ(h.rampTrim, 0.25f);
    EXPECT_EQ(h.cameraPClock, 12.5f);
    EXPECT_EQ(h.cameraHPeriod, 800);
    EXPECT_EQ(h.cameraVPeriod, 525);
    EXPECT_EQ(h.cameraInterlace, 1);
    EXPECT_EQ(h.rampMux, 1);
    EXPECT_EQ(h.instrBdType, 8);
    EXPECT_EQ(h.compGain, 2);
    EXPECT_EQ(h.compFilter, 3);
    EXPECT_EQ(h.leakage, -4);
    EXPECT_EQ(h.adcMin, -100);
    EXPECT_EQ(h.adcMax, 200);
    EXPECT_EQ(h.adcFirst, 300);
    EXPECT_EQ(h.adcMid, 400);
    EXPECT_EQ(h.adcLast, 500);
    EXPECT_EQ(h.scanCal, 0.98f);
    EXPECT_EQ(h.reserved165, 0xDEADBEEFu);
    EXPECT_EQ(h.fringesPerFrame, 0.75f);
    EXPECT_EQ(h.objMag, 20.0f);
    EXPECT_EQ(h.wavelenSelect, 2);
    EXPECT_EQ(h.reserved181, 0x11223344u);
    EXPECT_EQ(h.scanDir, 1);
    EXPECT_EQ(h.reserved189[0], 0x55667788u);
    EXPECT_EQ(h.reserved189[1], 0x99AABBCCu);
    EXPECT_EQ(h.spare[0], 197);
    EXPECT_EQ(h.spare[131], static_cast<uint8_t>(328));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[0], 0x0102);
    EXPECT_EQ(s[1], 0xFFFE);
    EXPECT_EQ(s[2], 0x8000);
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
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* what;
        rr_ramp_hdr_t h;
        int32_t board, pifoc, pzt;
        int32_t rc;
        float fpf;    // afterwards
        int32_t id;   // pztID afterwards
        const char* log;
    } rows[] = {
        {"CAN board takes a board-1 ramp", ramp_of(0, 1, 55, 0.25f, 81, 0), 8, 55, 9, NO_ERROR, 0.25f, 55, ""},
        {"board 3 refuses a board-1 ramp", ramp_of(0, 1, 55, 0.25f, 81, 0), 3, 55, 9, ERR_WRONG_INSTR_BOARD, 0.25f, 55,
         "Error: ramp data file r.b55 is not compatible with this instrument\n"},
        {"CAN board refuses a board-3 ramp", ramp_of(0, 3, 55, 0.25f, 81, 0), 8, 55, 9, ERR_WRONG_INSTR_BOARD, 0.25f, 55,
         "Error: ramp data file r.b55 is not compatible with this instrument\n"},
        {"PMI without a PZT", ramp_of(1, 0, 100, 0, 0, 5), 1, 55, -1, ERR_INVALID_PARAM, 0, 100,
         "Error: ramp data file \"r.b55\" can only be used with a PZT\n"},
        {"SWLI without a PIFOC", ramp_of(0, 0, 55, 0.25f, 81, 0), 1, -1, 9, ERR_INVALID_PARAM, 0.25f, 55,
         "Error: ramp data file \"r.b55\" can only be used with a PIFOC\n"},
        {"PMI made for another PZT", ramp_of(3, 0, 100, 0.25f, 0, 7), 1, -1, 200, NO_ERROR, 0.25f, 200,
         "Warning: ramp data file \"r.b55\" was generated for a different PZT\nChanging ramp S/N from 100 to 200\n"},
        {"BTW made for another PIFOC", ramp_of(17, 0, 1, 0.75f, 0, 0), 1, 2, -1, NO_ERROR, 0.75f, 2,
         "Warning: ramp data file \"r.b55\" was generated for a different PIFOC\nChanging ramp S/N from 1 to 2\n"},
        {"unknown type", ramp_of(19, 0, 55, 0.25f, 81, 0), 1, 55, 9, ERR_CORRUPT_RAMP_FILE, 0.25f, 55,
         "Error: ramp data file \"r.b55\" is of unknown type 19\n"},
        {"SWLI fpf 0, slope 243", ramp_of(0, 0, 55, 0, 243, 0), 1, 55, 9, NO_ERROR, 0.75f, 55, ""},
        {"SWLI fpf 0, slope 567", ramp_of(0, 0, 55, 0, 567, 0), 1, 55, 9, NO_ERROR, 1.75f, 55, ""},
        {"SWLI fpf 0, slope 100", ramp_of(0, 0, 55, 0, 100, 0), 1, 55, 9, ERR_INVALID_PARAM, 0, 55,
         "Error: invalid fringesPerFrame 0 in ramp data file \"r.b55\"\n"},
        {"SWLI fpf 0.5 (even)", ramp_of(0, 0, 55, 0.5f, 81, 0), 1, 55, 9, ERR_INVALID_PARAM, 0.5f, 55,
         "Error: invalid fringesPerFrame 0.5 in ramp data file \"r.b55\"\n"},
        {"SWLI fpf 1.25", ramp_of(0, 0, 55, 1.25f, 81, 0), 1, 55, 9, NO_ERROR, 1.25f, 55, ""},
        {"SWLI fpf -0.25", ramp_of(0, 0, 55, -0.25f, 81, 0), 1, 55, 9, ERR_INVALID_PARAM, -0.25f, 55,
         "Error: invalid fringesPerFrame -0.25 in ramp data file \"r.b55\"\n"},
        {"SWLI fpf NaN", ramp_of(0, 0, 55, nan, 81, 0), 1, 55, 9, ERR_INVALID_PARAM, nan, 55,
         "Error: invalid fringesPerFrame nan in ramp data file \"r.b55\"\n"},
        {"PMI 7 buckets fpf 0.125", ramp_of(1, 0, 9, 0.125f, 0, 7), 1, 55, 9, ERR_INVALID_PARAM, 0.125f, 9,
         "Error: invalid fringesPerFrame 0.125 in ramp data file \"r.b55\"\n"},
        {"PMI 15 buckets any fpf", ramp_of(1, 0, 9, 3.0f, 0, 15), 1, 55, 9, NO_ERROR, 3.0f, 9, ""},
        {"PMI 11 buckets fpf 0", ramp_of(1, 0, 9, 0, 0, 11), 1, 55, 9, NO_ERROR, 0.125f, 9, ""},
        {"PMI 5 buckets fpf 0", ramp_of(1, 0, 9, 0, 0, 5), 1, 55, 9, NO_ERROR, 0.25f, 9, ""},
        {"PMI 9 buckets fpf 0", ramp_of(1, 0, 9, 0, 0, 9), 1, 55, 9, ERR_INVALID_PARAM, 0, 9,
         "Error: invalid fringesPerFrame 0 in ramp data file \"r.b55\"\n"},
    };
    for (const auto& row : rows) {
        vptest::LogCapture log;
        rr_ramp_hdr_t h = row.h;
        EXPECT_EQ(rr_check_ramp_file(&h, "r.b55", row.board, row.pifoc, row.pzt), row.rc) << row.what;
        EXPECT_EQ(log.str(), row.log) << row.what;
        if (std::isnan(row.fpf))
            EXPECT_TRUE(std::isnan(h.fringesPerFrame)) << row.what;
        else
            EXPECT_EQ(h.fringesPerFrame, row.fpf) << row.what;
        EXPECT_EQ(h.pztID, row.id) << row.what;
    }
}

TEST(RampFile, StandardFileNames)
{
    rr_ramp_hdr_t btw{};
    btw.rampType = RR_BTW;
    btw.scanLen = 10.7f;
    btw.rampSlope = 81;
    btw.cameraRate = 60;
    btw.grabSkip = 1;
    btw.objMag = 20;
    btw.polar = 'b';
    btw.pztID = 7;
    rr_ramp_hdr_t swli = btw;
    swli.rampType = RR_SWLI;
    swli.cameraRate = 25;
    swli.grabSkip = 0;
    swli.pztID = 12345;
    rr_ramp_hdr_t pmi{};
    pmi.rampType = 5;
    pmi.nBuckets = 13;
    pmi.cameraRate = 30;
    pmi.grabSkip = 2;  // 10 Hz
    pmi.rampMux = 1;
    pmi.pztID = 42;
    rr_ramp_hdr_t pmi0 = pmi;
    pmi0.rampMux = 0;
    pmi0.cameraRate = 29;  // 9.67 rounds to 10
    rr_ramp_hdr_t fr = swli;
    fr.rampType = RR_FR;
    rr_ramp_hdr_t no_skip = swli;
    no_skip.grabSkip = -1;
    rr_ramp_hdr_t huge = swli;
    huge.scanLen = 1e30f;
    huge.cameraRate = std::numeric_limits<float>::infinity();
    const struct {
        rr_ramp_hdr_t h;
        int32_t rc;
        const char* name;
        const char* log;
    } rows[] = {
        {btw, NO_ERROR, "d10s81c30m20.b7", ""},
        {swli, NO_ERROR, "d10s81c25.b12345", ""},
        {pmi, NO_ERROR, "p13c10.q42", ""},
        {pmi0, NO_ERROR, "p13c10.p42", ""},
        {huge, NO_ERROR, "d2147483647s81c2147483647.b12345", ""},
        {fr, ERR_INVALID_PARAM, "", "rr_get_std_ramp_filename: unsupported ramp type 19\n"},
        {no_skip, ERR_INVALID_PARAM, "", "rr_get_std_ramp_filename: invalid grabSkip -1\n"},
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
    const struct {
        double fpf;
        int32_t code;
    } codes[] = {{0.25, 1}, {0.7505, 3}, {1.25, 5}, {1.75, 7}, {2.2491, 9}, {2.75, 11}, {5.25, 21}};
    for (const auto& c : codes) {
        int32_t code = 0;
        EXPECT_EQ(rr_fpf_to_scan_code(c.fpf, &code), NO_ERROR) << c.fpf;
        EXPECT_EQ(code, c.code);
    }
    const struct {
        int32_t type;
        double fpf;
    } types[] = {{1, 0.25}, {5, 0.75}, {9, 1.25}, {17, 1.75}, {33, 2.25}, {65, 2.75}};
    for (const auto& t : types) {
        double fpf = 0;
        EXPECT_EQ(rr_scan_type_to_fpf(t.type, &fpf), NO_ERROR);
        EXPECT_EQ(fpf, t.fpf);
    }
    vptest::LogCapture log;
    int32_t code = -7;
    double fpf = -7;
    EXPECT_EQ(rr_fpf_to_scan_code(0.5, &code), ERR_INTERNAL_RV);
    EXPECT_EQ(rr_fpf_to_scan_code(std::nan(""), &code), ERR_INTERNAL_RV);
    EXPECT_EQ(rr_scan_type_to_fpf(3, &fpf), ERR_INTERNAL_RV);
    EXPECT_EQ(code, -7);
    EXPECT_EQ(fpf, -7);
    EXPECT_EQ(log.str(), "Invalid fringesPerFrame 0.5\nInvalid fringesPerFrame nan\nInternal error: invalid scanType 3\n");
}

}  // namespace
