// The FTP materials file: the optical constants (N, K, phase change on reflection and one
// dispersion per FTP magnification) of the materials an FTP instrument measures; its reader,
// the loader that the FTP instrument power-on calls, and the map of the instrument's nominal
// magnifications onto the four dispersion columns.
//
// File format (text lines of at most 200 characters):
//   ## Tessaron FTP Materials File - Format 1      the heading, required before any material
//   ## ...                                          skipped
//   # ...                                           kept as a comment record (index -1)
//   "Name" N K PCOR Disper[0] Disper[1] Disper[2] Disper[3]  # optional comment
// The name is quoted (double or single quotes) text of at most 20 characters; N and K lie in
// [0,100], the others in [-2 pi, 2 pi]; "*" or "?" stands for a value not given (+infinity).
#pragma once

#include <cstdint>
#include <string>

#include "vell/calfile/sysinfo.h"

constexpr int FTP_MAX_LINE = 200;
constexpr int FTP_MAX_NAME = 20;
constexpr int FTP_MAX_COMMENT = 100;
constexpr int FTP_MAX_ERRORS = 10;  // the next error ends the read
constexpr int FTP_NUM_MAGS = 4;
inline constexpr char FTP_MATLS_TITLE[] = "Tessaron FTP Materials File";
inline constexpr char FTP_MATLS_FORMAT_WORD[] = "Format";
constexpr int FTP_MATLS_FORMAT = 1;

// One record of a materials table.
struct ftp_material {
    int16_t index;  // ordinal among the accepted materials from 0, or -1 for a comment record
    char name[FTP_MAX_NAME + 1];
    double n;
    double k;
    double pcor;
    double disper[FTP_NUM_MAGS];  // for the magnifications 0.8, 1.0, 1.7 and 4.0
    char comment[FTP_MAX_COMMENT + 1];
};

// A materials table is one block from the platform allocation hooks (u_malloc), grown in steps
// of five zero-filled records; it always ends with at least one all-zero record. Release it
// with ftp_free_materials.
void ftp_free_materials(ftp_material* table);

// Number of records (materials and comment records) before the closing all-zero record.
int ftp_material_count(const ftp_material* table);

// Reads a materials file. On success *table receives the new table and the previous one is
// released; on any failure *table is left exactly as it was. The messages and the error report
// go through u_log_sink. Errors: ERR_INVALID_PARAM (no path or no table slot),
// ERR_CANT_OPEN_FILE, ERR_CANT_READ_FILE (the system failed to read the opened file),
// ERR_FTP_CORRUPT_MATLS_FILE (a fatal content error, or no acceptable material), ERR_NO_MEM.
int32_t ftp_read_materials(const char* path, ftp_material** table);

// The help text that describes the material line, with the limits filled in.
const std::string& ftp_materials_help();
// The sample material line shown with the help text (ends with a line feed).
extern const char* const FTP_MATLS_SAMPLE_LINE;

// What the FTP services hold besides the calibration record's ftpInfo, for one instrument, in
// its record's run-time part (destroying it releases the materials table):
// the materials table, the path the materials were read from, the four FTP magnifications and
// the map of the nominal magnifications onto the dispersion columns. The configured file name
// stays in ftpInfo as the calibration file gave it, so that the calibration writer keeps
// writing it.
struct ftp_slot_state {
    ftp_slot_state() = default;
    ~ftp_slot_state();
    ftp_slot_state(const ftp_slot_state&) = delete;
    ftp_slot_state& operator=(const ftp_slot_state&) = delete;

    ftp_material* materials = nullptr;  // null until a load succeeds
    std::string materialsPath;          // the path found by the last load; empty when none
    double mags[FTP_NUM_MAGS] = {0.8, 1.0, 1.7, 4.0};
    int8_t magMap[SB_MAX_MAGS] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
};

// The FTP state of an instrument record (any record), created on first use; null only for a
// null record.
ftp_slot_state* ftp_state_of(const SysInfo* info);

// Loads the materials of an FTP instrument at power-on: releases the slot's table, finds the
// configured file (a name that begins with "/" or "\" or has ":" as its second character is
// used unchanged, any other is looked for with u_find_config_file), reads it into the slot's
// table and maps the magnifications. Errors: ERR_SYS_INFO_NOT_AVAIL (no record),
// ERR_FTP_NO_FTP_INFO, ERR_INVALID_PARAM (no file name), ERR_FTP_CANT_READ_MATLS_FILE
// (the file was not found or not read; the cause is logged), ERR_NO_MEM, and the errors of
// ftp_map_magnifications.
int32_t ftp_load_materials(SysInfo* info);

// Maps each nominal magnification of the instrument onto the first FTP magnification within
// 0.001 of it; entries beyond the instrument's magnifications are -1. The first magnification
// that matches none ends the map with ERR_FTP_INVALID_MAGNIFICATION, leaving the entries found
// so far. ERR_SYS_INFO_NOT_AVAIL or ERR_FTP_NO_FTP_INFO when the record or the state is missing.
int32_t ftp_map_magnifications(const SysInfo* info, ftp_slot_state* ftp);

