// What the writer writes: the header, the keyword column, every line with its condition and
// format, in order.
#include <algorithm>
#include <string>

#include "vell/platform/dirs.h"
#include "tests/calfile_writer/rich_files.h"
#include "tests/calfile_writer/writer_fixture.h"

namespace {

namespace fs = std::filesystem;

using calwtest::kl;
using calwtest::native;

const std::string kHeader = "# Vell System Calibration File\n";

class FormatTest : public calwtest::WriterTest {
protected:
    // The four wavelengths that a slot on a board other than CAN holds after a read.
    static void four_wavelengths(SysInfo& si)
    {
        for (auto& wl : si.wavelength)
            wl[0] = 632.8e-9;
    }
    // Writes slot 0 and expects NO_ERROR, no message and exactly `text` in the file.
    void expect_file(const std::string& text)
    {
        ASSERT_EQ(write(), NO_ERROR) << log_.str();
        EXPECT_EQ(log_.str(), "");
        EXPECT_EQ(written(), native(text));
    }
    // The lines of the written file besides the header and the system, Version, Camera Type and
    // Light lines of base().
    std::string body()
    {
        EXPECT_EQ(write(), NO_ERROR) << log_.str();
        std::string text = written();
        // The reader's preset for boards other than CAN gives four wavelengths to a slot read back.
        const std::string light = text.find(native(kl("Light HeNe", "0.632800 0.632800 0.632800 0.632800"))) !=
                                          std::string::npos
                                      ? kl("Light HeNe", "0.632800 0.632800 0.632800 0.632800")
                                      : kl("Light HeNe", "0.632800");
        for (const std::string& line : {kHeader, kl("Model09", "12  05  12345  "), kl("Version", "None  0  None"),
                                        kl("Camera Type", "XC77CE"), light}) {
            std::size_t at = text.find(native(line));
            EXPECT_NE(at, std::string::npos) << line << text;
            if (at != std::string::npos)
                text.erase(at, native(line).size());
        }
        return text;
    }
};

TEST_F(FormatTest, FiveLinesForAPlainInstrument)
{
    SysInfo& si = base();
    si.fgType = FG_MATROX;
    expect_file("# Vell System Calibration File\n"
                "Model09                 12  05  12345  \n"
                "Version                 Matrox  0  None\n"
                "Camera Type             XC77CE\n"
                "Light HeNe              0.632800\n");

    // Read back, the reader's preset for boards other than CAN gives four wavelengths.
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(slot().wavelength[i][0], 632.8e-9) << i;
        EXPECT_EQ(slot().wavelength[i][1], 0.0) << i;
    }
    expect_file("# Vell System Calibration File\n"
                "Model09                 12  05  12345  \n"
                "Version                 Matrox  0  None\n"
                "Camera Type             XC77CE\n"
                "Light HeNe              0.632800 0.632800 0.632800 0.632800\n");
}

TEST_F(FormatTest, SystemLineWithTheRFlagAndOtherTypes)
{
    SysInfo& si = base();
    si.rFlag = 1;
    si.dateCode = 9901;
    si.serialNum = 999999;
    for (int type : {SYS_HXI, SYS_MODEL08, SYS_MODEL09, SYS_MODEL29}) {
        si.sysType = type;
        ASSERT_EQ(write(), NO_ERROR) << type << log_.str();
        std::string line = native(kl(sb_sys_type_names[type], "99  01  999999  R"));
        EXPECT_EQ(written().substr(native(kHeader).size(), line.size()), line) << type;
    }
}

