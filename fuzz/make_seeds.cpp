// fuzz_seeds DIR: writes the seed corpora and dictionaries of the fuzz targets into DIR.
//
//   DIR/sdf/       SDF files: the SDF writer's own output, ASCII files of every data type (by
//                  name and by digit) with and without a trailer, binary files of every type
//   DIR/trailer/   trailers as sdf_write_trailer writes them, and short hand-made ones
//   DIR/calfile/   calibration files of several instrument kinds, rich in line kinds
//   DIR/ramp/      ramp data files (SWLI, BTW, PMI) as rr_write_ramp_file writes them
//   DIR/rampcfg/   ramp configuration files: the writer's output, bad lines, CR LF, and
//                  DIR/ramp.dict, DIR/rampcfg.dict
//   DIR/dat/       data files of the three header formats, with and without intensity data
//   DIR/sdf.dict, DIR/calfile.dict, DIR/dat.dict   keywords for the mutator
//   DIR/ftp/, DIR/pifoc/, DIR/ftp.dict, DIR/pifoc.dict   FTP materials and PIFOC info files
//   DIR/lcdmi/, DIR/bpix/, DIR/lcdmi.dict, DIR/bpix.dict   LCDMI configuration and bad pixel files
//   DIR/sio/, DIR/sio.dict   serial settings texts with error-marked port input
//   DIR/wm_answer/, DIR/readout/ and their dictionaries   wave monitor answers, readout lines
//   DIR/can/, DIR/can.dict   CAN PDO and EMCY sequences
//
// Each calibration seed is read back once and its result printed, so that a seed that stops
// parsing early (and would teach the fuzzer little) shows up in the log.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "vell/calfile/vocab.h"
#include "vell/datafile/datafile.h"
#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_file.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/sdf_writer.h"
#include "vell/sdf/trailer.h"

namespace fs = std::filesystem;

namespace {

int failures = 0;

void put(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", path.string().c_str());
        ++failures;
    }
}

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- SDF ------------------------------------------------------------------------------------

const char* const type_names[8] = {"UCHAR", "UINTEGER", "ULONGINT", "FLOAT", "CHAR", "INTEGER", "LONGINT", "DOUBLE"};

// Six values (3 x 2 points) of each type as text, the type's invalid point among them.
const char* const text_values[8] = {
    "0 1 255\n17 254 3\n",
    "0 65535 1000\n2 3 65534\n",
    "4294967295 0 12\n-1 7 100000\n",
    "1.5 -2.25 3.4028235e38\nnan 1e3 0\n",
    "-128 127 0\n5 -5 126\n",
    "-32768 32767 1\n2 3 -4\n",
    "-2147483648 2147483647 0\n1 2 3\n",
    "1.7976931348623157e308 -1.5 2.5\n1e9 0 -0\n",
};

std::string ascii_header(const std::string& type, const std::string& extra = "")
{
    return "aBCR-1.0\n"
           "ManufacID = TN9.5.2\n"
           "CreateDate = 020319951120\n"
           "ModDate = 010120001200\n"
           "NumPoints = 3\n"
           "NumProfiles = 2\n"
           "Xscale = 1e-06\n"
           "Yscale = 1e-06\n"
           "Zscale = 6.103515625e-05\n"
           "Zresolution = 6.103515625e-05\n"
           "Compression = 0\n"
           "DataType = " + type + "\n"
           "CheckType = 0\n" + extra + "*\n";
}

// The eight required keys (phase unit 2^-14) and the data offset.
std::string short_trailer(int offset = 0)
{
    return "Data Offset = " + std::to_string(offset) + "\n"
           "intf_scale_factor=         0.5\n"
           "wavelength_in=         0.5\n"
           "num_aperture=        0.25\n"
           "obliquity_factor=           1\n"
           "lateral_res=       1e-06\n"
           "camera_width=640\n"
           "camera_height=480\n"
           "phase_res=0\n"
           "*\n";
}

