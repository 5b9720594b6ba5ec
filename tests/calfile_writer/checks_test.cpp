// The writer's checks and failures: every one leaves the target as it was and the temporary
// file removed, reports its message and returns its code.
#include <limits>
#include <string>
#include <vector>

#include "tests/calfile_writer/writer_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::string kOld = "old content\n";
const std::string kHead = "Error writing system calibration file:\n";

class ChecksTest : public calwtest::WriterTest {
protected:
    // Writes slot 0 over an existing target and expects `rc`, exactly `log` in the log, the
    // target untouched and no temporary file left.
    void refused(int32_t rc, const std::string& log)
    {
        vptest::write_file(out_, kOld);
        EXPECT_EQ(write(), rc);
        EXPECT_EQ(log_.str(), log);
        EXPECT_EQ(written(), kOld);
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
        calfile_reset_state();  // every case starts with a message count of 0
    }
};

TEST_F(ChecksTest, SlotOutOfRange)
{
    for (int slot : {-1, 4, 100}) {
        log_.clear();
        EXPECT_EQ(sb_writeCal(slot, out_.c_str()), ERR_PARAM_OUT_OF_RANGE) << slot;
        EXPECT_EQ(log_.str(), "");
    }
    EXPECT_FALSE(fs::exists(out_));
}

TEST_F(ChecksTest, UndefinedSystemTypes)
{
    for (int type : {0, 1, 2, 3, 9, 36, -1, 99}) {
        base().sysType = type;
        refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "System type undefined.\n");
    }
    // Every type with a keyword is written.
    for (int type = SYS_HXI; type < SB_NUM_SYS_TYPE_NAMES; ++type) {
        if (type == SYS_MODEL30)
            continue;
        sysinfo_reset_all_slots();
        SysInfo& si = base();
        si.sysType = type;
        si.invertData = 1;
        ASSERT_EQ(sysinfo_ensure_pifoc(si), NO_ERROR);
        si.pifoc->value = 1;
        si.wmComm.assign("COM2");
        EXPECT_EQ(write(), NO_ERROR) << type << "\n" << log_.str();
        EXPECT_EQ(read_back(), NO_ERROR) << type << "\n" << log_.str();
        EXPECT_EQ(slot().sysType, type);
    }
}

TEST_F(ChecksTest, CameraTypeUndefined)
{
    struct camera_case {
        int32_t board, grabber, camera;
    };
    const camera_case cases[] = {
        {BD_CAN, FG_NONE, CAM_UNKNOWN},       {BD_HXI, FG_NONE, CAM_INFRACAMA}, {BD_NOTNEEDED, FG_NONE, 33},
        {BD_NONE, FG_MATROX, CAM_UNKNOWN},    {BD_NONE, FG_NONE, CAM_INFRACAMA}, {BD_NONE, FG_NONE, -1},
        {BD_NONE, FG_NONE, CAM_CUSTOM},       {BD_MODEL13, FG_NONE, CAM_CUSTOM},
    };
    for (const camera_case& c : cases) {
        sysinfo_reset_all_slots();
        SysInfo& si = base();
        si.instrBdType = c.board;
        si.fgType = c.grabber;
        si.cameraType = c.camera;
        si.instrComm.assign("COM1");
        ASSERT_EQ(sysinfo_ensure_can_info(si), NO_ERROR);
        SCOPED_TRACE(std::to_string(c.board) + " " + std::to_string(c.grabber) + " " + std::to_string(c.camera));
        refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Camera Type undefined.\n");
    }
}

TEST_F(ChecksTest, LightTypeUndefined)
{
    for (int32_t board : {BD_NONE, BD_CAN}) {
        for (int32_t light : {0, 6, -3}) {
            sysinfo_reset_all_slots();
            SysInfo& si = base();
            si.instrBdType = board;
            si.lightType = light;
            ASSERT_EQ(sysinfo_ensure_can_info(si), NO_ERROR);
            SCOPED_TRACE(std::to_string(board) + " " + std::to_string(light));
            refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Light Type undefined.\n");
        }
    }
}

