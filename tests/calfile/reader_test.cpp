// The calibration file reader: opening, the line loop, error collection and one-line updates.
#include <string>

#include "vell/calfile/writer.h"
#include "vell/platform/dirs.h"
#include "vell/platform/os.h"
#include "tests/calfile/reader_fixture.h"

namespace {

using caltest::kBase;
using caltest::ReaderTest;

TEST_F(ReaderTest, SlotOutsideTheTableIsRefused)
{
    EXPECT_EQ(read(kBase, 4), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(sb_readCal(-1, path().c_str()), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(sb_readCal(4, "+Zoom 1"), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log_.str(), "");
}

TEST_F(ReaderTest, GoodFileFillsTheSlotAndNamesItsPath)
{
    ASSERT_EQ(read("# Vell System Calibration File\n"
                   "InstrName              \"Lab bench 2\"\n"
                   "Model09                12  05  12345  R\n"
                   "Version                Matrox  3  None\n"
                   "Camera Type            XC77CE\n"
                   "Light HeNe             0.632800\n"
                   "\n"
                   "   # indented comment\n"
                   "Zoom 3 trailing words are ignored\n"),
              NO_ERROR)
        << log_.str();
    EXPECT_EQ(log_.str(), "Reading system calibration file: \"" + path() + "\"\n");
    const SysInfo& s = slot();
    EXPECT_STREQ(s.calFilePath.c_str(), path().c_str());
    EXPECT_STREQ(s.instrName.c_str(), "Lab bench 2");
    EXPECT_EQ(s.sysType, SYS_MODEL09);
    EXPECT_EQ(s.dateCode, 1205);
    EXPECT_EQ(s.serialNum, 12345);
    EXPECT_EQ(s.rFlag, 1);
    EXPECT_EQ(s.fgType, FG_MATROX);
    EXPECT_EQ(s.fgBoardNum, 3);
    EXPECT_EQ(s.instrBdType, BD_NONE);
    EXPECT_EQ(s.cameraType, CAM_XC77CE);
    EXPECT_EQ(s.lightType, LIGHT_HENE);
    EXPECT_DOUBLE_EQ(s.wavelength[0][0], 0.6328e-6);
    EXPECT_DOUBLE_EQ(s.wavelength[3][0], 0.6328e-6);  // preset for boards other than CAN
    EXPECT_EQ(s.zoom, 3);
    EXPECT_EQ(calfile_reporting().msg_count, 0);
}

TEST_F(ReaderTest, ReadingResetsTheSlotFirst)
{
    ASSERT_EQ(read(kBase + "Zoom 3\nUnit 4\n"), NO_ERROR);
    ASSERT_EQ(read(kBase + "Unit 2\n"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 0);
    EXPECT_EQ(slot().unit, 2);
}

// What the instrument services keep in the slot at run time outlives every read, failed or not,
// every one-line update and "+DEFAULTS".
TEST_F(ReaderTest, RunTimeStateSurvivesReadsUpdatesAndDefaults)
{
    SysInfo& si = slot(1);
    si.instrOn = 1;
    si.instrBdSwVersion = 42;
    struct step {
        bool file;
        std::string text;
        int32_t rc;
    };
    const step steps[] = {
        {true, kBase + "Unit 3\n", NO_ERROR},
        {true, "Unit 9\n", ERR_SB_CALFILE_INVALID},
        {false, "+Unit 2", NO_ERROR},
        {false, "+Zoom 999", ERR_SB_CALFILE_VALUE_RANGE},
        {false, "+DEFAULTS", NO_ERROR},
    };
    for (const step& s : steps) {
        EXPECT_EQ(s.file ? read(s.text, 1) : update(s.text, 1), s.rc) << s.text;
        EXPECT_EQ(si.instrOn, 1) << s.text;
        EXPECT_EQ(si.instrBdSwVersion, 42) << s.text;
        EXPECT_EQ(si.hostFileDigit, 1) << s.text;
    }
    EXPECT_TRUE(si.cal() == SysCalData{});
    EXPECT_STREQ(si.calFilePath.c_str(), path().c_str());  // "+DEFAULTS" keeps the file's path
}

TEST_F(ReaderTest, EmptyFileIsIncomplete)
{
    EXPECT_EQ(read(""), ERR_SB_CALFILE_INCOMPLETE);
    EXPECT_EQ(messages(), header() + "Missing system type info.\n");
}

TEST_F(ReaderTest, KeywordsMatchInAnyLetterCase)
{
    ASSERT_EQ(read(kBase + "ZOOM 7\n"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 7);
    ASSERT_EQ(read(kBase + "zoom 6\n"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 6);
    ASSERT_EQ(read("mODEL09 12 05 12345\nVERSION MATROX 0 NONE\ncamera TYPE xc77CE\n"), NO_ERROR);
    EXPECT_EQ(slot().fgType, FG_MATROX);
    EXPECT_EQ(slot().cameraType, CAM_XC77CE);
}

TEST_F(ReaderTest, RangeErrorIsReportedWithItsLineNumber)
{
    EXPECT_EQ(read(kBase + "Zoom 256\nUnit 3\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "256 out of range [0,255]\nError in line 3.\n");
    EXPECT_EQ(slot().zoom, 0);
    EXPECT_EQ(slot().unit, 3);  // reading went on
    EXPECT_STREQ(slot().calFilePath.c_str(), path().c_str());
}

TEST_F(ReaderTest, TenMessagesStopTheReadWithThatLinesStatus)
{
    std::string text = kBase;
    for (int i = 0; i < 6; ++i)
        text += "Zoom 300\n";
    text += "Unit 5\n";
    EXPECT_EQ(read(text), ERR_SB_CALFILE_VALUE_RANGE);
    std::string expected = header();
    for (int line = 3; line <= 7; ++line)
        expected += "300 out of range [0,255]\nError in line " + std::to_string(line) + ".\n";
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(calfile_reporting().msg_count, 10);
    EXPECT_EQ(slot().unit, 0);  // never reached
}

TEST_F(ReaderTest, FewerBadLinesGiveInvalid)
{
    std::string text = kBase;
    for (int i = 0; i < 4; ++i)
        text += "Unit 8\n";
    text += "Zoom 5\n";
    EXPECT_EQ(read(text), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(calfile_reporting().msg_count, 8);
    EXPECT_EQ(slot().zoom, 5);
}

TEST_F(ReaderTest, TenthMessageFromAMismatchReturnsItsStatus)
{
    // Eight messages from bad lines; the mismatch message and its line message make ten.
    std::string text = kBase;
    for (int i = 0; i < 4; ++i)
        text += "Unit 8\n";  // 8 messages
    text += "NomMag 1 2\nSysMag 1\n";  // mismatch: 1 message + "Error in line" = 10
    text += "Zoom 5\n";
    EXPECT_EQ(read(text), ERR_SB_CALFILE_INCONSISTENT);
    EXPECT_EQ(calfile_reporting().msg_count, 10);
    EXPECT_EQ(slot().zoom, 0);
}

TEST_F(ReaderTest, LastBadLineEndedByTheEndOfFileGivesItsOwnStatus)
{
    EXPECT_EQ(read(kBase + "Unit 3\nZoom 256"), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(messages(), header() + "256 out of range [0,255]\nError in line 4.\n");
    EXPECT_EQ(read(kBase + "Zoom 256\n"), ERR_SB_CALFILE_INVALID);
}

TEST_F(ReaderTest, GoodLastLineWithoutLineFeedIsRead)
{
    ASSERT_EQ(read(kBase + "Zoom 9"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 9);
}

TEST_F(ReaderTest, UnknownFirstWordEndsTheReadAtOnce)
{
    EXPECT_EQ(read(kBase + "Frobnicate 3\nZoom 4\n"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(messages(), header() + "Unrecognized token \"Frobnicate\"\n");
    EXPECT_EQ(slot().zoom, 0);
}

TEST_F(ReaderTest, KnownWordThatIsNoLineKeywordIsAnUnexpectedToken)
{
    EXPECT_EQ(read(kBase + "none 3\nZoom 4\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "Unexpected token.\nError in line 3.\n");
    EXPECT_EQ(slot().zoom, 4);
    // The words of the table that no line accepts.
    for (const char* w : {"af_gain", "af_ref_adc", "af_ref_gain", "af_thresh", "pr_gain", "pr_offset",
                          "pr_ref_adc", "pr_ref_gain", "pr_thresh", "config", "fast", "[", ","}) {
        EXPECT_EQ(read(kBase + w + " 1\n"), ERR_SB_CALFILE_INVALID) << w;
        EXPECT_EQ(messages(), header() + "Unexpected token.\nError in line 3.\n") << w;
    }
}

TEST_F(ReaderTest, MissingNameGivesOnlyTheLineMessage)
{
    EXPECT_EQ(read(kBase + "InstrName\nZoom 2\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "Error in line 3.\n");
    EXPECT_EQ(read(kBase + "InstrName # comment\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "Error in line 3.\n");
}

TEST_F(ReaderTest, QuotedNamesKeepTheirBlanks)
{
    ASSERT_EQ(read(kBase + "InstrName \"  two words  \"\nInstrComm \"COM 7\"\n"), NO_ERROR);
    EXPECT_STREQ(slot().instrName.c_str(), "  two words  ");
    EXPECT_STREQ(slot().instrComm.c_str(), "COM 7");
    ASSERT_EQ(read(kBase + "InstrName \"\"\n"), NO_ERROR);
    EXPECT_TRUE(slot().instrName.is_set());
    EXPECT_STREQ(slot().instrName.c_str(), "");
}

TEST_F(ReaderTest, MissingClosingQuoteFailsThatLine)
{
    EXPECT_EQ(read(kBase + "InstrName \"never closed\nZoom 2\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "Error in line 3.\n");
    EXPECT_FALSE(slot().instrName.is_set());
    EXPECT_EQ(slot().zoom, 2);
    // At the end of the file the read ends with ERR_EOF.
    EXPECT_EQ(read(kBase + "InstrName \"never closed"), ERR_EOF);
    // An unterminated quote as the first word is an error of that line, not an empty line.
    EXPECT_EQ(read(kBase + "\"Zoom 3\nUnit 1\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "Error in line 3.\n");
}

TEST_F(ReaderTest, EndOfFileInsideArgumentsEndsTheRead)
{
    EXPECT_EQ(read(kBase + "Zoom"), ERR_EOF);
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(read(kBase + "Zoom\n"), ERR_EOF);  // the number is looked for on the next lines
    EXPECT_EQ(read(kBase + "InstrName"), ERR_EOF);
}

TEST_F(ReaderTest, NumberMissingAtLineEndIsTakenFromTheNextLine)
{
    ASSERT_EQ(read(kBase + "Zoom\n4 rest is skipped\nUnit 3\n"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 4);
    EXPECT_EQ(slot().unit, 3);
    // Line numbers stay those of the file.
    EXPECT_EQ(read(kBase + "Zoom\n4\nUnit 9\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "9 out of range [0,7]\nError in line 5.\n");
}

TEST_F(ReaderTest, CarriageReturnLineEndsReadLikeLineFeeds)
{
    ASSERT_EQ(read("Model09 12 05 12345\r\nVersion None 0 None\r\nInstrName \"a b\"\r\nZoom 3\r\n"), NO_ERROR);
    EXPECT_STREQ(slot().instrName.c_str(), "a b");
    EXPECT_EQ(slot().zoom, 3);
}

TEST_F(ReaderTest, MissingFileCannotBeAccessed)
{
    std::string missing = dir_.str("nothing.cal");
    log_.clear();
    EXPECT_EQ(sb_readCal(0, missing.c_str()), ERR_CANT_READ_FILE);
    EXPECT_EQ(log_.str(),
              "Error(s) reading system calibration file \"" + missing + "\":\nCannot access file.\n");
    EXPECT_FALSE(slot().calFilePath.is_set());
}

TEST_F(ReaderTest, FailedOpenLeavesTheSlotUntouched)
{
    ASSERT_EQ(read(kBase + "Zoom 3\n"), NO_ERROR);
    std::string missing = dir_.str("nothing.cal");
    EXPECT_NE(sb_readCal(0, missing.c_str()), NO_ERROR);
    EXPECT_EQ(slot().zoom, 3);
    EXPECT_STREQ(slot().calFilePath.c_str(), path().c_str());
}

TEST_F(ReaderTest, RelativeNameIsFoundInTheCurrentDirectory)
{
    std::error_code ec;
    auto saved = std::filesystem::current_path();
    vptest::write_file(dir_ / "rel.cal", kBase + "Zoom 8\n");
    std::filesystem::current_path(dir_.path());
    log_.clear();
    int32_t rc = sb_readCal(1, "rel.cal");
    std::filesystem::current_path(saved, ec);
    ASSERT_EQ(rc, NO_ERROR) << log_.str();
    EXPECT_EQ(slot(1).zoom, 8);
    std::string p = slot(1).calFilePath.c_str();
    ASSERT_GE(p.size(), 9u);
    EXPECT_EQ(p.substr(p.size() - 7), "rel.cal");
    EXPECT_TRUE(p[p.size() - 8] == '/' || p[p.size() - 8] == '\\') << p;
    EXPECT_EQ(p[0], '.');
}

TEST_F(ReaderTest, NoNameReadsTheDefaultFileOfTheSlot)
{
    // The current directory first, then the configuration directory.
    std::filesystem::create_directory(dir_ / "cfg");
    auto saved_env = os::get_env("RV_CONFIG_DIR");
    os::set_env("RV_CONFIG_DIR", dir_.str("cfg").c_str());
    u_dirs_test_system fake{nullptr, "LAB7", false};
    vptest::write_file(dir_ / "LAB7.2", kBase + "Zoom 22\n");
    vptest::write_file(dir_ / "LAB7.0", kBase + "Zoom 20\n");
    vptest::write_file(dir_ / "cfg" / "LAB7.0", kBase + "Zoom 30\n");
    vptest::write_file(dir_ / "cfg" / "LAB7.3", kBase + "Zoom 33\n");
    std::error_code ec;
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    int32_t rc[4];
    for (int i = 0; i < 4; ++i) {
        u_dirs_reset_for_tests(&fake);  // the per-computer name is fixed by its first use
        slot(i).hostFileDigit = static_cast<uint8_t>(i == 1 ? 2 : i == 2 ? 3 : i == 3 ? 5 : 0);
        if (i == 3)
            log_.clear();
        rc[i] = sb_readCal(i, i == 0 ? "" : nullptr);
    }
    std::filesystem::current_path(saved, ec);
    os::set_env("RV_CONFIG_DIR", saved_env ? saved_env->c_str() : nullptr);
    u_dirs_reset_for_tests();

    EXPECT_EQ(rc[0], NO_ERROR);
    EXPECT_EQ(slot(0).zoom, 20);
    EXPECT_EQ(rc[1], NO_ERROR);
    EXPECT_EQ(slot(1).zoom, 22);
    EXPECT_EQ(rc[2], NO_ERROR);
    EXPECT_EQ(slot(2).zoom, 33);
    EXPECT_EQ(rc[3], ERR_CANT_READ_FILE);
    EXPECT_EQ(log_.str(), "Error(s) reading system calibration file \"LAB7.5\":\nCannot access file.\n");
}

// ---------------------------------------------------------------------------------------------
// One-line updates

TEST_F(ReaderTest, DefaultsUpdateResetsTheSlot)
{
    ASSERT_EQ(read(kBase + "Zoom 3\nRamp Config mine.txt\n"), NO_ERROR);
    EXPECT_EQ(update("+DEFAULTS"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 0);
    EXPECT_EQ(slot().sysType, SYS_UNKNOWN);
    EXPECT_EQ(slot().rampConfig.c_str(), SB_DEFAULT_RAMP_CONFIG);
    EXPECT_EQ(log_.str(), "");
    // Only the exact text resets; "+defaults" is a line that begins with an unknown word.
    EXPECT_EQ(update("+defaults"), ERR_SB_CALFILE_SYNTAX);
}

TEST_F(ReaderTest, UpdateChangesOnlyItsField)
{
    ASSERT_EQ(read(kBase + "Unit 4\nInstrName x\n"), NO_ERROR);
    EXPECT_EQ(update("+Zoom 12"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 12);
    EXPECT_EQ(slot().unit, 4);
    EXPECT_EQ(slot().sysType, SYS_MODEL09);
    EXPECT_STREQ(slot().instrName.c_str(), "x");
    EXPECT_EQ(log_.str(), "");
}

TEST_F(ReaderTest, UpdateFailureReturnsTheLineStatusAndNamesTheText)
{
    EXPECT_EQ(update("+Zoom 300"), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(log_.str(),
              "Error(s) reading system calibration info\n\"+Zoom 300\":\n300 out of range [0,255]\n");
    EXPECT_EQ(slot().zoom, 0);
    EXPECT_EQ(update("+InstrName # none"), ERR_EOL);
    EXPECT_EQ(update("+InstrName"), ERR_EOF);
    EXPECT_EQ(log_.str(), "");  // no "Error in line" for an update
    EXPECT_EQ(update("+Frob"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(log_.str(), "Error(s) reading system calibration info\n\"+Frob\":\nUnrecognized token \"Frob\"\n");
}

// A "+" update is all or nothing: a line that fails leaves every field and sub-record of the
// slot as it was, whatever it had read before the failure.
TEST_F(ReaderTest, RejectedUpdatesChangeNothing)
{
    ASSERT_EQ(read(kBase + "Pifoc 3 0.9 0.01\nNomMag 1 2 5\nSysMag 1 2 5\nCamera Bad [1,2]\n"), NO_ERROR);
    const SysCalData before = slot().cal();
    const PifocInfo* pifoc = slot().pifoc.get();
    struct row {
        const char* text;
        int32_t rc;
    };
    const row rows[] = {
        {"+FTPSys 0.5 2", ERR_SB_CALFILE_VALUE_RANGE},       // would create ftpInfo
        {"+Pifoc 7 0.7 0.001", ERR_SB_CALFILE_VALUE_RANGE},  // beta check after value and coefficient
        {"+SysMag 1 2", ERR_SB_CALFILE_INCONSISTENT},        // count check after the list
        {"+Camera Bad [3,4] [5,800]", ERR_SB_CALFILE_VALUE_RANGE},
        {"+DynWaveGen 1 2 50", ERR_SB_CALFILE_VALUE_RANGE},
        {"+PidVals_X 1 2 3 4 1 5 0.1 0.2 0.3 9", ERR_SB_CALFILE_VALUE_RANGE},
    };
    for (const row& r : rows) {
        EXPECT_EQ(update(r.text), r.rc) << r.text;
        EXPECT_TRUE(slot().cal() == before) << r.text;
        EXPECT_EQ(slot().pifoc.get(), pifoc) << r.text;
    }
    EXPECT_FALSE(slot().ftpInfo);
    EXPECT_FALSE(slot().dynWaveGen);

    // An accepted update changes its fields; a sub-record it changes stays where it was.
    ASSERT_EQ(update("+Pifoc 7 0.95 0.02"), NO_ERROR);
    EXPECT_EQ(slot().pifoc.get(), pifoc);
    EXPECT_EQ(pifoc->value, 7);
    EXPECT_EQ(pifoc->coef, 0.95);
    EXPECT_EQ(pifoc->beta, 0.02);
    ASSERT_EQ(update("+Camera Bad [3,4]"), NO_ERROR);
    EXPECT_EQ(slot().badPixels[1][0], 3);
    EXPECT_EQ(slot().badPixels[2][0], -1);
}

// The FTP lines belong to FTP systems; on another system they are written only when they hold
// data, which leaving them out would lose.
TEST_F(ReaderTest, FtpLinesAreWrittenForFtpSystemsAndForDataOnly)
{
    ASSERT_EQ(read(kBase), NO_ERROR);
    ASSERT_EQ(sysinfo_ensure_ftp_info(slot()), NO_ERROR);
    slot().ftpInfo->materialsPath = "/somewhere/FtpMaterials.txt";  // the loader's, not the file's
    std::string text;
    ASSERT_EQ(calfile_write_text(slot(), text), NO_ERROR);
    EXPECT_EQ(text.find("FTP"), std::string::npos) << text;
    ASSERT_EQ(update("+FTPSys 0.5 0.25 -0.5 2"), NO_ERROR);
    ASSERT_EQ(calfile_write_text(slot(), text), NO_ERROR);
    EXPECT_NE(text.find("\nFTPSys                  0.5  0.25  -0.5  2\n"), std::string::npos) << text;
    ASSERT_EQ(sb_readCal_bytes(1, text, "written"), NO_ERROR) << log_.str();
    EXPECT_EQ(sysinfo_slot(1)->ftpInfo->sys[3], 2.0);
}

TEST_F(ReaderTest, UpdateRunsNoFinalChecks)
{
    // A slot without system type would fail the checks of a file read.
    EXPECT_EQ(update("+Unit 2"), NO_ERROR);
    EXPECT_EQ(update("+"), NO_ERROR);
    EXPECT_EQ(update("+   # nothing"), NO_ERROR);
    EXPECT_EQ(update("+Zoom"), ERR_EOF);
}

TEST_F(ReaderTest, UpdateReadsOnlyItsFirstLine)
{
    EXPECT_EQ(update("+Zoom 5\nUnit 3"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 5);
    EXPECT_EQ(slot().unit, 0);
}

TEST_F(ReaderTest, UpdateAppendsBadPixelsAfterThoseStored)
{
    ASSERT_EQ(read(kBase + "Camera Bad [1,2] [3,4]\n"), NO_ERROR);
    EXPECT_EQ(update("+Camera Bad [5,6]"), NO_ERROR);
    EXPECT_EQ(slot().badPixels[0][0], 1);
    EXPECT_EQ(slot().badPixels[1][1], 4);
    EXPECT_EQ(slot().badPixels[2][0], 5);
    EXPECT_EQ(slot().badPixels[2][1], 6);
    EXPECT_EQ(slot().badPixels[3][0], -1);
    // A full list takes no more.
    std::string line = "+Camera Bad";
    for (int i = 0; i < 37; ++i)
        line += " [7,7]";
    EXPECT_EQ(update(line), NO_ERROR);
    EXPECT_EQ(slot().badPixels[39][0], 7);
    EXPECT_EQ(update("+Camera Bad [8,8]"), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_NE(log_.str().find("Too many camera bad pixels.\n"), std::string::npos);
}

TEST_F(ReaderTest, UpdateOfALineThatDependsOnEarlierLinesUsesTheSlot)
{
    ASSERT_EQ(read(kBase + "NomMag 1 2\n"), NO_ERROR);
    EXPECT_EQ(update("+Camera Trans 1 -5 6"), NO_ERROR);
    EXPECT_EQ(slot().cameraTrans[1][0], -5);
    EXPECT_EQ(slot().cameraTrans[1][1], 6);
}

TEST_F(ReaderTest, RemoteNameIsProcessWide)
{
    EXPECT_EQ(sb_remote_name(), nullptr);
    ASSERT_EQ(read(kBase + "Remote first\n"), NO_ERROR);
    EXPECT_STREQ(sb_remote_name(), "first");
    ASSERT_EQ(update("+Remote \"second one\"", 2), NO_ERROR);
    EXPECT_STREQ(sb_remote_name(), "second one");
}

TEST_F(ReaderTest, ReadingFromMemoryBehavesLikeAFile)
{
    log_.clear();
    EXPECT_EQ(sb_readCal_bytes(0, kBase + "Zoom 256\n", "mem"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(log_.str(),
              "Error(s) reading system calibration file \"mem\":\n256 out of range [0,255]\nError in line 3.\n");
    EXPECT_EQ(sb_readCal_bytes(0, kBase, ""), NO_ERROR);
    EXPECT_EQ(sb_readCal_bytes(9, kBase, ""), ERR_PARAM_OUT_OF_RANGE);
}

}  // namespace
