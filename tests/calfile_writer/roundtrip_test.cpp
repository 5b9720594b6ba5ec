// Read, write, read again: the slot comes back field by field, and writing it again gives the
// same file byte for byte. Where a format carries fewer digits than the value, the slot read
// back holds what the reader stores from the written text.
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/calfile_writer/rich_files.h"
#include "tests/calfile_writer/roundtrip_property.h"
#include "tests/calfile_writer/writer_fixture.h"

namespace {

namespace fs = std::filesystem;

using calwtest::kl;
using calwtest::native;

class RoundTripTest : public calwtest::WriterTest {
protected:
    // Checks the round-trip property on `text`, then reads `text` into slot `i`, writes it with
    // sb_writeCal and reads that file back into slot `i`. Returns the written file.
    std::string round_trip(const std::string& text, int i, const std::string& what)
    {
        calprop::outcome property = calprop::check_round_trip(text);
        EXPECT_TRUE(property.applies) << what << "\n" << log_.str();
        EXPECT_EQ(property.fault, "") << what;

        EXPECT_EQ(read_text(text, i), NO_ERROR) << what << "\n" << log_.str();
        std::string expected;
        EXPECT_EQ(calfile_write_text(slot(i), expected), NO_ERROR) << what;
        const std::string one = dir_.str("one.cal");
        fs::remove(one);
        EXPECT_EQ(write(i, &one), NO_ERROR) << what << "\n" << log_.str();
        EXPECT_EQ(vptest::read_file(one), native(expected)) << what;
        log_.clear();
        EXPECT_EQ(sb_readCal(i, one.c_str()), NO_ERROR) << what << "\n" << log_.str();
        return vptest::read_file(one);
    }
};

TEST_F(RoundTripTest, RichFiles)
{
    int n = 0;
    for (const std::string* text : calwtest::kRichFiles) {
        round_trip(*text, n % SB_NUM_SLOTS, text->substr(0, text->find('\n', text->find('\n') + 1)));
        ++n;
    }
}

TEST_F(RoundTripTest, RichFilesUseEveryKeywordTheWriterWrites)
{
    std::set<std::string> keywords;
    for (const std::string* text : calwtest::kRichFiles) {
        std::string file = round_trip(*text, 0, text->substr(0, text->find('\n')));
        std::size_t at = file.find('\n') + 1;  // after the header
        while (at < file.size()) {
            std::size_t end = file.find('\n', at);
            std::string line = file.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            at = end == std::string::npos ? file.size() : end + 1;
            if (line.empty())
                continue;
            std::string keyword = line.substr(0, line.find("  "));
            if (keyword.rfind("Light ", 0) == 0)
                keyword = "Light";
            keywords.insert(keyword);
        }
    }
    const char* all[] = {
        "InstrName", "Unit", "Model17", "Version", "MacAddress", "InstrComm", "Camera Type", "Camera File",
        "Camera Config", "Camera Dark", "Camera Align", "Camera Bpix", "Camera BPixels", "Camera Options",
        "Ramp Config", "Light", "LLC Instr", "LLC Range", "LLC Config", "LLC Freq", "LLC Target", "LLC Options",
        "LLC AvgCurLimit", "LLC FwdVoltage", "LLC AlignModePct", "PztPwr", "ADC Clock", "Pifoc", "PifocPolarity",
        "PifocType", "SysMag", "NomMag", "Camera SplitX", "Camera SplitY", "Camera Trans", "FTPMaterials", "FTPSys",
        "FTPDmiScale", "FTPImageRot", "FTPZeroPtPos", "FTPDisper", "FTPAvg_K0", "FTPDmiCenter", "FTPTiltCenter",
        "FTPZeroGagePer", "FTPTemperature", "FTPLog", "ScanCal", "Turret", "Zoom", "IgnoreDualBrushMotor",
        "IgnoreLAPS", "IgnoreWand", "IgnoreFocusNDW", "IgnoreZoom", "IgnorePZT", "RingSpot", "DiffDiskRate",
        "DiffDiskFraction", "XAxisBacklash", "YAxisBacklash", "ZAxisCal", "ZAxisBacklash", "ZEncoder",
        "ZCanClosedLoop", "SdcCal", "RadCrvFocCal", "RadCrvPwrCal", "InvertData", "NoIntensAvg", "TouchScreen",
        "MotionCtrl", "PosInstr", "TempSensor", "PendentMenu", "AxisComp_A", "AxisComp_B", "AxisComp_P",
        "AxisComp_R", "AxisComp_T", "AxisComp_X", "AxisComp_Y", "AxisComp_Z", "PidVals_A", "PidVals_B Fast",
        "PidVals_P Slow", "PidVals_R", "PidVals_T Fast", "PidVals_X", "PidVals_Y Fast", "PidVals_Y Slow",
        "PidVals_Z", "wmComm", "wmSysGain", "wmMonOPD", "wmTuneRange", "wmTuneRate", "FtpsiInvertData",
        "AbsWaveMeter", "DynWaveGen", "HxiEncZoomConfig", "HxiEncZoomBacklash", "HxiEncZoomProgLim",
        "HxiEncZoomWandLim", "HxiEncZoomStdMags", "HxiEncZoomCalFile", "EncodedRadiusScale", "IntfRadiusScale",
        "SleepTimeout"};
    for (const char* keyword : all)
        EXPECT_EQ(keywords.count(keyword), 1u) << keyword;
    // Several boards and system types.
    for (const char* keyword : {"Model04", "FTP", "HXI", "Model13", "Model25", "Model34", "Model07"})
        EXPECT_EQ(keywords.count(keyword), 1u) << keyword;
}

TEST_F(RoundTripTest, FixesOfTheReaderTravelWithTheSlot)
{
    // The CAN Model25 without dual brush motor board: turret 0 with second value 1, zoom 0,
    // LLC ranges completed to 65535, which four values of an LLC Range line cannot carry.
    std::string file = round_trip(calwtest::kRichModel25, 1, "Model25");
    EXPECT_EQ(slot(1).turret, 0);
    EXPECT_EQ(slot(1).turret2, 1);
    EXPECT_EQ(slot(1).zoom, 0);
    EXPECT_EQ(slot(1).light[1].rangeHigh, 65535);
    EXPECT_EQ(file.find("LLC Range"), std::string::npos) << file;
    EXPECT_NE(file.find(native(kl("Turret", "0  1"))), std::string::npos) << file;
}

TEST_F(RoundTripTest, FormatsWithFewerDigitsThanTheValue)
{
    const std::string text = "FTP 10 10 5000\nVersion None 0 FTP\nInstrComm COM2\nInvertData 0\nPifoc 5\nCamera Type su320\n"
                             "Light Diode 0.63281234\n"
                             "NomMag 1.23456 99.99996\n"
                             "ScanCal 1.1234567\n"
                             "DiffDiskFraction 0.0000001\n"
                             "FTPSys 0.123456789 0.5 0 1\n"
                             "FTPDmiCenter 0 12.345 -0.98765\n"
                             "FTPDisper 0 6.283185307179586 -6.283185307179586\n"
                             "wmTuneRange 0.0016 1.23456789\n"
                             "ZAxisCal 1.1499999\n";
    std::string file = round_trip(text, 0, "precision");
    for (const std::string& line :
         {kl("Light Diode", "0.632812"), kl("SysMag", "0.0000  0.0000"), kl("NomMag", "1.2346  100.0000"),
          kl("FTPSys", "0.12345679  0.5  0  1"), kl("FTPDmiCenter", "0  12.3  -0.988"),
          kl("FTPDisper", "0  6.283185307179586  -6.283185307179586"), kl("ScanCal", "1.12346"),
          kl("DiffDiskFraction", "1e-07"), kl("ZAxisCal", "1.15"), kl("wmTuneRange", "0.002  1.235")})
        EXPECT_NE(file.find(native(line)), std::string::npos) << line << file;
    // The slot read back holds what the reader stores from those texts.
    const SysInfo& si = slot();
    EXPECT_EQ(si.wavelength[0][0], 0.632812 * 1e-6);
    EXPECT_EQ(si.nomMag[0], 1.2346);
    EXPECT_EQ(si.nomMag[1], 100.0);
    EXPECT_EQ(si.scanCal[0], 1.12346);
    EXPECT_EQ(si.diffDiskFraction, static_cast<float>(1e-07));
    EXPECT_EQ(si.zAxisCal, 1.15f);
    ASSERT_NE(si.ftpInfo, nullptr);
    EXPECT_EQ(si.ftpInfo->sys[0], 0.12345679);
    EXPECT_EQ(si.ftpInfo->mag[0].dmiCenter[0], 12.3f);
    EXPECT_EQ(si.ftpInfo->mag[0].dmiCenter[1], -0.988f);
    EXPECT_EQ(si.ftpInfo->mag[0].disper[0], 6.283185307179586);
    EXPECT_EQ(si.ftpInfo->mag[0].disper[1], -6.283185307179586);
    EXPECT_EQ(si.wmTuneRange[0], 0.002 * 1e9);
    EXPECT_EQ(si.wmTuneRange[1], 1.235 * 1e9);
}

TEST_F(RoundTripTest, SinglePrecisionValueAtTheEndOfItsRange)
{
    // 2147483647 read into a float is 2147483648, beyond the range; the end of the range stands
    // for it, since it reads back as the same float.
    std::string file = round_trip("Model09 12 05 12345\nVersion None 0 None\nLight HeNe\nwmSysGain 2147483647\n"
                                  "SdcCal 1 -3.4028234663852886e38\n",
                                  0, "wmSysGain");
    EXPECT_NE(file.find(native(kl("wmSysGain", "2147483647"))), std::string::npos) << file;
    EXPECT_EQ(slot().wmSysGain, 2147483648.0f);
    // The lowest float is a value that is set (only the highest means not set); its six digits
    // read back as the float nearest to them.
    EXPECT_NE(file.find(native(kl("SdcCal", "1  -3.40282e+38"))), std::string::npos) << file;
    EXPECT_EQ(slot().sdcCal[1].f[0], static_cast<float>(-3.40282e38));
}

// Values that a write once dropped or rounded to 0: each line is written so that it reads back.
TEST_F(RoundTripTest, ValuesTheWriteMustNotLose)
{
    const std::string base = "Model09 12 05 12345\nVersion None 0 None\nCamera Type xc77\n";
    struct row {
        std::string line;      // read after `base`
        std::string written;   // the line it is written as
    };
    const row rows[] = {
        {"Camera Pll 0", kl("Camera Pll", "0")},
        {"wmMaxBuckets 1 3", kl("wmMaxBuckets", "1  3")},
        {"wmMaxBuckets 1900 0", kl("wmMaxBuckets", "1900  0")},
        {"Light Diode [0.6328,0.0000001]", kl("Light Diode", "[0.632800,1e-07] 0.632800 0.632800 0.632800")},
        {"Light Diode [0.6328,4.9e-7]", kl("Light Diode", "[0.632800,4.9e-07] 0.632800 0.632800 0.632800")},
        {"wmSysGain 0.0000004", kl("wmSysGain", "4e-07")},
        {"wmMonOPD 0.0000004", kl("wmMonOPD", "4e-07")},
        {"wmTuneRange 0.0004 0", kl("wmTuneRange", "0.0004  0.000")},
    };
    for (const row& r : rows) {
        std::string file = round_trip(base + r.line + "\n", 0, r.line);
        EXPECT_NE(file.find(native(r.written)), std::string::npos) << r.line << "\n" << file;
    }
}

// The materials loader keeps the full path it found beside the name; the file keeps the name,
// however long or odd the path.
TEST_F(RoundTripTest, FtpMaterialsNameIsWrittenNotTheFoundPath)
{
    SysInfo& si = base();
    ASSERT_EQ(sysinfo_ensure_ftp_info(si), NO_ERROR);
    si.ftpInfo->materialsFile = "Mats.txt";
    si.ftpInfo->materialsPath = "C:\\Program Files\\Vell\\config\\" + std::string(600, 'x') + "\\Mats.txt";
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("FTPMaterials", "Mats.txt"))), std::string::npos) << written();
}

