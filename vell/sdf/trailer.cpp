// The key = value trailer of ASCII SDF files: one line per header field, ended by "*".
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <cstring>
#include <string>
#include <vector>

#include "vell/sdf/numbers.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/trailer.h"

namespace sdf {

namespace {

constexpr std::string_view data_offset_key = "Data Offset";

// Keys in the order in which the reader tries them. The first group is handled at once; the
// keys of the second group, and lines that match no key, first carry the serial number over
// (see carry_serial).
constexpr std::string_view first_part[] = {
    data_offset_key,   "pre_connect_filter", "sys_err_file_name", "intf_scale_factor",
    "obliquity_factor", "refractive_index",  "swinfo.vers.maj",   "swinfo.vers.min",
    "swinfo.vers.bug", "wavelength_fold",    "wavelength_in_1",   "wavelength_in_2",
    "wavelength_in_3", "wavelength_in_4",    "exit_pupil_diam",   "light_level_pct",
    "wavelen_select",  "intens_avg_cnt",     "coherence_mode",    "surface_filter",
    "part_thickness",  "min_mod_count",      "header_format",     "discon_action",
    "connect_order",   "camera_height",      "phase_avg_cnt",     "rem_tilt_bias",
    "wavelength_in",   "magnification",      "discon_filter",     "fiducials_a[ 0]",
    "fiducials_a[ 1]", "fiducials_a[ 2]",    "fiducials_a[ 3]",   "fiducials_a[ 4]",
    "fiducials_a[ 5]", "fiducials_a[ 6]",    "fiducials_a[ 7]",   "fiducials_a[ 8]",
    "fiducials_a[ 9]", "fiducials_a[10]",    "fiducials_a[11]",   "fiducials_a[12]",
    "fiducials_a[13]", "magic_number",       "coords_state",      "part_ser_num",
    "camera_width",    "num_aperture",       "target_range",      "pixel_height",
    "coords.x_pos",    "coords.y_pos",       "coords.z_pos",      "coords.x_rot",
    "coords.y_rot",    "coords.z_rot",       "swinfo.date",       "header_size",
    "swinfo.type",     "sub_sys_err",        "rem_fringes",       "rem_fringes_mode",
    "n_fiducials_a",   "lateral_res",        "pixel_width",       "scan_descr",
    "cn_n_bytes",      "time_stamp",         "sfac_limit",        "sys_serial2",
};

constexpr std::string_view second_part[] = {
    "codev_type", "setup_type", "part_name", "cn_height", "ramp_gain", "phase_res",
    "sys_board",  "obj_name",   "min_area",  "max_area",  "cn_org_x",  "cn_org_y",
    "cn_width",   "acq_type",   "ramp_cal",  "sys_type",  "comment",   "min_mod",
    "inst_id",    "wrapped",    "fda_res",   "source",    "sw_llc",    "sign",
};

// The fields needed to interpret the data.
constexpr std::string_view required_keys[] = {
    "intf_scale_factor", "obliquity_factor", "wavelength_in", "num_aperture",
    "lateral_res",       "camera_width",     "camera_height", "phase_res",
};

constexpr std::string_view write_order[] = {
    "magic_number",     "header_format",     "header_size",     "swinfo.type",
    "swinfo.date",      "swinfo.vers.maj",   "swinfo.vers.min", "swinfo.vers.bug",
    "cn_org_x",         "cn_org_y",          "cn_width",        "cn_height",
    "cn_n_bytes",       "time_stamp",        "comment",         "source",
    "intf_scale_factor", "wavelength_in",    "num_aperture",    "obliquity_factor",
    "magnification",    "lateral_res",       "acq_type",        "intens_avg_cnt",
    "ramp_cal",         "sfac_limit",        "ramp_gain",       "part_thickness",
    "sw_llc",           "target_range",      "min_mod",         "min_mod_count",
    "phase_res",        "min_area",          "discon_action",   "discon_filter",
    "connect_order",    "sign",              "camera_width",    "camera_height",
    "sys_type",         "sys_board",         "sys_serial",      "inst_id",
    "obj_name",         "part_name",         "codev_type",      "phase_avg_cnt",
    "sub_sys_err",      "sys_err_file_name", "part_ser_num",    "refractive_index",
    "rem_tilt_bias",    "rem_fringes",       "rem_fringes_mode", "max_area",
    "setup_type",       "wrapped",           "pre_connect_filter", "wavelength_in_2",
    "wavelength_fold",  "wavelength_in_1",   "wavelength_in_3", "wavelength_in_4",
    "wavelen_select",   "fda_res",           "scan_descr",      "n_fiducials_a",
    "fiducials_a[ 0]",  "fiducials_a[ 1]",   "fiducials_a[ 2]", "fiducials_a[ 3]",
    "fiducials_a[ 4]",  "fiducials_a[ 5]",   "fiducials_a[ 6]", "fiducials_a[ 7]",
    "fiducials_a[ 8]",  "fiducials_a[ 9]",   "fiducials_a[10]", "fiducials_a[11]",
    "fiducials_a[12]",  "fiducials_a[13]",   "pixel_width",     "pixel_height",
    "exit_pupil_diam",  "light_level_pct",   "coords_state",    "coords.x_pos",
    "coords.y_pos",     "coords.z_pos",      "coords.x_rot",    "coords.y_rot",
    "coords.z_rot",     "coherence_mode",    "surface_filter",
};

static_assert(std::size(first_part) == 72 && std::size(second_part) == 24);
static_assert(std::size(required_keys) == SDF_TRAILER_REQUIRED);
static_assert(std::size(write_order) == 95);

std::vector<trailer_key> build_keys()
{
    std::vector<trailer_key> keys;
    auto add = [&](std::string_view key, bool second) {
        bool required = false;
        for (auto r : required_keys)
            required = required || r == key;
        keys.push_back({key, key == data_offset_key ? nullptr : dat_field_by_key(key), second, required});
    };
    for (auto k : first_part)
        add(k, false);
    for (auto k : second_part)
        add(k, true);
    return keys;
}

// ---- reading --------------------------------------------------------------------------------

// The serial number travels in two fields: sys_serial (16 bits) and sys_serial2 (the full
// value, 0 when it fits the 16-bit field). Before the lines that follow the serial number line
// in the trailer, the 16-bit field takes the low bits of the full one, and a full value that
// fits 16 bits is cleared.
void carry_serial(dat_header* h)
{
    h->sys_serial = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(h->sys_serial2)));
    if (h->sys_serial2 <= 65535)
        h->sys_serial2 = 0;
}