TEST_F(FormatTest, EveryLineOfARichCanFile)
{
    ASSERT_EQ(read_text(calwtest::kRichCan), NO_ERROR) << log_.str();
    std::string expected =
        kHeader + kl("InstrName", "\"Lab profiler 7\"") + kl("Unit", "3") + kl("Model17", "19  34  204518  R") +
        kl("Version", "GigE  2  CAN") + kl("MacAddress", "00  1A  2B  3C  4D  5E") + kl("InstrComm", "\"COM 3\"") +
        kl("Camera Type", "CUSTOM  1") + "\n" + kl("Camera File", "cam_a.dcf  camB  camC  camD  camE  camF") +
        kl("Camera Dark", "120") + kl("Camera Align", "Center") +
        kl("Camera BPixels", "[1,2] [3,4] [5,6] [7,8] [9,10] [11,12]") + kl("Camera BPixels", "[13,14]") +
        kl("Camera Options", "5") + kl("Ramp Config", "\"my ramps.txt\"") +
        kl("Light LED", "0.500000 [0.600000,0.020000] 0.700000") + kl("LLC Instr", "DD100MC_B  LLCUNIT1") +
        kl("LLC Range", "5  1000  7  4000") + kl("LLC Config", "5  7") + kl("LLC Freq", "40000") +
        kl("LLC Target", "180") + kl("LLC Options", "9") + kl("LLC AvgCurLimit", "100  200  300  400") +
        kl("LLC FwdVoltage", "1000  2000") + kl("LLC AlignModePct", "55.5") + kl("PztPwr", "250") +
        kl("ADC Clock", "300") + kl("Pifoc", "12345  1.000000  0.020000") + kl("PifocPolarity", "-1") +
        kl("PifocType", "2") + kl("SysMag", "5.1000  10.2000  20.3000") + kl("NomMag", "5.0000  10.0000  20.0000") +
        kl("Camera SplitY", "640  3") + kl("Camera Trans", "0  10  -10") + kl("Camera Trans", "1  0  0") +
        kl("Camera Trans", "2  -5  7") + kl("ScanCal", "0.95  1.05") + kl("Turret", "3  7") + kl("Zoom", "2") +
        "IgnoreDualBrushMotor\nIgnoreLAPS\nIgnoreWand\nIgnoreFocusNDW\nIgnoreZoom\nIgnorePZT\nRingSpot\n" +
        kl("DiffDiskRate", "25.5") + kl("DiffDiskFraction", "0.5") + kl("XAxisBacklash", "1.5") +
        kl("YAxisBacklash", "2.25") + kl("ZAxisCal", "1.1") + kl("ZAxisBacklash", "0") + kl("ZEncoder", "1") +
        kl("ZCanClosedLoop", "1") + kl("SdcCal", "0  1  2  3  4  5  6  7  8") + kl("SdcCal", "3  -1.5  2.5") +
        kl("RadCrvFocCal", "1.5") + kl("RadCrvPwrCal", "-2") + kl("InvertData", "7") + "NoIntensAvg\nTouchScreen\n" +
        kl("MotionCtrl", "ctrlA  \"ctrl B\"") + kl("PosInstr", "LCDMI  pos1  pos2") +
        kl("TempSensor", "Euro2216e  COM9") + kl("PendentMenu", "menu.txt") + kl("AxisComp_X", "compx.txt") +
        kl("AxisComp_Z", "compz.txt") + "PidVals_X  1  2  3  4  1  5  0.5  -0.5  1.25  -1.25\n" +
        kl("PidVals_Y Fast", "10  20  30  40  0  50  0.1  0.2  0.3  0.4") +
        kl("PidVals_Y Slow", "11  21  31  41  1  51  -0.1  -0.2  -0.3  -0.4") +
        "PidVals_Z  700  0  15050  0  0  0  0  0  0  0\n" + kl("wmComm", "COM4") + kl("wmSysGain", "1.500000") +
        kl("wmMonOPD", "2.250000") + kl("wmTuneRange", "0.500  1.500") + kl("wmTuneRate", "2.000  0.000") +
        kl("FtpsiInvertData", "3") + kl("AbsWaveMeter", "1  meter1") + kl("DynWaveGen", "7  12  100") +
        kl("HxiEncZoomConfig", "3") + kl("HxiEncZoomBacklash", "-20") + kl("HxiEncZoomProgLim", "100  50000") +
        kl("HxiEncZoomWandLim", "0  40000") + kl("HxiEncZoomStdMags", "1  2.5  5") +
        kl("HxiEncZoomCalFile", "zoomcal.txt") + kl("EncodedRadiusScale", "1  0.5  0.25  3  0") +
        kl("IntfRadiusScale", "0  0.125  0.75  20  0.5") + "SleepTimeout            2:30:15";
    expect_file(expected);
}

TEST_F(FormatTest, FtpLines)
{
    ASSERT_EQ(read_text(calwtest::kRichFtp), NO_ERROR) << log_.str();
    std::string expected =
        kHeader + kl("FTP", "10  10  5000  ") + kl("Version", "PC2Vision  0  FTP") + kl("InstrComm", "COM2") +
        kl("Camera Type", "A311F") + kl("Light White", "10.600000") + kl("Pifoc", "5  0.928655  0.014400") +
        kl("SysMag", "1.5000  2.5000  3.5000") + kl("NomMag", "1.0000  2.0000  3.0000") +
        kl("FTPMaterials", "mats.txt") + kl("FTPSys", "0.25  0.5  -0.75  9.5") + kl("FTPDmiScale", "2.25") +
        kl("FTPImageRot", "0.5") + kl("FTPZeroPtPos", "1.5  -2.5") + kl("FTPDisper", "0  1  2  3") +
        kl("FTPDisper", "4  -1  -2") + kl("FTPAvg_K0", "1  10  20  30  40  50  60  70  80  90  100") +
        kl("FTPDmiCenter", "0  1.5  -2.5") + kl("FTPDmiCenter", "1  0  0") + kl("FTPDmiCenter", "2  0  0") +
        kl("FTPTiltCenter", "0  0  0") + kl("FTPTiltCenter", "1  0  0") + kl("FTPTiltCenter", "2  10  20") +
        kl("FTPZeroGagePer", "1:02:03:04") + kl("FTPTemperature", "0:01:00:00   2.50") +
        kl("FTPLog", "log.txt  2000  1000") + kl("InvertData", "0") + kl("MotionCtrl", "a  b");
    expect_file(expected);
}

