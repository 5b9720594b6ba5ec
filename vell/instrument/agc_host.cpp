// The gain thread's host over the acquisition service: see agc_host.h.
#include "vell/instrument/agc_host.h"

#include "vell/acquisition/acq_service.h"
#include "vell/can/can_agc.h"
#include "vell/instrument/llc.h"

namespace {

bool exposing(SysInfo* si) { return acq_svc_exposing(si); }
bool device_set_up(SysInfo* si) { return acq_svc_device_set_up(si); }
bool live_mode(SysInfo* si) { return acq_svc_live(si); }

int32_t frame_format(SysInfo* si, int32_t* width, int32_t* height, int32_t* binning, int32_t* bytes, int32_t* depth)
{
    acq_frame_format f;
    const int32_t rc = acq_svc_frame_format(si, &f);
    if (rc != 0)
        return rc;
    *width = f.width;
    *height = f.height;
    *binning = f.binning;
    *bytes = f.bytes_per_pixel;
    *depth = f.bit_depth;
    return rc;
}

int32_t grab(SysInfo* si) { return acq_svc_grab(si); }
int32_t copy(SysInfo* si, void* buf, std::size_t size) { return acq_svc_copy(si, buf, size); }
int32_t settle_wait(SysInfo* si) { return ac_llc_wait(si); }

const can_agc_host host{exposing, device_set_up, live_mode, frame_format, grab, copy, settle_wait};

}  // namespace

const can_agc_host& inst_agc_acquisition_host() { return host; }

void inst_agc_use_acquisition() { can_agc_set_host(&host); }
