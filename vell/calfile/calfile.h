// The system calibration file reader.
//
// sb_readCal fills one sysInfo slot (calfile/sysinfo.h) from a calibration file, or changes a
// slot from one calibration line given as text "+<line>". Diagnostics go through u_log_sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// The largest calibration file that the reader takes: far beyond any real one. A larger file is
// refused with "File is larger than 4194304 bytes." and ERR_CANT_READ_FILE, read no further.
inline constexpr std::size_t CALFILE_MAX_BYTES = std::size_t{4} << 20;

// Reads `source` into `slot` (0..3):
//  - a file name: absolute, or found in the current and then the configuration directory;
//  - null or empty: the slot's default file (u_host_file_name of its host-file digit);
//  - "+DEFAULTS": resets the slot to its defaults;
//  - any other text beginning with "+": the rest is read as one calibration line into the slot
//    as it is (no reset, no final checks) and that line's status is returned.
// Returns NO_ERROR or the error code; see the reader's messages for the cause.
int32_t sb_readCal(int slot, const char* source);

// Reads `bytes` as the whole content of a calibration file into `slot`, exactly as sb_readCal
// does after opening a file; `header_name` names the content in messages (may be empty). For
// tools and fuzzing: no file is opened and the slot's path is not changed.
int32_t sb_readCal_bytes(int slot, std::string_view bytes, const char* header_name);

using calfile_file = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Locates and opens a calibration file: an absent or empty name means u_host_file_name(digit);
// the name is looked up with u_find_config_file. On success `path` holds the found path and
// `stream` the opened file. Failures: the lookup's code ("Cannot access file."),
// ERR_CANT_READ_FILE ("Cannot open file for reading." or a terminal device).
int32_t calfile_open(const char* name, uint8_t digit, std::string& path, calfile_file& stream);

// The process-wide remote name of the last Remote line (null when none was read).
const char* sb_remote_name();

// Clears the reader's process-wide state (messages, names, remote name). For tests.
void calfile_reset_state();

// The writer of calibration files (sb_writeCal) is declared in calfile/writer.h.
#include "vell/calfile/writer.h"