TEST_F(ChecksTest, UnsetFirstWavelength)
{
    base().wavelength[0][0] = 0;
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Light wavelength undefined.\n");
}

TEST_F(ChecksTest, BoardsWithoutAKeyword)
{
    for (int32_t board : {BD_BOARD02, BD_BOARD04}) {
        SysInfo& si = base();
        si.instrBdType = board;
        si.instrComm.assign("COM1");
        refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Instrument board type undefined.\n");
    }
}

TEST_F(ChecksTest, CanBoardWithoutCanInfo)
{
    SysInfo& si = base();
    si.instrBdType = BD_CAN;
    refused(ERR_INVALID_PARAM, kHead + "canInfo = NULL\n");
    si.instrComm.assign("COM1");  // a communication name does not stand in for the bridge
    refused(ERR_INVALID_PARAM, kHead + "canInfo = NULL\n");
}

TEST_F(ChecksTest, InformationTheReaderRequires)
{
    SysInfo& si = base();
    si.instrBdType = BD_BOARD01;
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Missing InstrComm info.\n");
    ASSERT_EQ(sysinfo_ensure_can_info(si), NO_ERROR);  // a MAC address counts as communication
    EXPECT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_EQ(read_back(), NO_ERROR) << log_.str();
    calfile_reset_state();

    sysinfo_reset_all_slots();
    SysInfo& p = base();
    p.sysType = SYS_MODEL22;
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Missing PIFOC info.\n");
    ASSERT_EQ(sysinfo_ensure_pifoc(p), NO_ERROR);  // a record without value or coefficients
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Missing PIFOC info.\n");

    sysinfo_reset_all_slots();
    base().sysType = SYS_MODEL34;
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "Missing wmComm info.\n");
}