void le(std::string& s, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void le_f64(std::string& s, double d)
{
    uint64_t v;
    std::memcpy(&v, &d, 8);
    le(s, v, 8);
}

std::string binary_header(uint16_t points, uint16_t profiles, uint8_t type, double zres)
{
    std::string s = "bBCR-1.0";
    s += std::string("TN9.5.2\0\0\0", 10);
    s += "020319951120";
    s += "010120001200";
    le(s, points, 2);
    le(s, profiles, 2);
    le_f64(s, 1e-6);
    le_f64(s, 1e-6);
    le_f64(s, 0x1p-14);
    le_f64(s, zres);
    s.push_back(0);
    s.push_back(static_cast<char>(type));
    s.push_back(0);
    return s;
}

// Six little-endian values of each type, the invalid point among them.
std::string binary_values(uint8_t type)
{
    std::string s;
    switch (type) {
    case 0: s = std::string("\x00\x01\xff\x11\xfe\x03", 6); break;
    case 1: for (uint64_t v : {0, 65535, 1000, 2, 3, 65534}) le(s, v, 2); break;
    case 2: for (uint64_t v : {4294967295u, 0u, 12u, 7u, 100000u, 1u}) le(s, v, 4); break;
    case 3:
        for (float f : {1.5f, -2.25f, std::numeric_limits<float>::max(), std::numeric_limits<float>::quiet_NaN(), 1e3f, 0.0f}) {
            uint32_t v;
            std::memcpy(&v, &f, 4);
            le(s, v, 4);
        }
        break;
    case 4: s = std::string("\x80\x7f\x00\x05\xfb\x7e", 6); break;
    case 5: for (int64_t v : {-32768, 32767, 1, 2, 3, -4}) le(s, static_cast<uint64_t>(v), 2); break;
    case 6: for (int64_t v : {-2147483647LL, 2147483647LL, 0LL, 1LL, 2LL, 3LL}) le(s, static_cast<uint64_t>(v), 4); break;
    case 7:
        for (double d : {std::numeric_limits<double>::max(), -1.5, 2.5, 1e9, 0.0, -0.0})
            le_f64(s, d);
        break;
    }
    return s;
}

// Datasets written by the SDF writer itself: both phase resolutions, invalid points, NaN and
// text fields, a serial number beyond 16 bits.
void writer_seeds(const fs::path& dir)
{
    for (int variant = 0; variant < 3; ++variant) {
        dat_header h;
        dat_header_create(&h);
        h.swinfo.type = 1;
        std::memcpy(h.swinfo.date, "Mar 02 11:20:00 1995          ", 30);
        h.swinfo.vers = {3, 2, 1};
        h.time_stamp = 794143200;
        std::snprintf(h.comment, sizeof h.comment, "seed %d", variant);
        std::snprintf(h.obj_name, sizeof h.obj_name, "obj");
        std::snprintf(h.part_name, sizeof h.part_name, "part \"x\"");
        h.intf_scale_factor = 0.5f;
        h.wavelength_in = variant == 2 ? 0.5f : 6.328e-7f;
        h.num_aperture = 0.3f;
        h.obliquity_factor = 1.0f;
        h.magnification = variant == 1 ? std::numeric_limits<float>::quiet_NaN() : 10.0f;
        h.lateral_res = 2.5e-6f;
        h.phase_res = static_cast<int16_t>(variant);
        h.camera_width = 640;
        h.camera_height = 480;
        h.sys_serial2 = variant == 0 ? 123456 : 0;
        h.sys_serial = static_cast<int16_t>(variant == 0 ? (123456 & 0xFFFF) : 77);
        h.coords_state = 1;
        h.coords.x_pos = 1.25f;
        h.fiducials_a[3] = -2.5f;
        h.n_fiducials_a = 4;
        h.magic_number = static_cast<uint32_t>(dat_header_magic(&h));
        h.header_format = static_cast<int16_t>(h.magic_number == DAT_MAGIC_FORMAT2 ? 2 : 1);

        const int16_t w = static_cast<int16_t>(4 + variant), ht = static_cast<int16_t>(3 + variant);
        std::vector<int32_t> values(static_cast<std::size_t>(w * ht));
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = static_cast<int32_t>(i * 997) - 4000 * variant;
        values[1] = DAT_INVALID_PHASE;
        if (variant == 1)
            values.back() = DAT_INVALID_PHASE;
        phase_map p{};
        p.count = static_cast<uint32_t>(values.size());
        p.width = w;
        p.height = ht;
        p.data = values.data();
        h.cn_width = w;
        h.cn_height = ht;
        h.cn_n_bytes = w * ht * 4;
        fs::path out = dir / ("writer_" + std::to_string(variant) + ".sdf");
        int32_t rc = sdf_write_file(out.string().c_str(), &h, nullptr, &p);
        if (rc != NO_ERROR) {
            std::fprintf(stderr, "fuzz_seeds: sdf_write_file: %s\n", u_err_name(rc));
            ++failures;
        }
    }
}

void sdf_seeds(const fs::path& dir)
{
    writer_seeds(dir);
    for (int t = 0; t < 8; ++t) {
        std::string name = type_names[t];
        std::string digit(1, static_cast<char>('0' + t));
        put(dir / ("ascii_" + name + ".sdf"), ascii_header(name) + text_values[t] + "*\n" + short_trailer(t * 3));
        put(dir / ("ascii_" + digit + "_notrailer.sdf"), ascii_header(digit) + text_values[t] + "*\n");
        put(dir / ("binary_" + name + ".sdf"), binary_header(3, 2, static_cast<uint8_t>(t), t == 3 ? 0 : 0x1p-14) +
                                                   binary_values(static_cast<uint8_t>(t)));
    }
    // Line ends, comments, letter case and a restated geometry.
    std::string crlf = ascii_header("ulongint", "; a comment line\nNumPoints = 3 ; points\n") +
                       "1 2 3 ; first row\n\n4 5 6\n*\n" + short_trailer(-1) ;
    std::string with_cr;
    for (char c : crlf) {
        if (c == '\n')
            with_cr += '\r';
        with_cr += c;
    }
    put(dir / "ascii_crlf.sdf", with_cr);
    put(dir / "ascii_geometry.sdf", ascii_header("ULONGINT") + "1 2 3 4 5 6\n*\n" +
                                       "cn_width=3\ncn_height=2\ncn_n_bytes=24\ncn_org_x=5\ncn_org_y=-2\n" +
                                       "magic_number=2283471728\nsys_serial2=70000\nsys_serial=5\n" +
                                       "comment=\"with text\"\nwavelength_in_1=#QNAN\n" + short_trailer(100));
    put(dir / "ascii_notrailer_eof.sdf", ascii_header("LONGINT") + "1 2 3 4 5 6\n*");
    put(dir / "binary_ulongint_big.sdf", binary_header(8, 4, 2, 0x1p-14) + std::string(8 * 4 * 4, '\x01'));
    // Files of other programs (sdf_import): other dialects, exponent numbers, BAD and NaN
    // points, foreign trailers of both forms.
    std::string foreign = ascii_header("7") + "1.2345678901234567E-07 BAD -2.5e-08\nNaN 0 1E-9\n*\n";
    foreign.replace(0, 8, "aISO-1.0");
    put(dir / "import_iso.sdf", foreign + "Comment = elsewhere\n<Operator> someone </Operator>\n*\n");
    foreign.replace(0, 8, "aISO-2.0");
    put(dir / "import_iso2_notrailer.sdf", foreign);
    std::string bin = binary_header(3, 2, 5, -1) + binary_values(5) + "<Comment>x</Comment>\n";
    bin.replace(0, 8, "bISO-1.0");
    put(dir / "import_biso.sdf", bin);
}

void trailer_seeds(const fs::path& dir, const fs::path& sdf_dir)
{
    // The trailers of the writer's files: everything after the data section's "*" line.
    for (int variant = 0; variant < 3; ++variant) {
        std::string file = slurp(sdf_dir / ("writer_" + std::to_string(variant) + ".sdf"));
        std::size_t header_end = file.find("\n*\n");
        std::size_t data_end = header_end == std::string::npos ? std::string::npos : file.find("\n*\n", header_end + 3);
        if (data_end != std::string::npos)
            put(dir / ("writer_" + std::to_string(variant) + ".txt"), file.substr(data_end + 3));
    }
    // sdf_write_trailer on its own, for a header with unusual values.
    dat_header h;
    dat_header_create(&h);
    h.intf_scale_factor = std::numeric_limits<float>::quiet_NaN();
    h.wavelength_in = std::numeric_limits<float>::infinity();
    h.sys_serial2 = -5;
    std::snprintf(h.sys_err_file_name, sizeof h.sys_err_file_name, "C:\\errors\\sys.err");
    fs::path tmp = dir / "written.txt";
    std::FILE* f = std::fopen(tmp.string().c_str(), "wb");
    if (f != nullptr) {
        sdf_write_trailer(f, &h);
        std::fputs("*\n", f);
        std::fclose(f);
    }
    put(dir / "short.txt", short_trailer(7));
    put(dir / "no_star.txt", "intf_scale_factor=0.5\nwavelength_in=0.5\nnum_aperture=0.25\nobliquity_factor=1\n"
                             "lateral_res=1e-06\ncamera_width=640\ncamera_height=480\nphase_res=0");
    put(dir / "separators.txt", "camera_width = = 640\ncamera_height\t480\nobj_name=ABC\"\npart_name=\"open\n"
                                "magic_number= 2283471727\ncoords_state=-1\nlateral_res=#NAN\n*\nafter\n");
}

// ---- calibration files ----------------------------------------------------------------------

const char* const cal_files[][2] = {
    {"hxi.cal",
     "# Vell System Calibration File\n"
     "InstrName              \"Lab bench 2\"\n"
     "Model17                12  05  12345  R\n"
     "Version                Matrox  3  HXI\n"
     "InstrComm              COM3\n"
     "Unit 2\n"
     "Camera Type            XC77CE\n"
     "Camera Config 1 5\n"
     "Camera File a.dcf b.cam NULL\n"
     "Camera Dark 12\n"
     "Camera Align center\n"
     "Camera Bad [1,2] [3,4] [700,484]\n"
     "Camera Options 7\n"
     "Camera Pll 1\n"
     "Camera SplitX 640 2\n"
     "NomMag 2.5 5 10 20 50\n"
     "SysMag 2.49 5.01 10.02 19.9 50.3\n"
     "Camera Trans 1 -3 4\n"
     "ADC Clock 100\n"
     "Ramp Config ramps.cfg\n"
     "Light HeNe 0.6328 [0.55,0.05]\n"
     "LLC Target 128\n"
     "LLC Range 10 159\n"
     "LLC Config 3 5\n"
     "LLC Freq 1000\n"
     "LLC AlignModePct 55.5\n"
     "LLC AvgCurLimit 10 20 30 40\n"
     "LLC FwdVoltage 100 200\n"
     "LLC Options 3\n"
     "PztPwr 100\n"
     "Pifoc 12345 1.0 0.02\n"
     "PifocPolarity -1\n"
     "PifocType 2\n"
     "ScanCal 1.01 0.99\n"
     "Turret 3 1\n"
     "Zoom 2\n"
     "DiffDiskRate 40\n"
     "DiffDiskFraction 0.5\n"
     "XAxisBacklash 1.5\n"
     "YAxisBacklash 2\n"
     "ZAxisBacklash 0.25\n"
     "ZAxisCal 1.0\n"
     "ZEncoder 1\n"
     "SdcCal 3 1 2 3 4 5 6 7 8\n"
     "RadCrvFocCal -12.5\n"
     "InvertData 1\n"
     "NoIntensAvg\n"
     "MotionCtrl ctrlA ctrlB\n"
     "PosInstr lcdmi dev1 dev2\n"
     "PendentMenu menu.txt\n"
     "AxisComp_X xcomp.txt\n"
     "PidVals_X fast 1 2 3 4 1 5 0.1 0.2 0.3 0.4\n"
     "PidVals_Y 1 2 3 4 0 5 -0.1 0.2 0.3 -0.4\n"
     "HxiEncZoomConfig 3\n"
     "HxiEncZoomBacklash -20\n"
     "HxiEncZoomProgLim 100 50000\n"
     "HxiEncZoomStdMags 1 2 4 8\n"
     "HxiEncZoomCalFile zoom.cal\n"
     "EncodedRadiusScale 1 0.5 0.25 3\n"
     "IntfRadiusScale 0 0.1 0.2 4 0.3\n"
     "SleepTimeout 5:47:44\n"
     "Remote \"remote host\"\n"
     "RingSpot\n"
     "IgnorePZT\n"
     "TouchScreen\n"},
    {"ftp.cal",
     "FTP 10 01 54321\n"
     "Version Pulsar 0 FTP\n"
     "InstrComm COM1\n"
     "InvertData 0\n"
     "Camera Type Custom 1\n"
     "Camera Config 1 0 3 1 0 1 0 1\n"
     "Light Diode 9\n"
     "Pifoc 100\n"
     "PztId 200\n"
     "SysMag 1 2 3\n"
     "FTPMaterials materials.txt\n"
     "FTPSys 0.5 0.25 -0.5 5\n"
     "FTPDmiScale 2\n"
     "FTPImageRot 0.5\n"
     "FTPZeroPtPos 1 -1\n"
     "FTPDisper 1 0.1 0.2 0.3\n"
     "FTPAvg_K0 2 1 2\n"
     "FTPDmiCenter 0 1.5 -1.5\n"
     "FTPTiltCenter 1 2 3\n"
     "FTPZeroGagePer 1:2:3:4\n"
     "FTPSysInitPer 0:12\n"
     "FTPTemperature 0:0:1:0 2.5\n"
     "FTPLog log.txt 10 20\n"
     "FtpsiInvertData 1\n"
     "MotionCtrl one two\n"
     "TempSensor euro2216e COM4\n"
     "Camera Bpix 1 bad.txt\n"},
    {"can.cal",
     "Model15 20 30 100000\n"
     "Version None 0 CAN\n"
     "MacAddress 00 1a 2B 3c 4d ff\n"
     "Camera Type DGFLY1024\n"
     "Light White [1.5,0.1] 2\n"
     "LLC Instr dd100mc dev\n"
     "LLC Range 0 65535 1 2\n"
     "Turret 1\n"
     "Zoom 1\n"
     "IgnoreDualBrushMotor\n"
     "ZCanClosedLoop 1\n"
     "DynWaveGen 5 10 100\n"
     "AbsWaveMeter 1 meter\n"
     "wmComm COM9\n"
     "wmSysGain 2.5\n"
     "wmMonOPD 3\n"
     "wmTuneRange 1 2\n"
     "wmTuneRate 3 4\n"
     "wmMaxBuckets 5 6\n"
     "Pifoc 5 0.75 0\n"},
    {"errors.cal",
     "Model09 12 05 12345\n"
     "Version None 0 None\n"
     "Zoom 256\n"
     "InstrName \"never closed\n"
     "Camera Trans 1 2 3\n"
     "NomMag 1 2\n"
     "SysMag 1\n"
     "DiffDiskFraction 0\n"
     "SleepTimeout 5:47:45\n"
     "Pifoc 1 1 0.001\n"
     "Light Led\n"
     "Camera Bad [1,2 [3,4]\n"
     "none 3\n"},
    {"model13.cal",
     "Model07 99 52 999999\n"
     "Version Matrox 99999 Model13\n"
     "Camera Type XC77\n"
     "Light HeNe 10.6\n"
     "InvertData 255\n"
     "LLC Instr model13\n"
     "Zoom\n"
     "4\n"},
};

void calfile_seeds(const fs::path& dir)
{
    u_log_sink = &u_log_none;
    for (const auto& cal : cal_files) {
        put(dir / cal[0], cal[1]);
        sysinfo_reset_all_slots();
        calfile_reset_state();
        int32_t rc = sb_readCal_bytes(0, cal[1], cal[0]);
        std::printf("fuzz_seeds: %-12s reads as %s\n", cal[0], rc == NO_ERROR ? "NO_ERROR" : u_err_name(rc));
    }
    sysinfo_reset_all_slots();
    calfile_reset_state();
    u_log_sink = &u_log_stderr;
}

// ---- data files -----------------------------------------------------------------------------

void dat_seeds(const fs::path& dir)
{
    struct shape {
        const char* name;
        int16_t in_w, in_h, frames, cn_w, cn_h;
        int16_t phase_res;
        bool format3;
    };
    const shape shapes[] = {
        {"phase_f1.dat", 0, 0, 0, 3, 2, 0, false},     {"phase_f2.dat", 0, 0, 0, 5, 4, 2, false},
        {"both_f1.dat", 2, 2, 2, 3, 2, 1, false},      {"intensity_only.dat", 4, 3, 1, 0, 0, 0, false},
        {"both_f3.dat", 3, 2, 1, 4, 4, 0, true},       {"wide_f1.dat", 0, 0, 0, 1100, 2, 1, false},
    };
    for (const shape& s : shapes) {
        dat_header h;
        dat_header_create(&h);
        h.intf_scale_factor = 0.5f;
        h.wavelength_in = 6.328e-7f;
        h.obliquity_factor = 1.0f;
        h.phase_res = s.phase_res;
        if (s.format3)
            h.format3_area[100] = 1;
        int64_t magic = dat_header_magic(&h);
        h.magic_number = static_cast<uint32_t>(magic);
        dat_header_set_format(&h, h.magic_number);
        std::snprintf(h.comment, sizeof h.comment, "seed %s", s.name);
        std::vector<uint16_t> iv(std::size_t(s.in_w) * s.in_h * s.frames);
        for (std::size_t i = 0; i < iv.size(); ++i)
            iv[i] = static_cast<uint16_t>(i * 977);
        std::vector<int32_t> pv(std::size_t(s.cn_w) * s.cn_h);
        for (std::size_t i = 0; i < pv.size(); ++i)
            pv[i] = i % 5 == 3 ? DAT_INVALID_PHASE : static_cast<int32_t>(i * 1234567) - 40000;
        intensity_map in{static_cast<uint32_t>(iv.size()), 0, 0, s.in_w, s.in_h, s.frames, 0, iv.data()};
        phase_map cn{static_cast<uint32_t>(pv.size()), 0, 0, s.cn_w, s.cn_h, pv.data()};
        h.in_n_bytes = static_cast<int32_t>(iv.size() * 2);
        h.cn_width = s.cn_w;
        h.cn_height = s.cn_h;
        h.cn_n_bytes = static_cast<int32_t>(pv.size() * 4);
        int32_t rc = dat_write_file((dir / s.name).string().c_str(), &h, iv.empty() ? nullptr : &in,
                                    pv.empty() ? nullptr : &cn);
        if (rc != NO_ERROR) {
            std::fprintf(stderr, "fuzz_seeds: %s: %s\n", s.name, u_err_name(rc));
            ++failures;
        }
    }
}

// ---- ramps ----------------------------------------------------------------------------------

void ramp_seeds(const fs::path& dir)
{
    for (int kind = 0; kind < 3; ++kind) {
        rr_ramp_hdr_t h{};
        h.rampType = kind == 0 ? RR_SWLI : kind == 1 ? RR_BTW : 5;
        h.pztID = 12345;
        h.nPoints = 64 + 32 * kind;
        h.sampleClkFreq = 4.0f;
        h.cameraRate = 25.0f;
        h.updateRate = 64536;
        h.rampSlope = kind == 2 ? 0.0f : 81.0f;
        h.trigStartAddr = 8;
        h.trigEndAddr = h.nPoints - 8;
        h.rampGainDflt = 2048;
        h.scanLen = kind == 2 ? 0.0f : 10.0f;
        h.polar = 'b';
        h.offset = 1000;
        h.nBuckets = kind == 2 ? 7 : 64;
        h.compFilter = kind;
        h.scanCal = 1.0f;
        h.fringesPerFrame = 0.25f;
        h.objMag = kind == 1 ? 20.0f : 0.0f;
        h.wavelenSelect = kind == 1 ? 2 : 0;
        h.scanDir = 1;
        std::vector<uint16_t> samples(static_cast<std::size_t>(h.nPoints));
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<uint16_t>(500 + 700 * i);
        const fs::path path = dir / ("ramp" + std::to_string(kind) + ".b12345");
        if (rr_write_ramp_file(path.string().c_str(), &h, samples.data()) != NO_ERROR) {
            std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", path.string().c_str());
            ++failures;
        }
    }
}

void rampcfg_seeds(const fs::path& dir)
{
    rr_ramp_cfg_t e[4] = {};
    const char* names[4] = {"d10s81c25.b12345", "+", "d10s81c30m20.b7", "p7c25.q100"};
    const int32_t types[4] = {RR_SWLI, RR_SWLI, RR_BTW, RR_PMI};
    for (int i = 0; i < 4; ++i) {
        e[i].RampType = types[i];
        std::snprintf(e[i].FileName, sizeof e[i].FileName, "%s", names[i]);
        e[i].WavelenIndex = types[i] == RR_BTW ? 3 : 0;
        e[i].ScanLen = types[i] == RR_PMI ? 0.0f : 10.0f - 2.5f * static_cast<float>(i);
        e[i].CameraRate = 25.0f + static_cast<float>(i);
        e[i].GrabSkip = i & 1;
        e[i].FringesPerFrame = 0.25f;
        e[i].RampSlope = types[i] == RR_PMI ? 0.0f : 81.0f;
        e[i].ObjMag = types[i] == RR_BTW ? 20.0f : 0.0f;
        e[i].ScanCal = types[i] == RR_PMI ? 0.0f : 1.0f;
        e[i].Hide = i == 3;
    }
    const fs::path written = dir / "written.txt";
    if (rr_write_ramp_config(written.string().c_str(), e, 4) != NO_ERROR) {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", written.string().c_str());
        ++failures;
    }
    put(dir / "mixed.txt", "# ramps\nSWLI a.b1 10 25 0 0 0.25 81 0 1 # hide\nPMIX x\nBTW5 y 1 2 3\n"
                           "BTW4 extprofile3.bn 10 25 0 0 0.75 243 50 1.02 1\n\tPMI\tp.q1\t0\t30\t1\t2\t0.125\t0\t0\t0\n"
                           "SWLI + 1e400 nan 0 0 0.25 81 0 1\n");
    put(dir / "crlf.txt", "# ramps\r\nSWLI a.b1 10 25 0 0 0.25 81 0 1\r\n\r\nSWLI + 5 25 0 0 0.25 81 0 1 1\r\n");
}

// ---- dictionaries ---------------------------------------------------------------------------

std::string dict_entry(std::string_view word)
{
    std::string s = "\"";
    for (char c : word) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (u < 0x20 || u >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            s += hex;
        } else {
            s += c;
        }
    }
    return s + "\"\n";
}