// Unsigned decimal digits from the very start of the value, modulo 2^32.
uint32_t digits_value(std::string_view v)
{
    uint32_t x = 0;
    for (char c : v) {
        if (!num::is_digit(c))
            break;
        x = x * 10u + static_cast<uint32_t>(c - '0');
    }
    return x;
}

struct trailer_parser {
    dat_header* header;
    int32_t* data_offset;
    int count = 0;

    // Handles one line that does not begin with "*".
    void take(std::string_view line)
    {
        const trailer_key* match = nullptr;
        for (const trailer_key& k : trailer_keys()) {
            if (line.size() >= k.key.size() && line.compare(0, k.key.size(), k.key) == 0 &&
                (line.size() == k.key.size() || num::is_space(line[k.key.size()]) ||
                 line[k.key.size()] == '=')) {
                match = &k;
                break;
            }
        }
        if (match == nullptr || match->second_part)
            carry_serial(header);
        if (match == nullptr)
            return;

        std::string_view value = line.substr(match->key.size());
        std::size_t skip = 0;
        while (skip < value.size() && (num::is_space(value[skip]) || value[skip] == '='))
            ++skip;
        value.remove_prefix(skip);

        if (match->field == nullptr) {  // "Data Offset"
            *data_offset = num::to_long32(value);
            return;
        }
        const dat_field& f = *match->field;
        bool counts = match->required;
        switch (f.type) {
        case dat_type::u32:
            dat_field_set_int(header, f, digits_value(value));
            break;
        case dat_type::i16:
        case dat_type::i32:
            dat_field_set_int(header, f, num::to_long32(value));
            break;
        case dat_type::f32:
            if (value.find("#QNAN") != std::string_view::npos || value.find("#NAN") != std::string_view::npos) {
                dat_field_set_float(header, f, std::numeric_limits<float>::quiet_NaN());
                counts = false;
            } else {
                dat_field_set_float(header, f, num::narrow(num::to_double(value)));
            }
            break;
        case dat_type::text: {
            // The opening quote is skipped; the text ends at the closing quote or with the line.
            std::string_view text = value.empty() ? value : value.substr(1);
            std::size_t quote = text.find('"');
            if (quote != std::string_view::npos)
                text = text.substr(0, quote);
            dat_field_set_text(header, f, text);
            break;
        }
        case dat_type::reserved:
            break;
        }
        if (counts)
            ++count;
    }