TEST_F(ChecksTest, ValuesTheReaderWouldRefuse)
{
    struct value_case {
        void (*change)(SysInfo&);
        const char* message;
    };
    const value_case cases[] = {
        {[](SysInfo& s) { s.unit = 8; }, "Unit: 8 out of range [0,7]"},
        {[](SysInfo& s) { s.dateCode = 1200; }, "Model09: 00 out of range [1,52]"},
        {[](SysInfo& s) { s.dateCode = 1253; }, "Model09: 53 out of range [1,52]"},
        {[](SysInfo& s) { s.serialNum = 99; }, "Model09: 99 out of range [100,999999]"},
        {[](SysInfo& s) { s.fgBoardNum = 100000; }, "Version: 100000 out of range [0,99999]"},
        {[](SysInfo& s) { s.cameraDark = 32768; }, "Camera Dark: 32768 out of range [0,32767]"},
        {[](SysInfo& s) { s.badPixels[0][0] = 701; s.badPixels[0][1] = 0; }, "Camera BPixels: 701 out of range [0,700]"},
        {[](SysInfo& s) { s.wavelength[1][0] = 16e-6; }, "Light HeNe: 16.000000 out of range [0.1,15]"},
        {[](SysInfo& s) { s.wavelength[0][1] = 2e-6; }, "Light HeNe: 2.000000 out of range [0,1]"},
        {[](SysInfo& s) { s.light[0].target = 63; }, "LLC Target: 63 out of range [64,255]"},
        {[](SysInfo& s) { s.light[0].avgCurLimit[0] = 1001; }, "LLC AvgCurLimit: 1001 out of range [0,1000]"},
        {[](SysInfo& s) { s.light[0].alignModePct = 101; }, "LLC AlignModePct: 101 out of range [0,100]"},
        {[](SysInfo& s) { s.pztPwr = 1001; }, "PztPwr: 1001 out of range [-1,1000]"},
        {[](SysInfo& s) { s.numMags = 1; s.nomMag[0] = -1; }, "NomMag: -1.0000 out of range [0,100]"},
        {[](SysInfo& s) { s.scanCal[0] = 2; }, "ScanCal: 2 out of range [0.85,1.15]"},
        {[](SysInfo& s) { s.scanCal[0] = std::numeric_limits<double>::infinity(); }, "ScanCal: inf out of range [0.85,1.15]"},
        {[](SysInfo& s) { s.zoom = 256; }, "Zoom: 256 out of range [0,255]"},
        {[](SysInfo& s) { s.diffDiskRate = 9; }, "DiffDiskRate: 9 out of range [10,80]"},
        {[](SysInfo& s) { s.diffDiskFraction = 0; }, "DiffDiskFraction: 0 out of range (0,2]"},
        {[](SysInfo& s) { s.zAxisBacklash = 101; }, "ZAxisBacklash: 101 out of range [0,100]"},
        {[](SysInfo& s) { s.zEncoder = 2; }, "ZEncoder: 2 out of range [0,1]"},
        {[](SysInfo& s) { s.sdcCal[0].d[0] = -1; }, "SdcCal: -1 out of range [0,3.40282e+38]"},
        {[](SysInfo& s) { s.wmMonOPD = 3e9; }, "wmMonOPD: 3000000000.000000 out of range [0,2.14748e+09]"},
        {[](SysInfo& s) { s.wmTuneRange[0] = 1; s.wmTuneRange[1] = -1e9; }, "wmTuneRange: -1.000 out of range [0,2.14748e+09]"},
        {[](SysInfo& s) { s.sleepTimeout = 20865; }, "SleepTimeout: 20865 out of range [0,20864]"},
        {[](SysInfo& s) { s.intfRadiusScale.n = 21; }, "IntfRadiusScale: 21 out of range [0,20]"},
    };
    for (const value_case& c : cases) {
        sysinfo_reset_all_slots();
        c.change(base());
        SCOPED_TRACE(c.message);
        refused(ERR_SB_CALFILE_VALUE_RANGE, kHead + c.message + "\n");
    }
}

TEST_F(ChecksTest, ValuesOfSubRecordsTheReaderWouldRefuse)
{
    SysInfo& si = base();
    ASSERT_EQ(sysinfo_ensure_dyn_wave_gen(si), NO_ERROR);
    si.dynWaveGen->number = 1;
    si.dynWaveGen->value = 0;
    si.dynWaveGen->value2 = 95;
    refused(ERR_SB_CALFILE_VALUE_RANGE, kHead + "DynWaveGen: 95 out of range [96,126] and 0\n");
    si.dynWaveGen->value2 = 0;
    ASSERT_EQ(sysinfo_ensure_pifoc(si), NO_ERROR);
    si.pifoc->value = 1;
    si.pifoc->coef = 1;
    si.pifoc->beta = 0.004;
    refused(ERR_SB_CALFILE_VALUE_RANGE, kHead + "Pifoc: 0.004000 out of range [0.005,0.1] and 0\n");
    si.pifoc->beta = 0.0144;
    ASSERT_EQ(sysinfo_ensure_hxi_zoom(si), NO_ERROR);
    si.hxiZoom->progLim[1] = 60001;
    refused(ERR_SB_CALFILE_VALUE_RANGE, kHead + "HxiEncZoomProgLim: 60001 out of range [0,60000]\n");
    si.hxiZoom->progLim[1] = 0;
    ASSERT_EQ(sysinfo_ensure_pid_set(si, 7), NO_ERROR);
    si.pidVals[7]->slow.reals[0] = 2.5f;
    refused(ERR_SB_CALFILE_VALUE_RANGE, kHead + "PidVals_Z Slow: 2.5 out of range [-2,2]\n");
    si.pidVals[7]->slow.reals[0] = 0;
    ASSERT_EQ(sysinfo_ensure_ftp_info(si), NO_ERROR);
    si.ftpInfo->temperaturePeriod = 8640001;
    refused(ERR_SB_CALFILE_VALUE_RANGE, kHead + "FTPTemperature: 8640001 out of range [0,8640000]\n");
    si.ftpInfo->temperaturePeriod = 0;
    si.numMags = 1;
    si.ftpInfo->mag[0].disper[0] = 1;
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead + "FTPDisper: Not enough FTPDisper or FTPAvg_K0 values.\n");
    si.ftpInfo->mag[0].disper[1] = 2;
    EXPECT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_EQ(read_back(), NO_ERROR) << log_.str();
}

