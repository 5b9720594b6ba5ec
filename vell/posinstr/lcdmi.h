// The LCDMI position instrument: its configuration file, the configuration record, the printable
// dump of the record, and the configuration load of an instrument slot.
//
// The configuration file:
//
//     # comment
//     Version 3
//     Channel 1 0 0 0 0 0 0 1.0 X      ID disabled output-type polarity resolution
//                                      filter-cutoff data-rate scale-factor label
//     DiagOpts 1 3
//     AvgChannels 1 3
//
// Lines of at most 99 characters before their CR LF or LF; keywords compared with strxcmp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int LCDMI_NUM_CHANNELS = 3;
constexpr int LCDMI_LABEL_MAX = 10;

struct lcdmi_channel {
    int32_t id = 0;  // the entry's own ID (1..3) once a line for it was read, else 0
    int32_t disabled = 0;
    int32_t average = 0;
    int32_t output_type = 0;    // 0..1
    int32_t polarity = 0;       // 0..1
    int32_t resolution = 0;     // 0..3
    int32_t filter_cutoff = 0;  // filter cutoff frequency code 0..7
    int32_t data_rate = 0;      // nominal data rate code 0..3
    double scale_factor = 0.0;  // -99..99
    char label[LCDMI_LABEL_MAX + 1] = {};
};

struct lcdmi_config {
    uint32_t diag_opts = 0;  // option n (1..32) is bit n - 1
    int32_t avg_given = 0;   // an AvgChannels line was read
    int32_t prim_chan = 0;   // ID of the primary channel, 0 when none
    lcdmi_channel chan[LCDMI_NUM_CHANNELS];  // channel IDs 1..3 at indices 0..2
};

// Reads the configuration file at `path` into `config` (cleared first). On failure `report`
// (when given) holds the whole error text: the file, the cause and the line in error. Only the
// first error is reported; the record must not be used then.
// Errors: ERR_INVALID_PARAM (no path, empty path or no record), ERR_CANT_OPEN_FILE,
// ERR_CANT_READ_FILE (the system failed to read the file), ERR_LCDMI_CONFIG (any content error).
int32_t lcdmi_read_config(const char* path, lcdmi_config* config, std::string* report);

// Writes the printable form of the record into `buffer` (`size` bytes, terminator included),
// one piece after another, stopping before the first piece that would not fit. Returns the
// number of characters written.
std::size_t lcdmi_dump_config(const lcdmi_config& config, char* buffer, std::size_t size);

// Prints the dump to a stream through a buffer of 1024 bytes (999 characters).
void lcdmi_print_config(const lcdmi_config& config, std::FILE* stream);

// Configuration load of the LCDMI position instrument of a slot (position instrument type LCDMI):
// the device name (first PosInstr name) must end with the digit of the board; the configuration
// file, when the second PosInstr name gives one, is found with u_find_config_file and read. The
// board digit and the configuration are kept in the run-time part of the slot's record.
// A read failure prints its report through the log sink; every failure is logged as
// "Error opening LCDMI: <error name>".
// Errors: ERR_INVALID_PARAM (bad slot, not an LCDMI instrument, device name without a digit),
// the lookup's errors, the reader's errors.
int32_t pi_lcdmi_load_config(int slot);

// The state kept for a slot's LCDMI: null for a slot outside 0..3 or before a successful load.
struct pi_lcdmi_state {
    int board = -1;            // the digit that ends the device name
    bool has_config = false;   // a configuration file was read
    lcdmi_config config;
};
const pi_lcdmi_state* pi_lcdmi_slot(int slot);

