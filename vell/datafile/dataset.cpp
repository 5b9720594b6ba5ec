#include "vell/datafile/dataset.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"

namespace {

// Size of a member given by its path (nested members and array elements included).
#define VP_MSIZE(m) static_cast<uint16_t>(sizeof(static_cast<dat_header*>(nullptr)->m))
#define VP_FIELD(off, m, ty, ord, key) \
    dat_field{off, VP_MSIZE(m), dat_type::ty, dat_order::ord, #m, key, offsetof(dat_header, m)}
// Big-endian numbers whose trailer key is their member path.
#define VP_BE(off, m, ty) VP_FIELD(off, m, ty, big, #m)
// Big-endian numbers without a trailer key.
#define VP_BE_NOKEY(off, m, ty) VP_FIELD(off, m, ty, big, nullptr)
#define VP_LE(off, m, ty) VP_FIELD(off, m, ty, little, #m)
#define VP_TEXT(off, m) VP_FIELD(off, m, text, none, #m)
#define VP_RESERVED(off, m) VP_FIELD(off, m, reserved, none, nullptr)
#define VP_FIDUCIAL(off, i, key) \
    dat_field{off, 4, dat_type::f32, dat_order::big, "fiducials_a[" #i "]", key, \
              offsetof(dat_header, fiducials_a) + (i) * sizeof(float)}

constexpr std::array layout{
    VP_BE(0, magic_number, u32),
    VP_BE(4, header_format, i16),
    VP_BE(6, header_size, i32),
    VP_BE(10, swinfo.type, i16),
    VP_TEXT(12, swinfo.date),
    VP_BE(42, swinfo.vers.maj, i16),
    VP_BE(44, swinfo.vers.min, i16),
    VP_BE(46, swinfo.vers.bug, i16),
    VP_BE_NOKEY(48, in_org_x, i16),
    VP_BE_NOKEY(50, in_org_y, i16),
    VP_BE_NOKEY(52, in_width, i16),
    VP_BE_NOKEY(54, in_height, i16),
    VP_BE_NOKEY(56, in_n_frames, i16),
    VP_BE_NOKEY(58, in_aux, i16),
    VP_BE_NOKEY(60, in_n_bytes, i32),
    VP_BE(64, cn_org_x, i16),
    VP_BE(66, cn_org_y, i16),
    VP_BE(68, cn_width, i16),
    VP_BE(70, cn_height, i16),
    VP_BE(72, cn_n_bytes, i32),
    VP_BE(76, time_stamp, i32),
    VP_TEXT(80, comment),
    VP_BE(162, source, i16),
    VP_BE(164, intf_scale_factor, f32),
    VP_BE(168, wavelength_in, f32),
    VP_BE(172, num_aperture, f32),
    VP_BE(176, obliquity_factor, f32),
    VP_BE(180, magnification, f32),
    VP_BE(184, lateral_res, f32),
    VP_BE(188, acq_type, i16),
    VP_BE(190, intens_avg_cnt, i16),
    VP_BE(192, ramp_cal, i16),
    VP_BE(194, sfac_limit, i16),
    VP_BE(196, ramp_gain, i16),
    VP_BE(198, part_thickness, f32),
    VP_BE(202, sw_llc, i16),
    VP_BE(204, target_range, f32),
    VP_RESERVED(208, reserved_208),
    VP_BE(210, min_mod, i32),
    VP_BE(214, min_mod_count, i32),
    VP_BE(218, phase_res, i16),
    VP_BE(220, min_area, i32),
    VP_BE(224, discon_action, i16),
    VP_BE(226, discon_filter, f32),
    VP_BE(230, connect_order, i16),
    VP_BE(232, sign, i16),
    VP_BE(234, camera_width, i16),
    VP_BE(236, camera_height, i16),
    VP_BE(238, sys_type, i16),
    VP_BE(240, sys_board, i16),
    VP_BE(242, sys_serial, i16),
    VP_BE(244, inst_id, i16),
    VP_TEXT(246, obj_name),
    VP_TEXT(258, part_name),
    VP_BE(298, codev_type, i16),
    VP_BE(300, phase_avg_cnt, i16),
    VP_BE(302, sub_sys_err, i16),
    VP_RESERVED(304, reserved_304),
    VP_TEXT(320, part_ser_num),
    VP_BE(360, refractive_index, f32),
    VP_BE(364, rem_tilt_bias, i16),
    VP_BE(366, rem_fringes, i16),
    VP_BE(368, max_area, i32),
    VP_BE(372, setup_type, i16),
    VP_BE(374, wrapped, i16),
    VP_BE(376, pre_connect_filter, f32),
    VP_BE(380, wavelength_in_2, f32),
    VP_BE(384, wavelength_fold, i16),
    VP_BE(386, wavelength_in_1, f32),
    VP_BE(390, wavelength_in_3, f32),
    VP_BE(394, wavelength_in_4, f32),
    VP_TEXT(398, wavelen_select),
    VP_BE(406, fda_res, i16),
    VP_TEXT(408, scan_descr),
    VP_BE(428, n_fiducials_a, i16),
    VP_FIDUCIAL(430, 0, "fiducials_a[ 0]"),
    VP_FIDUCIAL(434, 1, "fiducials_a[ 1]"),
    VP_FIDUCIAL(438, 2, "fiducials_a[ 2]"),
    VP_FIDUCIAL(442, 3, "fiducials_a[ 3]"),
    VP_FIDUCIAL(446, 4, "fiducials_a[ 4]"),
    VP_FIDUCIAL(450, 5, "fiducials_a[ 5]"),
    VP_FIDUCIAL(454, 6, "fiducials_a[ 6]"),
    VP_FIDUCIAL(458, 7, "fiducials_a[ 7]"),
    VP_FIDUCIAL(462, 8, "fiducials_a[ 8]"),
    VP_FIDUCIAL(466, 9, "fiducials_a[ 9]"),
    VP_FIDUCIAL(470, 10, "fiducials_a[10]"),
    VP_FIDUCIAL(474, 11, "fiducials_a[11]"),
    VP_FIDUCIAL(478, 12, "fiducials_a[12]"),
    VP_FIDUCIAL(482, 13, "fiducials_a[13]"),
    VP_BE(486, pixel_width, f32),
    VP_BE(490, pixel_height, f32),
    VP_BE(494, exit_pupil_diam, f32),
    VP_BE(498, light_level_pct, f32),
    VP_LE(502, coords_state, u32),
    VP_LE(506, coords.x_pos, f32),
    VP_LE(510, coords.y_pos, f32),
    VP_LE(514, coords.z_pos, f32),
    VP_LE(518, coords.x_rot, f32),
    VP_LE(522, coords.y_rot, f32),
    VP_LE(526, coords.z_rot, f32),
    VP_LE(530, coherence_mode, i16),
    VP_LE(532, surface_filter, i16),
    VP_TEXT(534, sys_err_file_name),
    VP_BE(734, rem_fringes_mode, i16),
    VP_RESERVED(736, reserved_736),
    VP_LE(798, sys_serial2, i32),
    VP_RESERVED(802, reserved_802),
    VP_BE_NOKEY(816, unnamed_816, i16),
    VP_RESERVED(818, reserved_818),
    VP_RESERVED(834, format3_area),
    VP_RESERVED(4096, record_tail),
};

#undef VP_FIDUCIAL
#undef VP_RESERVED
#undef VP_TEXT
#undef VP_LE
#undef VP_BE_NOKEY
#undef VP_BE
#undef VP_FIELD
#undef VP_MSIZE

constexpr std::size_t format3_offset = 834;

constexpr bool layout_is_contiguous()
{
    std::size_t next = 0;
    for (const dat_field& f : layout) {
        if (f.offset != next)
            return false;
        std::size_t want = 0;
        switch (f.type) {
        case dat_type::i16: want = 2; break;
        case dat_type::i32:
        case dat_type::u32:
        case dat_type::f32: want = 4; break;
        default: want = f.size; break;
        }
        if (f.size != want || f.size == 0)
            return false;
        if ((f.type == dat_type::text || f.type == dat_type::reserved) != (f.order == dat_order::none))
            return false;
        next += f.size;
    }
    return next == DAT_HEADER_PACKED_SIZE;
}
static_assert(layout_is_contiguous(), "header layout must cover the packed record without gaps");
static_assert(layout.back().offset + layout.back().size == DAT_HEADER_PACKED_SIZE);
static_assert(offsetof(dat_header, record_tail) == offsetof(dat_header, format3_area) + 3262);

// Format 3 area: the units that the file form stores big-endian.
constexpr auto make_units()
{
    std::array<dat_unit, 95> units{};
    std::size_t n = 0;
    auto add = [&](uint16_t first, uint16_t last, uint16_t size) {
        for (uint16_t off = first; off <= last; off = static_cast<uint16_t>(off + size))
            units[n++] = dat_unit{off, size};
    };
    add(838, 838, 2);
    add(840, 840, 2);
    add(842, 866, 4);
    add(900, 900, 2);
    add(902, 902, 2);
    add(934, 934, 4);
    add(998, 1034, 4);
    add(1126, 1214, 4);
    add(1250, 1258, 4);
    add(1264, 1264, 2);
    add(1266, 1318, 4);
    add(1324, 1324, 2);
    add(1326, 1378, 4);
    add(1384, 1384, 2);
    add(1386, 1438, 4);
    add(1446, 1446, 4);
    add(1450, 1450, 4);
    return units;
}
constexpr auto format3_units = make_units();

constexpr bool units_are_sound()
{
    std::size_t end = format3_offset;
    for (const dat_unit& u : format3_units) {
        if (u.size != 2 && u.size != 4)
            return false;
        if (u.offset < end || u.offset + u.size > DAT_HEADER_SIZE_LARGE)
            return false;
        end = u.offset + u.size;
    }
    return true;
}
static_assert(units_are_sound(), "format 3 units must be sorted, disjoint and inside the area");

}  // namespace

std::span<const dat_field> dat_layout() { return layout; }

std::span<const dat_unit> dat_format3_units() { return format3_units; }

const dat_field* dat_field_by_key(std::string_view key)
{
    for (const dat_field& f : layout)
        if (f.key != nullptr && key == f.key)
            return &f;
    return nullptr;
}

void* dat_field_ptr(dat_header* header, const dat_field& field)
{
    return reinterpret_cast<unsigned char*>(header) + field.member;
}

const void* dat_field_ptr(const dat_header* header, const dat_field& field)
{
    return reinterpret_cast<const unsigned char*>(header) + field.member;
}

int64_t dat_field_get_int(const dat_header* header, const dat_field& field)
{
    const void* p = dat_field_ptr(header, field);
    switch (field.type) {
    case dat_type::i16: return static_cast<int16_t>(dat_bytes::native16(p));
    case dat_type::i32: return static_cast<int32_t>(dat_bytes::native32(p));
    case dat_type::u32: return dat_bytes::native32(p);
    default: return 0;
    }
}

void dat_field_set_int(dat_header* header, const dat_field& field, int64_t value)
{
    void* p = dat_field_ptr(header, field);
    switch (field.type) {
    case dat_type::i16: dat_bytes::set_native16(p, static_cast<uint16_t>(value)); break;
    case dat_type::i32:
    case dat_type::u32: dat_bytes::set_native32(p, static_cast<uint32_t>(value)); break;
    default: break;
    }
}

float dat_field_get_float(const dat_header* header, const dat_field& field)
{
    float v = 0.0f;
    if (field.type == dat_type::f32)
        std::memcpy(&v, dat_field_ptr(header, field), sizeof v);
    return v;
}

void dat_field_set_float(dat_header* header, const dat_field& field, float value)
{
    if (field.type == dat_type::f32)
        std::memcpy(dat_field_ptr(header, field), &value, sizeof value);
}

std::string_view dat_field_get_text(const dat_header* header, const dat_field& field)
{
    if (field.type != dat_type::text)
        return {};
    const char* p = static_cast<const char*>(dat_field_ptr(header, field));
    const void* zero = std::memchr(p, 0, field.size);
    std::size_t n = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - p) : field.size;
    return {p, n};
}

