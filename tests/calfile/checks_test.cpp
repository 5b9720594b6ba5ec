// After the last line: the final checks, the completion of the LLC range by board and the
// consistency corrections.
#include <string>

#include "tests/calfile/reader_fixture.h"

namespace {

using caltest::kBase;

class ChecksTest : public caltest::ReaderTest {
protected:
    // Reads `text` and expects `rc` with exactly `message` reported through the header.
    void incomplete(const std::string& text, const std::string& message,
                    int32_t rc = ERR_SB_CALFILE_INCOMPLETE)
    {
        EXPECT_EQ(read(text), rc) << text;
        EXPECT_EQ(messages(), header() + message + "\n") << text;
    }
    void ok(const std::string& text)
    {
        ASSERT_EQ(read(text), NO_ERROR) << text << "\n" << log_.str();
    }
};

TEST_F(ChecksTest, MissingSystemTypeComesFirst)
{
    incomplete("", "Missing system type info.");
    incomplete("Version None 0 Board01\n", "Missing system type info.");
}

TEST_F(ChecksTest, MissingVersion)
{
    incomplete("Model09 12 05 12345\n", "Missing frame grabber and instrument board Version info.");
}

TEST_F(ChecksTest, MissingInstrCommForSerialBoards)
{
    for (const char* b : {"HXI", "Model31", "FTP", "Board01"}) {
        incomplete(std::string("Model09 12 05 12345\nVersion None 0 ") + b + "\n", "Missing InstrComm info.");
    }
    // Boards that need no port.
    for (const char* b : {"None", "NOTNEEDED"})
        ok(std::string("Model09 12 05 12345\nVersion None 0 ") + b + "\n");
    ok("Model09 12 05 12345\nVersion None 0 Model13\nLight HeNe 0.6\n");
}

TEST_F(ChecksTest, MissingInvertData)
{
    for (const char* sys : {"Model13", "kivo", "Model14"})
        incomplete(std::string(sys) + " 12 05 12345\nVersion None 0 None\n", "Missing InvertData info.");
    ok("Model14 12 05 12345\nVersion None 0 None\nInvertData 0\n");
}

TEST_F(ChecksTest, MissingMacAddressForCan)
{
    incomplete("Model09 12 05 12345\nVersion None 0 CAN\n", "Missing MAC Address for CAN bus.");
    ok("Model09 12 05 12345\nVersion None 0 CAN\nMacAddress 1 2 3 4 5 6\n");
}

TEST_F(ChecksTest, FtpWithoutMotionControllerIsOnlyWarned)
{
    const std::string ftp = "ftp 12 05 12345\nVersion None 0 FTP\nInstrComm COM1\nInvertData 0\nPifoc 5\n";
    ok(ftp);
    EXPECT_EQ(messages(), "Missing MotionCtrl info.\n");
    EXPECT_EQ(calfile_reporting().msg_count, 0);
    ok(ftp + "MotionCtrl a b\n");
    EXPECT_EQ(messages(), "");
}

TEST_F(ChecksTest, WaveMonitorInstrumentsNeedCommAndOpd)
{
    for (const char* sys : {"ftpsi", "Model24"}) {
        std::string base = std::string(sys) + " 12 05 12345\nVersion None 0 None\nLLC Target 100\n";
        EXPECT_EQ(read(base), ERR_SB_CALFILE_INCOMPLETE);
        EXPECT_EQ(messages(), "Calibration file missing wave monitor comm info\n");
        EXPECT_EQ(read(base + "wmComm COM2\n"), ERR_SB_CALFILE_INCOMPLETE);
        EXPECT_EQ(messages(), "Calibration file missing wave monitor OPD info\n");
        ok(base + "wmComm COM2\nwmMonOPD 1.5\n");
    }
}

TEST_F(ChecksTest, MissingSystemGainIsOnlyWarned)
{
    ok("Model21 12 05 12345\nVersion None 0 None\n");
    EXPECT_EQ(messages(), "Calibration file missing system gain.\n");
    ok("Model26 12 05 12345\nVersion None 0 None\nwmSysGain 1\n");
    EXPECT_EQ(messages(), "");
    ok("Model28 12 05 12345\nVersion None 0 None\nLLC Target 70\n");
    EXPECT_EQ(messages(), "Calibration file missing system gain.\n");
}

TEST_F(ChecksTest, BadPixelsSpecifiedTwice)
{
    ok(kBase + "Camera Bpix 1 pixels.dat\n");
    ok(kBase + "Camera Bad [1,2]\n");
    incomplete(kBase + "Camera Bad [1,2]\nCamera Bpix 1 pixels.dat\n",
               "Bad Camera pixels specified twice using: camera bad or bpixels and camera bpix",
               ERR_SB_CALFILE_INVALID);
    incomplete(kBase + "Camera Bpix 0 pixels.dat\nCamera BPixels [1,2]\n",
               "Bad Camera pixels specified twice using: camera bad or bpixels and camera bpix",
               ERR_SB_CALFILE_INVALID);
    // A flag without a file name names no file.
    ok(kBase + "Camera Bad [1,2]\nCamera Bpix 1\n");
}

TEST_F(ChecksTest, MissingLlcTarget)
{
    incomplete("Model09 12 05 12345\nVersion None 0 HXI\nInstrComm COM1\n", "Missing LLCTarget info.");
    for (const char* sys : {"Model17", "Model24", "Model19", "Model20", "Model28"}) {
        std::string text = std::string(sys) + " 12 05 12345\nVersion None 0 None\nwmComm c\nwmMonOPD 1\nwmSysGain 1\n";
        incomplete(text, "Missing LLCTarget info.");
        ok(text + "LLC Target 200\n");
    }
}

TEST_F(ChecksTest, MissingCameraType)
{
    incomplete("Model09 12 05 12345\nVersion Matrox 0 None\n", "Missing Camera Type info.");
    ok("Model09 12 05 12345\nVersion Matrox 0 None\nCamera Type Basler\n");
}

TEST_F(ChecksTest, MissingLight)
{
    incomplete("Model09 12 05 12345\nVersion None 0 Board01\nInstrComm COM1\n", "Missing Light info.");
    incomplete("Model09 12 05 12345\nVersion None 0 Model13\nLight HeNe\n", "Missing Light info.");
    ok("Model09 12 05 12345\nVersion None 0 Board01\nInstrComm COM1\nLight HeNe 0.6328\n");
}

TEST_F(ChecksTest, MissingPifoc)
{
    for (const char* sys : {"Model04", "Model06", "Model10", "Model12", "Model15", "Model22", "Model27",
                            "Model25", "Model16"}) {
        std::string text = std::string(sys) + " 12 05 12345\nVersion None 0 None\n";
        incomplete(text, "Missing PIFOC info.");
        ok(text + "PztId 3\n");
    }
    incomplete("ftp 12 05 12345\nVersion None 0 None\nInvertData 0\nMotionCtrl a b\n", "Missing PIFOC info.");
    // Warnings come before the failing check that ends the read.
    EXPECT_EQ(read("ftp 12 05 12345\nVersion None 0 None\nInvertData 0\n"), ERR_SB_CALFILE_INCOMPLETE);
    EXPECT_EQ(messages(), "Missing MotionCtrl info.\n" + header() + "Missing PIFOC info.\n");
    ok("Model05 12 05 12345\nVersion None 0 None\n");
}

TEST_F(ChecksTest, ChecksRunOnlyAfterAnErrorFreeRead)
{
    EXPECT_EQ(read("Zoom 999\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(messages(), header() + "999 out of range [0,255]\nError in line 1.\n");
}

// ---------------------------------------------------------------------------------------------

struct range {
    int lo, hi, lo2, hi2;
};

class LlcRangeTest : public ChecksTest {
protected:
    range read_range(const std::string& text)
    {
        EXPECT_EQ(read(text), NO_ERROR) << text << "\n" << log_.str();
        const SysInfo& s = slot();
        return {s.light[0].rangeLow, s.light[0].rangeHigh, s.light[1].rangeLow, s.light[1].rangeHigh};
    }
};

void expect_range(const range& r, int lo, int hi, int lo2, int hi2)
{
    EXPECT_EQ(r.lo, lo);
    EXPECT_EQ(r.hi, hi);
    EXPECT_EQ(r.lo2, lo2);
    EXPECT_EQ(r.hi2, hi2);
}

TEST_F(LlcRangeTest, HxiAndModel31)
{
    for (const char* b : {"HXI", "Model31"}) {
        std::string text = std::string("Model09 12 05 12345\nVersion None 0 ") + b + "\nInstrComm c\nLLC Target 99\n";
        expect_range(read_range(text), 10, 159, 0, 0);
        expect_range(read_range(text + "LLC Range 5 6\n"), 5, 6, 0, 0);
    }
}

TEST_F(LlcRangeTest, Model13Board)
{
    const std::string tail = "Version None 0 Model13\nLight HeNe 1\n";
    expect_range(read_range("tesk 12 05 12345\n" + tail), 2, 532, 0, 0);
    expect_range(read_range("tesk 12 05 12345\n" + tail + "LLC Range 5 6\n"), 2, 532, 0, 0);
    expect_range(read_range("tesk 12 05 12345\n" + tail + "Camera Type DGFLY1024\n"), 2, 800, 0, 0);
    expect_range(read_range("Model09 12 05 12345\n" + tail), 0, 4095, 0, 0);
    expect_range(read_range("Model09 12 05 12345\n" + tail + "LLC Range 5 6 7 8\n"), 5, 6, 7, 8);
}

TEST_F(LlcRangeTest, NotNeededBoard)
{
    const std::string tail = "Version None 0 NotNeeded\n";
    expect_range(read_range("tesk 12 05 12345\n" + tail + "Camera Type dgfly1024\n"), 2, 800, 0, 0);
    expect_range(read_range("Model09 12 05 12345\n" + tail), 10, 159, 0, 0);
    expect_range(read_range("Model09 12 05 12345\n" + tail + "LLC Range 5 6\n"), 10, 159, 0, 0);  // always
}

TEST_F(LlcRangeTest, FtpBoard)
{
    const std::string text = "Model09 12 05 12345\nVersion None 0 FTP\nInstrComm c\n";
    expect_range(read_range(text), 0, 3685, 0, 0);
    expect_range(read_range(text + "LLC Range 1 2\n"), 1, 2, 0, 0);
}

TEST_F(LlcRangeTest, Board01)
{
    const std::string text = "Model09 12 05 12345\nVersion None 0 Board01\nInstrComm c\nLight HeNe 0.6\n";
    expect_range(read_range(text), 0, 4095, 0, 100);
    expect_range(read_range(text + "LLC Range 1 2\n"), 1, 2, 0, 100);
    expect_range(read_range(text + "LLC Range 1 2 3 4\n"), 1, 2, 3, 4);
}

TEST_F(LlcRangeTest, CanBoard)
{
    const std::string text = "Model09 12 05 12345\nVersion None 0 CAN\nMacAddress 1 2 3 4 5 6\n";
    expect_range(read_range(text), 0, 65535, 0, 65535);
    expect_range(read_range(text + "LLC Range 1 2\n"), 1, 2, 0, 65535);
    expect_range(read_range(text + "LLC Range 1 2 3 4\n"), 1, 2, 3, 4);
}

TEST_F(LlcRangeTest, OtherBoardsAreLeftAsRead)
{
    expect_range(read_range(kBase), 0, 0, 0, 0);
    expect_range(read_range(kBase + "LLC Range 7 8 9 10\n"), 7, 8, 9, 10);
}

// ---------------------------------------------------------------------------------------------

TEST_F(ChecksTest, MotorizedZoomNeedsACanBoard)
{
    ok(kBase + "Zoom 2\n");
    EXPECT_EQ(messages(), header() + "This instrument cannot have a motorized zoom.\n");
    EXPECT_EQ(slot().zoom, 0);
    ok(kBase + "Zoom 1\n");
    EXPECT_EQ(slot().zoom, 1);
    ok("Model09 12 05 12345\nVersion None 0 CAN\nMacAddress 1 2 3 4 5 6\nZoom 2\n");
    EXPECT_EQ(slot().zoom, 2);
    EXPECT_EQ(messages(), "");
}

TEST_F(ChecksTest, NoDualBrushMotorBoardMeansNoMotorizedTurretOrZoom)
{
    for (const char* sys : {"Model15", "Model25"}) {
        std::string text = std::string(sys) +
                           " 12 05 12345\nVersion None 0 CAN\nMacAddress 1 2 3 4 5 6\nPifoc 1\nTurret 3 4\nZoom 1\n";
        ok(text + "IgnoreDualBrushMotor\n");
        EXPECT_EQ(messages(), header() +
                                  "This instrument cannot have a motorized turret, no dual brush motor board.\n"
                                  "This instrument cannot have a motorized zoom, no dual brush motor board.\n");
        EXPECT_EQ(slot().turret, 0);
        EXPECT_EQ(slot().turret2, 1);
        EXPECT_EQ(slot().zoom, 0);
        ok(text);  // with the board present nothing changes
        EXPECT_EQ(slot().turret, 3);
        EXPECT_EQ(slot().turret2, 4);
        EXPECT_EQ(slot().zoom, 1);
    }
    // Other instruments keep their turret.
    ok("Model22 12 05 12345\nVersion None 0 CAN\nMacAddress 1 2 3 4 5 6\nPifoc 1\nTurret 3\nIgnoreDualBrushMotor\n");
    EXPECT_EQ(slot().turret, 3);
    // Without a turret value only the zoom is corrected.
    ok("Model15 12 05 12345\nVersion None 0 CAN\nMacAddress 1 2 3 4 5 6\nPztId 1\nZoom 2\nIgnoreDualBrushMotor\n");
    EXPECT_EQ(messages(), header() + "This instrument cannot have a motorized zoom, no dual brush motor board.\n");
    EXPECT_EQ(slot().turret2, 5);
}

}  // namespace
