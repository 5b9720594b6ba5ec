// datinfo [--png OUT] FILE
//
// Shows what a Vell binary data file holds, one "name: value" line per field on standard
// output: the header's identity, the geometry of its maps, the phase unit and the statistics
// of the valid heights in nanometres. With --png OUT it also writes a picture of the phase map.
// Exit status 0 on success, 1 when the file cannot be read or the picture cannot be written,
// 2 for a bad command line. Failures are described on standard error.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <string>
#include <string_view>
#include <vector>

#include "vell/datafile/png.h"
#include "vell/datafile/phase_picture.h"
#include "vell/datafile/phase_stats.h"
#include "vell/datafile/reader.h"
#include "vell/platform/console.h"
#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/platform/log.h"
#include "vell/platform/tool_main.h"
#include "vell/platform/tool_options.h"

namespace {

[[gnu::format(printf, 2, 3)]] void add(std::string& out, const char* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0)
        out.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

// A text field up to its terminator (or its end), trailing blanks dropped, with anything but
// printable ASCII written as \xNN so that the value stays on its line.
std::string text_of(const char* field, std::size_t size)
{
    std::size_t n = 0;
    while (n < size && field[n] != '\0')
        ++n;
    while (n > 0 && field[n - 1] == ' ')
        --n;
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            s += hex;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s;
}

std::string number(double v, const char* format)
{
    if (!std::isfinite(v))
        return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

int format_of(uint32_t magic)
{
    switch (magic) {
    case DAT_MAGIC_FORMAT1: return 1;
    case DAT_MAGIC_FORMAT2: return 2;
    default: return 3;
    }
}

std::string describe(const std::string& name, const dat_header& h, const intensity_map& in, const phase_map& cn)
{
    std::string out;
    out += "file: " + name + "\n";
    int format = format_of(h.magic_number);
    int32_t size = dat_header_size_for(h.magic_number);
    add(out, "format: %d\n", format);
    add(out, "magic_number: 0x%08X\n", static_cast<unsigned>(h.magic_number));
    add(out, "header_size: %d\n", static_cast<int>(size));
    if (h.header_format != format || h.header_size != size)
        add(out, "note: the header's own header_format %d and header_size %d disagree with the magic number\n",
            h.header_format, static_cast<int>(h.header_size));
    add(out, "software_type: %d\n", h.swinfo.type);
    add(out, "software_version: %d.%d.%d\n", h.swinfo.vers.maj, h.swinfo.vers.min, h.swinfo.vers.bug);
    out += "software_date: " + text_of(h.swinfo.date, sizeof h.swinfo.date) + "\n";
    add(out, "time_stamp: %ld\n", static_cast<long>(h.time_stamp));
    out += "comment: " + text_of(h.comment, sizeof h.comment) + "\n";
    out += "part_name: " + text_of(h.part_name, sizeof h.part_name) + "\n";
    out += "part_serial: " + text_of(h.part_ser_num, sizeof h.part_ser_num) + "\n";
    out += "object_name: " + text_of(h.obj_name, sizeof h.obj_name) + "\n";

    if (cn.data != nullptr) {
        add(out, "phase_map: %d x %d\n", cn.width, cn.height);
        add(out, "phase_origin: %d, %d\n", cn.org_x, cn.org_y);
    } else {
        out += "phase_map: none\n";
    }
    out += "lateral_res_m: " + number(h.lateral_res, "%.6g") + "\n";
    add(out, "camera: %d x %d\n", h.camera_width, h.camera_height);
    if (in.data != nullptr) {
        add(out, "intensity_map: %d x %d, %d frame%s\n", in.width, in.height, in.n_frames, in.n_frames == 1 ? "" : "s");
        add(out, "intensity_origin: %d, %d\n", in.org_x, in.org_y);
    } else {
        out += "intensity_map: none\n";
    }

    double unit_nm = dat_phase_unit(h) * 1e9;
    add(out, "phase_res: %d\n", h.phase_res);
    out += "phase_unit_nm: " + number(unit_nm, "%.6g") + "\n";
    if (cn.data == nullptr)
        return out;
    dat_phase_stats s = dat_phase_statistics(cn);
    add(out, "points: %" PRIu64 "\n", s.points);
    add(out, "valid_points: %" PRIu64 "\n", s.valid);
    out += "valid_pct: " + number(s.points ? 100.0 * double(s.valid) / double(s.points) : 0.0, "%.2f") + "\n";
    if (s.valid == 0) {
        out += "min_nm: none\nmax_nm: none\npv_nm: none\nrms_nm: none\n";
        return out;
    }
    out += "min_nm: " + number(s.min * unit_nm, "%.4f") + "\n";
    out += "max_nm: " + number(s.max * unit_nm, "%.4f") + "\n";
    out += "pv_nm: " + number((double(s.max) - double(s.min)) * unit_nm, "%.4f") + "\n";
    out += "rms_nm: " + number(s.rms * unit_nm, "%.4f") + "\n";
    return out;
}

const char kUsage[] = "usage: datinfo [--png OUT] FILE\n"
                      "  Shows the header, the maps and the height statistics of a Vell binary data file.\n"
                      "  --png OUT  also writes a picture of the phase map to the PNG file OUT.\n";

int usage()
{
    os::write_text(stderr, kUsage);
    return 2;
}

int fail(const std::string& message)
{
    os::write_text(stderr, "datinfo: " + message + "\n");
    return 1;
}

}  // namespace

int datinfo_main(int argc, char** argv)
{
    if (int status = u_tool_standard_options(argc, argv, "datinfo", kUsage); status >= 0)
        return status;
    const char* png = nullptr;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--png") == 0) {
            if (png != nullptr || i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage();
            png = argv[++i];
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usage();
        } else if (file == nullptr) {
            file = arg;
        } else {
            return usage();
        }
    }
    if (file == nullptr || file[0] == '\0')
        return usage();

