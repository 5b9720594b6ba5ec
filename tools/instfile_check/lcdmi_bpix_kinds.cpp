// instfile_check kinds "lcdmi" (LCDMI configuration file, shown as its dump) and "bpix" (camera
// bad pixel file, shown block by block as header and pixel lines).
#include <cstdio>
#include <string>
#include <vector>

#include "vell/acquisition/bpix.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/posinstr/lcdmi.h"
#include "tools/instfile_check/kinds.h"

namespace {

int32_t check_lcdmi(const char* path, std::string& shown)
{
    lcdmi_config config;
    std::string report;
    int32_t rc = lcdmi_read_config(path, &config, &report);
    if (rc != NO_ERROR) {
        if (!report.empty())
            u_log_sink("%s", report.c_str());
        return rc;
    }
    char buf[1024];
    lcdmi_dump_config(config, buf, 1000);
    shown = buf;
    return NO_ERROR;
}

int32_t check_bpix(const char* path, std::string& shown)
{
    std::vector<bpix_block> blocks(BPIX_MAX_BLOCKS);
    int32_t count = 0;
    std::string report;
    int32_t rc = bpix_read_file(path, blocks.data(), &count, &report);
    if (rc != NO_ERROR) {
        if (!report.empty())
            u_log_sink("%s", report.c_str());
        return rc;
    }
    char line[96];
    for (int32_t i = 0; i < count; ++i) {
        const bpix_block& b = blocks[static_cast<std::size_t>(i)];
        std::snprintf(line, sizeof line, "[ %d %d %d %d %g\n", b.grab_mode, b.grab_under, b.size_x, b.size_y,
                      b.grab_rate);
        shown += line;
        for (int32_t p = 0; p < b.num_pixels; ++p) {
            std::snprintf(line, sizeof line, "%d %d\n", static_cast<int>(b.pixels[p].x), static_cast<int>(b.pixels[p].y));
            shown += line;
        }
    }
    bpix_free_blocks(blocks.data(), count);
    return NO_ERROR;
}

const instfile_kind lcdmi_kind{"lcdmi", "LCDMI configuration file", &check_lcdmi};
const instfile_kind bpix_kind{"bpix", "camera bad pixel file", &check_bpix};

}  // namespace
