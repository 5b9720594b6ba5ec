// The HXI encoded zoom calibration file: the table that maps the zoom motor's encoder position
// to an optical magnification, its reader and the cached loader the zoom node set-up calls.
//
// File: a title line, then one "position magnification" pair per line (separated by blanks, a
// comma, or a comma and a blank); positions 0..3.4028234663852886e38 and magnifications 0.5..6,
// both strictly increasing; 2 to 100 pairs.
#pragma once

#include <cstdint>
#include <string>

#include "vell/platform/files.h"

struct SysInfo;

constexpr int HXI_ZOOM_CAL_MIN_PAIRS = 2;
constexpr int HXI_ZOOM_CAL_MAX_PAIRS = 100;
// Name looked up in the configuration directory when the HXI zoom record names no file.
inline constexpr char HXI_ZOOM_CAL_DEFAULT_FILE[] = "HXI\\ZoomCal.txt";

struct hxi_zoom_cal_entry {
    double position;
    float mag;
};

// A table of `count` entries in file order. `entries` comes from u_malloc; release it with
// hxi_zoom_cal_free.
struct hxi_zoom_cal_table {
    int32_t count = 0;
    hxi_zoom_cal_entry* entries = nullptr;
};
void hxi_zoom_cal_free(hxi_zoom_cal_table* table);

// Parses one file into *table (the old content is released only on success; on failure the
// table is left as it was). The report, when given, is emptied first and receives the
// reader's messages (each starts with a blank and ends with a blank and a line feed); nothing
// goes to the log. ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE, ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
// ERR_NO_MEM, ERR_INVALID_PARAM (null path or table).
int32_t hxi_zoom_cal_read(const char* path, hxi_zoom_cal_table* table, std::string* report);

// The loaded calibration of an instrument slot with its load cache: the file it came from and
// that file's status at load time. Run-time state of the zoom service, kept in the
// instrument record's run-time part.
struct hxi_zoom_cal_cache {
    hxi_zoom_cal_table table;
    char* loadedPath = nullptr;  // u_malloc copy
    bool haveStatus = false;
    u_file_stamp status;         // the file's identity and change times, taken before it was read

    hxi_zoom_cal_cache() = default;
    hxi_zoom_cal_cache(const hxi_zoom_cal_cache&) = delete;
    hxi_zoom_cal_cache& operator=(const hxi_zoom_cal_cache&) = delete;
    ~hxi_zoom_cal_cache();  // releases the table and the name
};
// The cache of the instrument whose record is `si` (in its run-time part); null for no record.
hxi_zoom_cal_cache* hxi_zoom_cal_cache_of(const SysInfo* si);

// Brings the slot's table up to date with its file: an unchanged file (same identity, change
// times and size: u_file_stamp) is not read again; otherwise the remembered name, else the HXI zoom record's file
// name or HXI_ZOOM_CAL_DEFAULT_FILE found with u_find_config_file, is read. Any failure leaves
// no table. ERR_HW_FAIL when the record has no HXI zoom sub-record.
int32_t hxi_zoom_cal_load(SysInfo* si, std::string* report);

// Magnification at an encoder position, linear between the calibrated pairs and held at the
// first and last magnification outside them. ERR_INVALID_PARAM without a table of 2 or more.
int32_t hxi_zoom_cal_mag(const hxi_zoom_cal_table* table, double position, double* mag);
