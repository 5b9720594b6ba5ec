// The calibration line grammar that the reader and the writer share: the table of the plain
// lines (one number, one name or a bare flag keyword into one field), the instrument kinds that
// need certain lines, the completion of the LLC ranges by instrument board and the layout of the
// Camera Config line. The reader parses and the writer writes every plain line from its row; the
// irregular lines are written by hand on both sides and take their limits from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <variant>

#include "calfile/scanner.h"
#include "calfile/sysinfo.h"
#include "calfile/vocab.h"

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
// The plain lines.

enum class cal_kind : uint8_t {
    integer,  // one integer in [lo, hi]
    real,     // one real in [lo, hi] (ends as `ends` says)
    single,   // a real held in a double at single precision
    name,     // one word
    flag,     // the keyword alone; stores flag_value
};

// Access to the field of a row.
template <class T>
using cal_ref = T& (*)(SysCalData&);
using cal_field =
    std::variant<cal_ref<uint8_t>, cal_ref<uint16_t>, cal_ref<int32_t>, cal_ref<float>, cal_ref<double>, cal_ref<sb_string>>;

struct cal_line {
    cal_token key;
    cal_token sub;        // second keyword word; TOK_UNKNOWN for a one-word keyword
    const char* keyword;  // as the writer writes it
    cal_kind kind;
    cal_field field;
    double lo = 0, hi = 0;
    cal_ends ends = cal_ends::closed;
    char conv = 'g';  // the writer's real format: %g or %f with `precision` digits
    int precision = 6;
    int32_t flag_value = 0;
    bool cal_given::*given = nullptr;            // set when the line was read
    bool (*due)(const SysCalData&) = nullptr;  // write condition; null: the field differs from its default
};

// The rows, in the order in which the writer writes them.
extern const cal_line calfile_lines[];
extern const std::size_t calfile_num_lines;

// The row of a keyword (sub is TOK_UNKNOWN for a one-word keyword), or null.
const cal_line* calfile_find_line(cal_token key, cal_token sub = TOK_UNKNOWN);

// The field's value as a double or a name (for reals, integers and flags; for names).
double calfile_number(const cal_line& line, const SysCalData& si);
const sb_string& calfile_name(const cal_line& line, const SysCalData& si);

// Whether the writer writes the row for `si`.
bool calfile_line_due(const cal_line& line, const SysCalData& si);

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

// Completes the LLC ranges (range low and high of light slot 0, then of light slot 1) by
// instrument board, after a read whose LLC Range line gave `given` values (0: no line).
void calfile_complete_llc_range(int32_t board, int32_t sys, int32_t camera, int given, uint16_t range[4]);
