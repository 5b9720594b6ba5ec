// The calibration line grammar that the reader and the writer share: one table of every line
// the writer writes, in its order. A table line (a bare flag keyword, or values: numbers, names,
// vocabulary words, hexadecimal bytes, into fields of the record, with their limits, write
// formats, optional tails and write conditions) is a row that both sides use whole; an irregular
// line has a row that names it, creates its sub-record and, for some, gives the limits and
// formats of its values. Besides: the limits of the other irregular lines, which both sides spell
// out by hand; the instrument kinds that need certain lines; the final checks of a read, which
// the writer asks too; the completion of the LLC ranges by instrument board; and the layout of
// the Camera Config line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>

#include "vell/calfile/scanner.h"
#include "vell/calfile/sysinfo.h"
#include "vell/calfile/vocab.h"

// What the lines read so far have given; the reader's final checks look at it.
struct cal_given {
    bool version = false;
    bool comm = false;  // InstrComm or MacAddress
    bool invertData = false;
    bool llcTarget = false;
    int llcRange = 0;     // 0, 2 or 4 values
    int wavelengths = 0;  // wavelength values read
    bool pifoc = false;   // Pifoc or PztId
    bool bpixFile = false;
    bool wmComm = false;
    bool wmMonOpd = false;
    bool wmSysGain = false;
    int badPixels = 0;  // bad pixel pairs stored so far
};

// ---------------------------------------------------------------------------------------------
// The line table.

enum class cal_kind : uint8_t {
    integer,    // an integer in [lo, hi]
    real,       // a real in [lo, hi] (ends as `ends` says)
    single,     // a real held in a double at single precision
    name,       // one word
    choice,     // a vocabulary word of a set of values (map, name_of)
    hex,        // a hexadecimal byte in [lo, hi]
    period,     // {days:}hours{:minutes{:seconds}} in seconds, at most hi; `precision` components
    flag,       // the keyword alone; stores flag_value
    irregular,  // a line that the reader and the writer spell out by hand
};

// Access to the field of a value.
template <class T>
using cal_ref = T& (*)(SysCalData&);
using cal_field = std::variant<cal_ref<uint8_t>, cal_ref<int16_t>, cal_ref<uint16_t>, cal_ref<int32_t>,
                               cal_ref<int64_t>, cal_ref<float>, cal_ref<double>, cal_ref<sb_string>,
                               cal_ref<std::string>, cal_ref<sb_ramp_name>>;

// The sub-record that holds a row's fields; the reader creates it as the line begins, the writer
// writes the row only when it exists.
enum class cal_sub : uint8_t { none, pifoc, ftp, hxi, can, dyn_wave_gen };

// One value of a line.
struct cal_arg {
    cal_kind kind = cal_kind::integer;
    cal_field field{};
    double lo = 0, hi = 0;
    cal_ends ends = cal_ends::closed;
    char conv = 'g';     // the writer's real format: %g or %f with `precision` digits, padded
    int precision = 6;   // to `width` characters
    int width = 0;
    double scale = 1;        // the record holds the file's value times this
    int32_t set_bits = 0;    // integer: bits that the reader sets in what it stores
    bool optional = false;   // the reader takes it (and the values after it) when a number (a
                             // word, for a name) follows; the writer writes it when it is due
    bool reset_absent = false;  // an optional value that the line leaves out is reset
    bool number_first = false;  // "Expected number." unless a number follows on the line
    bool quoted = false;        // name: always written in double quotes
    bool plain_word = false;    // name: the reader takes it only as a word that begins with a letter
    bool quiet = false;         // choice: an unknown word is refused without a message of its own
    uint8_t gap = 2;            // blanks that the writer puts before it (after the first value)
    int (*map)(cal_token) = nullptr;            // choice: the value of a word, or < 0
    const char* (*name_of)(int32_t) = nullptr;  // choice: the word of a value
    bool (*when)(const SysCalData&) = nullptr;  // on the line only when: otherwise the reader
                                                // resets it and the writer leaves it out (a
                                                // flag: the reader leaves it as it is)
    bool (*due)(const SysCalData&) = nullptr;   // an optional value: the writer writes it when;
                                                // null: when it differs from its default
};

inline constexpr int CAL_MAX_ARGS = 7;

struct cal_line {
    cal_token key;
    cal_token sub;        // second keyword word; TOK_UNKNOWN for a one-word keyword
    const char* keyword;  // as the writer writes it
    cal_kind kind;        // irregular, flag, or the kind of the first value
    cal_arg args[CAL_MAX_ARGS]{};  // the values; for a flag, args[0] holds the field; for an
                                   // irregular line, the limits and formats of its values
    int nargs = 0;
    int32_t flag_value = 0;
    bool cal_given::*given = nullptr;            // set when the line was read
    bool (*due)(const SysCalData&) = nullptr;  // write condition; null: a value differs from its default
    void (*begin)(SysCalData&) = nullptr;      // what the reader does as the line begins
    void (*after)(SysCalData&) = nullptr;      // what the reader does besides after an error-free read
    cal_sub in = cal_sub::none;
};

// Every line that the writer writes, in its order. The system line's row has the key
// TOK_UNKNOWN and no keyword (the system type's display name is its keyword).
extern const cal_line calfile_lines[];
extern const std::size_t calfile_num_lines;

// The row of a keyword (sub is TOK_UNKNOWN for a one-word keyword), or null.
const cal_line* calfile_find_line(cal_token key, cal_token sub = TOK_UNKNOWN);
// Whether a keyword takes a second word (Camera, LLC, ADC, Ramp).
bool calfile_takes_sub(cal_token key);

