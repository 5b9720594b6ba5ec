// The FTP materials file: the reader's records, messages and error report, the loader and the
// magnification map.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vell/instrument/ftp_materials.h"
#include "vell/platform/errors.h"
#include "tests/instrument/instrument_fixture.h"

namespace {

using vptest::InstrumentTest;

const std::string HEADING = "## Tessaron FTP Materials File - Format 1\n";
const std::string SAMPLE = FTP_MATLS_SAMPLE_LINE;
const std::string REPORT = "Error(s) reading FTP materials file:\n";

class FtpRead : public InstrumentTest {
protected:
    // Writes the file and reads it into table_.
    int32_t read(const std::string& content)
    {
        path_ = cfg().str("m.txt");
        vptest::write_file(path_, content);
        log_.clear();
        return ftp_read_materials(path_.c_str(), &table_);
    }
    std::string opening() const { return "Reading FTP materials file \"" + path_ + "\"\n"; }
    void TearDown() override
    {
        ftp_free_materials(table_);
        InstrumentTest::TearDown();
    }

    ftp_material* table_ = nullptr;
    std::string path_;
};

TEST_F(FtpRead, TheSampleLineIsOneMaterialAndCommentsAreKeptWithoutAnIndex)
{
    ASSERT_EQ(read(HEADING + "# Metals\r\n" + SAMPLE + "## skipped\n\n  \t\n'Gold' 0.5 ? * -6.283185307179586 +1 .5 1e-1\n"),
              NO_ERROR);
    EXPECT_EQ(log_.str(), opening());
    ASSERT_EQ(ftp_material_count(table_), 3);
    EXPECT_EQ(table_[0].index, -1);
    EXPECT_STREQ(table_[0].comment, "# Metals");

    const ftp_material& al = table_[1];
    EXPECT_EQ(al.index, 0);
    EXPECT_STREQ(al.name, "Aluminum");
    EXPECT_EQ(al.n, 23.0);
    EXPECT_EQ(al.k, 85.0);
    EXPECT_EQ(al.pcor, 0.035766);
    for (double d : al.disper)
        EXPECT_EQ(d, 0.0);
    EXPECT_STREQ(al.comment, "# 606");

    const ftp_material& au = table_[2];
    EXPECT_EQ(au.index, 1);
    EXPECT_STREQ(au.name, "Gold");
    EXPECT_EQ(au.n, 0.5);
    EXPECT_EQ(au.k, std::numeric_limits<double>::infinity());
    EXPECT_EQ(au.pcor, std::numeric_limits<double>::infinity());
    EXPECT_EQ(au.disper[0], -6.283185307179586);
    EXPECT_EQ(au.disper[1], 1.0);
    EXPECT_EQ(au.disper[3], 0.1);
    EXPECT_STREQ(au.comment, "");

    // The closing record is all zero.
    EXPECT_EQ(table_[3].index, 0);
    EXPECT_STREQ(table_[3].name, "");
}

TEST_F(FtpRead, AFileWithoutMaterialsShowsTheHeadingTheLineFormatAndTheSample)
{
    const std::string help =
        "##\n## Name      = Material name in quotes (up to 20 chars)\n## N         = N [0,100]\n"
        "## K         = K [0,100]\n## PCOR      = Phase Change On Reflection [-6.28319,6.28319] rad \n"
        "## Disper[0] = Dispersion for 0.8X mag (75mm FOV) [-6.28319,6.28319] rad \n"
        "## Disper[1] = Dispersion for 1.0X mag (65mm FOV) [-6.28319,6.28319] rad \n"
        "## Disper[2] = Dispersion for 1.7X mag (35mm FOV) [-6.28319,6.28319] rad \n"
        "## Disper[3] = Dispersion for 4.0X mag (15mm FOV) [-6.28319,6.28319] rad \n"
        "## Comment   = Optional comment beginning with '#' (up to 100 chars)\n##";
    EXPECT_EQ(ftp_materials_help(), help);
    const std::string no_materials = "No acceptable material specs found\nFile heading (required):\n\n" + HEADING +
                                     "Line format description:\n\n" + help + "\nSample line:\n\n" + SAMPLE + "\n";
    for (const std::string& content : {HEADING, std::string(), HEADING + "# only a comment\n"}) {
        EXPECT_EQ(read(content), ERR_FTP_CORRUPT_MATLS_FILE) << content;
        EXPECT_EQ(log_.str(), opening() + no_materials) << content;
        EXPECT_EQ(table_, nullptr);
    }
}

struct bad_case {
    const char* what;
    std::string content;
    int32_t rc;
    std::string report;  // the log after the opening line
};

TEST_F(FtpRead, ErrorsAreReportedWithTheirLineAndTheReadGoesOnOrEndsAsTheyDemand)
{
    const std::string range_detail =
        "\t\tThe PCOR value must be a number\n\tgreater than or equal to -6.28319 and\n\tless than or equal to 6.28319\n";
    const std::string good = "\"Glass\" 1.5 0 0 0 0 0 0\n";
    const std::string long_name = "\"abcdefghijklmnopqrstu\" 1 1 0 0 0 0 0\n";
    const std::vector<bad_case> cases = {
        {"format 2", "## Tessaron FTP Materials File - Format 2\n" + SAMPLE, ERR_FTP_CORRUPT_MATLS_FILE,
         REPORT + "\tFile format 2 is not supported\n\tError in line 1:\n  ## Tessaron FTP Materials File - Format 2\n"},
        {"no format number", "# Tessaron FTP Materials File - Format one\n" + SAMPLE, ERR_FTP_CORRUPT_MATLS_FILE,
         REPORT + "\tHeading is missing a file format specification\n\tError in line 1:\n"
                  "  # Tessaron FTP Materials File - Format one\n"},
        {"missing heading", "# note\n" + SAMPLE, ERR_FTP_CORRUPT_MATLS_FILE, REPORT + "\tMissing heading\n"},
        {"21-character name, then a good line", HEADING + long_name + good, NO_ERROR,
         REPORT + "\tInvalid Name value \"\"abcdefghijklmnopqrstu\"\" (field 1)\n\tError in line 2:\n  " +
             long_name.substr(0, long_name.size() - 1) +
             "\n\tThe Name must be quoted text up to 20 characters long\nAccepted 1 of 2 material specs\n"},
        {"unclosed and empty names", HEADING + "\"Open 1 2\n'' 1 1 0 0 0 0 0\n" + good, NO_ERROR,
         REPORT + "\tInvalid Name value \"\"Open\" (field 1)\n\tError in line 2:\n  \"Open 1 2\n"
                  "\tThe Name must be quoted text up to 20 characters long\n"
                  "\tInvalid Name value \"''\" (field 1)\n\tError in line 3:\n  '' 1 1 0 0 0 0 0\n"
                  "\tThe Name must be quoted text up to 20 characters long\nAccepted 1 of 3 material specs\n"},
        {"zero byte in a name", HEADING + "\"" + '\0' + "b\" 1 1 0 0 0 0 0\n" + good, NO_ERROR,
         REPORT + "\tInvalid Name value \"\"\" (field 1)\n\tError in line 2:\n  \"\n"
                  "\tThe Name must be quoted text up to 20 characters long\nAccepted 1 of 2 material specs\n"},
        {"PCOR 7", HEADING + good + "\"Steel\" 2 3 7 0 0 0 0\n" + good, NO_ERROR,
         REPORT + "\tInvalid PCOR value \"7\" (field 4)\n\tError in line 3:\n  \"Steel\" 2 3 7 0 0 0 0\n" +
             range_detail + "Accepted 2 of 3 material specs\n"},
        {"nan, inf and trailing text are not numbers", HEADING + "\"a\" nan 0 0 0 0 0 0\n\"b\" 1 inf 0 0 0 0 0\n"
                                                               "\"c\" 1 2x 0 0 0 0 0\n" + good,
         NO_ERROR,
         REPORT + "\tInvalid N value \"nan\" (field 2)\n\tError in line 2:\n  \"a\" nan 0 0 0 0 0 0\n"
                  "\t\tThe N value must be a number\n\tgreater than or equal to 0 and\n\tless than or equal to 100\n"
                  "\tInvalid K value \"inf\" (field 3)\n\tError in line 3:\n  \"b\" 1 inf 0 0 0 0 0\n"
                  "\t\tThe K value must be a number\n\tgreater than or equal to 0 and\n\tless than or equal to 100\n"
                  "\tInvalid K value \"2x\" (field 3)\n\tError in line 4:\n  \"c\" 1 2x 0 0 0 0 0\n"
                  "\t\tThe K value must be a number\n\tgreater than or equal to 0 and\n\tless than or equal to 100\n"
                  "Accepted 1 of 4 material specs\n"},
        {"missing values and an extra token", HEADING + "\"a\" 1 2 3 0 0 0 # short\n\"b\" 1 2 3 0 0 0 0 9\n" + good,
         NO_ERROR,
         REPORT + "\tMissing Disper[3] value (field 8)\n\tError in line 2:\n  \"a\" 1 2 3 0 0 0 # short\n"
                  "\tUnexpected token \"9\" (field 9)\n\tError in line 3:\n  \"b\" 1 2 3 0 0 0 0 9\n"
                  "Accepted 1 of 3 material specs\n"},
        {"line of 201 characters", HEADING + good + std::string(201, 'x') + "\n" + good, ERR_FTP_CORRUPT_MATLS_FILE,
         REPORT + "\tLine longer than 200 characters\n\tError in line 3\n"},
    };
    for (const bad_case& c : cases) {
        ftp_free_materials(table_);
        table_ = nullptr;
        EXPECT_EQ(read(c.content), c.rc) << c.what;
        EXPECT_EQ(log_.str(), opening() + c.report) << c.what;
        if (c.rc == NO_ERROR) {
            ASSERT_NE(table_, nullptr) << c.what;
            const int n = ftp_material_count(table_);
            for (int i = 0; i < n; ++i)
                EXPECT_EQ(table_[i].index, i) << c.what;
            EXPECT_STREQ(table_[n - 1].name, "Glass") << c.what;
        } else {
            EXPECT_EQ(table_, nullptr) << c.what;
        }
    }
}

TEST_F(FtpRead, TheEleventhErrorEndsTheRead)
{
    std::string content = HEADING;
    for (int i = 0; i < 12; ++i)
        content += "\"bad\" 200 0 0 0 0 0 0\n";
    EXPECT_EQ(read(content), ERR_FTP_CORRUPT_MATLS_FILE);
    // The bad lines are lines 2 to 13: the eleventh error is in line 12, and line 13 is not read.
    const std::string log = log_.str();
    EXPECT_NE(log.find("\tError in line 12:\n"), std::string::npos);
    EXPECT_EQ(log.find("\tError in line 13"), std::string::npos);
    const std::string tail = "less than or equal to 100\nToo many errors reading FTP materials file\n";
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(FtpRead, AFailedReadKeepsTheCallersTable)
{
    ASSERT_EQ(read(HEADING + SAMPLE), NO_ERROR);
    ftp_material* const kept = table_;
    const std::vector<std::string> failing = {
        HEADING + SAMPLE + "## Tessaron FTP Materials File - Format 3\n",  // fatal after a material
        HEADING + "# comment only\n",
        "\"Aluminum\" 1 1 0 0 0 0 0\n",
    };
    for (const std::string& content : failing) {
        EXPECT_EQ(read(content), ERR_FTP_CORRUPT_MATLS_FILE) << content;
        EXPECT_EQ(table_, kept);
        EXPECT_STREQ(table_[0].name, "Aluminum");
        EXPECT_EQ(ftp_material_count(table_), 1);
    }
    log_.clear();
    EXPECT_EQ(ftp_read_materials(cfg().str("absent.txt").c_str(), &table_), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(log_.str(), "Cannot open FTP materials file \"" + cfg().str("absent.txt") + "\"\n");
    EXPECT_EQ(ftp_read_materials("", &table_), ERR_INVALID_PARAM);
    EXPECT_EQ(ftp_read_materials(path_.c_str(), nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(table_, kept);
}

TEST_F(FtpRead, TheTableGrowsPastItsBlocksAndEndsWithAZeroRecord)
{
    std::string content = HEADING;
    for (int i = 0; i < 12; ++i)
        content += "\"M" + std::to_string(i) + "\" " + std::to_string(i) + " 0 0 0 0 0 0 #" + std::to_string(i) + "\n";
    ASSERT_EQ(read(content), NO_ERROR);
    ASSERT_EQ(ftp_material_count(table_), 12);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(table_[i].index, i);
        EXPECT_EQ(table_[i].name, "M" + std::to_string(i));
        EXPECT_EQ(table_[i].n, i);
        EXPECT_EQ(table_[i].comment, "#" + std::to_string(i));
    }
    // 12 records and the closing one take three blocks of five: the rest is zero.
    for (int i = 12; i < 15; ++i) {
        EXPECT_EQ(table_[i].index, 0);
        EXPECT_EQ(table_[i].n, 0.0);
        EXPECT_STREQ(table_[i].name, "");
    }
}

// ---- loader and magnification map -----------------------------------------------------------

class FtpLoad : public InstrumentTest {
protected:
    void SetUp() override
    {
        InstrumentTest::SetUp();
        si_ = sysinfo_slot(1);
        ASSERT_EQ(sysinfo_ensure_ftp_info(*si_), NO_ERROR);
        si_->ftpInfo->materialsFile = "vp_test_materials.txt";
        const double mags[] = {1.0, 4.0, 0.8, 1.7005};
        for (int i = 0; i < 4; ++i)
            si_->nomMag[i] = mags[i];
        si_->numMags = 4;
    }

    SysInfo* si_ = nullptr;
};

TEST_F(FtpLoad, APlainNameIsFoundInTheConfigurationDirectoryAndTheConfiguredNameStays)
{
    vptest::write_file(cfg() / "vp_test_materials.txt", HEADING + SAMPLE);
    ASSERT_EQ(ftp_load_materials(si_), NO_ERROR);
    const ftp_slot_state* st = ftp_state_of(si_);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->materialsPath, cfg_path("vp_test_materials.txt"));
    EXPECT_EQ(si_->ftpInfo->materialsFile, "vp_test_materials.txt");
    ASSERT_EQ(ftp_material_count(st->materials), 1);
    EXPECT_STREQ(st->materials[0].name, "Aluminum");
    const int8_t expected[SB_MAX_MAGS] = {1, 3, 0, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    for (int i = 0; i < SB_MAX_MAGS; ++i)
        EXPECT_EQ(st->magMap[i], expected[i]) << i;
    EXPECT_EQ(ftp_state_of(sysinfo_slot(0))->materials, nullptr) << "slots are separate";

    // An absolute name is used as it is.
    si_->ftpInfo->materialsFile = cfg().str("vp_test_materials.txt");
    ASSERT_EQ(ftp_load_materials(si_), NO_ERROR);
    EXPECT_EQ(st->materialsPath, si_->ftpInfo->materialsFile);
}

TEST_F(FtpLoad, FailuresAreSummedUpAndLeaveNoTable)
{
    vptest::write_file(cfg() / "vp_test_materials.txt", HEADING + SAMPLE);
    ASSERT_EQ(ftp_load_materials(si_), NO_ERROR);
    const ftp_slot_state* st = ftp_state_of(si_);

    si_->ftpInfo->materialsFile = "vp_test_absent.txt";
    log_.clear();
    EXPECT_EQ(ftp_load_materials(si_), ERR_FTP_CANT_READ_MATLS_FILE);
    EXPECT_EQ(log_.str(), "Cannot access FTP materials file \"vp_test_absent.txt\"\nERR_CANT_READ_FILE\n");
    EXPECT_EQ(st->materials, nullptr);
    EXPECT_EQ(st->materialsPath, "");

    vptest::write_file(cfg() / "vp_test_bad.txt", SAMPLE);
    si_->ftpInfo->materialsFile = "vp_test_bad.txt";
    log_.clear();
    EXPECT_EQ(ftp_load_materials(si_), ERR_FTP_CANT_READ_MATLS_FILE);
    const std::string path = cfg_path("vp_test_bad.txt");
    EXPECT_EQ(log_.str(), "Reading FTP materials file \"" + path + "\"\n" + REPORT + "\tMissing heading\n" +
                              "Error reading FTP materials file \"" + path + "\"\nERR_FTP_CORRUPT_MATLS_FILE\n");
    EXPECT_EQ(st->materials, nullptr);
    EXPECT_EQ(si_->ftpInfo->materialsFile, "vp_test_bad.txt");

    si_->ftpInfo->materialsFile.clear();
    log_.clear();
    EXPECT_EQ(ftp_load_materials(si_), ERR_INVALID_PARAM);
    EXPECT_EQ(log_.str(), "FTP materials file name is NULL\n");

    si_->ftpInfo.reset();
    EXPECT_EQ(ftp_load_materials(si_), ERR_FTP_NO_FTP_INFO);
    EXPECT_EQ(ftp_load_materials(nullptr), ERR_SYS_INFO_NOT_AVAIL);
    SysInfo outside;  // not a slot's record: its own state, and no ftpInfo
    EXPECT_EQ(ftp_load_materials(&outside), ERR_FTP_NO_FTP_INFO);
}

TEST_F(FtpLoad, AMagnificationThatIsNoFtpMagnificationEndsTheMap)
{
    ftp_slot_state* st = ftp_state_of(si_);
    si_->nomMag[2] = 2.5;
    log_.clear();
    EXPECT_EQ(ftp_map_magnifications(si_, st), ERR_FTP_INVALID_MAGNIFICATION);
    EXPECT_EQ(log_.str(), "Magnification 2.5 is not allowed on an FTP system\n");
    const int8_t expected[5] = {1, 3, -1, -1, -1};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(st->magMap[i], expected[i]) << i;

    si_->nomMag[2] = 0.8011;  // beyond 0.001 of 0.8
    EXPECT_EQ(ftp_map_magnifications(si_, st), ERR_FTP_INVALID_MAGNIFICATION);
    si_->nomMag[2] = std::nan("");
    EXPECT_EQ(ftp_map_magnifications(si_, st), ERR_FTP_INVALID_MAGNIFICATION);
    si_->numMags = 0;
    EXPECT_EQ(ftp_map_magnifications(si_, st), NO_ERROR);
    EXPECT_EQ(st->magMap[0], -1);
}

}  // namespace