// A Custom camera line's number stays when a later Camera Type line names another camera; only a
// Custom line carries it, so one comes first, and the Camera Config line undoes its preset.
TEST_F(RoundTripTest, FlagOfAnEarlierCustomCameraLineIsKept)
{
    const std::string ftp = "FTP 10 01 54321\nVersion Pulsar 0 FTP\nInstrComm COM1\nInvertData 0\nPifoc 5\n"
                            "Light White 1.5\n";
    std::string file = round_trip(ftp + "Camera Type Custom 1\nCamera Type DGFLY1024\n", 0, "FTP");
    EXPECT_NE(file.find(native(kl("Camera Type", "CUSTOM  1") + kl("Camera Type", "DGFLY1024  1") + "\n" +
                               kl("Camera Config", "0  1  0  1  1  1  0  1"))),
              std::string::npos)
        << file;
    EXPECT_EQ(slot().interlaceFlag(), 1);
    EXPECT_EQ(slot().cameraType, CAM_DGFLY1024);
    const std::string hxi = "HXI 10 01 54321\nVersion None 0 HXI\nInstrComm COM1\nLLC Target 100\nLight HeNe\n";
    file = round_trip(hxi + "Camera Type Custom 1\nCamera Type xc77\nCamera Config 0 0\n", 0, "HXI");
    EXPECT_NE(file.find(native(kl("Camera Type", "CUSTOM  1") + kl("Camera Type", "XC77CE  1") + "\n" +
                               kl("Camera Config", "0  0"))),
              std::string::npos)
        << file;
    EXPECT_EQ(slot().fieldCtrl(), 1);
    // Bytes set under an earlier board that the final board's lines cannot carry: the property
    // leaves a text with two Version lines out.
    EXPECT_EQ(read_text(hxi + "Camera Config 1 5\n version None 0 FTP\nInvertData 0\nPifoc 5\n"), NO_ERROR);
    EXPECT_FALSE(calprop::check_round_trip(hxi + "Camera Config 1 5\n version None 0 FTP\nInvertData 0\nPifoc 5\n").applies);
}

