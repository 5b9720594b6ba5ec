// PIFOC effective time, info file and diagnostic log.
//
// A PIFOC scanner's gain grows with the logarithm of the time it has been powered and relaxes
// again while it is off. The platform keeps this "effective time on" per PIFOC in a small info
// file, updates it from the wall clock (u_wall_s), turns it into a time gain
// G(t) = g0 + beta * log10(t), and appends measurement lines to a per-PIFOC diagnostic log.
// None of this applies to CAN instruments: for them every operation returns ERR_INVALID_PARAM.
//
// Files, with the configuration directory (or "." when there is none) and the PIFOC number n:
//   <config>/ramps/pifoc.n      the info file: "#" comment lines, then one line "te t1 leakage"
//   <config>/ramps/pifoclog.n   the diagnostic log, a bounded log file
#pragma once

#include <cstdint>
#include <string>

#include "vell/calfile/sysinfo.h"

constexpr double XR_LEAKAGE_UA_PER_COUNT = 4.4793068e-7;  // leakage current of one count, in uA
constexpr double XR_LEAKAGE_MIN_UA = -14.0;
constexpr double XR_LEAKAGE_MAX_UA = 0.0;
constexpr double XR_LEAKAGE_RESOLUTION_UA = 0.0001;  // the diagnostic log's resolution of currents
constexpr double XR_GAIN_MIN = 0.8;
constexpr double XR_GAIN_MAX = 1.15;
constexpr int64_t XR_TIME_MAX = 4294967295;  // te and t1 above this are unreasonable
constexpr long XR_PIFOC_LOG_DEFAULT_LIMIT = 1000000;
constexpr int XR_PIFOC_MAX_LINE = 1000;  // longest data line of the info file

// What the info file holds.
struct xr_pifoc_values {
    int64_t te = 1;        // effective time on, seconds (at least 1)
    int64_t t1 = 0;        // time of the last update, seconds since 1970
    int32_t leakage = 0;   // raw leakage count; the current is leakage * XR_LEAKAGE_UA_PER_COUNT uA
};

// The run-time PIFOC state of an instrument, in its record's run-time part, besides the calibration record's PifocInfo
// (PIFOC number, type, beta and g0).
struct xr_pifoc_state {
    int32_t state = -1;  // 1 while the PIFOC counts as powered, -1 otherwise (set by the caller)
    xr_pifoc_values values;
};

// The PIFOC state of an instrument record (any record), created on first use; null only for a
// null record.
xr_pifoc_state* xr_pifoc_state_of(const SysInfo* info);

// The paths of the info file and of the diagnostic log of PIFOC number n.
std::string xr_pifoc_info_path(int pifoc);
std::string xr_pifoc_log_path(int pifoc);

// The one rule for the info file's values, which the loader checks and the saver keeps: te >= 1,
// 0 <= t1, te <= t1 <= now, both at most XR_TIME_MAX; and a leakage current within [-14, 0] uA
// to XR_LEAKAGE_RESOLUTION_UA (counts from -31254947 to 111).
bool xr_pifoc_times_ok(int64_t te, int64_t t1, int64_t now);
bool xr_pifoc_leakage_ok(int32_t leakage);

// Reads an info file: the first line that has a word and is not a comment must start with te
// and t1, optionally followed by the leakage count (else 0), all decimal integers. Values are
// checked against `now` by the rule above. *out is changed only on success. Errors:
// ERR_CANT_OPEN_FILE, ERR_CANT_READ_FILE (no data line, a word that is not an integer, a read
// failure), ERR_PARAM_OUT_OF_RANGE, ERR_INVALID_PARAM (no path or no out).
int32_t xr_read_pifoc_info_file(const char* path, int64_t now, xr_pifoc_values* out);

// The info file's text for the values: "te t1 leakage\n".
std::string xr_format_pifoc_info(const xr_pifoc_values& values);

// Reads the slot's info file (checked against the wall clock) into its PIFOC state; a rejected
// file leaves the state unchanged.
int32_t xr_load_pifoc_info(SysInfo* info);

// Writes the slot's te, t1 and leakage to its info file, through a temporary file that replaces
// the file only after a checked write and close. Values that the loader would refuse are not
// written (ERR_PARAM_OUT_OF_RANGE, with a message). An existing file whose permissions refuse
// writing is removed and created anew; any other failure to create leaves it as it was. Errors:
// ERR_INVALID_PARAM, ERR_PARAM_OUT_OF_RANGE, ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE.
int32_t xr_save_pifoc_info(const SysInfo* info);

// Updates the effective time to `now`: with d = now - t1, a powered PIFOC gains d seconds; one
// that is off relaxes along the mirrored gain curve (or loses d seconds when beta <= 0); te
// stays at least 1 and t1 becomes now. A clock that went back (d < 0) or stands still (d = 0)
// changes nothing; a state without a last update time (t1 <= 0) only takes t1 = now.
int32_t xr_update_pifoc_time(SysInfo* info, int64_t now);
// The same at the wall clock's now.
int32_t xr_update_pifoc_time(SysInfo* info);

// The time gain G(te), at least g0. No PifocInfo: gain 0 and NO_ERROR. A gain outside
// [0.8, 1.15] is reported and gives ERR_PIFOC_GAIN with gain 0.
int32_t xr_calc_pifoc_time_gain(const SysInfo* info, double* gain);

// Logs "Pifoc effective time on: D days, HH:MM:SS (te secs)".
int32_t xr_report_pifoc_time(const SysInfo* info);

// The process-wide size limit of the diagnostic logs in bytes (trimmed to half of it); 0
// disables the logs, a negative limit leaves them unbounded.
void xr_set_pifoc_log_limit(long limit);
long xr_pifoc_log_limit();

// Appends text to the slot's diagnostic log, or its heading when text is null or empty.
int32_t xr_log_pifoc_diagnostic(const SysInfo* info, const char* text);

// The heading of the diagnostic log (five lines).
extern const char* const XR_PIFOC_LOG_HEADING;

// One measurement of the diagnostic log.
struct xr_pifoc_diag {
    int32_t sinceStart = 0;  // seconds since the PIFOC start time
    double leakageUa = 0.0;  // leakage current, uA
    int32_t measured = 0;    // 1 when the leakage was measured
    double scanLen = 0.0;    // um
    double firstUa = 0.0;
    double midUa = 0.0;
    double lastUa = 0.0;
    double gain = 0.0;
};

// The measurement line of the diagnostic log, dated with the local time of `when`
// ("mm/dd/yy HH:MM:SS"), ending with a line feed.
std::string xr_format_pifoc_diag_line(const xr_pifoc_diag& diag, int64_t when);
