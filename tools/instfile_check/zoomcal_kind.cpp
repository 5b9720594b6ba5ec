// instfile_check kind "zoomcal": the HXI encoded zoom calibration file, read by the reader
// (not the cached loader); shown as one "position magnification" line per pair, each value
// in its shortest text that reads back as the same number.
#include <charconv>
#include <string>

#include "vell/can/zoomcal.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "tools/instfile_check/kinds.h"

namespace {

template <class T>
void put(std::string& out, T v)
{
    char buf[48];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, ec == std::errc() ? end : buf);
}

int32_t check_zoomcal(const char* path, std::string& shown)
{
    hxi_zoom_cal_table table;
    std::string report;
    int32_t rc = hxi_zoom_cal_read(path, &table, &report);
    if (!report.empty())
        u_log_sink("%s", report.c_str());
    if (rc != NO_ERROR)
        return rc;
    for (int32_t i = 0; i < table.count; ++i) {
        put(shown, table.entries[i].position);
        shown += ' ';
        put(shown, table.entries[i].mag);
        shown += '\n';
    }
    hxi_zoom_cal_free(&table);
    return NO_ERROR;
}

const instfile_kind zoomcal_kind{"zoomcal", "HXI encoded zoom calibration file", &check_zoomcal};

}  // namespace
