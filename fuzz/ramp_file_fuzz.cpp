// libFuzzer target: the ramp data file reader on any bytes. A file that reads is written back
// (the header and the samples must come out byte for byte as they went in), dumped, named,
// checked for an instrument and, when it can be, used as the base of shorter derived ramps.
// fuzz-run: corpus=ramp dict=ramp max_len=16384
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_file.h"

namespace {

bool known_code(int32_t rc) { return rc == NO_ERROR || (rc >= U_ERR_FIRST && rc <= U_ERR_LAST); }

std::string slurp(const std::string& path)
{
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        vpfuzz::fail("cannot reopen the written ramp");
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string in = vpfuzz::scratch().file("in.ramp");
    const std::string out = vpfuzz::scratch().file("out.ramp");
    vpfuzz::put_file(in, data, size);
    // The samples may need as many bytes as the file holds; nothing more.
    vpfuzz::alloc_limit() = size + 64;
    u_hooks.alloc = &vpfuzz::guarded_alloc;
    u_hooks.calloc = &vpfuzz::guarded_calloc;
    u_hooks.realloc = &vpfuzz::guarded_realloc;

    rr_ramp_t base;
    uint16_t* raw = nullptr;
    int32_t rc = rr_read_ramp_file(in.c_str(), &base.hdr, &raw);
    base.samples.reset(raw);
    VP_FUZZ_CHECK(known_code(rc));
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(raw == nullptr);
        u_hooks_reset();
        return 0;
    }
    const std::size_t n = base.hdr.nPoints > 0 ? static_cast<std::size_t>(base.hdr.nPoints) : 0;
    VP_FUZZ_CHECK(328 + 2 * n <= size);
    VP_FUZZ_CHECK((n == 0) == (raw == nullptr));

    static const uint16_t none[1] = {0};
    rr_ramp_hdr_t copy = base.hdr;
    if (base.hdr.nPoints < 0) {
        // Read as a ramp without samples; a negative count is never written.
        VP_FUZZ_CHECK(rr_write_ramp_file(out.c_str(), &copy, none) == ERR_INVALID_PARAM);
    } else {
        VP_FUZZ_CHECK(rr_write_ramp_file(out.c_str(), &copy, raw != nullptr ? raw : none) == NO_ERROR);
        VP_FUZZ_CHECK(slurp(out) == std::string(reinterpret_cast<const char*>(data), 328 + 2 * n));
    }
    VP_FUZZ_CHECK(std::memcmp(&copy, &base.hdr, sizeof copy) == 0);

    std::string dump = rr_format_ramp_hdr(base.hdr, raw, (size & 1) != 0);
    VP_FUZZ_CHECK(dump.find("# sizeof rr_ramp_hdr_t = 328\n") != std::string::npos);
    const char* name = nullptr;
    VP_FUZZ_CHECK(known_code(rr_get_std_ramp_filename(&base.hdr, &name)));
    VP_FUZZ_CHECK(name != nullptr && std::strlen(name) < 160);
    rr_ramp_hdr_t checked = base.hdr;
    VP_FUZZ_CHECK(known_code(rr_check_ramp_file(&checked, "fuzz", static_cast<int32_t>(size % 10), 1, 2)));

    // Shorter ramps derived from this one, at a few lengths and speeds.
    for (float part : {1.0f, 0.5f, 0.1f}) {
        rr_ramp_cfg_t e{};
        e.RampType = RR_SWLI;
        std::strcpy(e.FileName, "+");
        e.ScanLen = base.hdr.scanLen * part;
        e.CameraRate = base.hdr.cameraRate;
        e.GrabSkip = 0;
        e.FringesPerFrame = 0.25f;
        e.RampSlope = base.hdr.rampSlope * (part < 1.0f ? 2.0f : 1.0f);
        e.ScanCal = 1.0f;
        rr_ramp_t derived;
        rc = rr_derive_ramp(&base, &derived, &e);
        VP_FUZZ_CHECK(known_code(rc));
        if (rc == NO_ERROR) {
            VP_FUZZ_CHECK(derived.samples != nullptr);
            VP_FUZZ_CHECK(derived.hdr.nPoints == base.hdr.nPoints);
        } else {
            VP_FUZZ_CHECK(derived.samples == nullptr);
        }
    }
    u_hooks_reset();
    return 0;
}
