// libFuzzer target: sdf_read_file on any bytes, both forms (the first byte chooses the form).
//
// Besides the sanitizers it checks what a caller relies on: a failure leaves no phase data and
// is one of the reader's codes; a success has a map whose geometry is the header's and whose
// values are phase counts or the invalid mark; no block is requested beyond what the input's
// size justifies. Each input is read a second time with a small read block (just above its
// longest line) so that numbers, lines and binary items straddle block boundaries; both reads
// must give the same result.
// fuzz-run: corpus=sdf dict=sdf max_len=16384
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

#include "vell/datafile/dataset.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/sdf/input.h"
#include "vell/sdf/sdf.h"

namespace {

bool reader_code(int32_t rc)
{
    switch (rc) {
    case ERR_PREMATURE_EOF:
    case ERR_CORRUPT_DATA_FILE:
    case ERR_BAD_PARAM:
    case ERR_PARAM_OUT_OF_RANGE:
    case ERR_DATASET_DIM_TOO_LARGE:
    case ERR_FP_OVERFLOW:
        return true;
    default:
        return false;
    }
}

bool same_sdf_header(const sdf_header& a, const sdf_header& b)
{
    return std::memcmp(a.banner, b.banner, sizeof a.banner) == 0 &&
           std::memcmp(a.ManufacID, b.ManufacID, sizeof a.ManufacID) == 0 &&
           std::memcmp(a.CreateDate, b.CreateDate, sizeof a.CreateDate) == 0 &&
           std::memcmp(a.ModDate, b.ModDate, sizeof a.ModDate) == 0 && a.NumPoints == b.NumPoints &&
           a.NumProfiles == b.NumProfiles && std::memcmp(&a.Xscale, &b.Xscale, 8) == 0 &&
           std::memcmp(&a.Yscale, &b.Yscale, 8) == 0 && std::memcmp(&a.Zscale, &b.Zscale, 8) == 0 &&
           std::memcmp(&a.Zresolution, &b.Zresolution, 8) == 0 && a.Compression == b.Compression &&
           a.DataType == b.DataType && a.CheckType == b.CheckType;
}

// A block just long enough for the longest line (and so for any number), varied with the size.
std::size_t small_block(const uint8_t* data, std::size_t size)
{
    std::size_t longest = 0, run = 0;
    for (std::size_t i = 0; i < size; ++i) {
        run = data[i] == '\n' ? 0 : run + 1;
        longest = run > longest ? run : longest;
    }
    return std::max<std::size_t>(16, longest + 2 + size % 13);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vpfuzz::quiet_stdout();
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string path = vpfuzz::scratch().file("in.sdf");
    vpfuzz::put_file(path, data, size);

    dat_header header;
    std::memset(&header, 0xA5, sizeof header);
    intensity_map intensity;
    std::memset(&intensity, 0x5A, sizeof intensity);
    phase_map phase;
    std::memset(&phase, 0x5A, sizeof phase);
    sdf_header sh;

    vpfuzz::guard_allocations(size);
    int32_t rc = sdf_read_file_ex(path.c_str(), &header, &intensity, &phase, &sh);
    u_hooks_reset();

    // The same file through a small block, its text data split over three threads.
    {
        dat_header h2;
        std::memset(&h2, 0xA5, sizeof h2);
        intensity_map in2;
        std::memset(&in2, 0x5A, sizeof in2);
        phase_map p2;
        std::memset(&p2, 0x5A, sizeof p2);
        sdf_header s2;
        int32_t rc2 = sdf::read_file_in_blocks(path.c_str(), &h2, &in2, &p2, &s2, small_block(data, size), 3, 16);
        VP_FUZZ_CHECK(rc2 == rc);
        VP_FUZZ_CHECK(same_sdf_header(s2, sh));
        if (rc == NO_ERROR) {
            VP_FUZZ_CHECK(std::memcmp(&h2, &header, sizeof header) == 0);
            VP_FUZZ_CHECK(p2.count == phase.count && p2.width == phase.width && p2.height == phase.height);
            VP_FUZZ_CHECK(std::memcmp(p2.data, phase.data, phase.count * sizeof(int32_t)) == 0);
        }
        if (p2.data != nullptr)
            u_free(p2.data);
    }

    VP_FUZZ_CHECK(intensity.data == nullptr && intensity.count == 0);
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(reader_code(rc));
        VP_FUZZ_CHECK(phase.data == nullptr);
        return 0;
    }
    VP_FUZZ_CHECK(phase.data != nullptr);
    VP_FUZZ_CHECK(phase.width > 0 && phase.height > 0);
    VP_FUZZ_CHECK(phase.count == static_cast<uint32_t>(phase.width) * static_cast<uint32_t>(phase.height));
    VP_FUZZ_CHECK(static_cast<uint32_t>(phase.width) == sh.NumPoints);
    VP_FUZZ_CHECK(static_cast<uint32_t>(phase.height) == sh.NumProfiles);
    VP_FUZZ_CHECK(header.cn_width == phase.width && header.cn_height == phase.height);
    VP_FUZZ_CHECK(static_cast<uint32_t>(header.cn_n_bytes) == phase.count * 4u);
    VP_FUZZ_CHECK(phase.org_x == header.cn_org_x && phase.org_y == header.cn_org_y);
    VP_FUZZ_CHECK(sh.DataType <= SDF_DOUBLE);
    // The points come from the input: one per byte at the very most.
    VP_FUZZ_CHECK(phase.count <= size);
    for (uint32_t i = 0; i < phase.count; ++i)
        VP_FUZZ_CHECK(phase.data[i] <= DAT_PHASE_MAX_VALID || phase.data[i] == DAT_INVALID_PHASE);
    u_free(phase.data);
    return 0;
}