TEST_F(FormatTest, FtpDefaultsAndUnsetValues)
{
    // An FTP record made by one line: its FTPSys and zero point are not set and left out; the
    // defaults of the others are written.
    ASSERT_EQ(read_text("Model09 12 05 12345\nVersion None 0 None\nCamera Type XC77CE\nFTPMaterials \"\"\n"), NO_ERROR) << log_.str();
    EXPECT_EQ(body(), native(kl("FTPMaterials", "\"\"") + kl("FTPDmiScale", "2") + kl("FTPImageRot", "0") +
                             kl("FTPZeroGagePer", "0:00:30:00") + kl("FTPTemperature", "0:00:30:00   1.00") +
                             kl("FTPLog", "FtpLog.txt")));
    // The second FTPZeroPtPos value is optional; the first without the second.
    ASSERT_EQ(read_text("Model09 12 05 12345\nVersion None 0 None\nCamera Type XC77CE\nFTPZeroPtPos -10\nFTPLog x 1000000 7\n"),
              NO_ERROR);
    std::string text = body();
    EXPECT_NE(text.find(native(kl("FTPZeroPtPos", "-10"))), std::string::npos) << text;
    EXPECT_NE(text.find(native(kl("FTPLog", "x  1000000  7"))), std::string::npos) << text;
}

TEST_F(FormatTest, SevenBadPixelsGiveTwoLines)
{
    SysInfo& si = base();
    const int16_t pixels[7][2] = {{0, 0}, {700, 484}, {1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}};
    for (int i = 0; i < 7; ++i) {
        si.badPixels[i][0] = pixels[i][0];
        si.badPixels[i][1] = pixels[i][1];
    }
    EXPECT_EQ(body(), native("Camera BPixels          [0,0] [700,484] [1,2] [3,4] [5,6] [7,8]\n"
                             "Camera BPixels          [9,10]\n"));
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(slot().badPixels[i][0], i < 7 ? pixels[i][0] : -1) << i;
        EXPECT_EQ(slot().badPixels[i][1], i < 7 ? pixels[i][1] : -1) << i;
    }
}

TEST_F(FormatTest, BadPixelLinesHoldSixPairsEach)
{
    SysInfo& si = base();
    for (int i = 0; i < 40; ++i) {
        si.badPixels[i][0] = static_cast<int16_t>(i);
        si.badPixels[i][1] = static_cast<int16_t>(i + 100);
    }
    std::string text = body();
    std::string expected;
    for (int first = 0; first < 40; first += 6) {
        std::string pairs;
        for (int i = first; i < first + 6 && i < 40; ++i)
            pairs += (i > first ? " [" : "[") + std::to_string(i) + "," + std::to_string(i + 100) + "]";
        expected += kl("Camera BPixels", pairs);
    }
    EXPECT_EQ(text, native(expected));
    // A list of six is one line; the list ends at the first x of -1.
    si.badPixels[6][0] = -1;
    EXPECT_EQ(body(), native(kl("Camera BPixels", "[0,100] [1,101] [2,102] [3,103] [4,104] [5,105]")));
}

TEST_F(FormatTest, BadPixelFileOnlyWithoutAList)
{
    SysInfo& si = base();
    si.bpixFileFlag = 1;
    EXPECT_EQ(body(), native(kl("Camera Bpix", "1")));
    si.bpixFileName.assign("pixels.txt");
    EXPECT_EQ(body(), native(kl("Camera Bpix", "1  pixels.txt")));
    si.bpixFileFlag = 0;
    EXPECT_EQ(body(), native(kl("Camera Bpix", "0  pixels.txt")));
    si.badPixels[0][0] = 4;
    si.badPixels[0][1] = 5;
    EXPECT_EQ(body(), native(kl("Camera BPixels", "[4,5]")));
}

