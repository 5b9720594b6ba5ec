// libFuzzer target: the calibration file reader, sb_readCal on any file content, then the first
// lines of the input again as one-line updates ("+<line>") of the slot just read; and the
// round-trip property of reader and writer (tests/calfile_writer/roundtrip_property.h): a text
// that reads and that the writer takes settles after one more write and loses nothing.
//
// Every message is formatted (so a format that disagrees with its arguments shows up under the
// sanitizers); every result is one of the platform's error codes. The slots and the reader's
// process-wide state are reset before each input so that a finding reproduces on its own.
// fuzz-run: corpus=calfile dict=calfile max_len=8192
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "tests/calfile_writer/roundtrip_property.h"

namespace {

bool known_code(int32_t rc) { return rc == NO_ERROR || (rc >= U_ERR_FIRST && rc <= U_ERR_LAST); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    sysinfo_reset_all_slots();
    calfile_reset_state();
    std::string_view text(reinterpret_cast<const char*>(data), size);

    // Sub-records and names are small; nothing may grow with a count taken from the text.
    vpfuzz::alloc_limit() = (std::size_t{1} << 22) + 4 * size;
    u_hooks.alloc = &vpfuzz::guarded_alloc;
    u_hooks.calloc = &vpfuzz::guarded_calloc;
    u_hooks.realloc = &vpfuzz::guarded_realloc;

    int32_t rc = sb_readCal_bytes(0, text, "fuzz.cal");
    VP_FUZZ_CHECK(known_code(rc));
    if (rc == NO_ERROR) {
        calprop::outcome property = calprop::check_round_trip(text);
        if (!property.fault.empty()) {
            std::fprintf(stderr, "%s\n", property.fault.c_str());
            vpfuzz::fail("read, write, read settles and loses nothing");
        }
    }

    std::size_t pos = 0;
    for (int n = 0; n < 8 && pos < text.size(); ++n) {
        std::size_t lf = text.find('\n', pos);
        std::string_view line = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
        pos = lf == std::string_view::npos ? text.size() : lf + 1;
        std::string update = "+";
        update.append(line.substr(0, line.find('\0')));
        rc = sb_readCal(0, update.c_str());
        VP_FUZZ_CHECK(known_code(rc));
    }

    u_hooks_reset();
    sysinfo_reset_all_slots();
    calfile_reset_state();
    return 0;
}
