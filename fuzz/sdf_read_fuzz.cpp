// libFuzzer target: sdf_read_file on any bytes, both forms (the first byte chooses the form).
//
// Besides the sanitizers it checks what a caller relies on: a failure leaves no phase data and
// is one of the reader's codes; a success has a map whose geometry is the header's and whose
// values are phase counts or the invalid mark; no block is requested beyond what the input's
// size justifies.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "datafile/dataset.h"
#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "sdf/sdf.h"

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
