// libFuzzer target: the HXI encoded zoom calibration reader, hxi_zoom_cal_read on any content.
//
// Properties: the result is one of the reader's codes; a rejected file leaves the caller's
// table as it was and fills the report with its heading line; an accepted one holds 2 to 100
// pairs with finite positions in range and magnifications in [0.5, 6], both strictly
// increasing, and an empty report; writing the pairs back one per line reads to the same table.
// fuzz-run: corpus=zoomcal dict=zoomcal max_len=8192
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "vell/can/zoomcal.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = vpfuzz::scratch().file("ZoomCal.txt");
    vpfuzz::put_file(path, data, size);

    hxi_zoom_cal_table t;
    std::string report;
    int32_t rc = hxi_zoom_cal_read(path.c_str(), &t, &report);
    VP_FUZZ_CHECK(rc == NO_ERROR || rc == ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE || rc == ERR_NO_MEM);
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(t.count == 0 && t.entries == nullptr);
        VP_FUZZ_CHECK(report.rfind(" Error reading HXI encoded zoom magnification calibration file \"", 0) == 0 ||
                      rc == ERR_NO_MEM);
        return 0;
    }
    VP_FUZZ_CHECK(report.empty());
    VP_FUZZ_CHECK(t.count >= HXI_ZOOM_CAL_MIN_PAIRS && t.count <= HXI_ZOOM_CAL_MAX_PAIRS);
    std::string again = "title\n";
    for (int32_t i = 0; i < t.count; ++i) {
        const hxi_zoom_cal_entry& e = t.entries[i];
        VP_FUZZ_CHECK(std::isfinite(e.position) && e.position >= 0 && e.position <= 3.4028234663852886e38);
        VP_FUZZ_CHECK(e.mag >= 0.5f && e.mag <= 6.0f);
        if (i > 0) {
            VP_FUZZ_CHECK(e.position > t.entries[i - 1].position);
            VP_FUZZ_CHECK(e.mag > t.entries[i - 1].mag);
        }
        char line[96];
        std::snprintf(line, sizeof line, "%.17g %.9g\n", e.position, static_cast<double>(e.mag));
        again += line;
    }
    vpfuzz::put_file(path, reinterpret_cast<const uint8_t*>(again.data()), again.size());
    hxi_zoom_cal_table u;
    VP_FUZZ_CHECK(hxi_zoom_cal_read(path.c_str(), &u, nullptr) == NO_ERROR);
    VP_FUZZ_CHECK(u.count == t.count);
    for (int32_t i = 0; i < t.count; ++i)
        VP_FUZZ_CHECK(u.entries[i].position == t.entries[i].position && u.entries[i].mag == t.entries[i].mag);
    hxi_zoom_cal_free(&u);
    hxi_zoom_cal_free(&t);
    return 0;
}
