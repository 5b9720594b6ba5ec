#include "vell/ramps/ramp_pi.h"

#include <cmath>

#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_file.h"

int32_t rr_check_pi_profile(const rr_ramp_t& r, float amplitude, float velocity)
{
    const rr_ramp_hdr_t& h = r.hdr;
    const double want_v = (h.scanDir == 0 ? -1.0 : 1.0) * h.rampSlope * h.cameraRate / 1000.0;
    if (!(std::fabs(amplitude - h.scanLen) <= 1.0)) {
        u_log_sink("PI ramp %s amplitude = %g, expected %g um\n", r.name.c_str(), static_cast<double>(amplitude),
                   static_cast<double>(h.scanLen));
        return ERR_MISMATCHED_PI_DIG_RAMP_PARAMS;
    }
    if (!(std::fabs(velocity - want_v) <= 1.0)) {
        u_log_sink("PI ramp %s velocity = %g, expected %g nm/s\n", r.name.c_str(), static_cast<double>(velocity),
                   want_v);
        return ERR_MISMATCHED_PI_DIG_RAMP_PARAMS;
    }
    return NO_ERROR;
}
