// Automatic gain control of the HXI CAN systems with a focus and ND wheel node: a background
// thread grabs frames, measures the level of the brightest pixels and turns the ND wheel until
// they sit at the calibration record's light-level target.
//
// Frame acquisition and the light-level controller's settle wait belong to other services;
// the thread reaches each through one call of the host table below, which the application (or
// the virtual instrument) installs. The control operations run on the instrument control
// thread only.
#pragma once

#include <cstddef>
#include <cstdint>

struct SysInfo;

// What the gain thread needs from the acquisition and light-level services. Each entry
// returns an error code; a missing entry makes the call fail with ERR_HW_FAIL.
struct can_agc_host {
    // Acquisition state: the exposure flag and the device-set-up flag of the record.
    bool (*exposing)(SysInfo* si);
    bool (*device_set_up)(SysInfo* si);
    bool (*live_mode)(SysInfo* si);
    // Camera geometry and pixel format for the frames below.
    int32_t (*frame_format)(SysInfo* si, int32_t* width, int32_t* height, int32_t* binning,
                            int32_t* bytes_per_pixel, int32_t* bit_depth);
    // Grabs one frame (not in live mode) and copies the current frame into buf.
    int32_t (*grab)(SysInfo* si);
    int32_t (*copy)(SysInfo* si, void* buf, std::size_t size);
    // The light-level controller's settle wait.
    int32_t (*llc_wait)(SysInfo* si);
};
void can_agc_set_host(const can_agc_host* host);  // null restores the empty table

int32_t can_agc_init();
int32_t can_agc_start(SysInfo* si, int32_t value);
int32_t can_agc_start_thread(SysInfo* si);
int32_t can_agc_stop_thread();
int32_t can_agc_suspend(SysInfo* si);
int32_t can_agc_resume(SysInfo* si);
int32_t can_agc_stop_for_failure(SysInfo* si);
int32_t can_agc_release();
int32_t can_agc_current_value();
bool can_agc_running();

// Whether gain control applies to the record: a CAN instrument of the HXI systems Model17,
// Model19, Model20, Model24, Model26 or Model28 with the focus and ND wheel node.
// The HXI systems that have a focus and ND wheel node: Model17, Model19, Model20, Model24,
// Model26 and Model28.
bool can_agc_system(int32_t sysType);
bool can_agc_applies(const SysInfo* si);
// While set, start, suspend and resume do nothing.
void can_agc_set_lock(bool locked);
// Bring-up: creates the stop event when there is none, leaving values and nesting alone.
int32_t can_agc_ensure_stop_event();
// The failure path of a sequence that holds one suspension (instrument bring-up): stops a
// thread that runs, clears the current and saved values, gives back that one suspension
// without restarting anything, and keeps the ND wheel's level as the current light level.
int32_t can_agc_abandon_suspended(SysInfo* si);