void dat_field_set_text(dat_header* header, const dat_field& field, std::string_view text)
{
    if (field.type != dat_type::text)
        return;
    char* p = static_cast<char*>(dat_field_ptr(header, field));
    std::size_t n = std::min<std::size_t>(text.size(), field.size);
    std::memset(p, 0, field.size);
    if (n > 0)
        std::memcpy(p, text.data(), n);
}

void dat_header_pack(const dat_header& header, std::span<uint8_t, DAT_HEADER_PACKED_SIZE> out)
{
    using namespace dat_bytes;
    for (const dat_field& f : layout) {
        const void* src = dat_field_ptr(&header, f);
        uint8_t* dst = out.data() + f.offset;
        if (f.size == 2 && f.order != dat_order::none) {
            uint16_t v = native16(src);
            f.order == dat_order::big ? store_be16(dst, v) : store_le16(dst, v);
        } else if (f.size == 4 && f.order != dat_order::none) {
            uint32_t v = native32(src);
            f.order == dat_order::big ? store_be32(dst, v) : store_le32(dst, v);
        } else {
            std::memcpy(dst, src, f.size);
        }
    }
    for (const dat_unit& u : format3_units) {
        const uint8_t* src = header.format3_area + (u.offset - format3_offset);
        uint8_t* dst = out.data() + u.offset;
        if (u.size == 2)
            store_be16(dst, native16(src));
        else
            store_be32(dst, native32(src));
    }
}

