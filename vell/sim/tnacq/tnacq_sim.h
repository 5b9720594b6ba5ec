// The virtual acquisition library's own controls (see tnacq_sim.cpp for its settings): the
// light and clock it is attached to, and, for the in-process build, its table of entry points,
// settings, call log and frame log.
#pragma once

#include <string>
#include <vector>

#include "vell/acquisition/acq_library.h"

extern "C" {
// What the virtual camera looks through and the clock its frames take time on. `light`
// answers the light reaching the camera now (0..1, ctx passed back); sleep_ms and now_ms are
// the platform clock of the program that attaches. Any member may be null.
struct tnacq_sim_host {
    double (*light)(void* ctx);
    void* ctx;
    void (*sleep_ms)(unsigned ms);
    unsigned long long (*now_ms)();
};
}

// One ReadDevice that got as far as a frame (or a scripted failure), on the attached clock:
// when it ended and on which thread (numbered by the library at its first read, never reused).
struct tnacq_sim_frame {
    unsigned long long time_ms;
    unsigned long long thread;
    bool delivered;
};

namespace tnacq_sim {

// The in-process virtual library (target vtnacq).
const acq_table& table();
// TnAcqSim_Set: 0, or -1 for an unknown key or bad value.
int set(const char* key, const std::string& value);
// The calls made since the last reset, one a line ("ReadDevice"): the newest, up to 1 MiB.
std::string log();
// Attaches the light and clock (null detaches).
void attach(const tnacq_sim_host* host);
// Every read since the last reset while a clock is attached (the newest 100000).
std::vector<tnacq_sim_frame> frame_log();

}  // namespace tnacq_sim
