// libFuzzer target: the ramp configuration file reader on any text. A file that reads is written
// back; the written file must read without a message, and writing what it gives must give the
// same text again (the writer's rounding settles after one pass).
// fuzz-run: corpus=rampcfg dict=rampcfg max_len=8192
#include <cstddef>
#include <cstdint>
#include <string>

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

// Reads `path`; the entries' text in the writer's form, or empty when the read failed.
int32_t read_as_text(const std::string& path, std::string& text, int32_t& count)
{
    rr_ramp_cfg_t* entries = nullptr;
    count = 0;
    int32_t rc = rr_read_ramp_config(path.c_str(), &entries, &count);
    VP_FUZZ_CHECK(known_code(rc));
    VP_FUZZ_CHECK((rc == NO_ERROR) == (entries != nullptr));
    text = rc == NO_ERROR ? rr_format_ramp_config(entries, count) : std::string();
    if (rc == NO_ERROR)
        VP_FUZZ_CHECK(rr_write_ramp_config(path.c_str(), entries, count) == NO_ERROR);
    u_free(entries);
    return rc;
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

    std::string first;
    int32_t count = 0;
    captured().clear();
    if (read_as_text(path, first, count) == NO_ERROR) {
        // The first write rounds the values to the written precision; a value that rounding
        // carries onto a limit (999.999 um to "1000.00") is refused when read again.
        std::string second;
        int32_t count2 = 0;
        captured().clear();
        if (read_as_text(path, second, count2) == NO_ERROR && count2 == count && captured().empty()) {
            std::string third;
            int32_t count3 = 0;
            VP_FUZZ_CHECK(read_as_text(path, third, count3) == NO_ERROR);
            VP_FUZZ_CHECK(count3 == count2);
            VP_FUZZ_CHECK(third == second);
        }
    }
    u_hooks_reset();
    return 0;
}