void dat_header_unpack(std::span<const uint8_t, DAT_HEADER_PACKED_SIZE> in, dat_header& header)
{
    using namespace dat_bytes;
    std::memset(&header, 0, sizeof header);
    for (const dat_field& f : layout) {
        void* dst = dat_field_ptr(&header, f);
        const uint8_t* src = in.data() + f.offset;
        if (f.size == 2 && f.order != dat_order::none)
            set_native16(dst, f.order == dat_order::big ? load_be16(src) : load_le16(src));
        else if (f.size == 4 && f.order != dat_order::none)
            set_native32(dst, f.order == dat_order::big ? load_be32(src) : load_le32(src));
        else
            std::memcpy(dst, src, f.size);
    }
    for (const dat_unit& u : format3_units) {
        const uint8_t* src = in.data() + u.offset;
        uint8_t* dst = header.format3_area + (u.offset - format3_offset);
        if (u.size == 2)
            set_native16(dst, load_be16(src));
        else
            set_native32(dst, load_be32(src));
    }
}

int64_t dat_header_magic(const dat_header* header)
{
    if (header == nullptr)
        return -1;
    for (const dat_field& f : layout) {
        if (f.offset + f.size <= DAT_FORMAT3_TEST_OFFSET)
            continue;
        // Fields at or beyond the test offset are byte arrays; their bytes sit in file order.
        std::size_t skip = f.offset < DAT_FORMAT3_TEST_OFFSET ? DAT_FORMAT3_TEST_OFFSET - f.offset : 0;
        const auto* p = static_cast<const unsigned char*>(dat_field_ptr(header, f));
        for (std::size_t i = skip; i < f.size; ++i)
            if (p[i] != 0)
                return DAT_MAGIC_FORMAT3;
    }
    if (header->phase_res >= 2)
        return DAT_MAGIC_FORMAT2;
    return DAT_MAGIC_FORMAT1;
}