void dictionaries(const fs::path& dir)
{
    std::string sdf;
    for (const char* k : {"aBCR-1.0", "ManufacID", "CreateDate", "ModDate", "NumPoints", "NumProfiles", "Xscale",
                          "Yscale", "Zscale", "Zresolution", "Compression", "DataType", "CheckType", "RRL",
                          "UINTTRACE", "#QNAN", "#NAN", "nan", "inf", "-1", "4294967295", "1e309", "2147483647",
                          "32767", "=", "\n*\n", "\r\n", ";", "aISO-1.0", "aISO-2.0", "bBCR-1.0",
                          "bISO-1.0", "bISO-2.0", "BAD", "NaN", "E-07", "<Comment>", "</Comment>"})
        sdf += dict_entry(k);
    for (const char* t : type_names)
        sdf += dict_entry(t);
    for (const sdf::trailer_key& k : sdf::trailer_keys())
        sdf += dict_entry(std::string(k.key) + "=");
    put(dir / "sdf.dict", sdf);

    std::string cal;
    for (std::size_t i = 0; i < cal_vocab_size; ++i)
        cal += dict_entry(cal_vocab[i].word);
    for (const char* k : {"\"", "#", "\n", "+", "[1,2]", "[0.5,0.1]", "1e300", "-2147483648", "4294967296", ":"})
        cal += dict_entry(k);
    put(dir / "calfile.dict", cal);

    std::string dat;
    for (std::string_view w : {std::string_view("\x88\x1B\x03\x6F", 4), std::string_view("\x88\x1B\x03\x70", 4),
                               std::string_view("\x88\x1B\x03\x71", 4), std::string_view("\x00\x00\x03\x42", 4),
                               std::string_view("\x00\x00\x10\x00", 4), std::string_view("\x7F\xFF\xFF\xF8", 4),
                               std::string_view("\x7F\xFF", 2), std::string_view("\xFF\xFF", 2)})
        dat += dict_entry(w);
    put(dir / "dat.dict", dat);

    std::string ramp;
    for (const char* k : {"RAMQ", "\xFF\xFF\xFF\xFF", "\x7F\xFF\xFF\xFF", "\x00\x00\x00\x00", "\x3E\x80\x00\x00"})
        ramp += dict_entry(std::string_view(k, 4));
    put(dir / "ramp.dict", ramp);

    std::string rampcfg;
    for (const char* k : {"SWLI", "PMI", "BTW", "BTW2", "+", "extprofile1.bn", "#", "\r\n", "\t", "nan", "1e400",
                          "49999.9", "50000", "0.25", "81", "999.999", "1.5", "-0", "0x10"})
        rampcfg += dict_entry(k);
    put(dir / "rampcfg.dict", rampcfg);
}

