// libFuzzer target: sdf_read_file_ex under the import policy (SDF files of other instruments and
// programs, sdf_import) on any bytes.
//
// Besides the sanitizers it checks what a caller relies on: a failure leaves no phase data and
// is one of the reader's codes; a success came from one of the six dialects' banners and has a
// map whose geometry is the header's and whose values are phase counts or the invalid mark; no
// block is requested beyond what the input's size justifies; reading with a small block gives
// the same result.
// fuzz-run: corpus=sdf dict=sdf max_len=16384
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "vell/datafile/dataset.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/sdf/input.h"
#include "vell/sdf/sdf.h"

namespace {

bool reader_code(int32_t rc)
{
    switch (rc) {
    case ERR_NOT_A_DATA_FILE:
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

bool known_banner(const char (&b)[8])
{
    std::string_view s(b, sizeof b);
    for (std::string_view n : {"aBCR-1.0", "aISO-1.0", "aISO-2.0", "bBCR-1.0", "bISO-1.0", "bISO-2.0"})
        if (s == n)
            return true;
    return false;
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
    const sdf_read_options import{SDF_POLICY_IMPORT};

    dat_header header;
    std::memset(&header, 0xA5, sizeof header);
    phase_map phase;
    std::memset(&phase, 0x5A, sizeof phase);
    sdf_header sh;

    vpfuzz::guard_allocations(size);
    int32_t rc = sdf_read_file_ex(path.c_str(), &header, nullptr, &phase, &sh, import);
    u_hooks_reset();

    {
        dat_header h2;
        phase_map p2;
        std::memset(&p2, 0x5A, sizeof p2);
        sdf_header s2;
        std::size_t block = 16 + size % 61;
        int32_t rc2 = sdf::read_file_in_blocks(path.c_str(), &h2, nullptr, &p2, &s2, block, 1, 0, &import);
        VP_FUZZ_CHECK(rc2 == rc);
        if (rc == NO_ERROR) {
            VP_FUZZ_CHECK(std::memcmp(&h2, &header, sizeof header) == 0);
            VP_FUZZ_CHECK(p2.count == phase.count);
            VP_FUZZ_CHECK(std::memcmp(p2.data, phase.data, phase.count * sizeof(int32_t)) == 0);
        }
        if (p2.data != nullptr)
            u_free(p2.data);
    }

    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(reader_code(rc));
        VP_FUZZ_CHECK(phase.data == nullptr);
        return 0;
    }
    VP_FUZZ_CHECK(known_banner(sh.banner));
    VP_FUZZ_CHECK(phase.data != nullptr);
    VP_FUZZ_CHECK(phase.count == static_cast<uint32_t>(phase.width) * static_cast<uint32_t>(phase.height));
    VP_FUZZ_CHECK(static_cast<uint32_t>(phase.width) == sh.NumPoints);
    VP_FUZZ_CHECK(static_cast<uint32_t>(phase.height) == sh.NumProfiles);
    VP_FUZZ_CHECK(header.cn_width == phase.width && header.cn_height == phase.height);
    VP_FUZZ_CHECK(static_cast<uint32_t>(header.cn_n_bytes) == phase.count * 4u);
    VP_FUZZ_CHECK(phase.org_x == header.cn_org_x && phase.org_y == header.cn_org_y);
    VP_FUZZ_CHECK(sh.DataType <= SDF_DOUBLE);
    VP_FUZZ_CHECK(sh.Zresolution > 0);
    for (uint32_t i = 0; i < phase.count; ++i)
        VP_FUZZ_CHECK(phase.data[i] <= DAT_PHASE_MAX_VALID || phase.data[i] == DAT_INVALID_PHASE);
    u_free(phase.data);
    return 0;
}
