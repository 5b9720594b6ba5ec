// The measurement dataset: header record, intensity map and phase map, and the binary header
// layout that the Vell binary data file carries.
//
// The header record is a plain struct whose members follow the file layout field by field, but
// in memory each member is naturally aligned. The file form (the "packed" form, 4098 bytes, of
// which the first 834 or 4096 reach a file) is produced field by field from dat_layout(), the
// one table that describes every field: file offset, size, type, byte order, trailer key and
// where the member sits in the struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Magic numbers and header sizes of the three header formats.
constexpr uint32_t DAT_MAGIC_FORMAT1 = 0x881B036Fu;
constexpr uint32_t DAT_MAGIC_FORMAT2 = 0x881B0370u;
constexpr uint32_t DAT_MAGIC_FORMAT3 = 0x881B0371u;
constexpr int32_t DAT_HEADER_SIZE_SMALL = 834;  // formats 1 and 2
constexpr int32_t DAT_HEADER_SIZE_LARGE = 4096; // format 3

// Size of the header record in packed (file) form. Only the first 4096 bytes can reach a file.
constexpr std::size_t DAT_HEADER_PACKED_SIZE = 4098;

// File offset from which any non-zero byte makes a header format 3.
constexpr std::size_t DAT_FORMAT3_TEST_OFFSET = 838;

// The phase value of an invalid point. Values above DAT_PHASE_MAX_VALID count as invalid.
constexpr int32_t DAT_INVALID_PHASE = 0x7FFFFFF8;
constexpr int32_t DAT_PHASE_MAX_VALID = 0x7FFFFFF7;

// Intensity map: n_frames frames of width x height 16-bit values, row by row, frame after frame.
struct intensity_map {
    uint32_t count;   // elements allocated behind data (0 when nothing is allocated)
    int16_t org_x;
    int16_t org_y;
    int16_t width;
    int16_t height;
    int16_t n_frames;
    int16_t aux;      // carried into the header's in_aux unchanged
    uint16_t* data;   // null when the dataset has no intensity data
};

// Phase map: width x height signed 32-bit surface values in phase counts, row by row.
struct phase_map {
    uint32_t count;   // elements allocated behind data
    int16_t org_x;
    int16_t org_y;
    int16_t width;
    int16_t height;
    int32_t* data;    // null when the dataset has no phase data
};

struct dat_version {
    int16_t maj;
    int16_t min;
    int16_t bug;
};

struct dat_swinfo {
    int16_t type;
    char date[30];    // creation date as text; may fill all 30 characters without a terminator
    dat_version vers;
};

struct dat_coords {
    float x_pos;
    float y_pos;
    float z_pos;
    float x_rot;
    float y_rot;
    float z_rot;
};

// Dataset header record. Members in file order; the comment gives the file offset.
struct dat_header {
    uint32_t magic_number;         //   0
    int16_t header_format;         //   4
    int32_t header_size;           //   6
    dat_swinfo swinfo;             //  10 (type 10, date 12, vers 42/44/46)
    int16_t in_org_x;              //  48
    int16_t in_org_y;              //  50
    int16_t in_width;              //  52
    int16_t in_height;             //  54
    int16_t in_n_frames;           //  56
    int16_t in_aux;                //  58
    int32_t in_n_bytes;            //  60
    int16_t cn_org_x;              //  64
    int16_t cn_org_y;              //  66
    int16_t cn_width;              //  68
    int16_t cn_height;             //  70
    int32_t cn_n_bytes;            //  72
    int32_t time_stamp;            //  76
    char comment[82];              //  80
    int16_t source;                // 162
    float intf_scale_factor;       // 164
    float wavelength_in;           // 168
    float num_aperture;            // 172
    float obliquity_factor;        // 176
    float magnification;           // 180
    float lateral_res;             // 184
    int16_t acq_type;              // 188
    int16_t intens_avg_cnt;        // 190
    int16_t ramp_cal;              // 192
    int16_t sfac_limit;            // 194
    int16_t ramp_gain;             // 196
    float part_thickness;          // 198
    int16_t sw_llc;                // 202
    float target_range;            // 204
    uint8_t reserved_208[2];       // 208
    int32_t min_mod;               // 210
    int32_t min_mod_count;         // 214
    int16_t phase_res;             // 218
    int32_t min_area;              // 220
    int16_t discon_action;         // 224
    float discon_filter;           // 226
    int16_t connect_order;         // 230
    int16_t sign;                  // 232
    int16_t camera_width;          // 234
    int16_t camera_height;         // 236
    int16_t sys_type;              // 238
    int16_t sys_board;             // 240
    int16_t sys_serial;            // 242
    int16_t inst_id;               // 244
    char obj_name[12];             // 246
    char part_name[40];            // 258
    int16_t codev_type;            // 298
    int16_t phase_avg_cnt;         // 300
    int16_t sub_sys_err;           // 302
    uint8_t reserved_304[16];      // 304
    char part_ser_num[40];         // 320
    float refractive_index;        // 360
    int16_t rem_tilt_bias;         // 364
    int16_t rem_fringes;           // 366
    int32_t max_area;              // 368
    int16_t setup_type;            // 372
    int16_t wrapped;               // 374
    float pre_connect_filter;      // 376
    float wavelength_in_2;         // 380
    int16_t wavelength_fold;       // 384
    float wavelength_in_1;         // 386
    float wavelength_in_3;         // 390
    float wavelength_in_4;         // 394
    char wavelen_select[8];        // 398
    int16_t fda_res;               // 406
    char scan_descr[20];           // 408
    int16_t n_fiducials_a;         // 428
    float fiducials_a[14];         // 430
    float pixel_width;             // 486
    float pixel_height;            // 490
    float exit_pupil_diam;         // 494
    float light_level_pct;         // 498
    uint32_t coords_state;         // 502, little-endian in the file
    dat_coords coords;             // 506..529, little-endian in the file
    int16_t coherence_mode;        // 530, little-endian in the file
    int16_t surface_filter;        // 532, little-endian in the file
    char sys_err_file_name[200];   // 534
    int16_t rem_fringes_mode;      // 734
    uint8_t reserved_736[62];      // 736
    int32_t sys_serial2;           // 798, little-endian in the file
    uint8_t reserved_802[14];      // 802
    int16_t unnamed_816;           // 816, no meaning in this system
    uint8_t reserved_818[16];      // 818, end of the format 1 and 2 header (834)
    uint8_t format3_area[3262];    // 834..4095: format 3 only; 4-/2-byte units in host order
    uint8_t record_tail[2];        // 4096..4097: part of the record, never written to a file
};