// ---- FTP materials and PIFOC info files -------------------------------------------------------

void ftp_pifoc_seeds(const fs::path& root)
{
    std::error_code ec;
    for (const char* sub : {"ftp", "pifoc"}) {
        fs::remove_all(root / sub, ec);
        fs::create_directories(root / sub, ec);
    }
    const std::string heading = "## Tessaron FTP Materials File - Format 1\n";
    const std::string sample =
        "\"Aluminum\"              023.000000  085.000000  00.035766  00.000000  00.000000  00.000000  00.000000  # 606\n";
    put(root / "ftp" / "sample.txt", heading + "## comment\n# Metals\n" + sample);
    put(root / "ftp" / "mixed.txt", heading + sample + "'Gold' 0.5 ? * -6.28 +1 .5 1e-1\r\n\"Steel\" 2 3 7 0 0 0 0\n"
                                                       "\"a\" 1 2 3 0 0 0 # short\n\"b\" 1 2 3 0 0 0 0 9\n");
    put(root / "ftp" / "no_heading.txt", sample);
    put(root / "ftp" / "format2.txt", "# Tessaron FTP Materials File - Format 2\n" + sample);
    put(root / "pifoc" / "plain.1", "# pifoc 1\n3600 1000000000 0\n");
    put(root / "pifoc" / "leak.1", "\n\t7200\t1500000000 -2 later\n");
    put(root / "pifoc" / "short.1", "5000 4000\n");

    std::string ftp;
    for (const char* k : {"## Tessaron FTP Materials File - Format 1\n", "Format", "#", "##", "\"", "'", "?", "*",
                          "6.283185307179586", "-6.28", "100", "nan", "inf", "1e-400", "\r\n", "\t"})
        ftp += dict_entry(k);
    put(root / "ftp.dict", ftp);
    std::string pifoc;
    for (const char* k : {"#", "\n", "\t", "4294967295", "4294967296", "-31254000", "9223372036854775807", "+", "-"})
        pifoc += dict_entry(k);
    put(root / "pifoc.dict", pifoc);
}

