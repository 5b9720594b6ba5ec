// libFuzzer target: the PIFOC info file reader, xr_read_pifoc_info_file on any file content.
//
// Properties: the result is one of the platform's error codes; a rejected file leaves the
// values as they were; accepted values are reasonable (1 <= te <= t1 <= now, within 32 bits,
// a leakage current within [-14, 0] uA as the diagnostic log shows it, to 0.0001 uA), and the
// saved form of them reads back to the same values (read, write, read).
// fuzz-run: corpus=pifoc dict=pifoc max_len=1024
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "vell/instrument/pifoc.h"
#include "vell/platform/errors.h"

namespace {

bool known_code(int32_t rc) { return rc == NO_ERROR || (rc >= U_ERR_FIRST && rc <= U_ERR_LAST); }

constexpr int64_t NOW = 3000000000;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = vpfuzz::scratch().file("pifoc.1");
    vpfuzz::put_file(path, data, size);

    const xr_pifoc_values before{7, 8, -9};
    xr_pifoc_values v = before;
    int32_t rc = xr_read_pifoc_info_file(path.c_str(), NOW, &v);
    VP_FUZZ_CHECK(known_code(rc));
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(v.te == before.te && v.t1 == before.t1 && v.leakage == before.leakage);
        return 0;
    }
    VP_FUZZ_CHECK(v.te >= 1 && v.te <= v.t1 && v.t1 <= NOW && v.t1 <= XR_TIME_MAX);
    const double current = v.leakage * XR_LEAKAGE_UA_PER_COUNT;
    const double half = XR_LEAKAGE_RESOLUTION_UA / 2;
    VP_FUZZ_CHECK(current >= XR_LEAKAGE_MIN_UA - half && current < XR_LEAKAGE_MAX_UA + half);

    const std::string saved = xr_format_pifoc_info(v);
    vpfuzz::put_file(path, reinterpret_cast<const uint8_t*>(saved.data()), saved.size());
    xr_pifoc_values again;
    VP_FUZZ_CHECK(xr_read_pifoc_info_file(path.c_str(), NOW, &again) == NO_ERROR);
    VP_FUZZ_CHECK(again.te == v.te && again.t1 == v.t1 && again.leakage == v.leakage);
    return 0;
}