int32_t dat_header_size_for(uint32_t magic)
{
    switch (magic) {
    case DAT_MAGIC_FORMAT1:
    case DAT_MAGIC_FORMAT2: return DAT_HEADER_SIZE_SMALL;
    case DAT_MAGIC_FORMAT3: return DAT_HEADER_SIZE_LARGE;
    default: return 0;
    }
}

void dat_header_set_format(dat_header* header, uint32_t magic)
{
    if (header == nullptr)
        return;
    switch (magic) {
    case DAT_MAGIC_FORMAT1: header->header_format = 1; break;
    case DAT_MAGIC_FORMAT2: header->header_format = 2; break;
    case DAT_MAGIC_FORMAT3: header->header_format = 3; break;
    default: header->header_format = 0; break;
    }
    header->header_size = dat_header_size_for(magic);
}

int32_t dat_header_create(dat_header* header)
{
    if (header == nullptr)
        return ERR_INVALID_PARAM;
    std::memset(header, 0, sizeof *header);
    int64_t magic = dat_header_magic(header);
    header->magic_number = magic < 0 ? DAT_MAGIC_FORMAT1 : static_cast<uint32_t>(magic);
    dat_header_set_format(header, header->magic_number);
    return NO_ERROR;
}

void map_clear(intensity_map* map)
{
    if (map != nullptr)
        *map = intensity_map{};
}

void map_clear(phase_map* map)
{
    if (map != nullptr)
        *map = phase_map{};
}

void dat_header_set_geometry(dat_header* header, const intensity_map* intensity, const phase_map* phase)
{
    const bool in = intensity != nullptr && intensity->data != nullptr;
    const bool cn = phase != nullptr && phase->data != nullptr;
    header->in_org_x = in ? intensity->org_x : 0;
    header->in_org_y = in ? intensity->org_y : 0;
    header->in_width = in ? intensity->width : 0;
    header->in_height = in ? intensity->height : 0;
    header->in_n_frames = in ? intensity->n_frames : 0;
    header->in_aux = in ? intensity->aux : 0;
    header->in_n_bytes =
        in ? static_cast<int32_t>(int64_t{intensity->n_frames} * intensity->height * intensity->width * 2) : 0;
    header->cn_org_x = cn ? phase->org_x : 0;
    header->cn_org_y = cn ? phase->org_y : 0;
    header->cn_width = cn ? phase->width : 0;
    header->cn_height = cn ? phase->height : 0;
    header->cn_n_bytes = cn ? static_cast<int32_t>(int64_t{phase->width} * phase->height * 4) : 0;
}

int32_t phase_map_alloc(phase_map* map)
{
    if (map == nullptr)
        return ERR_INVALID_PARAM;
    map->count = 0;
    map->data = nullptr;
    int32_t n = int32_t{map->width} * int32_t{map->height};
    if (n <= 0)
        return ERR_PARAM_OUT_OF_RANGE;
    std::size_t bytes = static_cast<std::size_t>(n) * sizeof(int32_t);
    void* block = u_malloc(bytes);
    if (block == nullptr)
        return ERR_NO_MEM;
    // A large map is written once from end to end right after this: large pages save most of
    // the page faults of that first pass.
    os::advise_large_pages(block, bytes);
    map->data = static_cast<int32_t*>(block);
    map->count = static_cast<uint32_t>(n);
    return NO_ERROR;
}