// A slot set by a program may hold a byte limit that is no whole number of MiB (the default
// is one): the line carries the next whole MiB.
TEST_F(RoundTripTest, ByteLimitBetweenTwoMiBIsWrittenAsTheNext)
{
    SysInfo& si = base();
    si.wmMaxBuckets = 5;
    ASSERT_EQ(write(), NO_ERROR) << log_.str();
    EXPECT_NE(written().find(native(kl("wmMaxBuckets", "5  2048"))), std::string::npos) << written();
}

// ---------------------------------------------------------------------------------------------
// Random calibration files: every one reads, and what the writer makes of it reads back.

class random_file {
public:
    explicit random_file(unsigned seed) : rng_(seed) {}

    std::string make();

private:
    std::mt19937 rng_;
    std::string out_;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(int percent) { return pick(0, 99) < percent; }
    std::string i(int lo, int hi) { return std::to_string(pick(lo, hi)); }
    // A real in [lo, hi] with few or all of its digits.
    std::string r(double lo, double hi)
    {
        double v = std::uniform_real_distribution<double>(lo, hi)(rng_);
        if (chance(15))
            v = chance(50) ? lo : hi;
        char buf[64];
        switch (pick(0, 2)) {
        case 0:
            std::snprintf(buf, sizeof buf, "%.17g", v);
            break;
        case 1:
            std::snprintf(buf, sizeof buf, "%.3f", v);
            if (std::strtod(buf, nullptr) < lo || std::strtod(buf, nullptr) > hi)
                std::snprintf(buf, sizeof buf, "%.17g", v);
            break;
        default:
            std::snprintf(buf, sizeof buf, "%.0f", v);
            if (std::strtod(buf, nullptr) < lo || std::strtod(buf, nullptr) > hi)
                std::snprintf(buf, sizeof buf, "%.17g", v);
            break;
        }
        return buf;
    }
    std::string name()
    {
        static const char* const names[] = {"COM1", "a.txt", "\"two words\"", "\"\"", "x#y", "\"[b]\"", "Name_9"};
        return names[pick(0, 6)];
    }
    std::string word() { return std::string(1, static_cast<char>('a' + pick(0, 25))) + i(0, 999); }
    void line(const std::string& text) { out_ += text + "\n"; }
    template <class... T>
    std::string join(const T&... parts)
    {
        std::string s;
        ((s += (s.empty() ? "" : " ") + std::string(parts)), ...);
        return s;
    }
};

