// The reverse of dat_header_pack for tests: a header record from its packed (file) form,
// through the layout table.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "datafile/byte_order.h"
#include "datafile/dataset.h"

namespace vptest {

inline void unpack_header(std::span<const uint8_t, DAT_HEADER_PACKED_SIZE> in, dat_header& header)
{
    using namespace dat_bytes;
    constexpr std::size_t format3_offset = 834;
    std::memset(&header, 0, sizeof header);
    for (const dat_field& f : dat_layout()) {
        void* dst = dat_field_ptr(&header, f);
        const uint8_t* src = in.data() + f.offset;
        if (f.size == 2 && f.order != dat_order::none)
            set_native16(dst, f.order == dat_order::big ? load_be16(src) : load_le16(src));
        else if (f.size == 4 && f.order != dat_order::none)
            set_native32(dst, f.order == dat_order::big ? load_be32(src) : load_le32(src));
        else
            std::memcpy(dst, src, f.size);
    }
    for (const dat_unit& u : dat_format3_units()) {
        const uint8_t* src = in.data() + u.offset;
        uint8_t* dst = header.format3_area + (u.offset - format3_offset);
        if (u.size == 2)
            set_native16(dst, load_be16(src));
        else
            set_native32(dst, load_be32(src));
    }
}

}  // namespace vptest
