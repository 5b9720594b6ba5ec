// The camera of the virtual instrument as the gain thread sees it: a scene whose light passes
// the virtual ND wheel on the virtual CAN bridge (sim/canbridge), so that every level written
// to the wheel shows in the next frame grabbed and the gain loop closes in virtual time.
//
// The scene is a ramp of radiance over the frame in raster order, from nearly 0 to 1; a pixel
// reads radiance x gain x transmission of full scale, clipped to full scale, where the
// transmission is the wheel's raw light level (object 0x2028 of node 64, before inversion)
// over 65535. Grabbing takes frame_ms of virtual time.
//
// The settle wait is the light-level service's own (ac_llc_wait); while the camera is
// installed a clock thread ticks the virtual wheel every 10 ms, so that its status messages
// reach the event pump (the wheel-stopped event of bring-up, when it exists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vagc {

struct camera {
    int32_t width = 320;
    int32_t height = 240;
    int32_t binning = 1;
    int32_t bytes_per_pixel = 1;
    int32_t bit_depth = 8;
    bool live = false;
    bool exposing = false;
    bool device_set_up = true;
    uint32_t frame_ms = 40;
    double gain = 4.0;
};

// Installs the camera as the gain thread's host table and starts the wheel clock; install
// again to change the camera. remove() takes the host table away and stops the clock.
void install(const camera& cam);
void remove();

// The next `count` grabs fail with `code`; the next `count` grabs take `ms` of virtual time.
void fail_grabs(int32_t count, int32_t code);
void slow_grabs(int32_t count, uint32_t ms);

// The wheel's transmission now (0..1).
double transmission();
// The frame the camera sees now, as the host table's copy gives it (frame geometry after
// binning, native byte order); false when size is too small for it.
bool render(void* buf, std::size_t size);
std::size_t frame_bytes();

// Every grab: when (virtual ms) and on which thread (a number given to each thread at its
// first grab, never reused).
struct grab_record {
    uint64_t time_ms;
    uint64_t thread;
};
std::vector<grab_record> grabs();
void clear_grabs();

}  // namespace vagc
