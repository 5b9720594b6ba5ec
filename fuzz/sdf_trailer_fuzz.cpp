// libFuzzer target: the SDF trailer reader alone.
//
// The stream form (sdf_read_trailer on a FILE) and the block-buffered form inside the SDF
// reader (with a tiny and with a larger block, so that lines straddle refills) must agree on
// the result, the data offset and every byte of the header; the stream must stop right after
// the "*" line.
// fuzz-run: corpus=trailer dict=sdf max_len=8192
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vell/datafile/dataset.h"
#include "fuzz/fuzz_support.h"
#include "vell/sdf/input.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/trailer.h"

namespace {

std::FILE* open_bytes(const uint8_t* data, std::size_t size)
{
    std::FILE* f = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : std::fopen("/dev/null", "rb");
    if (f == nullptr)
        vpfuzz::fail("cannot open the input as a stream");
    return f;
}

// Where the trailer ends: after the first line that begins with "*", at the end of a last line
// without a line feed, or at the end of the input.
std::size_t trailer_end(const uint8_t* data, std::size_t size)
{
    std::size_t pos = 0;
    while (pos < size) {
        const void* lf = std::memchr(data + pos, '\n', size - pos);
        if (lf == nullptr)
            return size;
        std::size_t next = static_cast<std::size_t>(static_cast<const uint8_t*>(lf) - data) + 1;
        if (data[pos] == '*')
            return next;
        pos = next;
    }
    return size;
}

void fill_pattern(dat_header& h)
{
    auto* p = reinterpret_cast<unsigned char*>(&h);
    for (std::size_t i = 0; i < sizeof h; ++i)
        p[i] = static_cast<unsigned char>(i * 37 + 11);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    dat_header a, b;
    fill_pattern(a);
    fill_pattern(b);
    int32_t off_a = 12345, off_b = 54321;

    std::FILE* f = open_bytes(data, size);
    int ra = sdf_read_trailer(f, &a, &off_a);
    long at = std::ftell(f);
    std::fclose(f);
    VP_FUZZ_CHECK(at >= 0 && static_cast<std::size_t>(at) == trailer_end(data, size));

    for (std::size_t block : {std::size_t{16}, std::size_t{4096}}) {
        fill_pattern(b);
        off_b = 54321;
        std::FILE* g = open_bytes(data, size);
        int rb;
        {
            sdf::input in(g, true, block);
            rb = sdf::read_trailer(in, &b, &off_b);
            VP_FUZZ_CHECK(in.position() == trailer_end(data, size));
        }
        VP_FUZZ_CHECK(ra == rb);
        VP_FUZZ_CHECK(off_a == off_b);
        VP_FUZZ_CHECK(std::memcmp(&a, &b, sizeof a) == 0);
    }
    return 0;
}
