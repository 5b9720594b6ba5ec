// Reading a Vell binary data file back into a dataset: the header (834 or 4096 bytes, chosen by
// the magic number), the intensity block and the phase block.
//
// The file is outside data: every count in the header is checked against the file's size
// before anything is allocated, so a file that claims more than it holds fails without asking
// for the memory it claims.
#pragma once

#include <cstdint>

#include "vell/datafile/dataset.h"

// Reads the data file at `path` (platform path convention: a leading U+FEFF makes it a wide
// path) into `header` and the two maps. `intensity` may be null when the caller does not want
// the intensity block (it is still checked).
//
// The magic number alone decides the header's length (834 bytes for formats 1 and 2, 4096 for
// format 3); the stored header_format and header_size are carried as they are. The blocks'
// lengths are in_n_bytes and cn_n_bytes (read as unsigned 32-bit numbers), which must equal
// in_width x in_height x in_n_frames x 2 and cn_width x cn_height x 4 with no negative
// dimension; a product of 0 means the block is absent (its map stays empty). The file must end
// right after the phase block.
//
// On success a present map has its geometry and org from the header, count = its elements and
// data from u_malloc (release with dat_release_maps or u_free); an absent map is zeroed. On
// failure the header is zeroed, both maps are empty and nothing stays allocated. A failure
// writes one line "dat_read_file: <cause>: <error name>" through u_log_sink.
//
//   ERR_INVALID_PARAM         no header or no phase map given
//   ERR_CANT_OPEN_FILE        the file is missing, not a regular file or cannot be opened
//   ERR_CANT_READ_FILE        a read failed
//   ERR_PREMATURE_EOF         the file ends before the header or a block it announces
//   ERR_CORRUPT_DATA_FILE     not a data file (magic number), block counts that disagree with
//                             the geometry, or bytes after the phase block
//   ERR_NO_MEM                a map cannot be allocated
int32_t dat_read_file(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase);

// Releases the maps' data through u_free and zeroes the maps. Null maps are ignored.
void dat_release_maps(intensity_map* intensity, phase_map* phase);