TEST_F(FormatTest, TurretForms)
{
    SysInfo& si = base();
    si.turret = 3;
    EXPECT_EQ(body(), native(kl("Turret", "3")));
    si.turret2 = 7;
    EXPECT_EQ(body(), native(kl("Turret", "3  7")));
    si.turret2 = 0;
    EXPECT_EQ(body(), native(kl("Turret", "3  0")));
    // A second value of its own on a turret of 0 (the reader's correction sets 1) is kept.
    si.turret = 0;
    si.turret2 = 1;
    EXPECT_EQ(body(), native(kl("Turret", "0  1")));
    ASSERT_EQ(read_back(), NO_ERROR);
    EXPECT_EQ(slot().turret, 0);
    EXPECT_EQ(slot().turret2, 1);
    slot().turret2 = 5;
    EXPECT_EQ(body(), "");
}

TEST_F(FormatTest, SleepTimeoutEndsTheFileWithoutALineEnd)
{
    SysInfo& si = base();
    si.sleepTimeout = 20864;
    si.zoom = 1;
    EXPECT_EQ(body(), native(kl("Zoom", "1")) + "SleepTimeout            5:47:44");
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().sleepTimeout, 20864);
    EXPECT_EQ(slot().zoom, 1);
    for (uint16_t t : {0, 59, 3661, 14399, 14401}) {
        slot().sleepTimeout = t;
        std::string text = body();
        char expected[40];
        std::snprintf(expected, sizeof expected, "%d:%02d:%02d", t / 3600, t / 60 % 60, t % 60);
        EXPECT_EQ(text, native(kl("Zoom", "1")) + "SleepTimeout            " + expected);
        ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
        EXPECT_EQ(slot().sleepTimeout, t);
    }
    slot().sleepTimeout = 14400;
    EXPECT_EQ(body(), native(kl("Zoom", "1")));
}

TEST_F(FormatTest, EqualPidHalvesGiveOneLine)
{
    SysInfo& si = base();
    ASSERT_EQ(sysinfo_ensure_pid_set(si, 5), NO_ERROR);  // X
    PidHalf h;
    h.ints[0] = -8388608;
    h.ints[1] = 8388607;
    h.ints[2] = 3;
    h.ints[3] = 0;
    h.flag = 1;
    h.value = 77;
    h.reals[0] = -2;
    h.reals[1] = 0.25f;
    h.reals[2] = 2;
    h.reals[3] = -0.125f;
    si.pidVals[5]->fast = h;
    si.pidVals[5]->slow = h;
    EXPECT_EQ(body(), native("PidVals_X  -8388608  8388607  3  0  1  77  -2  0.25  2  -0.125\n"));
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    ASSERT_NE(slot().pidVals[5], nullptr);
    EXPECT_TRUE(slot().pidVals[5]->fast == h);
    EXPECT_TRUE(slot().pidVals[5]->slow == h);
    for (int axis = 0; axis < SB_NUM_AXES; ++axis)
        EXPECT_EQ(slot().pidVals[axis] != nullptr, axis == 5) << axis;
}

TEST_F(FormatTest, DifferentPidHalvesGiveFastAndSlowLines)
{
    SysInfo& si = base();
    ASSERT_EQ(sysinfo_ensure_pid_set(si, 0), NO_ERROR);  // A
    si.pidVals[0]->fast.value = 9;
    EXPECT_EQ(body(), native(kl("PidVals_A Fast", "700  0  15050  0  0  9  0  0  0  0")));
    si.pidVals[0]->slow.flag = 1;
    si.pidVals[0]->fast = PidHalf{};
    EXPECT_EQ(body(), native(kl("PidVals_A Slow", "700  0  15050  0  1  0  0  0  0  0")));
    si.pidVals[0]->fast.reals[3] = 1.5f;
    EXPECT_EQ(body(), native(kl("PidVals_A Fast", "700  0  15050  0  0  0  0  0  0  1.5") +
                             kl("PidVals_A Slow", "700  0  15050  0  1  0  0  0  0  0")));
    // A set that holds the defaults only is written too, so that it reads back as a set.
    si.pidVals[0]->fast = PidHalf{};
    si.pidVals[0]->slow = PidHalf{};
    EXPECT_EQ(body(), native("PidVals_A  700  0  15050  0  0  0  0  0  0  0\n"));
    ASSERT_EQ(read_back(), NO_ERROR);
    EXPECT_NE(slot().pidVals[0], nullptr);
}

