// Hostile calibration file text: NUL bytes, overlong words and lines, numbers beyond every
// range, and text cut anywhere. Each read ends with one of the platform's codes, its messages
// formatted in full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vell/calfile/calfile.h"
#include "vell/calfile/scanner.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "tests/support/test_support.h"

namespace {

const std::string kBase = "Model09 12 05 12345\nVersion None 0 None\n";

class HostileCal : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysinfo_reset_all_slots();
        calfile_reset_state();
    }
    void TearDown() override
    {
        sysinfo_reset_all_slots();
        calfile_reset_state();
    }
    int32_t read(const std::string& text)
    {
        log_.clear();
        return sb_readCal_bytes(0, text, "hostile.cal");
    }
    SysInfo& slot() { return *sysinfo_slot(0); }
    vptest::LogCapture log_;
};

bool known(int32_t rc) { return rc == NO_ERROR || (rc >= U_ERR_FIRST && rc <= U_ERR_LAST); }

TEST_F(HostileCal, OverlongFirstWordIsCutAtEightyOneCharacters)
{
    EXPECT_EQ(read(std::string(100000, 'q') + " 1\n" + kBase), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(log_.str(), "Error(s) reading system calibration file \"hostile.cal\":\nUnrecognized token \"" +
                              std::string(CALFILE_MAX_WORD, 'q') + "\"\n");
}

TEST_F(HostileCal, OverlongNamesAreCut)
{
    ASSERT_EQ(read(kBase + "InstrName \"" + std::string(1 << 20, 'n') + "\"\nZoom 3\n"), NO_ERROR);
    EXPECT_LE(slot().instrName.view().size(), CALFILE_MAX_WORD);
    EXPECT_EQ(slot().instrName.view().substr(0, 10), std::string(10, 'n'));
}

TEST_F(HostileCal, NumbersBeyondEveryRange)
{
    // Each bad line ends with its line feed: the read goes on and then reports the file invalid.
    EXPECT_EQ(read(kBase + "Zoom 99999999999999999999999\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_NE(log_.str().find("2147483647 out of range [0,255]\n"), std::string::npos);
    EXPECT_EQ(read(kBase + "Zoom -99999999999999999999999\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_NE(log_.str().find("-2147483648 out of range [0,255]\n"), std::string::npos);
    EXPECT_EQ(read(kBase + "ScanCal 1e999\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_NE(log_.str().find("inf out of range [0.85,1.15]\n"), std::string::npos);
    EXPECT_EQ(read(kBase + "ScanCal 1e-999\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(read(kBase + "SdcCal 3 1e999\n"), ERR_SB_CALFILE_INVALID);
    // No text spelling of NaN or infinity is a number here.
    for (const char* v : {"nan", "inf", "-inf", "NaN"}) {
        int32_t rc = read(kBase + "ScanCal " + v + "\n");
        EXPECT_EQ(rc, ERR_SB_CALFILE_INVALID) << v;
        EXPECT_NE(log_.str().find("Error in line 3.\n"), std::string::npos) << v;
    }
    // Periods that add up past every limit.
    EXPECT_EQ(read(kBase + "SleepTimeout 100:100:100\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(read(kBase + "FTPZeroGagePer 100:100:100:100\n"), ERR_SB_CALFILE_INVALID);
}

TEST_F(HostileCal, NulBytesAnywhere)
{
    std::string text = kBase + "InstrName \"a b\"\nZoom 3\nCamera Bad [1,2] [3,4]\nLight HeNe 0.6328\n";
    for (std::size_t at = 0; at <= text.size(); ++at) {
        std::string bad = text;
        bad.insert(at, 1, '\0');
        int32_t rc = read(bad);
        ASSERT_TRUE(known(rc)) << at;
    }
}

TEST_F(HostileCal, TextCutAnywhere)
{
    std::string text = kBase + "InstrName \"a b\"\nPidVals_X fast 1 2 3 4 1 5 0.1 0.2 0.3 0.4\n"
                               "SleepTimeout 1:2:3\nNomMag 1 2\nCamera Trans 1 -3 4\nDynWaveGen 5 10 100\n";
    ASSERT_EQ(read(text), NO_ERROR);
    for (std::size_t n = 0; n < text.size(); ++n) {
        int32_t rc = read(text.substr(0, n));
        ASSERT_TRUE(known(rc)) << n;
    }
}

TEST_F(HostileCal, ManyBadLinesStopAtTenMessages)
{
    std::string text = kBase;
    for (int i = 0; i < 100000; ++i)
        text += "Zoom 999\n";
    // Five bad lines, two messages each: the read stops there, not after 100000 lines, with the
    // status of the line that gave the tenth message.
    EXPECT_EQ(read(text), ERR_SB_CALFILE_VALUE_RANGE);
    std::string log = log_.str();
    EXPECT_NE(log.find("Error in line 7.\n"), std::string::npos);
    EXPECT_EQ(log.find("Error in line 8.\n"), std::string::npos);
}

TEST_F(HostileCal, OneLineUpdatesWithHostileText)
{
    ASSERT_EQ(read(kBase), NO_ERROR);
    for (const std::string& update : std::vector<std::string>{"+", "+ ", "+\"", "+Zoom", "+Zoom 9999999999", "+" + std::string(5000, 'z'),
                               "+Camera Bad " + std::string(200, '['), "+Camera Bad [1,2] [3,4] [5,6] [7,8]"}) {
        log_.clear();
        int32_t rc = sb_readCal(0, update.c_str());
        EXPECT_TRUE(known(rc)) << update;
    }
}

}  // namespace