// A field's value as a double; for a name, 1 when it is set.
double calfile_value(const cal_field& field, const SysCalData& si);
// Resets a field of the record itself (not of a sub-record) to its default.
void calfile_reset_field(const cal_field& field, SysCalData& si);

// Whether the sub-record of a row exists in `si` (always for a row outside sub-records), and
// creating it: NO_ERROR or ERR_NO_MEM.
bool calfile_sub_present(const cal_line& line, const SysCalData& si);
int32_t calfile_sub_ensure(const cal_line& line, SysCalData& si);

// Whether the writer writes the rows of a row's sub-record: the sub-record exists, and for the
// FTP rows the system is an FTP system or its FTP values differ from the defaults.
bool calfile_ftp_lines_due(const SysCalData& si);
bool calfile_sub_written(const cal_line& line, const SysCalData& si);

// A PIFOC sub-record that holds a value or coefficients (not only a PifocType line's type).
bool calfile_pifoc_value_due(const SysCalData& si);

// Whether the writer writes the row for `si`, and its optional value `arg` of a row it writes.
bool calfile_line_due(const cal_line& line, const SysCalData& si);
bool calfile_arg_due(const cal_arg& arg, const SysCalData& si);

// The record as a reset leaves it: what the writer compares against to tell a default.
const SysCalData& calfile_defaults();

// The PIFOC coefficients that a Pifoc or PztId line sets unless it gives its own.
inline constexpr double CAL_PIFOC_COEF = 0.928655;
inline constexpr double CAL_PIFOC_BETA = 0.0144;

// ---------------------------------------------------------------------------------------------
// Instrument kinds.

bool calfile_is_one_of(int32_t value, std::initializer_list<int32_t> set);
bool calfile_board_needs_comm(int32_t board);  // an InstrComm (or MacAddress) line
bool calfile_needs_invert_data(int32_t sys);   // an InvertData line
bool calfile_needs_pifoc(int32_t sys);         // a Pifoc or PztId line
bool calfile_has_wave_monitor(int32_t sys);    // wmComm and wmMonOPD lines
bool calfile_needs_sys_gain(int32_t sys);      // a wmSysGain line (a warning only)

// The Camera Config line of boards Board01 and FTP: the configuration bytes (1-based) in line
// order, with their highest values. Boards HXI and Model31 carry bytes 1 and 2.
inline constexpr int CAL_CONFIG_BYTES[8] = {3, 4, 5, 6, 7, 9, 8, 10};
inline constexpr int CAL_CONFIG_HIGHS[8] = {1, 1, 3, 1, 1, 1, 1, 1};
inline constexpr int CAL_CONFIG_HIGHS_HXI[2] = {1, 15};

// What a Camera Type Custom line does on an instrument board: the configuration bytes it
// presets (1-based, with their values, in this order), the byte that its optional number sets
// (1 interlaceFlag, 10 fieldCtrl) and the log line that reports that byte (or null).
struct cal_custom_preset {
    struct setting {
        int byte;
        uint8_t value;
    };
    int count;
    setting bytes[9];
    int number_byte;
    const char* log;
};
// The preset of a board, or null for a board that takes no Custom camera.
const cal_custom_preset* calfile_custom_preset(int32_t board);

// ---------------------------------------------------------------------------------------------
// Limits besides those of the line table.

namespace cal_limits {
inline constexpr double TWO_PI = 6.283185307179586;
inline constexpr double FLT_MAX_D = 3.4028234663852886e38;  // largest finite float
inline constexpr double MAX_I32 = 2147483647.0;
inline constexpr int32_t max_mag_index = 14;    // a magnification's index on a line
inline constexpr int32_t max_pzt_id = 99999;    // PztId, which the writer writes as Pifoc
inline constexpr double pifoc_beta_min = 0.005;  // a Pifoc beta other than 0 is at least this
}  // namespace cal_limits

// Completes the LLC ranges (range low and high of light slot 0, then of light slot 1) by
// instrument board, after a read whose LLC Range line gave `given` values (0: no line).
void calfile_complete_llc_range(int32_t board, int32_t sys, int32_t camera, int given, uint16_t range[4]);
// The same on the light slots of a record.
void calfile_complete_llc_range(SysCalData& si, int given);
// The ranges of the light slots in that order.
void calfile_llc_ranges(const SysCalData& si, uint16_t range[4]);

// ---------------------------------------------------------------------------------------------
// The final checks of a read, in their order: what the instrument needs from a file.

enum class cal_need : uint8_t {
    system,
    version,
    comm,
    invert_data,
    can_mac,
    motion_ctrl,
    wm_comm,
    wm_mon_opd,
    sys_gain,
    bad_pixels_once,
    llc_target,
    camera_type,
    light,
    pifoc,
};

enum class cal_check_report : uint8_t {
    message,  // reported as a read message; the read fails
    log,      // written to the log; the read fails
    warning,  // written to the log; the read goes on
};

struct cal_check {
    cal_need need;
    int32_t code;
    cal_check_report how;
    const char* message;        // the reader's
    const char* write_message;  // the writer's, where the writer refuses a record that lacks it
};
extern const cal_check calfile_checks[];
extern const std::size_t calfile_num_checks;

const cal_check& calfile_check(cal_need need);
// Whether a record read with `given` lacks what the check asks for.
bool calfile_lacks(cal_need need, const SysCalData& si, const cal_given& given);
// What the lines that the writer writes for `si` give the reader.
cal_given calfile_given_by(const SysCalData& si);
