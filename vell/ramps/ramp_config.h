// The ramp configuration file ("rampcfg.txt" by default, in the ramp directory): one line per
// ramp the instrument offers, with the ramp data file that holds it and the acquisition values
// the ramp must match. Reader with its messages, writer, saving an instrument's ramp set, and
// the check of an entry against the ramp loaded for it.
#pragma once

#include <cstdint>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/ramps/ramp_file.h"

// Longest FileName of an entry, terminator not counted.
constexpr int RR_CFG_MAX_FILENAME = 80;

// One configuration entry.
struct rr_ramp_cfg_t {
    int32_t RampType;      // RR_SWLI, RR_PMI or RR_BTW
    int32_t WavelenIndex;  // BTW: 1 to 4, 0 when none is given; 0 for other types
    char FileName[RR_CFG_MAX_FILENAME + 1];  // data file name, "+" (derived) or an external profile
    float ScanLen;          // um
    float CameraRate;       // Hz
    int32_t CameraInterlace;
    int32_t GrabSkip;  // GrabSkip + 1 camera frames make one sample
    float FringesPerFrame;
    float RampSlope;  // nm per frame
    float ObjMag;
    float ScanCal;
    int32_t Hide;  // 1 hides the ramp from the user
};

// Reads a configuration file. `*entries` must be null on entry (else ERR_INVALID_PARAM, without
// a message). On success *entries is a u_malloc'd array of *count entries that the caller frees
// with u_free; on failure nothing is returned. A bad line is reported and skipped; a line longer
// than 200 characters or the 21st bad line ends the reading with ERR_CORRUPT_RAMP_CFG_FILE, and
// so does a file without one acceptable line. ERR_CANT_OPEN_FILE, ERR_NO_MEM.
// A carriage return before the line feed is part of the line end.
int32_t rr_read_ramp_config(const char* path, rr_ramp_cfg_t** entries, int32_t* count);

// Writes a configuration file: the heading, then the entries, a blank line before each group.
// The file is written beside the target and replaces it only when complete. Lines end in
// the system's text form (CR LF on Windows).
// ERR_INVALID_PARAM, ERR_CANT_OPEN_FILE (cannot be created), ERR_CANT_WRITE_FILE.
int32_t rr_write_ramp_config(const char* path, const rr_ramp_cfg_t* entries, int32_t count);

// The text rr_write_ramp_config writes, with line feeds as line ends.
std::string rr_format_ramp_config(const rr_ramp_cfg_t* entries, int32_t count);

// Writes the instrument's current ramp set as a configuration file.
// ERR_SYS_INFO_NOT_AVAIL, ERR_NO_RAMP_INFO, ERR_INVALID_RAMP_INDEX (not 1 to 254 ramps),
// ERR_INVALID_PARAM (no path), then those of rr_write_ramp_config.
int32_t rr_save_ramp_config(const sysInfo* si, const char* path);

// Compares an entry with the ramp loaded for it; ERR_INVALID_PARAM with a message on the first
// difference.
int32_t rr_check_ramp_config(const rr_ramp_cfg_t* entry, const rr_ramp_t* ramp);

// The data file name of an entry that names one: a final "*" is replaced by the decimal serial
// number of the entry's scanner (the PZT for PMI entries, the PIFOC otherwise). A name that
// then passes 80 characters is refused with "Ramp config error reading ramp data file" and
// ERR_INVALID_PARAM.
int32_t rr_cfg_data_file_name(const rr_ramp_cfg_t* entry, int32_t pifocSerial, int32_t pztSerial, std::string& name);

// The heading's 14 lines after the title, joined by line feeds (no final line feed), and the
// sample entry shown with them.
extern const char* const RR_CFG_FORMAT_TEXT;
extern const char* const RR_CFG_SAMPLE_SPEC;
