// libFuzzer target: the LCDMI configuration file reader on any file content, then the dump into
// every buffer size up to the whole.
//
// Properties: the result is NO_ERROR or ERR_LCDMI_CONFIG (ERR_CANT_OPEN_FILE never, the file is
// there); a failure comes with a report that names the file and the line, a success with none;
// the record holds only what the grammar allows; every dump is the whole dump cut after a piece.
// fuzz-run: corpus=lcdmi dict=lcdmi max_len=4096
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/posinstr/lcdmi.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string path = vpfuzz::scratch().file("lcdmi%s.cfg");
    vpfuzz::put_file(path, data, size);

    lcdmi_config c;
    std::string report;
    int32_t rc = lcdmi_read_config(path.c_str(), &c, &report);
    VP_FUZZ_CHECK(rc == NO_ERROR || rc == ERR_LCDMI_CONFIG);
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(report.rfind("Error reading LCDMI configuration file \"" + path + "\"\r\n", 0) == 0);
        VP_FUZZ_CHECK(report.find("Error in line ") != std::string::npos);
        return 0;
    }
    VP_FUZZ_CHECK(report.empty());
    VP_FUZZ_CHECK(c.prim_chan >= 0 && c.prim_chan <= LCDMI_NUM_CHANNELS);
    if (c.prim_chan != 0)
        VP_FUZZ_CHECK(c.chan[c.prim_chan - 1].id == c.prim_chan && c.chan[c.prim_chan - 1].disabled == 0);
    for (int i = 0; i < LCDMI_NUM_CHANNELS; ++i) {
        const lcdmi_channel& ch = c.chan[i];
        VP_FUZZ_CHECK(ch.id == 0 || ch.id == i + 1);
        VP_FUZZ_CHECK(ch.resolution >= 0 && ch.resolution <= 3 && ch.filter_cutoff >= 0 && ch.filter_cutoff <= 7);
        VP_FUZZ_CHECK(ch.scale_factor >= -99.0 && ch.scale_factor <= 99.0);
        VP_FUZZ_CHECK(std::memchr(ch.label, '\0', sizeof ch.label) != nullptr);
    }

    char full[1024];
    const std::size_t n = lcdmi_dump_config(c, full, sizeof full);
    VP_FUZZ_CHECK(n < sizeof full && std::strlen(full) == n);
    char part[1024];
    for (std::size_t s = 0; s <= n + 1; ++s) {
        std::memset(part, 0x7f, sizeof part);
        const std::size_t m = lcdmi_dump_config(c, part, s);
        VP_FUZZ_CHECK(s == 0 ? m == 0 : (m < s && part[m] == '\0' && std::memcmp(part, full, m) == 0));
        VP_FUZZ_CHECK(part[s] == 0x7f);
    }
    return 0;
}