// ---- LCDMI configuration and camera bad pixel files ------------------------------------------

void lcdmi_bpix_seeds(const fs::path& root)
{
    const fs::path lcdmi = root / "lcdmi";
    const fs::path bpix = root / "bpix";
    std::error_code ec;
    for (const fs::path& d : {lcdmi, bpix}) {
        fs::remove_all(d, ec);
        fs::create_directories(d, ec);
    }
    put(lcdmi / "full.cfg",
        "# LCDMI\r\nVersion 3\r\nChannel 1 0 0 1 3 7 3 -2.5 Left\r\nChannel 2 0 1 0 0 0 0 1.0 X\r\n"
        "Channel 3 1 0 0 2 5 1 99 Rightlabel\r\nDiagOpts 1 3 32 33\r\nAvgChannels 1 3\r\n");
    put(lcdmi / "min.cfg", "VERSION: 2\nChannel 2 0 0 0 0 0 0 1e1 a\nChannel 2 1 0 0 0 0 0 0 a\n");
    put(lcdmi / "bad.cfg", "Version 3\nChannel 1 0 0 0 4 0 0 1.0 X\nAvgChannels 4\n");
    put(bpix / "two.dat", "# cam\r\n[ 0 0 640 480 30\r\n10 20\r\n10 20\r\n639 479\r\n[1 2 64 48 62.5\r\n0 0\r\n");
    put(bpix / "bad.dat", "[ 0 0 640 480 600\n640 0\n");
    std::string many;
    for (int i = 0; i < 101; ++i)
        many += "[ 1 1 8 8 25\n" + std::to_string(i % 8) + " 1\n";
    put(bpix / "many.dat", many);

    std::string ld;
    for (const char* k : {"Version", "VERSION:", "Channel", "DiagOpts", "AvgChannels", "#", "\r\n", "nan", "0x1",
                          "1e999", "-99", "99", "256", "4294967296"})
        ld += dict_entry(k);
    put(root / "lcdmi.dict", ld);
    std::string bd;
    for (const char* k : {"[", "#", "\r\n", "32767", "500", "1e3", "-1", "nan", "9223372036854775808"})
        bd += dict_entry(k);
    put(root / "bpix.dict", bd);
}

