// The system calibration file writer.
//
// sb_writeCal writes one sysInfo slot (calfile/sysinfo.h) as a calibration file in the grammar of
// the reader (calfile/calfile.h): a header comment, then one line per entry, the keyword in a
// column of 22 characters. Only what differs from the defaults, or what the instrument kind
// needs, is written. The file is written to a temporary file first; the target is replaced only
// after the whole record was written without error, so a failure leaves it as it was.
#pragma once

#include <cstdint>
#include <string>


// Writes `slot` (0..3) to `target`; a null or empty target means the slot's default file, the
// configuration directory (or "." when there is none) joined with u_host_file_name of the slot's
// host-file digit. Closes and clears the slot's open calibration file handle, if any; changes
// nothing else in the slot. Returns NO_ERROR or the error code of the last failed check:
//  ERR_PARAM_OUT_OF_RANGE      slot outside 0..3
//  ERR_CANT_CREATE_FILE        no temporary file ("Cannot create temp file.")
//  ERR_CANT_WRITE_FILE         the temporary file cannot be opened or written, or cannot replace
//                              the target ("Cannot copy temp file ...")
//  ERR_SB_CAL_INFO_INCOMPLETE  information the file needs is missing or has no keyword
//                              ("System type undefined.", "Camera Type undefined.", ...)
//  ERR_INVALID_PARAM           a CAN board without canInfo ("canInfo = NULL"), or a name that the
//                              reader could not read back as it is
//  ERR_SB_CALFILE_VALUE_RANGE  a value that the reader would refuse as out of range
// Every check that fails reports its message and writing goes on, so one call names every
// problem; the target is then left untouched.
int32_t sb_writeCal(int slot, const char* target);

struct SysInfo;

// The text that sb_writeCal writes for `info`, with the same checks, messages and result, and
// no file. With `exact`, every real number is written with the fewest digits that read back as
// the value the record holds, whatever the line's format; so a read of that text gives the
// record back field for field. For tests, tools and fuzzing.
int32_t calfile_write_text(const SysInfo& info, std::string& text, bool exact = false);