    u_log_sink = u_log_stderr;
    dat_header header;
    intensity_map intensity{};
    phase_map phase{};
    int32_t rc = dat_read_file(os::path_text_of_utf8(file).c_str(), &header, &intensity, &phase);
    if (rc != NO_ERROR)
        return fail("cannot read \"" + std::string(file) + "\": " + u_err_name(rc));

    bool printed = os::write_text(stdout, describe(file, header, intensity, phase));
    int status = printed ? 0 : 1;
    if (png != nullptr) {
        dat_picture pic = dat_phase_picture(phase, dat_phase_statistics(phase));
        std::error_code ec;
        if (pic.rgb.empty()) {
            status = fail("\"" + std::string(file) + "\" has no phase map to draw");
        } else if (std::filesystem::equivalent(os::path_of_utf8(png), os::path_of_utf8(file), ec)) {
            status = fail("\"" + std::string(png) + "\" is the data file itself; the picture is not written");
        } else {
            std::vector<uint8_t> bytes = png_encode_rgb(pic.width, pic.height, pic.rgb);
            rc = bytes.empty() ? ERR_INVALID_PARAM : png_write_file(os::path_text_of_utf8(png).c_str(), bytes);
            if (rc != NO_ERROR) {
                status = fail("cannot write \"" + std::string(png) + "\": " + u_err_name(rc));
            } else {
                std::string out = "png_file: " + std::string(png) + "\n";
                add(out, "png_size: %u x %u\n", static_cast<unsigned>(pic.width), static_cast<unsigned>(pic.height));
                add(out, "png_points_per_pixel: %u x %u\n", static_cast<unsigned>(pic.factor),
                    static_cast<unsigned>(pic.factor));
                if (!os::write_text(stdout, out))
                    status = 1;
            }
        }
    }
    dat_release_maps(&intensity, &phase);
    return status;
}

VP_TOOL_MAIN(datinfo_main)