// Serial settings texts, each followed by error-marked port input.
void sio_seeds(const fs::path& dir)
{
    const std::string marked = std::string("a\xFF\xFF" "b\xFF", 5) + std::string("\0c\xFF\0\0d", 6);
    const char* texts[] = {"9600,8,0,1", "19200,7,2,1.5", "115200,8,0,3", "9600", "9600,8,x,1", "r+", ""};
    int i = 0;
    for (const char* t : texts)
        put(dir / ("settings_" + std::to_string(i++)), std::string(t) + "\n" + marked);
    std::string d;
    for (const char* k : {",", "1.5", "115200", "\xFF\xFF", "r+"})
        d += dict_entry(k);
    put(dir.parent_path() / "sio.dict", d);
}

// Wave monitor answers (three choice bytes: kind, respLen, itemSize; then the device's bytes) and
// Metronics readout lines. Each corpus in its own directory, made here.
void serial_links_seeds(const fs::path& root)
{
    std::error_code ec;
    for (const char* sub : {"wm_answer", "readout"}) {
        fs::remove_all(root / sub, ec);
        fs::create_directories(root / sub, ec);
    }
    const std::string wm[] = {
        std::string("\x01\x00\x00\x06", 4),
        std::string("\x01\x00\x00\x15", 4),
        std::string("\x02\x03\x00" "abc", 6),
        std::string("\x03\x04\x00\x00\x80\x00\x00\x06", 8),
        std::string("\x03\x24\x00", 3) + std::string(36, '\x01') + "\x06",
        std::string("\x04\x00\x02\x03\x00\x00\x00\x01\x02\x03\x04\x05\x06\x06", 14),
        std::string("\x04\x02\x08\xFF\xFF\xFF\xFF", 7),
    };
    int i = 0;
    for (const std::string& s : wm)
        put(root / "wm_answer" / ("answer_" + std::to_string(i++)), s);
    i = 0;
    for (const char* line : {"12.5000 mm", "-0.5000 in", "X - 1.25 MM", ".5", "ERROR", "", "1e999", "\xB0 12"})
        put(root / "readout" / ("line_" + std::to_string(i++)), line);

    std::string d;
    for (const char* k : {"\x06", "\x15", "\xFF\xFF\xFF\xFF"})
        d += dict_entry(k);
    put(root / "wm_answer.dict", d);
    d.clear();
    for (const char* k : {" mm", " in", "-", ".", "e", "1e308", "0x"})
        d += dict_entry(k);
    put(root / "readout.dict", d);
}