TEST_F(FormatTest, NamesWithBlanksAreQuoted)
{
    SysInfo& si = base();
    si.instrName.assign("plain");
    si.instrComm.assign("COM 1");
    si.pendentMenu.assign("");
    si.axisComp[0].assign("[x]");
    si.axisComp[1].assign("#1");
    si.axisComp[2].assign("a\tb");
    si.axisComp[3].assign("x#y,z");
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    std::string text = written();
    for (const std::string& line :
         {kl("InstrName", "\"plain\""), kl("InstrComm", "\"COM 1\""), kl("PendentMenu", "\"\""),
          kl("AxisComp_A", "\"[x]\""), kl("AxisComp_B", "\"#1\""), kl("AxisComp_P", "\"a\tb\""),
          kl("AxisComp_R", "x#y,z")})
        EXPECT_NE(text.find(native(line)), std::string::npos) << line << text;
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().instrComm.view(), "COM 1");
    EXPECT_TRUE(slot().pendentMenu == "");
    EXPECT_EQ(slot().axisComp[0].view(), "[x]");
    EXPECT_EQ(slot().axisComp[1].view(), "#1");
    EXPECT_EQ(slot().axisComp[2].view(), "a\tb");
    EXPECT_EQ(slot().axisComp[3].view(), "x#y,z");
}

TEST_F(FormatTest, CameraFileNames)
{
    SysInfo& si = base();
    si.cameraFile[0].assign("one");
    EXPECT_EQ(body(), native(kl("Camera File", "one")));
    si.cameraFile[2].assign("three");
    EXPECT_EQ(body(), native(kl("Camera File", "one NULL  three")));
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    EXPECT_FALSE(slot().cameraFile[1].is_set());
    EXPECT_EQ(slot().cameraFile[2].view(), "three");
    si.cameraFile[1].assign("two");
    si.cameraFile[3].assign("four");
    si.cameraFile[4].assign("five");
    si.cameraFile[5].assign("six");
    EXPECT_EQ(body(), native(kl("Camera File", "one  two  three  four  five  six")));
}

TEST_F(FormatTest, CameraTypeAndConfigurationByBoard)
{
    SysInfo& si = base();
    si.instrComm.assign("COM1");
    si.cameraType = CAM_CUSTOM;
    si.instrBdType = BD_BOARD01;
    const uint8_t cfg[10] = {1, 0, 1, 0, 3, 1, 0, 0, 1, 1};
    std::copy(cfg, cfg + 10, si.cameraConfig);
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    std::string text = written();
    EXPECT_NE(text.find(native(kl("Camera Type", "CUSTOM  1") + "\n")), std::string::npos) << text;
    EXPECT_NE(text.find(native(kl("Camera Config", "1  0  3  1  0  1  0  1"))), std::string::npos) << text;

    si.instrBdType = BD_MODEL31;
    si.cameraConfig[0] = 0;
    si.cameraConfig[1] = 15;
    si.cameraConfig[9] = 0;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    text = written();
    EXPECT_NE(text.find(native(kl("Camera Type", "CUSTOM"))), std::string::npos) << text;
    EXPECT_NE(text.find(native(kl("Camera Config", "0  15"))), std::string::npos) << text;
    EXPECT_EQ(text.find("\n\n"), std::string::npos) << text;

    // The board's configuration bytes of a camera other than CUSTOM are kept too.
    si.cameraType = CAM_TM6710;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("Camera Config", "0  15"))), std::string::npos);
    si.cameraConfig[1] = 0;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_EQ(written().find("Camera Config"), std::string::npos);

    // A CUSTOM camera on a CAN board keeps its interlace flag on the type line.
    si.instrBdType = BD_CAN;
    ASSERT_EQ(sysinfo_ensure_can_info(si), NO_ERROR);
    si.cameraType = CAM_CUSTOM;
    si.cameraConfig[0] = 1;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("Camera Type", "CUSTOM  1") + "\n")), std::string::npos);
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().interlaceFlag(), 1);
}

TEST_F(FormatTest, UnknownCameraWithoutBoardOrGrabberIsLeftOut)
{
    base().cameraType = CAM_UNKNOWN;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_EQ(written(), native(kHeader + kl("Model09", "12  05  12345  ") + kl("Version", "None  0  None") +
                                kl("Light HeNe", "0.632800")));
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().cameraType, CAM_UNKNOWN);
}