std::string random_file::make()
{
    out_.clear();
    static const int systems[] = {4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                  23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35};
    static const char* const boards[] = {"None", "Board01", "HXI", "Model13", "Model31", "FTP", "CAN", "NOTNEEDED"};
    static const char* const lights[] = {"HeNe", "Diode", "White", "Special", "LED"};
    const int sys = systems[pick(0, 30)];
    const std::string board = boards[pick(0, 7)];
    const int fg = pick(0, SB_NUM_FG_TYPE_NAMES - 1);

    line(join(sb_sys_type_names[sys], i(0, 99), i(1, 52), i(100, 999999), chance(30) ? "R" : ""));
    line(join("Version", sb_fg_type_names[fg], i(0, 99999), board));
    line("InstrComm " + name());
    if (board == "CAN" || chance(20))
        line(join("MacAddress", "0", "ff", "1A", "b2", "c", "00"));
    const bool custom_board = board == "Board01" || board == "FTP" || board == "HXI" || board == "Model31" ||
                              board == "CAN" || board == "NOTNEEDED";
    if (fg != 0 || board != "None" || chance(50)) {
        int cam;
        do
            cam = pick(1, 32);
        while (cam == CAM_INFRACAMA || (cam == CAM_CUSTOM && !custom_board));
        line(join("Camera Type", sb_camera_type_names[cam], cam == CAM_CUSTOM && chance(50) ? i(0, 1) : ""));
    }
    if (board == "HXI" || board == "Model31")
        if (chance(50))
            line(join("Camera Config", i(0, 1), i(0, 15)));
    if (board == "Board01" || board == "FTP")
        if (chance(50))
            line(join("Camera Config", i(0, 1), i(0, 1), i(0, 3), i(0, 1), i(0, 1), i(0, 1), i(0, 1), i(0, 1)));
    line("InvertData " + i(0, 255));
    {
        std::string pifoc = "Pifoc " + i(0, 999999);
        if (chance(50))
            pifoc += " " + r(0.5, 2) + " " + (chance(20) ? std::string("0") : r(0.005, 0.1));
        line(chance(20) ? "PztId " + i(0, 99999) : pifoc);
    }
    line("wmComm " + name());
    line("wmMonOPD " + r(0, 2147483647.0));
    line("LLC Target " + i(64, 255));
    {
        std::string light = std::string("Light ") + lights[pick(0, 4)];
        int n = pick(1, 4);
        for (int k = 0; k < n; ++k)
            light += chance(30) ? " [" + r(0.1, 15) + "," + r(0, 1) + "]" : " " + r(0.1, 15);
        line(light);
    }

    int mags = 0;
    if (chance(70)) {
        mags = pick(1, 15);
        std::string nom = "NomMag", sys_line = "SysMag";
        for (int k = 0; k < mags; ++k) {
            nom += " " + (chance(20) ? std::string("0") : r(0, 100));
            sys_line += " " + (chance(20) ? std::string("0") : r(0, 100));
        }
        line(nom);
        if (chance(60))
            line(sys_line);
    }

    auto optional = [&](int percent, const std::string& text) {
        if (chance(percent))
            line(text);
    };
    optional(30, "Unit " + i(0, 7));
    optional(30, "Camera File " + name() + (chance(50) ? " " + word() : "") + (chance(30) ? " NULL " + word() : ""));
    optional(30, "Camera Dark " + i(0, 32767));
    optional(30, std::string("Camera Align ") + sb_camera_align_names[pick(0, 2)]);
    if (chance(40)) {
        int lines = pick(1, 4);
        for (int l = 0; l < lines; ++l) {
            std::string bad = "Camera Bad";
            for (int k = pick(1, 10); k > 0; --k)
                bad += " [" + i(0, 700) + "," + i(0, 484) + "]";
            line(bad);
        }
    } else if (chance(30)) {
        line("Camera Bpix " + i(0, 1) + (chance(50) ? " " + word() : ""));
    }
    optional(30, "Camera Options " + i(0, 268435455));
    optional(20, "Camera Pll " + i(0, 1));
    optional(30, "Ramp Config " + name());
    optional(20, "ADC Clock " + i(0, 511));
    optional(40, "LLC Range " + i(0, 65535) + " " + i(0, 65535) + (chance(50) ? " " + i(0, 4096) + " " + i(0, 4096) : ""));
    optional(30, "LLC Config " + i(0, 255) + (chance(50) ? " " + i(0, 255) : ""));
    optional(30, "LLC Freq " + i(0, 1000000));
    optional(20, "LLC Options " + i(0, 268435455));
    optional(30, "LLC AvgCurLimit " + i(0, 1000) + " " + i(0, 1000) + (chance(50) ? " " + i(0, 1000) + " " + i(0, 1000) : ""));
    optional(30, "LLC FwdVoltage " + i(0, 10000) + " " + i(0, 10000) + (chance(50) ? " " + i(0, 10000) + " " + i(0, 10000) : ""));
    optional(30, "LLC AlignModePct " + r(0, 100));
    optional(20, std::string("LLC Instr ") + (chance(30) ? "model13" : chance(50) ? "dd100mc " + name() : "dd100mc_b " + name()));
    optional(30, "PztPwr " + i(-1, 1000));
    optional(30, "PifocPolarity " + i(-1, 1));
    optional(30, "PifocType " + i(0, 2));
    if (mags > 0) {
        optional(30, std::string(chance(50) ? "Camera SplitX " : "Camera SplitY ") + i(1, 2047) + " " + i(0, 10));
        for (int k = pick(0, 3); k > 0; --k)
            line("Camera Trans " + i(0, 14) + " " + i(-2047, 2047) + " " + i(-2047, 2047));
    }
    if (chance(40)) {
        optional(60, "FTPMaterials " + name());
        optional(60, "FTPSys " + r(0, 1) + " " + r(0, 1) + " " + r(-1, 1) + " " + r(0, 10));
        optional(50, "FTPDmiScale " + r(1.5, 2.5));
        optional(50, "FTPImageRot " + r(0, 1));
        optional(50, "FTPZeroPtPos " + r(-10, 10) + (chance(50) ? " " + r(-10, 10) : ""));
        if (mags > 0) {
            for (int k = pick(0, 3); k > 0; --k) {
                bool disper = chance(50);
                std::string l = std::string(disper ? "FTPDisper " : "FTPAvg_K0 ") + i(0, 14);
                for (int n = pick(2, 10); n > 0; --n)
                    l += " " + (disper ? r(-6.283185307179586, 6.283185307179586) : r(0, 100));
                line(l);
            }
            for (int k = pick(0, 3); k > 0; --k)
                line(std::string(chance(50) ? "FTPDmiCenter " : "FTPTiltCenter ") + i(0, 14) + " " + r(-100, 100) +
                     " " + r(-100, 100));
        }
        optional(50, "FTPZeroGagePer " + i(0, 99) + ":" + i(0, 23) + ":" + i(0, 59) + ":" + i(0, 59));
        optional(50, "FTPTemperature " + i(0, 50) + ":" + i(0, 23) + ":" + i(0, 59) + ":" + i(0, 59) + " " + r(0, 5));
        optional(50, "FTPLog " + name() + (chance(50) ? " " + i(0, 2147483647) + (chance(50) ? " " + i(0, 2147483647) : "") : ""));
    }
    optional(30, "ScanCal " + r(0.85, 1.15) + (chance(50) ? " " + r(0.85, 1.15) : ""));
    optional(30, "Turret " + i(0, 255) + (chance(50) ? " " + i(0, 255) : ""));
    optional(30, "Zoom " + i(0, 255));
    for (const char* flag : {"IgnorePZT", "IgnoreLAPS", "IgnoreWand", "IgnoreZoom", "IgnoreDualBrushMotor",
                             "IgnoreFocusNDW", "RingSpot", "NoIntensAvg", "TouchScreen"})
        optional(20, flag);
    optional(30, "DiffDiskRate " + r(10, 80));
    optional(30, "DiffDiskFraction " + r(0.001, 2));
    optional(30, "XAxisBacklash " + r(0, 1000));
    optional(30, "YAxisBacklash " + r(0, 1000));
    optional(30, "ZAxisBacklash " + r(0, 100));
    optional(30, "ZAxisCal " + r(0.85, 1.15));
    optional(20, "ZEncoder " + i(0, 1));
    optional(20, "ZCanClosedLoop " + i(0, 1));
    for (int k = pick(0, 3); k > 0; --k) {
        std::string sdc = "SdcCal " + i(0, 14);
        for (int n = pick(0, 8), v = 0; v < n; ++v)
            sdc += " " + (v < 6 ? r(-3.4e38, 3.4e38) : r(0, 3.4e38));
        line(sdc);
    }
    optional(30, "RadCrvFocCal " + r(-100, 100));
    optional(30, "RadCrvPwrCal " + r(-100, 100));
    optional(30, "FtpsiInvertData " + i(0, 255));
    optional(30, "MotionCtrl " + name() + " " + name());
    optional(30, std::string("PosInstr ") + sb_pos_instr_names[pick(1, 12)] + " " + name() + (chance(50) ? " " + word() : ""));
    optional(20, "TempSensor euro2216e " + name());
    optional(20, "PendentMenu " + name());
    for (int axis = 0; axis < SB_NUM_AXES; ++axis) {
        optional(15, std::string("AxisComp_") + SB_AXIS_LETTERS[axis] + " " + name());
        if (chance(15)) {
            std::string pid = std::string("PidVals_") + SB_AXIS_LETTERS[axis];
            int which = pick(0, 2);
            pid += which == 0 ? "" : which == 1 ? " fast" : " slow";
            pid += " " + i(-8388608, 8388607) + " " + i(-8388608, 8388607) + " " + i(0, 8388607) + " " +
                   i(0, 8388607) + " " + i(0, 1) + " " + i(0, 8388607);
            for (int k = 0; k < 4; ++k)
                pid += " " + r(-2, 2);
            line(pid);
        }
    }
    optional(30, "wmSysGain " + r(0, 2147483647.0));
    optional(30, "wmTuneRange " + r(0, 2147483647.0) + " " + r(0, 2147483647.0));
    optional(30, "wmTuneRate " + r(0, 2147483647.0) + " " + r(0, 2147483647.0));
    optional(20, "wmMaxBuckets " + i(0, 5000) + " " + i(0, 2047));
    optional(20, "AbsWaveMeter " + i(0, 1) + " " + name());
    optional(20, "DynWaveGen " + i(-100, 100) + " " + i(0, 30) + " " + (chance(30) ? std::string("0") : i(96, 126)));
    if (chance(30)) {
        optional(60, "HxiEncZoomConfig " + i(0, 255));
        optional(60, "HxiEncZoomBacklash " + i(-1000, 1000));
        optional(60, "HxiEncZoomProgLim " + i(0, 60000) + " " + i(0, 60000));
        optional(60, "HxiEncZoomWandLim " + i(0, 60000) + " " + i(0, 60000));
        if (chance(60)) {
            std::string std_mags = "HxiEncZoomStdMags";
            for (int k = pick(1, 15); k > 0; --k)
                std_mags += " " + r(0, 100);
            line(std_mags);
        }
        optional(60, "HxiEncZoomCalFile " + name());
    }
    optional(30, "EncodedRadiusScale " + i(0, 1) + " " + r(0, 1) + " " + r(0, 1) + " " + i(0, 20) +
                     (chance(50) ? " " + r(0, 1) : ""));
    optional(30, "IntfRadiusScale " + i(0, 1) + " " + r(0, 1) + " " + r(0, 1) + " " + i(0, 20) + " " + r(0, 1));
    optional(30, "SleepTimeout " + i(0, 5) + ":" + i(0, 47) + ":" + i(0, 44));
    optional(10, "Remote " + name());
    return out_;
}

TEST_F(RoundTripTest, RandomFiles)
{
    int files = 0;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        random_file gen(seed);
        std::string text = gen.make();
        if (read_text(text, seed % SB_NUM_SLOTS) != NO_ERROR)
            continue;  // a combination that the reader's final checks refuse
        ++files;
        round_trip(text, seed % SB_NUM_SLOTS, "seed " + std::to_string(seed) + ":\n" + text);
        if (HasFailure())
            break;
    }
    EXPECT_GT(files, 300);
}

}  // namespace