    int result() const { return SDF_TRAILER_REQUIRED - count; }
};

// The reading loop over any line source: next(text, ended) gives the next line without its
// line end, false when nothing is left.
template <class NextLine>
int run_trailer(dat_header* header, int32_t* data_offset, NextLine next, int* required_seen = nullptr)
{
    int32_t ignored = 0;
    if (data_offset == nullptr)
        data_offset = &ignored;
    *data_offset = 0;
    if (header == nullptr)
        return -1;
    trailer_parser parser{header, data_offset};
    struct report_count {
        const trailer_parser& parser;
        int* out;
        ~report_count()
        {
            if (out != nullptr)
                *out = parser.count;
        }
    } report{parser, required_seen};
    for (;;) {
        std::string_view line;
        bool ended = false;
        if (!next(line, ended)) {
            int r = parser.result();
            return r != 0 ? r : -1;  // the trailer ended without its "*" line
        }
        if (!line.empty() && line[0] == '*')
            return parser.result();
        parser.take(line);
        if (!ended)
            return parser.result();  // a last line without a line feed ends the trailer too
    }
}

// ---- writing --------------------------------------------------------------------------------

void put_line(std::string& out, std::string_view key, std::string_view value, bool quoted, std::string_view line_end)
{
    out.append(key);
    out.push_back('=');
    if (quoted)
        out.push_back('"');
    out.append(value);
    if (quoted)
        out.push_back('"');
    out.append(line_end);
}

}  // namespace

std::span<const trailer_key> trailer_keys()
{
    static const std::vector<trailer_key> keys = build_keys();
    return keys;
}

void trailer_lines(const dat_header& header, std::string& out, std::string_view line_end)
{
    char buf[32];
    for (std::string_view key : write_order) {
        if (key == "sys_serial" && header.sys_serial2 != 0)
            key = "sys_serial2";
        const dat_field* field = dat_field_by_key(key);
        if (field == nullptr)
            continue;
        const dat_field& f = *field;
        switch (f.type) {
        case dat_type::u32:
        case dat_type::i16:
        case dat_type::i32: {
            auto r = std::to_chars(buf, buf + sizeof buf, dat_field_get_int(&header, f));
            put_line(out, key, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)), false, line_end);
            break;
        }
        case dat_type::f32:
            put_line(out, key, num::g12_text(dat_field_get_float(&header, f)), false, line_end);
            break;
        case dat_type::text:
            put_line(out, key, dat_field_get_text(&header, f), true, line_end);
            break;
        case dat_type::reserved:
            break;
        }
    }
}

int read_trailer(input& in, dat_header* header, int32_t* data_offset, int* required_seen)
{
    if (required_seen != nullptr)
        *required_seen = 0;
    return run_trailer(
        header, data_offset, [&](std::string_view& text, bool& ended) { return in.line(text, ended); },
        required_seen);
}

}  // namespace sdf

int sdf_read_trailer(std::FILE* stream, dat_header* header, int32_t* data_offset)
{
    if (stream == nullptr) {
        if (data_offset != nullptr)
            *data_offset = 0;
        return -1;
    }
    // Character by character, so that the stream stops right after the "*" line.
    std::string line;
    return sdf::run_trailer(header, data_offset, [&](std::string_view& text, bool& ended) {
        line.clear();
        int c;
        while ((c = std::getc(stream)) != EOF && c != '\n')
            line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty())
            return false;
        ended = c == '\n';
        if (ended && !line.empty() && line.back() == '\r')
            line.pop_back();
        text = line;
        return true;
    });
}

void sdf_write_trailer(std::FILE* stream, const dat_header* header)
{
    if (stream == nullptr || header == nullptr)
        return;
    std::string text;
    sdf::trailer_lines(*header, text, "\n");
    std::fwrite(text.data(), 1, text.size(), stream);
}
