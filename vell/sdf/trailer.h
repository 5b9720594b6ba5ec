// The SDF trailer inside the library: reading it from the readers' block-buffered input, and
// the key tables behind sdf_read_trailer and sdf_write_trailer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vell/datafile/dataset.h"
#include "vell/sdf/input.h"

namespace sdf {

// Reads the trailer from the input's current position, exactly like sdf_read_trailer.
// With `required_seen`, also hands back how many lines with a required key counted.
int read_trailer(input& in, dat_header* header, int32_t* data_offset, int* required_seen = nullptr);

// One key the trailer reader knows, in the order in which keys are tried.
struct trailer_key {
    std::string_view key;
    const dat_field* field;  // null only for "Data Offset"
    bool second_part;        // keys that first carry the serial number over (see the reader)
    bool required;
};
std::span<const trailer_key> trailer_keys();

// Appends the 95 trailer lines of the header (as sdf_write_trailer writes them), each ended by
// line_end.
void trailer_lines(const dat_header& header, std::string& out, std::string_view line_end);

}  // namespace sdf