TEST_F(FormatTest, LightLine)
{
    SysInfo& si = base();
    si.lightType = LIGHT_WHITE;
    si.wavelength[0][0] = 0.55e-6;
    si.wavelength[1][0] = 15e-6;
    si.wavelength[1][1] = 1e-6;
    si.wavelength[2][0] = 0.1e-6;
    si.wavelength[3][0] = 2e-6;
    si.wavelength[3][1] = 0.25e-6;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("Light White", "0.550000 [15.000000,1.000000] 0.100000 [2.000000,0.250000]"))),
              std::string::npos)
        << written();
    // The list ends at the first wavelength of 0.
    si.wavelength[2][0] = 0;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("Light White", "0.550000 [15.000000,1.000000]"))), std::string::npos)
        << written();
}

TEST_F(FormatTest, MagnificationLists)
{
    SysInfo& si = base();
    si.numMags = 3;
    si.nomMag[0] = 2.5;
    si.nomMag[1] = 0;
    si.nomMag[2] = 100;
    // An all-zero list is left out; a list is written with all its values, zeros among them.
    EXPECT_EQ(body(), native(kl("NomMag", "2.5000  0.0000  100.0000")));
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().numMags, 3);
    EXPECT_EQ(slot().nomMag[2], 100);
    // The instruments that always have both lists.
    for (int type : {SYS_MODEL13, SYS_MODEL07, SYS_MODEL14, SYS_FTP}) {
        sysinfo_reset_all_slots();
        SysInfo& s = base();
        s.sysType = type;
        s.invertData = 1;
        if (type == SYS_FTP) {
            ASSERT_EQ(sysinfo_ensure_pifoc(s), NO_ERROR);
            s.pifoc->value = 1;
        }
        s.numMags = 2;
        s.sysMag[0] = 1.25;
        ASSERT_EQ(write(), NO_ERROR) << type << log_.str();
        std::string text = written();
        EXPECT_NE(text.find(native(kl("SysMag", "1.2500  0.0000") + kl("NomMag", "0.0000  0.0000"))),
                  std::string::npos)
            << type << text;
    }
}

TEST_F(FormatTest, StageAndOpticsLinesAtTheirDefaultsAreLeftOut)
{
    SysInfo& si = base();
    EXPECT_EQ(body(), "");
    si.scanCal[0] = 0.85;
    EXPECT_EQ(body(), native(kl("ScanCal", "0.85")));
    si.scanCal[1] = 1.15;
    EXPECT_EQ(body(), native(kl("ScanCal", "0.85  1.15")));
    si.scanCal[0] = 1;
    EXPECT_EQ(body(), native(kl("ScanCal", "1  1.15")));
    si.scanCal[1] = 1;
    si.zAxisBacklash = 100;
    si.diffDiskFraction = 2;
    si.pztPwr = 1000;
    si.pifocPolarity = 1;
    EXPECT_EQ(body(), native(kl("PztPwr", "1000") + kl("PifocPolarity", "1") + kl("DiffDiskFraction", "2") +
                             kl("ZAxisBacklash", "100")));
}

TEST_F(FormatTest, SdcCalEntriesUpToTheLastValueSet)
{
    SysInfo& si = base();
    four_wavelengths(si);
    si.sdcCal[14].f[0] = -3.5f;
    si.sdcCal[14].f[2] = 1e30f;
    si.sdcCal[2].d[1] = 0.5;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    std::string text = written();
    EXPECT_NE(text.find(native(kl("SdcCal", "2  3.4028234663852886e+38  3.4028234663852886e+38  "
                                            "3.4028234663852886e+38  3.4028234663852886e+38  "
                                            "3.4028234663852886e+38  3.4028234663852886e+38  0  0.5"))),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(native(kl("SdcCal", "14  -3.5  3.4028234663852886e+38  1e+30"))), std::string::npos) << text;
    ASSERT_EQ(read_back(1), NO_ERROR) << log_.str();
    EXPECT_TRUE(slot(1).cal() == si.cal());
}

