// The Vell binary data file writer: the binary header (834 or 4096 bytes) followed by the
// intensity block and the phase block, big-endian except the header's little-endian fields.
#pragma once

#include <cstdint>

#include "vell/datafile/dataset.h"

// Values per slice of the intensity block (one 64 KiB transfer buffer).
constexpr uint32_t DAT_INTENSITY_SLICE_VALUES = 32768;
// Values per slice of the phase block (one 1 MiB transfer buffer).
constexpr uint32_t DAT_PHASE_SLICE_VALUES = 262144;

// Writes one dataset to `path` (platform path convention: a leading U+FEFF makes it a wide
// path). Either map may be null or have null data (absent), not both. The block lengths come
// from the header's in_n_bytes / 2 and cn_n_bytes / 4; a dataset whose counts exceed its maps'
// data (the smaller of count and the map's geometry) is rejected before anything is written.
// The file is written to a temporary file beside the target, which replaces the target only
// after a complete write; on any failure the target is left as it was. A target that exists
// but is not a regular file (a device, a pipe) is written in place.
//
//   ERR_INVALID_PARAM     no header, no map with data, or counts beyond a map's data
//   ERR_CANT_CREATE_FILE  the file cannot be created
//   ERR_CANT_WRITE_FILE   a write, the close or the replacement failed; unknown magic number
//   ERR_NO_MEM            a transfer buffer cannot be allocated
//
// Nothing is printed; the caller's header and maps are not changed.
int32_t dat_write_file(const char* path, const dat_header* header, const intensity_map* intensity,
                       const phase_map* phase);

// Reverses the byte order of one value of `size` bytes in place; size is 2, 4 or 8. Any other
// size writes "u_swap_bytes: n=<size>" through u_log_sink and aborts the process.
void u_swap_bytes(void* value, int size);
