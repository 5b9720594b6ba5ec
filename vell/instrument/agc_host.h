// The gain thread's host where an acquisition library is bound: its frames and acquisition flags
// come from the image acquisition service (vell/acquisition/acq_service.h), its settle wait from
// the light-level control (ac_llc_wait). Whoever sets up the instruments and binds the
// acquisition library installs it; the gain thread itself knows neither service.
#pragma once

struct can_agc_host;

// The host table built from the two services.
const can_agc_host& inst_agc_acquisition_host();
// Installs it as the gain thread's host (can_agc_set_host).
void inst_agc_use_acquisition();
