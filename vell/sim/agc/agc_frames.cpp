#include "vell/sim/agc/agc_frames.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "vell/can/can_agc.h"
#include "vell/instrument/llc.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"
#include "vell/sim/canbridge/vcan_nodes.h"
#include "vell/sim/canbridge/vcan_bridge.h"

namespace vagc {

namespace {

constexpr uint8_t NDW_NODE = 64;
constexpr uint16_t NDW_LEVEL = 0x2028;
constexpr uint32_t WHEEL_TICK_MS = 10;

struct model {
    std::mutex m;
    camera cam;
    int32_t failures = 0;
    int32_t failure_code = NO_ERROR;
    int32_t slow = 0;
    uint32_t slow_ms = 0;
    std::vector<grab_record> log;
    u_handle clock_stop = nullptr;
    u_handle clock = nullptr;
};

model& md()
{
    static model m;
    return m;
}

camera cam_now()
{
    model& s = md();
    std::lock_guard<std::mutex> lk(s.m);
    return s.cam;
}

std::atomic<uint64_t> threads_seen{0};
thread_local const uint64_t thread_number = ++threads_seen;

bool exposing(SysInfo*) { return cam_now().exposing; }
bool device_set_up(SysInfo*) { return cam_now().device_set_up; }
bool live_mode(SysInfo*) { return cam_now().live; }

int32_t frame_format(SysInfo*, int32_t* width, int32_t* height, int32_t* binning, int32_t* bytes, int32_t* depth)
{
    const camera c = cam_now();
    *width = c.width;
    *height = c.height;
    *binning = c.binning;
    *bytes = c.bytes_per_pixel;
    *depth = c.bit_depth;
    return NO_ERROR;
}

int32_t grab(SysInfo*)
{
    model& s = md();
    uint32_t ms;
    int32_t rc = NO_ERROR;
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.log.push_back({u_now_ms(), thread_number});
        ms = s.cam.frame_ms;
        if (s.slow > 0) {
            --s.slow;
            ms = s.slow_ms;
        }
        if (s.failures > 0) {
            --s.failures;
            rc = s.failure_code;
        }
    }
    u_sleep_ms(ms);
    return rc;
}

int32_t copy(SysInfo*, void* buf, std::size_t size) { return render(buf, size) ? NO_ERROR : ERR_INVALID_PARAM; }

int32_t settle_wait(SysInfo* si) { return ac_llc_wait(si); }

const can_agc_host host_table{exposing, device_set_up, live_mode, frame_format, grab, copy, settle_wait};

int32_t wheel_clock(void* arg)
{
    u_handle stop = static_cast<u_handle>(arg);
    while (u_wait_one(stop, WHEEL_TICK_MS) == U_WAIT_TIMEOUT)
        vcan::ndw_tick();
    return NO_ERROR;
}

void stop_clock(model& s)
{
    if (s.clock != nullptr) {
        u_event_set(s.clock_stop);
        u_thread_join(s.clock, U_INFINITE);
        u_close_handle(s.clock);
        s.clock = nullptr;
    }
    if (s.clock_stop != nullptr) {
        u_close_handle(s.clock_stop);
        s.clock_stop = nullptr;
    }
}

}  // namespace

void install(const camera& cam)
{
    model& s = md();
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.cam = cam;
        s.failures = s.slow = 0;
    }
    can_agc_set_host(&host_table);
    if (s.clock == nullptr && u_event_create(true, false, nullptr, &s.clock_stop) == NO_ERROR &&
        u_thread_start(&wheel_clock, s.clock_stop, &s.clock) != NO_ERROR)
        s.clock = nullptr;
}

void remove()
{
    can_agc_set_host(nullptr);
    stop_clock(md());
}

void fail_grabs(int32_t count, int32_t code)
{
    model& s = md();
    std::lock_guard<std::mutex> lk(s.m);
    s.failures = count;
    s.failure_code = code;
}

void slow_grabs(int32_t count, uint32_t ms)
{
    model& s = md();
    std::lock_guard<std::mutex> lk(s.m);
    s.slow = count;
    s.slow_ms = ms;
}

double transmission()
{
    const std::vector<uint8_t> raw = vcan::object(NDW_NODE, NDW_LEVEL, 0);
    if (raw.size() != 2)
        return 0.0;
    return (raw[0] | raw[1] << 8) / 65535.0;
}

std::size_t frame_bytes()
{
    const camera c = cam_now();
    if (c.binning < 1 || c.width < c.binning || c.height < c.binning || c.bytes_per_pixel < 1)
        return 0;
    return static_cast<std::size_t>(c.width / c.binning) * static_cast<std::size_t>(c.height / c.binning) *
           static_cast<std::size_t>(c.bytes_per_pixel);
}

bool render(void* buf, std::size_t size)
{
    const camera c = cam_now();
    const std::size_t bytes = frame_bytes();
    if (bytes == 0 || size < bytes || (c.bytes_per_pixel != 1 && c.bytes_per_pixel != 2) || c.bit_depth < 1 ||
        c.bit_depth > 8 * c.bytes_per_pixel)
        return false;
    const std::size_t n = bytes / static_cast<std::size_t>(c.bytes_per_pixel);
    const double full = static_cast<double>((1u << c.bit_depth) - 1);
    const double scale = c.gain * transmission() * full;
    unsigned char* out = static_cast<unsigned char*>(buf);
    for (std::size_t i = 0; i < n; ++i) {
        const double radiance = static_cast<double>(i + 1) / static_cast<double>(n);
        const uint16_t v = static_cast<uint16_t>(std::min(full, std::floor(radiance * scale + 0.5)));
        if (c.bytes_per_pixel == 1)
            out[i] = static_cast<unsigned char>(v);
        else
            std::memcpy(out + 2 * i, &v, 2);
    }
    return true;
}

std::vector<grab_record> grabs()
{
    model& s = md();
    std::lock_guard<std::mutex> lk(s.m);
    return s.log;
}

void clear_grabs()
{
    model& s = md();
    std::lock_guard<std::mutex> lk(s.m);
    s.log.clear();
}

}  // namespace vagc