TEST_F(ChecksTest, NamesTheReaderCannotGiveBack)
{
    struct name_case {
        void (*change)(SysInfo&);
        std::string message;
    };
    const name_case cases[] = {
        {[](SysInfo& s) { s.instrName.assign("say \"hi\""); }, "InstrName: name \"say \"hi\"\" cannot be written."},
        {[](SysInfo& s) { s.instrComm.assign("COM1\nZoom 3"); }, "InstrComm: name \"COM1\nZoom 3\" cannot be written."},
        {[](SysInfo& s) { s.pendentMenu.assign("a\rb"); }, "PendentMenu: name \"a\rb\" cannot be written."},
        {[](SysInfo& s) { s.wmComm.assign(std::string(82, 'x')); },
         "wmComm: name \"" + std::string(82, 'x') + "\" cannot be written."},
        {[](SysInfo& s) { s.cameraFile[0].assign("a"); s.cameraFile[1].assign("2nd"); },
         "Camera File: name \"2nd\" cannot be written."},
        {[](SysInfo& s) { s.cameraFile[0].assign("a"); s.cameraFile[1].assign("NULL"); },
         "Camera File: name \"NULL\" cannot be written."},
        {[](SysInfo& s) { s.cameraFile[0].assign("a"); s.cameraFile[2].assign("two words"); },
         "Camera File: name \"two words\" cannot be written."},
        {[](SysInfo& s) { s.cameraFile[1].assign("b"); }, "Camera File: name 1 is not set."},
        {[](SysInfo& s) { s.cameraFile[0].assign("a"); s.cameraFile[3].assign("d"); }, "Camera File: name 3 is not set."},
        {[](SysInfo& s) { s.bpixFileName.assign(""); }, "Camera Bpix: name \"\" cannot be written."},
        {[](SysInfo& s) {
             s.posInstrType = POS_VMI;
             s.posInstrName[0].assign("p");
             s.posInstrName[1].assign("_q");
         },
         "PosInstr: name \"_q\" cannot be written."},
    };
    for (const name_case& c : cases) {
        sysinfo_reset_all_slots();
        c.change(base());
        SCOPED_TRACE(c.message);
        refused(ERR_INVALID_PARAM, kHead + c.message + "\n");
    }
}

TEST_F(ChecksTest, EveryFailureIsReportedAndTheLastOneDecides)
{
    SysInfo& si = base();
    si.sysType = SYS_MODEL01;
    si.instrBdType = BD_CAN;
    si.cameraType = CAM_XC77CE;
    si.lightType = LIGHT_UNKNOWN;
    si.zoom = 300;
    refused(ERR_SB_CALFILE_VALUE_RANGE, kHead +
                                            "System type undefined.\n"
                                            "canInfo = NULL\n"
                                            "Light Type undefined.\n"
                                            "Zoom: 300 out of range [0,255]\n");
    si.zoom = 0;
    refused(ERR_SB_CAL_INFO_INCOMPLETE, kHead +
                                            "System type undefined.\n"
                                            "canInfo = NULL\n"
                                            "Light Type undefined.\n");
    si.sysType = SYS_MODEL09;
    si.lightType = LIGHT_HENE;
    refused(ERR_INVALID_PARAM, kHead + "canInfo = NULL\n");
}

