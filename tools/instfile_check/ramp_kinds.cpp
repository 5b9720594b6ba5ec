// instfile_check kinds of the ramp subsystem: "ramp" (a ramp data file, shown as its dump with
// one sample per line) and "rampcfg" (a ramp configuration file, shown as the writer writes it).
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_file.h"
#include "tools/instfile_check/kinds.h"

namespace {

int32_t check_ramp(const char* path, std::string& shown)
{
    rr_ramp_hdr_t hdr;
    uint16_t* raw = nullptr;
    int32_t rc = rr_read_ramp_file(path, &hdr, &raw);
    rr_samples samples(raw);
    if (rc == NO_ERROR)
        shown = rr_format_ramp_hdr(hdr, samples.get(), true);
    return rc;
}

int32_t check_rampcfg(const char* path, std::string& shown)
{
    rr_ramp_cfg_t* entries = nullptr;
    int32_t count = 0;
    int32_t rc = rr_read_ramp_config(path, &entries, &count);
    if (rc == NO_ERROR)
        shown = rr_format_ramp_config(entries, count);
    u_free(entries);
    return rc;
}

const instfile_kind ramp_kind{"ramp", "ramp data file", &check_ramp};
const instfile_kind rampcfg_kind{"rampcfg", "ramp configuration file", &check_rampcfg};

}  // namespace