TEST_F(FormatTest, LlcRangeByBoard)
{
    struct range_case {
        int32_t board;
        int32_t sys;
        uint16_t range[4];
        const char* line;  // values of the LLC Range line, null: none
    };
    const range_case cases[] = {
        {BD_HXI, SYS_MODEL09, {10, 159, 0, 0}, nullptr},
        {BD_HXI, SYS_MODEL09, {10, 160, 0, 0}, "10  160"},
        {BD_MODEL31, SYS_MODEL09, {0, 4095, 0, 0}, "0  4095"},
        {BD_MODEL13, SYS_MODEL09, {0, 4095, 0, 0}, nullptr},
        {BD_MODEL13, SYS_MODEL09, {1, 4095, 0, 0}, "1  4095"},
        {BD_NONE, SYS_MODEL07, {0, 0, 0, 0}, "0  0"},
        {BD_CAN, SYS_MODEL15, {0, 65535, 0, 65535}, nullptr},
        {BD_CAN, SYS_MODEL10, {3, 65535, 0, 65535}, "3  65535"},
        {BD_BOARD01, SYS_MODEL09, {0, 4095, 0, 100}, nullptr},
        {BD_BOARD01, SYS_MODEL09, {0, 4000, 0, 100}, "0  4000"},
        {BD_BOARD01, SYS_MODEL09, {0, 4095, 0, 99}, "0  4095  0  99"},
        // Ranges the instrument kinds' own rule would leave out or write unreadably.
        {BD_CAN, SYS_MODEL25, {0, 65535, 0, 65535}, nullptr},
        {BD_CAN, SYS_MODEL25, {0, 4095, 0, 100}, "0  4095  0  100"},
        {BD_CAN, SYS_MODEL17, {5, 6, 0, 65535}, "5  6"},
        {BD_CAN, SYS_MODEL15, {0, 65535, 1, 2}, "0  65535  1  2"},
        {BD_FTP, SYS_MODEL09, {0, 3685, 0, 0}, nullptr},
        {BD_FTP, SYS_MODEL09, {0, 1000, 0, 0}, "0  1000"},
        {BD_NONE, SYS_MODEL09, {0, 0, 0, 0}, nullptr},
        {BD_NONE, SYS_MODEL09, {7, 8, 0, 0}, "7  8"},
        {BD_NONE, SYS_MODEL09, {7, 8, 9, 4096}, "7  8  9  4096"},
        {BD_HXI, SYS_MODEL09, {10, 159, 1, 2}, "10  159  1  2"},
        // The board forces the range; the rule's line is written.
        {BD_NOTNEEDED, SYS_MODEL09, {10, 159, 0, 0}, nullptr},
    };
    for (const range_case& c : cases) {
        sysinfo_reset_all_slots();
        SysInfo& si = base();
        si.instrBdType = c.board;
        si.sysType = c.sys;
        si.instrComm.assign("COM1");
        if (c.board == BD_CAN) {
            ASSERT_EQ(sysinfo_ensure_can_info(si), NO_ERROR);
        }
        if (c.sys == SYS_MODEL15 || c.sys == SYS_MODEL10 || c.sys == SYS_MODEL25) {
            ASSERT_EQ(sysinfo_ensure_pifoc(si), NO_ERROR);
            si.pifoc->value = 1;
        }
        if (c.board == BD_BOARD01 || c.board == BD_MODEL13)
            si.lightType = LIGHT_HENE;
        si.light[0].rangeLow = c.range[0];
        si.light[0].rangeHigh = c.range[1];
        si.light[1].rangeLow = c.range[2];
        si.light[1].rangeHigh = c.range[3];
        std::string what = std::string(sb_board_type_name(c.board)) + " " + sb_sys_type_name(c.sys) + " " +
                           std::to_string(c.range[0]) + " " + std::to_string(c.range[1]) + " " +
                           std::to_string(c.range[2]) + " " + std::to_string(c.range[3]);
        ASSERT_EQ(write(), NO_ERROR) << what << "\n" << log_.str();
        std::string text = written();
        std::size_t at = text.find("LLC Range");
        if (c.line == nullptr) {
            EXPECT_EQ(at, std::string::npos) << what << "\n" << text;
        } else {
            ASSERT_NE(at, std::string::npos) << what << "\n" << text;
            EXPECT_EQ(text.substr(at, text.find('\n', at) + 1 - at), native(kl("LLC Range", c.line))) << what;
        }
        // Read back, the ranges are the slot's (the reader completes them by board).
        ASSERT_EQ(read_back(), NO_ERROR) << what << "\n" << log_.str();
        EXPECT_EQ(slot().light[0].rangeLow, c.range[0]) << what;
        EXPECT_EQ(slot().light[0].rangeHigh, c.range[1]) << what;
        EXPECT_EQ(slot().light[1].rangeLow, c.range[2]) << what;
        EXPECT_EQ(slot().light[1].rangeHigh, c.range[3]) << what;
    }
}