// ---- CAN PDO and EMCY sequences --------------------------------------------------------------

void can_seeds(const fs::path& root)
{
    std::error_code ec;
    fs::remove_all(root / "can", ec);
    fs::create_directories(root / "can", ec);
    // One message: kind, COB-ID (2 bytes, little-endian), length, 8 data bytes.
    auto msg = [](uint8_t kind, uint16_t cob, uint8_t len, std::initializer_list<uint8_t> d) {
        std::string m{char(kind), char(cob & 0xFF), char(cob >> 8), char(len)};
        std::string bytes(8, '\0');
        std::size_t i = 0;
        for (uint8_t b : d)
            bytes[i++] = char(b);
        return m + bytes;
    };
    // Model10 (index 0), encoded turret: brush motor moving, zoom, stopping, done; turret bytes.
    put(root / "can" / "brush_motor.bin", std::string{'\0', '\2'} + msg(0, 0x2BF, 8, {0x08, 1}) +
                                              msg(0, 0x2BF, 8, {0x20, 1}) + msg(0, 0x2BF, 8, {0x00, 9}) +
                                              msg(0, 0x1BF, 1, {3}) + msg(1, 0, 0, {1, 2, 3}));
    // Model17 (index 6): wand keys, ND wheel, ring/spot, focus.
    put(root / "can" / "wand.bin", std::string{'\6', '\0'} + msg(0, 0x1C8, 1, {1}) + msg(0, 0x1C9, 1, {3}) +
                                       msg(0, 0x2C0, 1, {0x02}) + msg(0, 0x2C0, 1, {0x18}) +
                                       msg(0, 0x2C4, 3, {0, 0, 2}) + msg(0, 0x1C0, 12, {1, 2, 3, 4, 5, 6, 7, 8}));
    std::string dict;
    for (const char* k : {"\xBF\x02", "\xBF\x01", "\xC0\x01", "\xC8\x01", "\xC9\x01", "\xC0\x02", "\xC4\x02"})
        dict += dict_entry(k);
    put(root / "can.dict", dict);
}

