// The camera bad pixel file: per camera mode, the pixels known to be defective.
//
//     # comment
//     [ 0 0 640 480 30         grab mode, grab under, size x, size y, grab rate
//     10 20                    column, row
//     [ 1 0 320 240 60         the next block
//     ...
//
// Lines of at most 99 characters before their CR LF or LF; a block's header line is a line whose
// first word begins with "[" (the rest of that word, if any, is the grab mode).
#pragma once

struct SysInfo;

#include <cstddef>
#include <cstdint>
#include <string>

#include "vell/platform/fields.h"

struct bpix_pixel {
    int32_t x = 0;  // column
    int32_t y = 0;  // row
    float weight = 0.0f;
};

// One camera mode. `pixels` is a heap block of the platform's allocation hooks (u_malloc and
// friends), owned by the block and released with bpix_free_block.
struct bpix_block {
    int16_t grab_mode = 0;   // 0..10
    int16_t grab_under = 0;  // 0..10
    int16_t size_x = 0;      // pixels per row, 0..32767
    int16_t size_y = 0;      // rows, 0..32767
    double grab_rate = 0.0;  // 0..500
    int32_t num_pixels = 0;
    bpix_pixel* pixels = nullptr;
};

constexpr int BPIX_MAX_BLOCKS = 100;

// Reads one block from `in`. `at_end` is set when no further non-comment line was found (the
// file ended); a block ends at the end of the file or before the next header line, which is
// pushed back into `in` for the next call. On failure the block holds no pixels and `report`
// (when given) holds the cause and the line in error.
// Errors: ERR_INVALID_PARAM (no reader or block), ERR_CB_FILE_INVALID (content),
// ERR_CANT_READ_FILE (the system failed to read), ERR_NO_MEM.
int32_t bpix_read_block(u_line_reader* in, bpix_block* block, bool* at_end, std::string* report);

// Reads every block of the file at `path` into `blocks` (room for BPIX_MAX_BLOCKS) and stores
// their number in `count`. A file of more than BPIX_MAX_BLOCKS blocks is refused. On failure
// every block read is released and the count is 0; `report` holds the whole error text.
// Errors: ERR_INVALID_PARAM, ERR_CANT_OPEN_FILE, ERR_CB_FILE_INVALID, ERR_CANT_READ_FILE,
// ERR_NO_MEM.
int32_t bpix_read_file(const char* path, bpix_block* blocks, int32_t* count, std::string* report);

// Sorts each block's pixels by column, then row, and keeps one of each repeated pixel.
// ERR_INVALID_PARAM for no blocks with a count above 0 or a negative count.
int32_t bpix_clean(bpix_block* blocks, int32_t count);

// Releases a block's pixel list (the block is left empty), or those of `count` blocks.
void bpix_free_block(bpix_block* block);
void bpix_free_blocks(bpix_block* blocks, int32_t count);

// Forms the bad pixel file name of a slot's instrument (the "Camera Bpix" name, else
// "bpix_<serial number>.dat", in the configuration directory), reads and cleans the file and
// keeps the table as the slot's bad pixel table. Without "Camera Bpix" the slot has no table.
// On failure the slot is left with no table (count 0).
// Errors: ERR_INVALID_PARAM (bad slot, no configuration directory), ERR_NO_MEM, the reader's
// errors.
int32_t gen_cam_ped_filename(int slot);

// The bad pixel table of a slot: its blocks (null when none) and their number.
void bpix_slot_table(int slot, const bpix_block** blocks, int32_t* count);
// The same for the instrument whose record is si (none for a null record).
void bpix_table_of(const SysInfo* si, const bpix_block** blocks, int32_t* count);