TEST_F(FormatTest, LlcLines)
{
    SysInfo& si = base();
    four_wavelengths(si);
    si.light[0].config = 3;
    si.light[0].freq = 1000000;
    si.light[1].freq = 1000000;  // the reader keeps the working copy equal
    si.light[0].target = 255;
    si.light[1].avgCurLimit[1] = 7;
    si.light[0].fwdVoltage[1] = 10000;
    si.llcInstrType = LLC_INSTR_MODEL13;
    EXPECT_EQ(body(), native(kl("LLC Instr", "MODEL13") + kl("LLC Config", "3") + kl("LLC Freq", "1000000") +
                             kl("LLC Target", "255") + kl("LLC AvgCurLimit", "0  0  0  7") +
                             kl("LLC FwdVoltage", "0  10000")));
    ASSERT_EQ(read_back(1), NO_ERROR) << log_.str();
    EXPECT_TRUE(slot(1).cal() == si.cal());
    // The light type LED always has its frequency; the listed types always their target.
    sysinfo_reset_all_slots();
    SysInfo& s = base();
    s.lightType = LIGHT_LED;
    s.sysType = SYS_MODEL33;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("Light LED", "0.632800") + kl("LLC Freq", "35000") + kl("LLC Target", "150"))),
              std::string::npos)
        << written();
}

TEST_F(FormatTest, PifocForms)
{
    SysInfo& si = base();
    four_wavelengths(si);
    ASSERT_EQ(sysinfo_ensure_pifoc(si), NO_ERROR);
    si.pifoc->value = 42;
    si.pifoc->coef = 0.928655;
    si.pifoc->beta = 0.0144;
    EXPECT_EQ(body(), native(kl("Pifoc", "42")));
    si.sysType = SYS_MODEL16;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("Pifoc", "42  0.928655  0.014400"))), std::string::npos) << written();
    // Coefficients of their own are kept for any system type.
    si.sysType = SYS_MODEL09;
    si.pifoc->beta = 0;
    si.pifoc->type = 1;
    EXPECT_EQ(body(), native(kl("Pifoc", "42  0.928655  0.000000") + kl("PifocType", "1")));
    ASSERT_EQ(read_back(1), NO_ERROR) << log_.str();
    EXPECT_TRUE(slot(1).cal() == si.cal());
    // A record that only a PifocType line made.
    si.pifoc->value = 0;
    si.pifoc->coef = 0;
    si.pifoc->beta = 0;
    si.pifoc->type = 0;
    EXPECT_EQ(body(), native(kl("PifocType", "0")));
    ASSERT_EQ(read_back(1), NO_ERROR) << log_.str();
    EXPECT_TRUE(slot(1).cal() == si.cal());
}

TEST_F(FormatTest, InstrumentsThatNeedALineGetItAtZero)
{
    SysInfo& si = base();
    si.sysType = SYS_MODEL14;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    std::string text = written();
    EXPECT_NE(text.find(native(kl("RadCrvFocCal", "1") + kl("RadCrvPwrCal", "1") + kl("InvertData", "0"))),
              std::string::npos)
        << text;
    ASSERT_EQ(read_back(), NO_ERROR) << log_.str();

    si.sysType = SYS_MODEL24;
    si.wmComm.assign("COM8");
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("wmComm", "COM8") + kl("wmMonOPD", "0.000000"))), std::string::npos)
        << written();
    si.sysType = SYS_MODEL26;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("wmSysGain", "0.000000"))), std::string::npos) << written();
    ASSERT_EQ(read_back(), NO_ERROR);
    EXPECT_EQ(log_.str().find("system gain"), std::string::npos) << log_.str();
}

TEST_F(FormatTest, DefaultTargetIsTheSlotsFileInTheConfigurationDirectory)
{
    fs::create_directory(dir_ / "cfg");
    auto saved = os::get_env("RV_CONFIG_DIR");
    os::set_env("RV_CONFIG_DIR", dir_.str("cfg").c_str());
    u_dirs_test_system fake{nullptr, "LAB7", false};
    u_dirs_reset_for_tests(&fake);
    SysInfo& si = base(2);
    si.hostFileDigit = 3;
    si.zoom = 4;
    int32_t rc = sb_writeCal(2, nullptr);
    int32_t rc_empty = sb_writeCal(2, "");
    std::string text = vptest::read_file(dir_ / "cfg" / "LAB7.3");
    os::set_env("RV_CONFIG_DIR", saved ? saved->c_str() : nullptr);
    u_dirs_reset_for_tests();
    EXPECT_EQ(rc, NO_ERROR) << log_.str();
    EXPECT_EQ(rc_empty, NO_ERROR) << log_.str();
    EXPECT_NE(text.find(native(kl("Zoom", "4"))), std::string::npos) << text;
}

TEST_F(FormatTest, WidePathTarget)
{
    base();
    std::string wide = os::make_wide_path(dir_.str("wide \xC3\xA9.cal"));
    ASSERT_EQ(sb_writeCal(0, wide.c_str()), NO_ERROR) << log_.str();
    EXPECT_EQ(vptest::read_file(dir_ / "wide \xC3\xA9.cal").substr(0, native(kHeader).size()), native(kHeader));
}

}  // namespace