// ---- layout table ---------------------------------------------------------------------------

enum class dat_type : uint8_t { i16, i32, u32, f32, text, reserved };
enum class dat_order : uint8_t { none, big, little };

struct dat_field {
    uint16_t offset;        // file offset
    uint16_t size;          // bytes in the file (and in the member)
    dat_type type;
    dat_order order;        // none for text and reserved bytes
    const char* name;       // member path, e.g. "swinfo.vers.maj", "fiducials_a[3]", "reserved_208"
    const char* key;        // SDF trailer key, or null when the field has none
    std::size_t member;     // byte offset of the member in dat_header
};

// Every field of the packed record, in file order, contiguous from 0 to DAT_HEADER_PACKED_SIZE.
// The 14 fiducials are one entry each, with keys "fiducials_a[ 0]" to "fiducials_a[13]".
std::span<const dat_field> dat_layout();

// The field whose trailer key is exactly `key` (case matters), or null.
const dat_field* dat_field_by_key(std::string_view key);

// A unit of the format 3 area that the file form stores big-endian: file offset and size.
struct dat_unit {
    uint16_t offset;
    uint16_t size;
};
std::span<const dat_unit> dat_format3_units();

// Member access through a table entry.
void* dat_field_ptr(dat_header* header, const dat_field& field);
const void* dat_field_ptr(const dat_header* header, const dat_field& field);

// i16 (sign-extended), i32 or u32 value of the field; 0 for other types.
int64_t dat_field_get_int(const dat_header* header, const dat_field& field);
// Stores the low 16 or 32 bits of value into an i16, i32 or u32 field; other types unchanged.
void dat_field_set_int(dat_header* header, const dat_field& field, int64_t value);
// f32 fields; get gives 0 for other types, set leaves them unchanged.
float dat_field_get_float(const dat_header* header, const dat_field& field);
void dat_field_set_float(dat_header* header, const dat_field& field, float value);
// Text fields: get gives the characters up to the first zero byte or the end of the field.
// set copies at most field.size characters and fills the rest of the field with zero bytes
// (so a text of exactly field.size characters has no terminator, like swinfo.date).
std::string_view dat_field_get_text(const dat_header* header, const dat_field& field);
void dat_field_set_text(dat_header* header, const dat_field& field, std::string_view text);

// Packed (file) form: every field at its file offset, big-endian except the little-endian
// fields; text and reserved bytes as they are; format 3 units big-endian, the rest of the area
// as it is. `out` receives DAT_HEADER_PACKED_SIZE bytes.
void dat_header_pack(const dat_header& header, std::span<uint8_t, DAT_HEADER_PACKED_SIZE> out);
// The reverse of dat_header_pack: the header record from its packed form (cleared first).
void dat_header_unpack(std::span<const uint8_t, DAT_HEADER_PACKED_SIZE> in, dat_header& header);

// ---- operations -----------------------------------------------------------------------------

// Magic number that the header's contents call for: format 3 when any byte at file offset 838
// or later is non-zero, else format 2 when phase_res >= 2, else format 1. -1 for a null header.
int64_t dat_header_magic(const dat_header* header);

// Sets header_format and header_size from the magic number (1/834, 2/834, 3/4096); any other
// magic number sets both to 0.
void dat_header_set_format(dat_header* header, uint32_t magic);

// Header size that a magic number calls for: 834, 4096, or 0 for an unknown magic number.
int32_t dat_header_size_for(uint32_t magic);

// Creates a header: zeroes the whole record, sets magic_number from dat_header_magic and the
// format and size from it. ERR_INVALID_PARAM for a null header.
int32_t dat_header_create(dat_header* header);

// The map geometry of a header: in_org_x to in_aux and in_n_bytes (n_frames x height x width
// x 2) from the intensity map, cn_org_x to cn_height and cn_n_bytes (width x height x 4) from
// the phase map; a null map (or one without data) sets its fields to 0.
void dat_header_set_geometry(dat_header* header, const intensity_map* intensity, const phase_map* phase);

// Sets every field of a map to zero (null data). Null is ignored.
void map_clear(intensity_map* map);
void map_clear(phase_map* map);

// Sets count 0 and data null, then allocates width x height elements through u_malloc.
// The product is formed in signed 32-bit arithmetic; a product of 0 or below fails with
// ERR_PARAM_OUT_OF_RANGE, a failed allocation with ERR_NO_MEM. On success count is the product;
// the elements are not initialised. The block is released with u_free. ERR_INVALID_PARAM for
// a null map.
int32_t phase_map_alloc(phase_map* map);