TEST_F(ChecksTest, MessagesNameTheFileMostRecentlyRead)
{
    ASSERT_EQ(read_text("Model09 12 05 12345\nVersion None 0 None\n"), NO_ERROR);
    const std::string path = dir_.str("in.cal");
    slot().sysType = SYS_SPECIAL;
    slot().zoom = 999;
    vptest::write_file(out_, kOld);
    EXPECT_EQ(write(), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(log_.str(), "Error writing system calibration file \"" + path +
                              "\":\nSystem type undefined.\nZoom: 999 out of range [0,255]\n");
    // The count is the reader's and the writer does not reset it: no header the second time.
    EXPECT_EQ(write(), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(log_.str(), "System type undefined.\nZoom: 999 out of range [0,255]\n");
    EXPECT_EQ(written(), kOld);

    // A read whose warnings counted leaves the writer's first message without the header.
    ASSERT_EQ(read_text("Model09 12 05 12345\nVersion None 0 None\nZoom 2\n"), NO_ERROR);
    EXPECT_EQ(slot().zoom, 0);
    slot().unit = 9;
    EXPECT_EQ(write(), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(log_.str(), "Unit: 9 out of range [0,7]\n");
}

TEST_F(ChecksTest, TargetInAMissingFolder)
{
    base();
    const std::string target = dir_.str("no such folder/out.cal");
    EXPECT_EQ(write(0, &target), ERR_CANT_WRITE_FILE);
    std::string log = log_.str();
    const std::string head = kHead + "Cannot copy temp file \"";
    ASSERT_EQ(log.compare(0, head.size(), head), 0) << log;
    const std::string tail = "\" to \"" + target + "\"\n";
    ASSERT_GE(log.size(), head.size() + tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << log;
    // The temporary file was in the system's temporary directory, with its prefix, and is gone.
    std::string temp = log.substr(head.size(), log.size() - head.size() - tail.size());
    EXPECT_EQ(fs::path(temp).parent_path(), dir_ / "tmp") << temp;
    EXPECT_EQ(fs::path(temp).filename().string().rfind("_calfile", 0), 0u) << temp;
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir_ / "no such folder"));
}

TEST_F(ChecksTest, TargetThatIsADirectory)
{
    base();
    fs::create_directory(dir_ / "folder");
    vptest::write_file(dir_ / "folder" / "inside.txt", kOld);
    const std::string target = dir_.str("folder");
    EXPECT_EQ(write(0, &target), ERR_CANT_WRITE_FILE);
    EXPECT_NE(log_.str().find("Cannot copy temp file"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
    EXPECT_EQ(vptest::read_file(dir_ / "folder" / "inside.txt"), kOld);
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

TEST_F(ChecksTest, NoTemporaryFile)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a temporary directory where nothing can be created";
#else
    base();
    vptest::write_file(out_, kOld);
    for (const char* var : kTempVars)
        os::set_env(var, "/proc");
    EXPECT_EQ(write(), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(log_.str(), kHead + "Cannot create temp file.\n");
    EXPECT_EQ(written(), kOld);
#endif
}

TEST_F(ChecksTest, SuccessReplacesTheTargetAndClosesTheSlotsFile)
{
    SysInfo& si = base();
    vptest::write_file(out_, kOld);
    si.calFile.reset(std::fopen(out_.c_str(), "rb"));
    ASSERT_NE(si.calFile, nullptr);
    si.instrBdSwVersion = 7;
    si.instrOn = 1;
    EXPECT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_EQ(si.calFile, nullptr);
    // Nothing else in the slot changed.
    EXPECT_TRUE(si.cal() == base(1).cal());
    EXPECT_EQ(si.instrBdSwVersion, 7);
    EXPECT_EQ(si.instrOn, 1);
    EXPECT_EQ(si.hostFileDigit, 0);
    EXPECT_EQ(written().rfind(calwtest::native("# Vell System Calibration File\n"), 0), 0u);
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

}  // namespace
