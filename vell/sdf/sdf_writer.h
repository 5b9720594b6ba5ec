// Writing a measurement dataset as an ASCII SDF file ("aBCR-1.0"): the SDF header lines, the
// phase values as unsigned decimal numbers relative to their minimum, and the key = value
// trailer that carries the whole dataset header. sdf_read_file / sdf_load_dataset (sdf/sdf.h)
// read such a file back into the same phase values and header fields.
#pragma once

#include <cstdint>

#include "vell/datafile/dataset.h"

// Size of a buffer for sdf_create_date, terminator included. Twelve digits normally; parts
// that the date text does not give, or gives out of range, can make the text longer.
constexpr int SDF_CREATE_DATE_SIZE = 64;

// Writes the dataset as an ASCII SDF file. The path follows the platform's path convention
// (a leading U+FEFF byte-order character makes it a wide path). The file is text (CR LF line
// ends on Windows, LF elsewhere). It is written to a temporary file beside the target, which
// replaces the target only after everything was written; after a failure an existing file is
// left as it was. The intensity map is not used and may be null. The trailer carries the
// header's fields, except that the phase geometry (cn_org_x, cn_org_y, cn_width, cn_height,
// cn_n_bytes) is that of the phase map, which the data section holds.
//   ERR_INVALID_PARAM     no header, no phase map or one without data, or a phase map whose
//                         width or height is not positive or whose width x height exceeds
//                         its count (nothing is created then)
//   ERR_CANT_CREATE_FILE  the file cannot be created
//   ERR_CANT_WRITE_FILE   any part of the file cannot be written
//   ERR_NO_MEM            the output buffer cannot be allocated
int32_t sdf_write_file(const char* path, const dat_header* header, const intensity_map* intensity,
                       const phase_map* phase);

// Builds a header record from its parts and writes it with sdf_write_file: the format from the
// attributes, the swinfo group (when given), the geometry of the maps, then the attributes
// (SDF_ATTRIBUTES_SIZE bytes laid out as the dat_header members from time_stamp on, see
// sdf/sdf.h; when given). ERR_INVALID_PARAM when neither map has data.
int32_t sdf_save_dataset(const char* path, const dat_swinfo* swinfo, const void* attributes,
                         const intensity_map* intensity, const phase_map* phase);

// The CreateDate value for a date text ("Mar 02 11:20:00 1995" -> "020319951120"): day,
// month, year, hour and minute as "%02d%02d%04d%02d%02d". An empty (or null) text takes the
// current local date and time; a part that the text does not give is printed as -1. The
// buffer holds SDF_CREATE_DATE_SIZE characters; it is returned (null for a null buffer).
char* sdf_create_date(const char* date_text, char* buffer);
