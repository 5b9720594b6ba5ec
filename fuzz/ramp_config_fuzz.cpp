// libFuzzer target: the ramp configuration file reader on any text. A file that reads is written
// back; the written file must read without a message into the same entries, field by field.
// fuzz-run: corpus=rampcfg dict=rampcfg max_len=8192
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_config.h"

namespace {

bool known_code(int32_t rc) { return rc == NO_ERROR || (rc >= U_ERR_FIRST && rc <= U_ERR_LAST); }

std::string& captured()
{
    static std::string text;
    return text;
}

void capturing_sink(const char* format, ...)
{
    char buf[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0)
        captured().append(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

// Reads `path` into `out`; writes what was read back over it.
int32_t read_and_write(const std::string& path, std::vector<rr_ramp_cfg_t>& out)
{
    rr_ramp_cfg_t* entries = nullptr;
    int32_t count = 0;
    int32_t rc = rr_read_ramp_config(path.c_str(), &entries, &count);
    VP_FUZZ_CHECK(known_code(rc));
    VP_FUZZ_CHECK((rc == NO_ERROR) == (entries != nullptr));
    out.clear();
    if (rc == NO_ERROR) {
        out.assign(entries, entries + count);
        VP_FUZZ_CHECK(rr_write_ramp_config(path.c_str(), entries, count) == NO_ERROR);
    }
    u_free(entries);
    return rc;
}

bool same(const rr_ramp_cfg_t& a, const rr_ramp_cfg_t& b)
{
    return a.RampType == b.RampType && a.WavelenIndex == b.WavelenIndex &&
           std::strncmp(a.FileName, b.FileName, sizeof a.FileName) == 0 && a.ScanLen == b.ScanLen &&
           a.CameraRate == b.CameraRate && a.CameraInterlace == b.CameraInterlace && a.GrabSkip == b.GrabSkip &&
           a.FringesPerFrame == b.FringesPerFrame && a.RampSlope == b.RampSlope && a.ObjMag == b.ObjMag &&
           a.ScanCal == b.ScanCal && a.Hide == b.Hide;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &capturing_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = vpfuzz::scratch().file("rampcfg.txt");
    vpfuzz::put_file(path, data, size);
    // The entry array grows five entries at a time, one entry per line at most.
    vpfuzz::alloc_limit() = 4096 + 64 * size;
    u_hooks.alloc = &vpfuzz::guarded_alloc;
    u_hooks.calloc = &vpfuzz::guarded_calloc;
    u_hooks.realloc = &vpfuzz::guarded_realloc;

    std::vector<rr_ramp_cfg_t> first;
    captured().clear();
    if (read_and_write(path, first) == NO_ERROR) {
        // Read, write, read again: the same entries, and no message.
        std::vector<rr_ramp_cfg_t> second;
        captured().clear();
        VP_FUZZ_CHECK(read_and_write(path, second) == NO_ERROR);
        VP_FUZZ_CHECK(captured().empty());
        VP_FUZZ_CHECK(second.size() == first.size());
        for (std::size_t i = 0; i < first.size(); ++i)
            VP_FUZZ_CHECK(same(first[i], second[i]));
    }
    u_hooks_reset();
    return 0;
}