// ---- HXI encoded zoom calibration files ------------------------------------------------------

void zoomcal_seeds(const fs::path& root)
{
    std::error_code ec;
    fs::remove_all(root / "zoomcal", ec);
    fs::create_directories(root / "zoomcal", ec);
    put(root / "zoomcal" / "good.txt", "HXI zoom\r\n100 1.0\r\n200,2.5\r\n300, 3.75\r\n");
    put(root / "zoomcal" / "order.txt", "HXI zoom\n100 1.0\n200,2.5\n150, 3.0\n");
    put(root / "zoomcal" / "range.txt", "t\n0 0.5\n3.4028234663852886e38 6\n1e39 6.5\n");
    std::string many = "t\n";
    for (int i = 1; i <= 101; ++i)
        many += std::to_string(i) + " " + std::to_string(0.5 + i * 0.05) + "\n";
    put(root / "zoomcal" / "many.txt", many);
    std::string d;
    for (const char* k : {"\n", "\r\n", ",", ", ", " ", "nan", "inf", "1e39", "0x1p3", "6", "0.5", "-0"})
        d += dict_entry(k);
    put(root / "zoomcal.dict", d);
}

// Instrument board answers: three choice bytes (board type, kind, buffer size), then the frames.
void board_seeds(const fs::path& root)
{
    std::error_code ec;
    fs::remove_all(root / "board", ec);
    fs::create_directories(root / "board", ec);
    const std::string seeds[] = {
        std::string("\x00\x00\x10\x02\xFF\xFF", 6),                      // board 1, ACK
        std::string("\x00\x00\x10\x02\xFE\xFE", 6),                      // NAK
        std::string("\x00\x01\x10\x04\x06\x12\x34\x4C", 8),            // LLC_READ reply
        std::string("\x00\x00\x10\x03\x9B\x01\x9C\x02\xFF\xFF", 10), // zoom report, then ACK
        std::string("\x02\x01\x10\x03\x81\x04\x85\x03\x04\x07\x0B", 11), // board 6 key, reply
        std::string("\x01\x02\x10\x00\x03\x87\x02\x89", 8),            // empty, function key
        std::string("\x03\x01\x02\x04\x04\x01\x02\x07", 8),            // too big for the buffer
        std::string("\x00\x00\x10\x02\xFF\x00", 6),                      // bad checksum
        std::string("\x00\x01\x10\x05\x06\x01", 6),                      // cut short
    };
    int i = 0;
    for (const std::string& s : seeds)
        put(root / "board" / ("answer_" + std::to_string(i++)), s);
    std::string d;
    for (const char* k : {"\x02\xFF\xFF", "\x02\xFE\xFE", "\x03\x9B", "\x03\x87", "\x03\x81", "\x80"})
        d += dict_entry(k);
    put(root / "board.dict", d);
}

// Light-level reads of the serial boards: the board type byte, then the board's answers.
void llc_seeds(const fs::path& root)
{
    std::error_code ec;
    fs::remove_all(root / "llc", ec);
    fs::create_directories(root / "llc", ec);
    const std::string seeds[] = {
        std::string("\x00\x04\x06\x04\x00\x0A", 6),                  // board 1: level 3071
        std::string("\x00\x04\x06\x80\x00\x86", 6),                  // board 1: beyond 4095
        std::string("\x03\x04\x04\x0E\x66\x78", 6),                  // FTP: beyond 3685
        std::string("\x01\x03\x04\xC8\xCC\x03\x06\x02\x08", 9),   // HXI: 200, then mode 2
        std::string("\x02\x03\x81\x04\x85\x03\x04\xFE\x02", 9),   // Model31: key, then 254
        std::string("\x01\x02\xFE\xFE\x03\x04\x10\x14", 8),        // HXI: NAK, then 16
        std::string("\x00\x03\x06\x04\x0A", 5),                       // board 1: one byte short
    };
    int i = 0;
    for (const std::string& s : seeds)
        put(root / "llc" / ("answer_" + std::to_string(i++)), s);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    fs::path root = fs::u8path(argv[1]);
    std::error_code ec;
    for (const char* sub : {"sdf", "trailer", "calfile", "dat", "ramp", "rampcfg", "sio"}) {
        fs::remove_all(root / sub, ec);
        fs::create_directories(root / sub, ec);
        if (ec) {
            std::fprintf(stderr, "fuzz_seeds: cannot create %s\n", (root / sub).string().c_str());
            return 1;
        }
    }
    sdf_seeds(root / "sdf");
    trailer_seeds(root / "trailer", root / "sdf");
    calfile_seeds(root / "calfile");
    dat_seeds(root / "dat");
    ramp_seeds(root / "ramp");
    rampcfg_seeds(root / "rampcfg");
    dictionaries(root);
    ftp_pifoc_seeds(root);
    sio_seeds(root / "sio");
    serial_links_seeds(root);
    can_seeds(root);
    lcdmi_bpix_seeds(root);
    zoomcal_seeds(root);
    board_seeds(root);
    llc_seeds(root);
    return failures == 0 ? 0 : 1;
}
