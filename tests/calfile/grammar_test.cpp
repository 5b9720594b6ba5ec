// The calibration line grammar: arguments, ranges, messages and stored values of every line.
#include <cmath>
#include <string>

#include "tests/calfile/reader_fixture.h"

namespace {

using caltest::kBase;

class GrammarTest : public caltest::ReaderTest {
protected:
    // Reads kBase followed by `line` (line 3) and returns the messages after the header, so a
    // failing line reads "<message>\nError in line 3.\n".
    std::string fails(const std::string& line, int32_t expected = ERR_SB_CALFILE_INVALID)
    {
        int32_t rc = read(kBase + line + "\n");
        EXPECT_EQ(rc, expected) << line << "\n" << log_.str();
        std::string m = messages();
        std::string h = header();
        if (m.compare(0, h.size(), h) == 0)
            m.erase(0, h.size());
        return m;
    }
    void ok(const std::string& text)
    {
        ASSERT_EQ(read(text), NO_ERROR) << text << "\n" << log_.str();
    }
    void ok_line(const std::string& line) { ok(kBase + line + "\n"); }
    // Sets the board (and system type) of slot 0 through one-line updates.
    void board(const char* board_word, const char* sys_line = "Model09 12 05 12345")
    {
        ASSERT_EQ(update("+DEFAULTS"), NO_ERROR);
        ASSERT_EQ(update(std::string("+") + sys_line), NO_ERROR);
        ASSERT_EQ(update(std::string("+Version None 0 ") + board_word), NO_ERROR);
    }
};

const char* const kLine3 = "Error in line 3.\n";

TEST_F(GrammarTest, UnitRange)
{
    ok_line("Unit 7");
    EXPECT_EQ(slot().unit, 7);
    EXPECT_EQ(fails("Unit -1"), std::string("-1 out of range [0,7]\n") + kLine3);
    EXPECT_EQ(fails("Unit x"), kLine3);  // no number: no message of its own
}

TEST_F(GrammarTest, SystemTypeLine)
{
    ok("kivo 99 52 999999\nVersion None 0 None\nInvertData 1\n");
    EXPECT_EQ(slot().sysType, SYS_MODEL13);
    EXPECT_EQ(slot().dateCode, 9952);
    EXPECT_EQ(slot().serialNum, 999999);
    EXPECT_EQ(slot().rFlag, 0);
    ok("tesk 0 1 100 R\nVersion None 0 None\n");
    EXPECT_EQ(slot().sysType, SYS_MODEL07);
    EXPECT_EQ(slot().dateCode, 1);
    EXPECT_EQ(slot().rFlag, 1);
    ok("special 10 10 1000\nVersion None 0 None\n");
    EXPECT_EQ(slot().sysType, SYS_SPECIAL);

    EXPECT_EQ(fails("Model09 12 53 12345"), std::string("53 out of range [1,52]\n") + kLine3);
    EXPECT_EQ(fails("Model09 100 5 12345"), std::string("100 out of range [0,99]\n") + kLine3);
    EXPECT_EQ(fails("Model09 12 5 99"), std::string("99 out of range [100,999999]\n") + kLine3);
    EXPECT_EQ(fails("Model09 12 5 1000 r"), std::string("Unrecognized string.\n") + kLine3);
    EXPECT_EQ(fails("Model09 12 5 1000 Rx"), std::string("Unrecognized string.\n") + kLine3);
    EXPECT_EQ(fails("Model09 12 5 1000 7"), std::string("Expected non-numeric string.\n") + kLine3);
    EXPECT_EQ(fails("Model09 12 5 1000 \"R\""), std::string("Expected non-numeric string.\n") + kLine3);
}

TEST_F(GrammarTest, VersionLine)
{
    ok("Model09 12 05 12345\nVersion PC2Vision 99999 notneeded\nCamera Type a504k\n");
    EXPECT_EQ(slot().fgType, FG_PC2VISION);
    EXPECT_EQ(slot().fgBoardNum, 99999);  // held whole, no wrap into 8 bits
    EXPECT_EQ(slot().instrBdType, BD_NOTNEEDED);
    ok("Model09 12 05 12345\nVersion Matrox 255 None\nCamera Type xc77\n");
    EXPECT_EQ(slot().fgBoardNum, 255);
    ok("Model09 12 05 12345\nVersion Matrox 128 None\nCamera Type xc77\n");
    EXPECT_EQ(slot().fgBoardNum, 128);

    EXPECT_EQ(fails("Version Matrox 100000 None"), std::string("100000 out of range [0,99999]\n") + kLine3);
    EXPECT_EQ(fails("Version Zoom 1 None"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Version Matrox 1 Board02"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Version Matrox 1"), std::string("Unexpected end-of-line.\n") + kLine3);
    EXPECT_EQ(read(kBase + "Version Matrox 1"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(messages(), header() + "Unexpected end-of-file.\nError in line 3.\n");
    // An incomplete Version line does not count as given.
    EXPECT_EQ(read("Model09 12 05 12345\nVersion Matrox 1 Board02\n"), ERR_SB_CALFILE_INVALID);
}

TEST_F(GrammarTest, MacAddressCreatesTheCanRecord)
{
    ok("Model17 12 05 12345\nVersion None 0 CAN\nMacAddress 00 1a 2B ff 0 9\nLLC Target 100\n");
    ASSERT_NE(slot().canInfo, nullptr);
    const uint8_t expected[6] = {0x00, 0x1A, 0x2B, 0xFF, 0x00, 0x09};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(slot().canInfo->macAddress[i], expected[i]) << i;
    EXPECT_EQ(slot().canInfo->ipAddress[0], 255);

    EXPECT_EQ(fails("MacAddress 00 11 22 33 44 1FF"), std::string("511 out of range [0,255]\n") + kLine3);
    EXPECT_EQ(fails("MacAddress 00 11 22 33 44 zz"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("MacAddress 00 11 22 33 44"), kLine3);  // ERR_EOL
}

int g_calls = 0;
void* failing_calloc(std::size_t, std::size_t)
{
    ++g_calls;
    return nullptr;
}

TEST_F(GrammarTest, SubRecordThatCannotBeCreatedEndsTheRead)
{
    const char* lines[] = {"MacAddress 1 2 3 4 5 6", "FTPDmiScale 2",       "HxiEncZoomConfig 3",
                           "PidVals_X 1 2 3 4 1 5 0.1 0.2 0.3 0.4", "Pifoc 5", "PztId 5",
                           "PifocType 1",                 "DynWaveGen 1 2 0"};
    for (const char* line : lines) {
        u_hooks.calloc = failing_calloc;
        EXPECT_EQ(read(kBase + line + "\nZoom 3\n"), ERR_NO_MEM) << line;
        u_hooks_reset();
        EXPECT_EQ(messages(), "") << line;
        EXPECT_EQ(slot().zoom, 0) << line;
    }
}

TEST_F(GrammarTest, InstrCommAndRampConfig)
{
    ok_line("InstrComm COM3\nRamp Config my_ramps.txt");
    EXPECT_STREQ(slot().instrComm.c_str(), "COM3");
    EXPECT_STREQ(slot().rampConfig.c_str(), "my_ramps.txt");
    EXPECT_FALSE(slot().rampConfig.is_default());
    ok_line("Ramp Configuration a.txt\nRamp Config b.txt");
    EXPECT_STREQ(slot().rampConfig.c_str(), "b.txt");
    EXPECT_EQ(fails("Ramp Type a.txt"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Ramp"), std::string("Unexpected end-of-line.\n") + kLine3);
    EXPECT_EQ(fails("Ramp frob"), std::string("Unexpected token.\n") + kLine3);
}

TEST_F(GrammarTest, AdcClock)
{
    ok_line("ADC Clock 511");
    EXPECT_EQ(slot().adcClock, 511);
    EXPECT_EQ(fails("ADC Clock 512"), std::string("512 out of range [0,511]\n") + kLine3);
    EXPECT_EQ(fails("ADC Dark 5"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("ADC"), std::string("Unexpected end-of-line.\n") + kLine3);
    EXPECT_EQ(fails("ADC frob"), std::string("Unexpected token.\n") + kLine3);
}

TEST_F(GrammarTest, CameraSimpleLines)
{
    ok_line("Camera Dark 32767\nCamera Align TopLeft\nCamera Options 268435455\nCamera Pll 0\n"
            "Camera Period anything at all 1 2 3\nCamera SplitY 2047 10");
    const SysInfo& s = slot();
    EXPECT_EQ(s.cameraDark, 32767);
    EXPECT_EQ(s.cameraAlign, ALIGN_TOPLEFT);
    EXPECT_EQ(s.cameraOptions, 268435455);
    EXPECT_EQ(s.cameraPll, 0);
    EXPECT_EQ(s.splitAxis, 2);
    EXPECT_EQ(s.splitValue[0], 2047);
    EXPECT_EQ(s.splitValue[1], 10);
    ok_line("Camera SplitX 1 0");
    EXPECT_EQ(slot().splitAxis, 1);

    EXPECT_EQ(fails("Camera Dark 32768"), std::string("32768 out of range [0,32767]\n") + kLine3);
    EXPECT_EQ(fails("Camera Align middle"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Camera Align Type"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Camera Options 268435456"), std::string("268435456 out of range [0,268435455]\n") + kLine3);
    EXPECT_EQ(fails("Camera Pll 2"), std::string("2 out of range [0,1]\n") + kLine3);
    EXPECT_EQ(fails("Camera SplitX 0 1"), std::string("0 out of range [1,2047]\n") + kLine3);
    EXPECT_EQ(fails("Camera SplitX 1 11"), std::string("11 out of range [0,10]\n") + kLine3);
    EXPECT_EQ(fails("Camera Clock 1"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Camera"), std::string("Unexpected end-of-line.\n") + kLine3);
    EXPECT_EQ(read(kBase + "Camera"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(messages(), header() + "Unexpected end-of-file.\nError in line 3.\n");
}

TEST_F(GrammarTest, CameraType)
{
    ok_line("Camera Type DGFLY1024");
    EXPECT_EQ(slot().cameraType, CAM_DGFLY1024);
    EXPECT_EQ(fails("Camera Type infracama"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Camera Type"), std::string("Unexpected end-of-line.\n") + kLine3);
    // A number after a camera other than Custom is ignored as the rest of the line.
    ok_line("Camera Type basler 7");
    EXPECT_EQ(slot().cameraType, CAM_BASLER);
}

TEST_F(GrammarTest, CustomCameraOnBoard01AndFtp)
{
    for (const char* b : {"Board01", "FTP"}) {
        board(b);
        EXPECT_EQ(update("+Camera Type Custom"), NO_ERROR);
        EXPECT_EQ(log_.str(), "Setting interlaceFlag to 0\n");
        const uint8_t expected[10] = {0, 0, 0, 1, 0, 1, 1, 0, 1, 1};
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(slot().cameraConfig[i], expected[i]) << b << " byte " << i + 1;
        EXPECT_EQ(slot().cameraType, CAM_CUSTOM);
        EXPECT_EQ(update("+Camera Type custom 1"), NO_ERROR);
        EXPECT_EQ(slot().interlaceFlag(), 1);
        EXPECT_EQ(log_.str(), "Setting interlaceFlag to 1\n");
        EXPECT_EQ(update("+Camera Type custom 2"), ERR_SB_CALFILE_VALUE_RANGE);
        EXPECT_EQ(update("+Camera Type custom x"), ERR_SB_CALFILE_SYNTAX);
        EXPECT_EQ(log_.str(), "");  // no message of its own, no "Setting" line
    }
}

TEST_F(GrammarTest, CustomCameraOnHxiAndModel31)
{
    for (const char* b : {"HXI", "Model31"}) {
        board(b);
        slot().cameraConfig[9] = 1;
        EXPECT_EQ(update("+Camera Type Custom"), NO_ERROR);
        EXPECT_EQ(log_.str(), "Setting fieldCtrl to 0\n");
        EXPECT_EQ(slot().interlaceFlag(), 1);
        EXPECT_EQ(slot().cameraConfig[1], 5);
        EXPECT_EQ(slot().fieldCtrl(), 0);
        EXPECT_EQ(update("+Camera Type Custom 1"), NO_ERROR);
        EXPECT_EQ(slot().fieldCtrl(), 1);
        EXPECT_EQ(slot().interlaceFlag(), 1);
        EXPECT_EQ(log_.str(), "Setting fieldCtrl to 1\n");
    }
}

TEST_F(GrammarTest, CustomCameraOnCanAndNotNeeded)
{
    for (const char* b : {"CAN", "NOTNEEDED"}) {
        board(b);
        slot().cameraConfig[9] = 1;
        EXPECT_EQ(update("+Camera Type Custom 1 # comment"), NO_ERROR);
        EXPECT_EQ(log_.str(), "");
        EXPECT_EQ(slot().fieldCtrl(), 0);
        EXPECT_EQ(slot().interlaceFlag(), 1);
    }
}

TEST_F(GrammarTest, CustomCameraOnOtherBoards)
{
    for (const char* b : {"None", "Model13"}) {
        board(b);
        EXPECT_EQ(update("+Camera Type Custom"), ERR_SB_CALFILE_SYNTAX);
        EXPECT_NE(log_.str().find("\nUnexpected token.\n"), std::string::npos) << log_.str();
    }
}

TEST_F(GrammarTest, CameraConfigByBoard)
{
    board("HXI");
    EXPECT_EQ(update("+Camera Config 1 15"), NO_ERROR);
    EXPECT_EQ(slot().cameraConfig[0], 1);
    EXPECT_EQ(slot().cameraConfig[1], 15);
    EXPECT_EQ(update("+Camera Config 1 16"), ERR_SB_CALFILE_VALUE_RANGE);

    board("Board01");
    EXPECT_EQ(update("+Camera Configuration 1 0 3 1 0 1 0 1"), NO_ERROR);
    // Bytes 3, 4, 5, 6, 7, 9, 8, 10.
    const uint8_t expected[10] = {0, 0, 1, 0, 3, 1, 0, 0, 1, 1};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(slot().cameraConfig[i], expected[i]) << "byte " << i + 1;
    EXPECT_EQ(update("+Camera Config 1 0 4 1 0 1 0 1"), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_NE(log_.str().find("4 out of range [0,3]"), std::string::npos);
    EXPECT_EQ(update("+Camera Config 1 0 3 1 0 1 0"), ERR_EOF);

    board("CAN");
    EXPECT_EQ(update("+Camera Config 1 1"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_NE(log_.str().find("Unexpected token."), std::string::npos);
}

TEST_F(GrammarTest, CameraFileNames)
{
    ok_line("Camera File first.dat NULL third.dat fourth five six");
    const SysInfo& s = slot();
    EXPECT_STREQ(s.cameraFile[0].c_str(), "first.dat");
    EXPECT_FALSE(s.cameraFile[1].is_set());
    EXPECT_STREQ(s.cameraFile[2].c_str(), "third.dat");
    EXPECT_STREQ(s.cameraFile[5].c_str(), "six");
    ok_line("Camera File \"with blank.dat\" NULL NULL");
    EXPECT_STREQ(slot().cameraFile[0].c_str(), "with blank.dat");
    EXPECT_FALSE(slot().cameraFile[1].is_set());
    EXPECT_STREQ(slot().cameraFile[2].c_str(), "NULL");  // only the second name may be NULL
    // A new line clears all six names first.
    ok_line("Camera File a b c d e f\nCamera File only");
    EXPECT_STREQ(slot().cameraFile[0].c_str(), "only");
    for (int i = 1; i < 6; ++i)
        EXPECT_FALSE(slot().cameraFile[i].is_set());

    EXPECT_EQ(fails("Camera File a b c d e f g"), std::string("Too many camera file names.\n") + kLine3);
    EXPECT_EQ(fails("Camera File a 2nd"), std::string("Expected non-numeric string.\n") + kLine3);
    EXPECT_EQ(fails("Camera File"), kLine3);
}

TEST_F(GrammarTest, CameraBadPixels)
{
    ok_line("Camera Bad [0,0] [700,484]\nCamera BPixels [ 5 , 6 ]  [7,8]");
    const SysInfo& s = slot();
    EXPECT_EQ(s.badPixels[0][0], 0);
    EXPECT_EQ(s.badPixels[1][0], 700);
    EXPECT_EQ(s.badPixels[1][1], 484);
    EXPECT_EQ(s.badPixels[2][0], 5);  // appended after the first line's pairs
    EXPECT_EQ(s.badPixels[3][1], 8);
    EXPECT_EQ(s.badPixels[4][0], -1);
    ok_line("Camera Bad");
    EXPECT_EQ(slot().badPixels[0][0], -1);

    std::string forty = "Camera Bad";
    for (int i = 0; i < 40; ++i)
        forty += " [" + std::to_string(i) + ",1]";
    ok_line(forty);
    EXPECT_EQ(slot().badPixels[39][0], 39);
    EXPECT_EQ(fails(forty + " [1,1]"), std::string("Too many camera bad pixels.\n") + kLine3);
    EXPECT_EQ(fails(forty + "\nCamera Bad [1,1]").substr(0, 28), "Too many camera bad pixels.\n");

    EXPECT_EQ(fails("Camera Bad [701,1]"), std::string("701 out of range [0,700]\n") + kLine3);
    EXPECT_EQ(fails("Camera Bad [1,485]"), std::string("485 out of range [0,484]\n") + kLine3);
    EXPECT_EQ(fails("Camera Bad [1;2]"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("Camera Bad [1,2) "), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("Camera Bad 1,2"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("Camera Bad [1,2] x"), std::string("Syntax error.\n") + kLine3);
}

TEST_F(GrammarTest, CameraBpix)
{
    ok_line("Camera Bpix 1 pixels.dat");
    EXPECT_EQ(slot().bpixFileFlag, 1);
    EXPECT_STREQ(slot().bpixFileName.c_str(), "pixels.dat");
    ok_line("Camera Bpix 0");
    EXPECT_EQ(slot().bpixFileFlag, 0);
    EXPECT_FALSE(slot().bpixFileName.is_set());
    EXPECT_EQ(fails("Camera Bpix 2"), std::string("2 out of range [0,1]\n") + kLine3);
    EXPECT_EQ(fails("Camera Bpix 1 9.dat"), std::string("Expected non-numeric string.\n") + kLine3);
}

TEST_F(GrammarTest, CameraTransNeedsMagnificationsFirst)
{
    EXPECT_EQ(fails("Camera Trans 0 1 2\nZoom 3"),
              "A NomMag or SysMag specification must appear\nbefore a Camera Trans specification.\n" +
                  std::string(kLine3));
    EXPECT_EQ(slot().cameraTrans[0][0], 0);
    EXPECT_EQ(slot().zoom, 3);
    ok_line("NomMag 1 2 5\nCamera Trans 14 -2047 2047");
    EXPECT_EQ(slot().cameraTrans[14][0], -2047);
    EXPECT_EQ(slot().cameraTrans[14][1], 2047);
    ok_line("SysMag 1\nCamera Trans 0 5 6");
    EXPECT_EQ(slot().cameraTrans[0][1], 6);
    EXPECT_EQ(fails("NomMag 1\nCamera Trans 15 0 0"), "15 out of range [0,14]\nError in line 4.\n");
    EXPECT_EQ(fails("NomMag 1\nCamera Trans 1 0 2048"), "2048 out of range [-2047,2047]\nError in line 4.\n");
}

TEST_F(GrammarTest, LightPresetsBySystemAndBoard)
{
    auto wl = [&](int i) { return slot().wavelength[i][0]; };
    board("None", "tesk 12 05 12345");
    EXPECT_EQ(update("+Light White 1.5"), NO_ERROR);
    EXPECT_DOUBLE_EQ(wl(0), 1.5e-6);
    EXPECT_EQ(wl(1), 0.0);

    board("None", "tesk 12 05 12345");
    EXPECT_EQ(update("+Light HeNe"), NO_ERROR);  // HeNe needs no value
    EXPECT_DOUBLE_EQ(wl(0), 0.655e-6);
    EXPECT_EQ(wl(3), 0.0);

    board("Model13");
    EXPECT_EQ(update("+Light HeNe"), NO_ERROR);
    EXPECT_DOUBLE_EQ(wl(0), 12.75e-6);
    EXPECT_EQ(wl(1), 0.0);

    board("FTP");
    EXPECT_EQ(update("+Light HeNe"), NO_ERROR);
    EXPECT_DOUBLE_EQ(wl(0), 9e-6);

    board("Board01");
    EXPECT_EQ(update("+Light HeNe"), NO_ERROR);
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(wl(i), 0.6328e-6);
        EXPECT_EQ(slot().wavelength[i][1], 0.0);
    }

    board("CAN");
    slot().wavelength[2][0] = 5e-7;
    EXPECT_EQ(update("+Light HeNe"), NO_ERROR);
    EXPECT_DOUBLE_EQ(wl(0), 632.8e-9);  // the defaults stay: nothing preset
    EXPECT_DOUBLE_EQ(wl(2), 5e-7);
}

TEST_F(GrammarTest, LightValues)
{
    ok_line("Light LED 0.1 [15,1] [0.5, 0.02] 2 3 more");
    const SysInfo& s = slot();
    EXPECT_EQ(s.lightType, LIGHT_LED);
    EXPECT_DOUBLE_EQ(s.wavelength[0][0], 0.1e-6);
    EXPECT_DOUBLE_EQ(s.wavelength[1][0], 15e-6);
    EXPECT_DOUBLE_EQ(s.wavelength[1][1], 1e-6);
    EXPECT_DOUBLE_EQ(s.wavelength[2][0], 0.5e-6);
    EXPECT_DOUBLE_EQ(s.wavelength[2][1], 0.02e-6);
    EXPECT_DOUBLE_EQ(s.wavelength[3][0], 2e-6);
    ok_line("Light Special 1");
    EXPECT_EQ(slot().lightType, LIGHT_SPECIAL);

    EXPECT_EQ(fails("Light Diode"), std::string("At least one wavelength value required.\n") + kLine3);
    EXPECT_EQ(fails("Light Diode 0.09"), std::string("0.09 out of range [0.1,15]\n") + kLine3);
    EXPECT_EQ(fails("Light Diode [1,1.5]"), std::string("1.5 out of range [0,1]\n") + kLine3);
    EXPECT_EQ(fails("Light Diode [1;1]"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("Light Diode x"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("Light Laser 1"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("Light"), std::string("Unexpected end-of-line.\n") + kLine3);
}

TEST_F(GrammarTest, LlcLines)
{
    ok_line("LLC AlignModePct 55.5\nLLC AvgCurLimit 1 1000 3 4\nLLC FwdVoltage 10000 2\n"
            "LLC Config 2 4\nLLC Freq 1000000\nLLC Options 7\nLLC Target 64\n"
            "LLC Range 65535 1 4096 0\nLLC Instr dd100mc_b \"COM 4\"");
    const SysInfo& s = slot();
    EXPECT_FLOAT_EQ(s.light[0].alignModePct, 55.5f);
    EXPECT_FLOAT_EQ(s.light[1].alignModePct, 55.5f);
    EXPECT_EQ(s.light[0].avgCurLimit[0], 1);
    EXPECT_EQ(s.light[0].avgCurLimit[1], 1000);
    EXPECT_EQ(s.light[1].avgCurLimit[0], 3);
    EXPECT_EQ(s.light[1].avgCurLimit[1], 4);
    EXPECT_EQ(s.light[0].fwdVoltage[0], 10000);
    EXPECT_EQ(s.light[0].fwdVoltage[1], 2);
    EXPECT_EQ(s.light[1].fwdVoltage[0], 0);
    EXPECT_EQ(s.light[0].config, 3);  // bit 0 always set
    EXPECT_EQ(s.light[1].config, 5);
    EXPECT_EQ(s.light[0].freq, 1000000);
    EXPECT_EQ(s.light[1].freq, 1000000);
    EXPECT_EQ(s.llcOptions, 7);
    EXPECT_EQ(s.light[0].target, 64);
    EXPECT_EQ(s.light[1].target, 0);
    EXPECT_EQ(s.light[0].rangeLow, 65535);
    EXPECT_EQ(s.light[0].rangeHigh, 1);
    EXPECT_EQ(s.light[1].rangeLow, 4096);
    EXPECT_EQ(s.light[1].rangeHigh, 0);
    EXPECT_EQ(s.llcInstrType, LLC_INSTR_DD100MC_B);
    EXPECT_STREQ(s.llcInstrName.c_str(), "COM 4");
    ok_line("LLC Config 0\nLLC Instr model13");
    EXPECT_EQ(slot().light[0].config, 1);
    EXPECT_EQ(slot().light[1].config, 0);
    EXPECT_EQ(slot().llcInstrType, LLC_INSTR_MODEL13);
    EXPECT_FALSE(slot().llcInstrName.is_set());

    EXPECT_EQ(fails("LLC AlignModePct 100.5"), std::string("100.5 out of range [0,100]\n") + kLine3);
    EXPECT_EQ(fails("LLC AvgCurLimit 1001 0"), std::string("1001 out of range [0,1000]\n") + kLine3);
    // The fourth value is required with the third; it is looked for on the next line.
    EXPECT_EQ(fails("LLC AvgCurLimit 1 2 3\nZoom 1"), kLine3);
    EXPECT_EQ(read(kBase + "LLC AvgCurLimit 1 2 3\n"), ERR_EOF);
    EXPECT_EQ(fails("LLC FwdVoltage 1 10001"), std::string("10001 out of range [0,10000]\n") + kLine3);
    EXPECT_EQ(fails("LLC Config 256"), std::string("256 out of range [0,255]\n") + kLine3);
    EXPECT_EQ(fails("LLC Freq 1000001"), std::string("1000001 out of range [0,1000000]\n") + kLine3);
    EXPECT_EQ(fails("LLC Instr none x"), kLine3);  // no message of its own
    EXPECT_EQ(fails("LLC Instr dd100mc"), kLine3);  // the name is required
    EXPECT_EQ(fails("LLC Options 268435456"), std::string("268435456 out of range [0,268435455]\n") + kLine3);
    EXPECT_EQ(fails("LLC Range 0 65536"), std::string("65536 out of range [0,65535]\n") + kLine3);
    EXPECT_EQ(fails("LLC Range 0 1 4097 0"), std::string("4097 out of range [0,4096]\n") + kLine3);
    EXPECT_EQ(fails("LLC Target 63"), std::string("63 out of range [64,255]\n") + kLine3);
    EXPECT_EQ(fails("LLC Target 256"), std::string("256 out of range [64,255]\n") + kLine3);
    EXPECT_EQ(fails("LLC Clock 1"), std::string("Unexpected token.\n") + kLine3);
}

TEST_F(GrammarTest, PztAndPifoc)
{
    ok_line("PztPwr -1\nPifoc 999999 2 0.1\nPifocPolarity -1\nPifocType 2");
    const SysInfo& s = slot();
    EXPECT_EQ(s.pztPwr, -1);
    ASSERT_NE(s.pifoc, nullptr);
    EXPECT_EQ(s.pifoc->value, 999999);
    EXPECT_DOUBLE_EQ(s.pifoc->coef, 2.0);
    EXPECT_DOUBLE_EQ(s.pifoc->beta, 0.1);
    EXPECT_EQ(s.pifocPolarity, -1);
    EXPECT_EQ(s.pifoc->type, 2);

    ok_line("Pifoc 12");
    EXPECT_DOUBLE_EQ(slot().pifoc->coef, 0.928655);
    EXPECT_DOUBLE_EQ(slot().pifoc->beta, 0.0144);
    ok_line("Pifoc 12 1.5 0");  // a beta of 0 is accepted
    EXPECT_DOUBLE_EQ(slot().pifoc->beta, 0.0);
    EXPECT_DOUBLE_EQ(slot().pifoc->coef, 1.5);
    ok_line("PztId 99999");
    EXPECT_EQ(slot().pifoc->value, 99999);
    EXPECT_DOUBLE_EQ(slot().pifoc->coef, 0.928655);
    EXPECT_DOUBLE_EQ(slot().pifoc->beta, 0.0144);

    EXPECT_EQ(fails("Pifoc 12 1.5 0.001"),
              std::string("Beta = 0.001 is non-zero and is not in range [0.005,0.1]\n") + kLine3);
    EXPECT_EQ(fails("Pifoc 12 1.5 0.2"), std::string("0.2 out of range [0,0.1]\n") + kLine3);
    EXPECT_EQ(fails("Pifoc 12 0.4 0.01"), std::string("0.4 out of range [0.5,2]\n") + kLine3);
    EXPECT_EQ(fails("Pifoc 1000000"), std::string("1000000 out of range [0,999999]\n") + kLine3);
    EXPECT_EQ(fails("PztId 100000"), std::string("100000 out of range [0,99999]\n") + kLine3);
    EXPECT_EQ(fails("PztPwr 1001"), std::string("1001 out of range [-1,1000]\n") + kLine3);
    EXPECT_EQ(fails("PifocPolarity 2"), std::string("2 out of range [-1,1]\n") + kLine3);
    EXPECT_EQ(fails("PifocType 3"), std::string("3 out of range [0,2]\n") + kLine3);
}

TEST_F(GrammarTest, Magnifications)
{
    ok_line("NomMag 1 2.5 100\nSysMag 0 0.5 1");
    const SysInfo& s = slot();
    EXPECT_EQ(s.numMags, 3);
    EXPECT_DOUBLE_EQ(s.nomMag[1], 2.5);
    EXPECT_DOUBLE_EQ(s.nomMag[2], 100);
    EXPECT_DOUBLE_EQ(s.sysMag[1], 0.5);

    std::string fifteen = "NomMag";
    for (int i = 1; i <= 15; ++i)
        fifteen += " " + std::to_string(i);
    ok_line(fifteen);
    EXPECT_EQ(slot().numMags, 15);
    EXPECT_EQ(fails(fifteen + " 16"), std::string("Too many NomMag or SysMag values.\n") + kLine3);
    EXPECT_EQ(fails("NomMag x"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("SysMag"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("NomMag 101"), std::string("101 out of range [0,100]\n") + kLine3);
    EXPECT_EQ(fails("NomMag 1 2\nSysMag 1 2 3", ERR_SB_CALFILE_INVALID),
              "The number of NomMag values and\nthe number of SysMag values are mismatched.\nError in line 4.\n");
    // A repeated line first clears its list.
    ok_line("SysMag 5 6\nSysMag 7 8");
    EXPECT_DOUBLE_EQ(slot().sysMag[0], 7);
    ok_line("NomMag 1 2 3\nNomMag 4 5 6");
    EXPECT_DOUBLE_EQ(slot().nomMag[2], 6);
}

TEST_F(GrammarTest, FtpSimpleLines)
{
    ok_line("FTPMaterials mats.txt\nFTPSys 0 1 -1 10\nFTPDmiScale 2.5\nFTPImageRot 1\n"
            "FTPZeroPtPos -10 10\nFTPLog log.txt 2000 1000.9");
    ASSERT_NE(slot().ftpInfo, nullptr);
    const FtpInfo& f = *slot().ftpInfo;
    EXPECT_EQ(f.materialsFile, "mats.txt");
    EXPECT_EQ(f.sys[0], 0);
    EXPECT_EQ(f.sys[2], -1);
    EXPECT_EQ(f.sys[3], 10);
    EXPECT_EQ(f.dmiScale, 2.5);
    EXPECT_EQ(f.imageRot, 1);
    EXPECT_EQ(f.zeroPtPos[0], -10);
    EXPECT_EQ(f.zeroPtPos[1], 10);
    EXPECT_EQ(f.logFile, "log.txt");
    EXPECT_EQ(f.logSizeLimit, 2000);
    EXPECT_EQ(f.logKeepSize, 1000);  // truncated
    ok_line("FTPLog other.txt\nFTPZeroPtPos 1");
    EXPECT_EQ(slot().ftpInfo->logSizeLimit, 1000000);
    EXPECT_EQ(slot().ftpInfo->logKeepSize, 500000);
    EXPECT_TRUE(std::isinf(slot().ftpInfo->zeroPtPos[1]));

    EXPECT_EQ(fails("FTPSys 0 1 -1.5 1"), std::string("-1.5 out of range [-1,1]\n") + kLine3);
    EXPECT_EQ(fails("FTPDmiScale 1.4"), std::string("1.4 out of range [1.5,2.5]\n") + kLine3);
    EXPECT_EQ(fails("FTPImageRot 2"), std::string("2 out of range [0,1]\n") + kLine3);
    EXPECT_EQ(fails("FTPZeroPtPos 0 11"), std::string("11 out of range [-10,10]\n") + kLine3);
    EXPECT_EQ(fails("FTPLog x -1"), std::string("-1 out of range [0,2.14748e+09]\n") + kLine3);
}

TEST_F(GrammarTest, FtpDispersionAndK0)
{
    EXPECT_EQ(fails("FTPDisper 0 1 2"),
              "A NomMag or SysMag specification must appear\nbefore an FTPDisper or FTPAvg_K0 specification.\n" +
                  std::string(kLine3));
    EXPECT_EQ(fails("FTPAvg_K0 0 1 2"),
              "A NomMag or SysMag specification must appear\nbefore an FTPDisper or FTPAvg_K0 specification.\n" +
                  std::string(kLine3));
    ok_line("NomMag 1 2\nFTPDisper 1 -6.283185307179586 0 1 2 3 4 5 6 6.2 6.283185307179586\n"
            "FTPAvg_K0 14 0 100\nFTPAvgK0 13 5 6 7");
    const FtpInfo& f = *slot().ftpInfo;
    EXPECT_DOUBLE_EQ(f.mag[1].disper[0], -6.283185307179586);
    EXPECT_DOUBLE_EQ(f.mag[1].disper[9], 6.283185307179586);
    EXPECT_EQ(f.mag[14].avgK0[1], 100);
    EXPECT_TRUE(std::isinf(f.mag[14].avgK0[2]));
    EXPECT_EQ(f.mag[13].avgK0[2], 7);
    // A later line gives the whole list of its magnification.
    ok_line("NomMag 1\nFTPDisper 0 1 2 3 4\nFTPDisper 0 5 6");
    EXPECT_EQ(slot().ftpInfo->mag[0].disper[1], 6);
    EXPECT_TRUE(std::isinf(slot().ftpInfo->mag[0].disper[2]));

    const std::string mag = "NomMag 1\n";
    const std::string line4 = "Error in line 4.\n";
    EXPECT_EQ(fails(mag + "FTPDisper 0 1 2 3 4 5 6 1 2 3 4 5"), "Too many FTPDisper or FTPAvg_K0 values.\n" + line4);
    EXPECT_EQ(fails(mag + "FTPDisper 0 1"), "Not enough FTPDisper or FTPAvg_K0 values.\n" + line4);
    EXPECT_EQ(fails(mag + "FTPAvg_K0 0 x"), "Expected number.\n" + line4);
    EXPECT_EQ(fails(mag + "FTPDisper 0 1 7"), "7 out of range [-6.28319,6.28319]\n" + line4);
    EXPECT_EQ(fails(mag + "FTPAvg_K0 0 1 -1"), "-1 out of range [0,100]\n" + line4);
    EXPECT_EQ(fails(mag + "FTPDisper 15 1 2"), "15 out of range [0,14]\n" + line4);
}

TEST_F(GrammarTest, FtpCentres)
{
    EXPECT_EQ(fails("FTPDmiCenter 0 1 2"),
              "A NomMag or SysMag specification must appear\nbefore an FTPDmiCenter specification.\n" +
                  std::string(kLine3));
    EXPECT_EQ(fails("FTPTiltCenter 0 1 2"),
              "A NomMag or SysMag specification must appear\nbefore an FTPTiltCenter specification.\n" +
                  std::string(kLine3));
    ok_line("SysMag 1\nFTPDmiCenter 3 -100 100\nFTPTiltCenter 14 1.5 -2.5");
    const FtpInfo& f = *slot().ftpInfo;
    EXPECT_EQ(f.mag[3].dmiCenter[0], -100.0f);
    EXPECT_EQ(f.mag[3].dmiCenter[1], 100.0f);
    EXPECT_EQ(f.mag[14].tiltCenter[0], 1.5f);
    EXPECT_EQ(f.mag[14].tiltCenter[1], -2.5f);
    EXPECT_EQ(fails("SysMag 1\nFTPDmiCenter 0 0 100.5"), "100.5 out of range [-100,100]\nError in line 4.\n");
}

TEST_F(GrammarTest, FtpPeriods)
{
    ok_line("FTPZeroGagePer 1:02:03:04\nFTPTemperature 0:00:30:00   1.25");
    const FtpInfo& f = *slot().ftpInfo;
    EXPECT_EQ(f.zeroGagePeriod, 86400 + 2 * 3600 + 3 * 60 + 4);
    EXPECT_EQ(f.temperaturePeriod, 1800);
    EXPECT_DOUBLE_EQ(f.temperatureValue, 1.25);
    ok_line("FTPSysInitPer 2");
    EXPECT_EQ(slot().ftpInfo->zeroGagePeriod, 2 * 86400);
    ok_line("FTPZeroGagePer 0:0:1.5");
    EXPECT_EQ(slot().ftpInfo->zeroGagePeriod, 90);
    ok_line("FTPZeroGagePer 100");  // 8640000 s is the largest period
    EXPECT_EQ(slot().ftpInfo->zeroGagePeriod, 8640000);

    EXPECT_EQ(fails("FTPZeroGagePer 100:0:0:1"), std::string("Value out-of-range.\n") + kLine3);
    EXPECT_EQ(fails("FTPZeroGagePer 1:101"), std::string("101 out of range [0,100]\n") + kLine3);
    EXPECT_EQ(fails("FTPZeroGagePer 1;2"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("FTPZeroGagePer 1 2"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("FTPTemperature 0:00:30:00 5.5"), std::string("5.5 out of range [0,5]\n") + kLine3);
    EXPECT_EQ(fails("FTPTemperature 0:00:30"), std::string("Expected number.\n") + kLine3);
}

TEST_F(GrammarTest, SleepTimeoutBounds)
{
    ok_line("SleepTimeout 5:47:44");
    EXPECT_EQ(slot().sleepTimeout, 20864);
    EXPECT_EQ(fails("SleepTimeout 5:47:45"), std::string("Value out-of-range.\n") + kLine3);
    EXPECT_EQ(fails("SleepTimeout 6"), std::string("Value out-of-range.\n") + kLine3);
    ok_line("SleepTimeout 0:30");
    EXPECT_EQ(slot().sleepTimeout, 1800);
    ok_line("SleepTimeout 0:0:59.9");
    EXPECT_EQ(slot().sleepTimeout, 59);
    ok_line("SleepTimeout 0");
    EXPECT_EQ(slot().sleepTimeout, 0);
    EXPECT_EQ(fails("SleepTimeout 1;2"), std::string("Syntax error.\n") + kLine3);
    EXPECT_EQ(fails("SleepTimeout 1:x"), kLine3);  // no number: no message of its own
}

TEST_F(GrammarTest, ScanTurretZoomAndFlags)
{
    ok_line("ScanCal 0.85 1.15\nTurret 255 0\nZoom 255\nIgnorePZT\nIgnoreLAPS\nIgnoreWand\nIgnoreZoom\n"
            "IgnoreDualBrushMotor\nIgnoreFocusNDW\nNoIntensAvg\nTouchScreen");
    const SysInfo& s = slot();
    EXPECT_DOUBLE_EQ(s.scanCal[0], 0.85);
    EXPECT_DOUBLE_EQ(s.scanCal[1], 1.15);
    EXPECT_EQ(s.turret, 255);
    EXPECT_EQ(s.turret2, 0);
    EXPECT_EQ(s.zoom, 255);
    EXPECT_EQ(s.pztPresent, 0);
    EXPECT_EQ(s.lapsPresent, 0);
    EXPECT_EQ(s.wandPresent, 0);
    EXPECT_EQ(s.zoomPresent, 0);
    EXPECT_EQ(s.dualBrushMotorPresent, 0);
    EXPECT_EQ(s.focusNdwPresent, 0);
    EXPECT_EQ(s.noIntensAvg, 1);
    EXPECT_EQ(s.touchScreen, 1);
    ok_line("ScanCal 1.1\nTurret 3");
    EXPECT_DOUBLE_EQ(slot().scanCal[1], 1.0);
    EXPECT_EQ(slot().turret2, 5);
    EXPECT_EQ(fails("ScanCal 0.84"), std::string("0.84 out of range [0.85,1.15]\n") + kLine3);
    EXPECT_EQ(fails("Turret 1 256"), std::string("256 out of range [0,255]\n") + kLine3);
}

TEST_F(GrammarTest, RingSpotOnlyForSomeInstruments)
{
    board("HXI");
    EXPECT_EQ(update("+RingSpot"), NO_ERROR);
    EXPECT_EQ(slot().ringSpot, 1);
    for (const char* sys : {"Model17 1 1 100", "Model24 1 1 100", "Model28 1 1 100"}) {
        board("CAN", sys);
        slot().ringSpot = 0;
        EXPECT_EQ(update("+RingSpot"), NO_ERROR);
        EXPECT_EQ(slot().ringSpot, 1) << sys;
    }
    board("CAN", "Model26 1 1 100");
    slot().ringSpot = 0;
    EXPECT_EQ(update("+RingSpot"), NO_ERROR);
    EXPECT_EQ(slot().ringSpot, 0);
    board("Board01", "Model17 1 1 100");
    EXPECT_EQ(update("+RingSpot"), NO_ERROR);
    EXPECT_EQ(slot().ringSpot, 0);
}

TEST_F(GrammarTest, DiffuserDiskBounds)
{
    ok_line("DiffDiskFraction 2\nDiffDiskRate 80");
    EXPECT_FLOAT_EQ(slot().diffDiskFraction, 2.0f);
    EXPECT_FLOAT_EQ(slot().diffDiskRate, 80.0f);
    ok_line("DiffDiskFraction 1e-9");
    EXPECT_GT(slot().diffDiskFraction, 0.0f);
    EXPECT_EQ(fails("DiffDiskFraction 0"), std::string("0 out of range (0,2]\n") + kLine3);
    EXPECT_EQ(fails("DiffDiskFraction 2.01"), std::string("2.01 out of range (0,2]\n") + kLine3);
    EXPECT_EQ(fails("DiffDiskRate 9.9"), std::string("9.9 out of range [10,80]\n") + kLine3);
}

TEST_F(GrammarTest, StageFields)
{
    ok_line("XAxisBacklash 0.1\nYAxisBacklash 1000\nZAxisBacklash 100\nZAxisCal 1.15\nZEncoder 1\nZCanClosedLoop 1");
    const SysInfo& s = slot();
    EXPECT_EQ(s.xAxisBacklash, static_cast<double>(0.1f));  // rounded to single precision
    EXPECT_NE(s.xAxisBacklash, 0.1);
    EXPECT_EQ(s.yAxisBacklash, 1000.0);
    EXPECT_EQ(s.zAxisBacklash, 100.0);
    EXPECT_FLOAT_EQ(s.zAxisCal, 1.15f);
    EXPECT_EQ(s.zEncoder, 1);
    EXPECT_EQ(s.zCanClosedLoop, 1);
    EXPECT_EQ(fails("XAxisBacklash 1000.5"), std::string("1000.5 out of range [0,1000]\n") + kLine3);
    EXPECT_EQ(fails("ZAxisBacklash 101"), std::string("101 out of range [0,100]\n") + kLine3);
    EXPECT_EQ(fails("ZAxisCal 1.2"), std::string("1.2 out of range [0.85,1.15]\n") + kLine3);
    EXPECT_EQ(fails("ZEncoder 2"), std::string("2 out of range [0,1]\n") + kLine3);
}

TEST_F(GrammarTest, SdcCal)
{
    ok_line("SdcCal 14 1 -2 3.5 -3.4e38 5 6 7.5 8\nSdcCal 3 1 2");
    const SdcCalEntry& e = slot().sdcCal[14];
    EXPECT_EQ(e.f[0], 1.0f);
    EXPECT_EQ(e.f[1], -2.0f);
    EXPECT_EQ(e.f[3], -3.4e38f);
    EXPECT_EQ(e.f[5], 6.0f);
    EXPECT_EQ(e.d[0], 7.5);
    EXPECT_EQ(e.d[1], 8.0);
    EXPECT_EQ(slot().sdcCal[3].f[1], 2.0f);
    EXPECT_EQ(slot().sdcCal[3].f[2], SB_FLOAT_UNSET);  // values not given stay unset
    EXPECT_EQ(slot().sdcCal[3].d[0], 0.0);
    EXPECT_EQ(fails("SdcCal 15 1"), std::string("15 out of range [0,14]\n") + kLine3);
    EXPECT_EQ(fails("SdcCal 1 1 2 x"), kLine3);  // no message of its own
    EXPECT_EQ(fails("SdcCal 1 1 2 3 4 5 6 -1"), std::string("-1 out of range [0,3.40282e+38]\n") + kLine3);
    EXPECT_EQ(fails("SdcCal 1 4e38"), std::string("4e+38 out of range [-3.40282e+38,3.40282e+38]\n") + kLine3);
}

TEST_F(GrammarTest, OpticsAndDataFields)
{
    ok_line("RadCrvFocCal -100\nRadCrvPwrCal 100\nInvertData 255\nFtpsiInvertData 7");
    EXPECT_FLOAT_EQ(slot().radCrvFocCal, -100.0f);
    EXPECT_FLOAT_EQ(slot().radCrvPwrCal, 100.0f);
    EXPECT_EQ(slot().invertData, 255);
    EXPECT_EQ(slot().ftpsiInvertData, 7);
    EXPECT_EQ(fails("RadCrvPwrCal 100.1"), std::string("100.1 out of range [-100,100]\n") + kLine3);
    EXPECT_EQ(fails("InvertData 256"), std::string("256 out of range [0,255]\n") + kLine3);
}

TEST_F(GrammarTest, MotionFields)
{
    ok_line("MotionCtrl ctrlA \"ctrl B\"\nPosInstr Renishaw_StepNet one two\nTempSensor Euro2216e COM9\n"
            "PendentMenu menu.txt\nAxisComp_A a.cmp\nAxisComp_Z z.cmp");
    const SysInfo& s = slot();
    EXPECT_STREQ(s.motionCtrl[0].c_str(), "ctrlA");
    EXPECT_STREQ(s.motionCtrl[1].c_str(), "ctrl B");
    EXPECT_EQ(s.posInstrType, POS_RENISHAW_STEPNET);
    EXPECT_STREQ(s.posInstrName[0].c_str(), "one");
    EXPECT_STREQ(s.posInstrName[1].c_str(), "two");
    EXPECT_EQ(s.tempSensorType, TEMP_EURO2216E);
    EXPECT_STREQ(s.tempSensorName.c_str(), "COM9");
    EXPECT_STREQ(s.pendentMenu.c_str(), "menu.txt");
    EXPECT_STREQ(s.axisComp[0].c_str(), "a.cmp");
    EXPECT_STREQ(s.axisComp[7].c_str(), "z.cmp");
    EXPECT_FALSE(s.axisComp[3].is_set());

    ok_line("PosInstr ZEncoder one two\nPosInstr LCDMI three");
    EXPECT_EQ(slot().posInstrType, POS_LCDMI);
    EXPECT_STREQ(slot().posInstrName[0].c_str(), "three");
    EXPECT_FALSE(slot().posInstrName[1].is_set());  // cleared without a second name

    EXPECT_EQ(fails("MotionCtrl only"), kLine3);
    EXPECT_EQ(fails("PosInstr Frob x"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("PosInstr None x"), std::string("Unexpected token.\n") + kLine3);
    EXPECT_EQ(fails("TempSensor None x"), kLine3);
    EXPECT_EQ(fails("TempSensor"), std::string("Unexpected end-of-line.\n") + kLine3);
}

TEST_F(GrammarTest, PidValues)
{
    ok_line("PidVals_X 1 -2 3 4 1 5 0.5 -0.5 2 -2");
    ASSERT_NE(slot().pidVals[5], nullptr);
    const PidSet& p = *slot().pidVals[5];
    EXPECT_EQ(p.fast, p.slow);
    EXPECT_EQ(p.fast.ints[1], -2);
    EXPECT_EQ(p.fast.flag, 1);
    EXPECT_EQ(p.fast.value, 5);
    EXPECT_EQ(p.fast.reals[3], -2.0f);
    EXPECT_EQ(slot().pidVals[4], nullptr);

    ok_line("PidVals_A Fast -8388608 8388607 8388607 0 0 8388607 0 0 0 0\nPidVals_B slow 1 2 3 4 0 6 0 0 0 0.25");
    const PidSet& a = *slot().pidVals[0];
    EXPECT_EQ(a.fast.ints[0], -8388608);
    EXPECT_TRUE(a.slow.is_default());
    const PidSet& b = *slot().pidVals[1];
    EXPECT_TRUE(b.fast.is_default());
    EXPECT_EQ(b.slow.reals[3], 0.25f);

    EXPECT_EQ(fails("PidVals_P medium 1 2 3 4 0 6 0 0 0 0"), std::string("Unrecognized string.\n") + kLine3);
    EXPECT_EQ(fails("PidVals_P zoom 1 2 3 4 0 6 0 0 0 0"), std::string("Unrecognized string.\n") + kLine3);
    EXPECT_EQ(fails("PidVals_P 1 2 -3 4 0 6 0 0 0 0"), std::string("-3 out of range [0,8388607]\n") + kLine3);
    EXPECT_EQ(fails("PidVals_P 1 2 3 4 2 6 0 0 0 0"), std::string("2 out of range [0,1]\n") + kLine3);
    EXPECT_EQ(fails("PidVals_P 1 2 3 4 1 6 0 0 0 2.5"), std::string("2.5 out of range [-2,2]\n") + kLine3);
    EXPECT_EQ(fails("PidVals_P 8388608 2 3 4 1 6 0 0 0 0"), std::string("8388608 out of range [-8388608,8388607]\n") + kLine3);
}

TEST_F(GrammarTest, WaveMonitorFields)
{
    ok_line("wmComm COM5\nwmSysGain 2.5\nwmMonOPD 2147483647\nwmTuneRange 1.5 2\nwmTuneRate 0 3\n"
            "wmMaxBuckets 100 2047\nAbsWaveMeter 1 meter");
    const SysInfo& s = slot();
    EXPECT_STREQ(s.wmComm.c_str(), "COM5");
    EXPECT_FLOAT_EQ(s.wmSysGain, 2.5f);
    EXPECT_DOUBLE_EQ(s.wmMonOPD, 2147483647.0);
    EXPECT_DOUBLE_EQ(s.wmTuneRange[0], 1.5e9);
    EXPECT_DOUBLE_EQ(s.wmTuneRange[1], 2e9);
    EXPECT_DOUBLE_EQ(s.wmTuneRate[0], 0.0);
    EXPECT_DOUBLE_EQ(s.wmTuneRate[1], 3e9);
    EXPECT_EQ(s.wmMaxBuckets, 100);
    EXPECT_EQ(s.wmMaxBytes, int64_t(2047) * 1048576);
    EXPECT_EQ(s.absWaveMeter, 1);
    EXPECT_STREQ(s.absWaveMeterName.c_str(), "meter");

    EXPECT_EQ(fails("wmTuneRange 1"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("wmTuneRate x 1"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("wmMaxBuckets 100"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("wmSysGain -1"), std::string("-1 out of range [0,2.14748e+09]\n") + kLine3);
    EXPECT_EQ(fails("AbsWaveMeter 2 x"), std::string("2 out of range [0,1]\n") + kLine3);
    EXPECT_EQ(fails("AbsWaveMeter 1"), kLine3);
}

TEST_F(GrammarTest, WaveMonitorByteLimitNeverWraps)
{
    ok_line("wmMaxBuckets 1 2048");
    EXPECT_EQ(slot().wmMaxBytes, int64_t(2048) * 1048576);
    ok_line("wmMaxBuckets 2147483647 2147483647");
    EXPECT_EQ(slot().wmMaxBuckets, 2147483647);
    EXPECT_EQ(slot().wmMaxBytes, int64_t(2147483647) * 1048576);
    ok_line("wmMaxBuckets 0 0");
    EXPECT_EQ(slot().wmMaxBytes, 0);
    EXPECT_EQ(fails("wmMaxBuckets 1 -1"), std::string("-1 out of range [0,2147483647]\n") + kLine3);
}

TEST_F(GrammarTest, DynamicWaveGenerator)
{
    ok_line("DynWaveGen 7 30 0");
    ASSERT_NE(slot().dynWaveGen, nullptr);
    EXPECT_EQ(slot().dynWaveGen->number, 7);
    EXPECT_EQ(slot().dynWaveGen->value, 30);
    EXPECT_EQ(slot().dynWaveGen->value2, 0);
    ok_line("DynWaveGen -3 0 96\nDynWaveGen 1 2 126");
    EXPECT_EQ(slot().dynWaveGen->number, 1);
    EXPECT_EQ(slot().dynWaveGen->value2, 126);

    // After any error on the line the sub-record is gone.
    EXPECT_EQ(fails("DynWaveGen 1 2 95"), std::string("95 out of range [96,126] and 0\n") + kLine3);
    EXPECT_EQ(slot().dynWaveGen, nullptr);
    EXPECT_EQ(fails("DynWaveGen 1 2 96\nDynWaveGen 1 31 96"), "31 out of range [0,30]\nError in line 4.\n");
    EXPECT_EQ(slot().dynWaveGen, nullptr);
    EXPECT_EQ(fails("DynWaveGen x 2 96"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("DynWaveGen 1 2 9x"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("DynWaveGen 1 2"), kLine3);
    EXPECT_EQ(slot().dynWaveGen, nullptr);
}

TEST_F(GrammarTest, HxiEncodedZoom)
{
    ok_line("HxiEncZoomConfig 255\nHxiEncZoomBacklash -1000\nHxiEncZoomProgLim 1 60000\n"
            "HxiEncZoomWandLim 2 3\nHxiEncZoomStdMags 1 2.5 100\nHxiEncZoomCalFile zoom.cal");
    ASSERT_NE(slot().hxiZoom, nullptr);
    const HxiZoomInfo& z = *slot().hxiZoom;
    EXPECT_EQ(z.config, 255);
    EXPECT_EQ(z.backlash, -1000);
    EXPECT_EQ(z.progLim[0], 1);
    EXPECT_EQ(z.progLim[1], 60000);
    EXPECT_EQ(z.wandLim[1], 3);
    EXPECT_EQ(z.numStdMags, 3);
    EXPECT_DOUBLE_EQ(z.stdMags[1], 2.5);
    EXPECT_STREQ(z.calFile.c_str(), "zoom.cal");
    // A shorter list leaves nothing of a longer one behind it.
    ok_line("HxiEncZoomStdMags 1 2 4 8\nHxiEncZoomStdMags 3");
    EXPECT_EQ(slot().hxiZoom->numStdMags, 1);
    EXPECT_EQ(slot().hxiZoom->stdMags[0], 3.0);
    EXPECT_EQ(slot().hxiZoom->stdMags[1], 0.0);
    EXPECT_EQ(slot().hxiZoom->stdMags[3], 0.0);

    std::string sixteen = "HxiEncZoomStdMags";
    for (int i = 0; i < 16; ++i)
        sixteen += " 1";
    EXPECT_EQ(fails("HxiEncZoomStdMags 1 2\n" + sixteen), "Too many HxiEncZoomStdMag values.\nError in line 4.\n");
    EXPECT_EQ(slot().hxiZoom->numStdMags, 0);  // cleared, stored only when the line succeeds
    EXPECT_EQ(fails("HxiEncZoomStdMags x"), std::string("Expected number.\n") + kLine3);
    EXPECT_EQ(fails("HxiEncZoomConfig 256"), std::string("256 out of range [0,255]\n") + kLine3);
    EXPECT_EQ(fails("HxiEncZoomBacklash 1001"), std::string("1001 out of range [-1000,1000]\n") + kLine3);
    EXPECT_EQ(fails("HxiEncZoomProgLim 0 60001"), std::string("60001 out of range [0,60000]\n") + kLine3);
}

TEST_F(GrammarTest, RadiusScales)
{
    ok_line("EncodedRadiusScale 1 0.5 1 20\nIntfRadiusScale 0 0 0 0 0.75");
    const RadiusScale& e = slot().encodedRadiusScale;
    EXPECT_EQ(e.given, 1);
    EXPECT_EQ(e.flag, 1);
    EXPECT_EQ(e.a, 0.5);
    EXPECT_EQ(e.b, 1.0);
    EXPECT_EQ(e.n, 20);
    EXPECT_EQ(e.last, 0.0);
    EXPECT_EQ(slot().intfRadiusScale.given, 1);
    EXPECT_EQ(slot().intfRadiusScale.last, 0.75);
    ok_line("EncodedRadiusScale 0 0 0 0 0.5");
    EXPECT_EQ(slot().encodedRadiusScale.last, 0.5);

    EXPECT_EQ(fails("IntfRadiusScale 0 0 0 0\nZoom 1"), kLine3);  // the last value is required
    EXPECT_EQ(slot().intfRadiusScale.given, 1);  // set as the line starts
    EXPECT_EQ(fails("EncodedRadiusScale 0 0 0 21"), std::string("21 out of range [0,20]\n") + kLine3);
    EXPECT_EQ(fails("EncodedRadiusScale 0 1.5 0 1"), std::string("1.5 out of range [0,1]\n") + kLine3);
}

}  // namespace
