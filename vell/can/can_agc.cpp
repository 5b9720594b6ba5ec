// Automatic gain control thread: see can_agc.h.
#include "vell/can/can_agc.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_ops.h"
#include "vell/can/can_sdo.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/thread.h"

namespace {

constexpr char THREAD_FN[] = "can_agc_thread_func";
constexpr uint32_t STOP_WAIT_MS = 5000;
constexpr int FAILURES_TO_END = 10;
constexpr uint32_t IN_TOLERANCE_PAUSE_MS = 100;
constexpr double TOLERANCE = 0.03125;
constexpr double GAIN = 3000.0;
constexpr double DAMPING_STEP = 1000.0;
constexpr uint32_t BRIGHTEST = 100;

// The control operations run on the instrument control thread only; the thread itself reads
// the handle (through the running query of its own ND wheel writes) and clears the current
// value when it ends by failure, so those two are atomic.
struct agc_state {
    u_handle stop_event = nullptr;
    std::atomic<u_handle> thread{nullptr};
    std::atomic<int32_t> current{0};
    int32_t saved = 0;
    int32_t suspend_count = 0;
    bool locked = false;

    std::mutex host_lock;
    can_agc_host host{};
};

// Set on the gain thread itself: its own writes count as "running" even before the starting
// thread has stored the handle.
thread_local bool on_agc_thread = false;

agc_state& st()
{
    static agc_state s;
    return s;
}

can_agc_host host_copy()
{
    agc_state& s = st();
    std::lock_guard<std::mutex> lk(s.host_lock);
    return s.host;
}

bool ask(bool (*fn)(SysInfo*), SysInfo* si) { return fn != nullptr && fn(si); }

// What one thread works with: its own copy of the host table and of the stop event handle.
struct agc_run {
    SysInfo* si;
    u_handle stop;
    can_agc_host host;
};

// True when the stop event is signalled (or gone: a thread never outlives its event).
bool stop_requested(const agc_run& r) { return u_wait_one(r.stop, 0) != U_WAIT_TIMEOUT; }

// A pause that a stop request ends early; true when it did.
bool pause(const agc_run& r, uint32_t ms) { return u_wait_one(r.stop, ms) != U_WAIT_TIMEOUT; }

int32_t call_or_fail(int32_t (*fn)(SysInfo*), SysInfo* si) { return fn != nullptr ? fn(si) : ERR_HW_FAIL; }

void log_error(const char* what, int32_t rc) { u_log_stamped("%s: %s: %s\n", THREAD_FN, what, u_err_name(rc)); }

struct frame_geometry {
    int32_t width = 0, height = 0, bytes = 0, depth = 0;
    std::size_t pixels() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
};

int32_t read_geometry(const agc_run& r, frame_geometry* g)
{
    if (r.host.frame_format == nullptr)
        return ERR_HW_FAIL;
    int32_t w = 0, h = 0, bin = 0, bytes = 0, depth = 0;
    int32_t rc = r.host.frame_format(r.si, &w, &h, &bin, &bytes, &depth);
    if (rc != NO_ERROR)
        return rc;
    if (bin < 1 || w / bin < 1 || h / bin < 1 || depth < 1 || depth > 16 || (bytes != 1 && bytes != 2)) {
        u_log_stamped("%s: unusable frame format: %dx%d binning %d, %d bytes per pixel, %d bits\n", THREAD_FN,
                      static_cast<int>(w), static_cast<int>(h), static_cast<int>(bin), static_cast<int>(bytes),
                      static_cast<int>(depth));
        return ERR_INVALID_PARAM;
    }
    *g = frame_geometry{w / bin, h / bin, bytes, depth};
    return NO_ERROR;
}

// One frame into buf: live mode copies the current frame, otherwise one is grabbed first.
int32_t acquire(const agc_run& r, void* buf, std::size_t size)
{
    if (!ask(r.host.live_mode, r.si)) {
        int32_t rc = call_or_fail(r.host.grab, r.si);
        if (rc != NO_ERROR) {
            log_error("Error grabbing frame", rc);
            return rc;
        }
    }
    int32_t rc = r.host.copy != nullptr ? r.host.copy(r.si, buf, size) : ERR_HW_FAIL;
    if (rc != NO_ERROR)
        log_error("Error copying frame", rc);
    return rc;
}

// The bin of the 100 brightest pixels: counting down from the top bin, the one where the sum
// reaches 100; 0 when the frame has fewer pixels. Values above the top bin count in it.
int32_t brightest_bin(const frame_geometry& g, const void* buf, uint32_t* hist)
{
    const uint32_t bins = 1u << g.depth;
    std::memset(hist, 0, bins * sizeof(uint32_t));
    const std::size_t n = g.pixels();
    const unsigned char* p = static_cast<const unsigned char*>(buf);
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t v;
        if (g.bytes == 1) {
            v = p[i];
        } else {
            uint16_t w;
            std::memcpy(&w, p + 2 * i, 2);
            v = w;
        }
        ++hist[v < bins ? v : bins - 1];
    }
    uint32_t sum = 0;
    for (int32_t bin = static_cast<int32_t>(bins) - 1; bin >= 0; --bin) {
        sum += hist[bin];
        if (sum >= BRIGHTEST)
            return bin;
    }
    return 0;
}

uint32_t frame_pause_ms(const SysInfo* si)
{
    const double rate = si != nullptr ? static_cast<double>(si->cameraRate.load()) : 0.0;
    if (!(rate > 0.0))
        return 0;
    const double ms = 1000.0 / rate;
    return ms >= 3600000.0 ? 3600000u : static_cast<uint32_t>(ms);
}

// The control loop; returns NO_ERROR when asked to stop, else the failure that ended it.
int32_t control_loop(const agc_run& r, const frame_geometry& g, void* frame, uint32_t* hist, uint16_t start)
{
    const std::size_t size = g.pixels() * static_cast<std::size_t>(g.bytes);
    const double target = (static_cast<double>(r.si->currentLight().target) + 1.0) / 256.0;
    const double bins = static_cast<double>(1u << g.depth);
    const bool live = ask(r.host.live_mode, r.si);
    double v = start;
    uint16_t last_written = start;
    int frame_failures = 0, write_failures = 0, settle = 0, adjustments = 0;
    double prev_error = 0.0;

    while (!stop_requested(r)) {
        int32_t rc = acquire(r, frame, size);
        if (rc != NO_ERROR) {
            if (rc == ERR_LOST_FRAME && settle == 0)
                settle = 1;
            if (++frame_failures >= FAILURES_TO_END)
                return rc;
            continue;
        }
        frame_failures = 0;
        if (stop_requested(r))
            break;
        if (settle > 0) {
            --settle;
            if (live && pause(r, frame_pause_ms(r.si)))
                break;
            continue;
        }
        const int32_t bin = brightest_bin(g, frame, hist);
        const double e = (bin + 1) / bins - target;
        if (std::fabs(e) > TOLERANCE) {
            ++adjustments;
            double p = GAIN * e;
            double q = GAIN * (e - prev_error);
            if (adjustments % 10 == 0) {
                if (p > DAMPING_STEP)
                    p -= DAMPING_STEP;
                if (q > DAMPING_STEP)
                    q -= DAMPING_STEP;
            }
            v = std::fmin(65535.0, std::fmax(0.0, v + p + q));
            const uint16_t level = static_cast<uint16_t>(v);
            if (level != last_written) {
                prev_error = e;
                rc = can_write_ndw_llcLevel(r.si, level, true);
                if (rc == NO_ERROR) {
                    last_written = level;
                    rc = call_or_fail(r.host.llc_wait, r.si);
                    if (rc != NO_ERROR)
                        log_error("Error waiting for LLC", rc);
                } else {
                    log_error("Error setting NDW", rc);
                }
                if (rc == NO_ERROR) {
                    settle = 2;
                    write_failures = 0;
                    continue;
                }
                if (++write_failures >= FAILURES_TO_END)
                    return rc;
                continue;
            }
            prev_error = e;
        }
        if (pause(r, IN_TOLERANCE_PAUSE_MS))
            break;
        adjustments = 0;
    }
    return NO_ERROR;
}

int32_t thread_body(const agc_run& r)
{
    if (r.stop == nullptr) {
        u_log_stamped("%s: can_agc_stop_event = NULL\n", THREAD_FN);
        return ERR_INTERNAL_RV;
    }
    frame_geometry g;
    int32_t rc = read_geometry(r, &g);
    if (rc != NO_ERROR)
        return rc;
    struct freer {
        void operator()(void* p) const { u_free(p); }
    };
    std::unique_ptr<void, freer> frame(u_malloc(g.pixels() * static_cast<std::size_t>(g.bytes)));
    if (frame == nullptr) {
        log_error("Error allocating frame buffer", ERR_NO_MEM);
        return ERR_NO_MEM;
    }
    std::unique_ptr<void, freer> hist(u_calloc(std::size_t{1} << g.depth, sizeof(uint32_t)));
    if (hist == nullptr) {
        log_error("Error allocating histogram", ERR_NO_MEM);
        return ERR_NO_MEM;
    }
    uint16_t start = 0;
    rc = can_read_ndw_llcLevel(r.si, &start, true);
    if (rc != NO_ERROR) {
        log_error("Error reading ND wheel light level", rc);
        return rc;
    }
    return control_loop(r, g, frame.get(), static_cast<uint32_t*>(hist.get()), start);
}

int32_t agc_thread(void* arg)
{
    std::unique_ptr<agc_run> r(static_cast<agc_run*>(arg));
    on_agc_thread = true;
    const int32_t rc = thread_body(*r);
    if (rc != NO_ERROR)
        st().current.store(0);
    return rc;
}

// A held handle whose thread has ended is joined and closed, so that it neither counts as
// running nor keeps a new thread from starting.
void reap_ended()
{
    agc_state& s = st();
    u_handle h = s.thread.load();
    if (h != nullptr && !u_thread_running(h)) {
        u_thread_join(h, 0);
        s.thread.store(nullptr);
        u_close_handle(h);
    }
}

bool thread_alive()
{
    u_handle h = st().thread.load();
    return h != nullptr && u_thread_running(h);
}

// Stops the thread when one is held, clears the values and keeps the wheel's level as the
// current light level. The nesting is the caller's business.
int32_t stop_and_keep_level(SysInfo* si)
{
    agc_state& s = st();
    const int32_t rc = can_agc_stop_thread();
    s.current.store(0);
    s.saved = 0;
    if (rc != NO_ERROR)
        return rc;
    uint16_t level = 0;
    const int32_t rd = can_read_ndw_llcLevel(si, &level, true);
    if (rd == NO_ERROR)
        si->currentLightRun().level = static_cast<int16_t>(level);
    return rd;
}

}  // namespace

void can_agc_set_host(const can_agc_host* host)
{
    agc_state& s = st();
    std::lock_guard<std::mutex> lk(s.host_lock);
    s.host = host != nullptr ? *host : can_agc_host{};
}

bool can_agc_system(int32_t sys)
{
    switch (sys) {
    case SYS_MODEL17:
    case SYS_MODEL19:
    case SYS_MODEL20:
    case SYS_MODEL24:
    case SYS_MODEL26:
    case SYS_MODEL28:
        return true;
    default:
        return false;
    }
}

bool can_agc_applies(const SysInfo* si)
{
    return si != nullptr && si->instrBdType == BD_CAN && can_agc_system(si->sysType) && si->focusNdwPresent != 0;
}

void can_agc_set_lock(bool locked) { st().locked = locked; }

int32_t can_agc_ensure_stop_event()
{
    agc_state& s = st();
    can_set_agc_running_query(&can_agc_running);
    if (s.stop_event != nullptr)
        return NO_ERROR;
    if (u_event_create(true, false, nullptr, &s.stop_event) != NO_ERROR) {
        s.stop_event = nullptr;
        u_log_sink("%s: Error creating event object\n", "can_agc_init");
        return ERR_INTERNAL_RV;
    }
    return NO_ERROR;
}

int32_t can_agc_init()
{
    agc_state& s = st();
    s.current.store(0);
    s.locked = false;
    s.saved = 0;
    s.suspend_count = 0;
    return can_agc_ensure_stop_event();
}

int32_t can_agc_start(SysInfo* si, int32_t value)
{
    agc_state& s = st();
    if (!can_agc_applies(si)) {
        u_log_sink("%s: CAN AGC is not applicable\n", "can_agc_start");
        return NO_ERROR;
    }
    if (s.locked)
        return NO_ERROR;
    if (value == 0)
        return ERR_INVALID_PARAM;
    const can_agc_host host = host_copy();
    if (si->sysType == SYS_MODEL20) {
        uint8_t position = 0;
        const int32_t rc = can_read_dmd_motor2_position(si, CAN_NODE_ID_AUX_MOTOR, &position);
        if (rc != NO_ERROR)
            return rc;
        if (position == 1)
            return NO_ERROR;
    } else if (ask(host.exposing, si)) {
        return NO_ERROR;
    }
    s.saved = value;
    if (s.suspend_count != 0 || !ask(host.device_set_up, si))
        return NO_ERROR;
    reap_ended();
    if (thread_alive() && u_wait_one(s.stop_event, 0) != 0) {
        s.current.store(value);  // already running: it now runs under the new value
        return NO_ERROR;
    }
    s.current.store(value);
    const int32_t rc = can_agc_start_thread(si);
    if (rc != NO_ERROR)
        s.current.store(0);
    return rc;
}

int32_t can_agc_start_thread(SysInfo* si)
{
    agc_state& s = st();
    can_set_agc_running_query(&can_agc_running);
    reap_ended();
    if (s.thread.load() != nullptr) {
        // A live thread is never duplicated; one that was told to stop and has not ended yet
        // keeps the place of a new one.
        if (s.stop_event != nullptr && u_wait_one(s.stop_event, 0) != 0)
            return NO_ERROR;
        u_log_sink("%s: previous AGC thread has not ended\n", "can_agc_start_thread");
        return ERR_INTERNAL_RV;
    }
    if (s.stop_event != nullptr)
        u_event_reset(s.stop_event);
    auto* run = new agc_run{si, s.stop_event, host_copy()};
    u_handle h = nullptr;
    if (u_thread_start(&agc_thread, run, &h) != NO_ERROR) {
        delete run;
        u_log_sink("%s: Failed to create AGC thread\n", "can_agc_start_thread");
        return ERR_INTERNAL_RV;
    }
    s.thread.store(h);
    return NO_ERROR;
}

int32_t can_agc_stop_thread()
{
    agc_state& s = st();
    u_handle h = s.thread.load();
    if (h == nullptr)
        return NO_ERROR;
    if (s.stop_event != nullptr)
        u_event_set(s.stop_event);
    if (u_thread_join(h, STOP_WAIT_MS) == U_WAIT_TIMEOUT) {
        u_log_sink("%s: failed to stop thread within %g sec\n", "can_agc_stop_thread", STOP_WAIT_MS / 1000.0);
        return ERR_INTERNAL_RV;
    }
    s.thread.store(nullptr);
    u_close_handle(h);
    s.current.store(0);  // the value is the running thread's: none runs now
    return NO_ERROR;
}

int32_t can_agc_suspend(SysInfo* si)
{
    agc_state& s = st();
    if (!can_agc_applies(si) || s.locked)
        return NO_ERROR;
    reap_ended();
    if (++s.suspend_count != 1 || s.thread.load() == nullptr)
        return NO_ERROR;
    const int32_t running = s.current.load();
    const int32_t rc = can_agc_stop_thread();
    s.current.store(0);
    s.saved = running;
    return rc;
}

int32_t can_agc_resume(SysInfo* si)
{
    agc_state& s = st();
    if (!can_agc_applies(si) || s.locked)
        return NO_ERROR;
    if (s.suspend_count > 0)
        --s.suspend_count;
    if (s.suspend_count != 0)
        return NO_ERROR;
    reap_ended();
    if (s.thread.load() != nullptr || s.saved == 0 || !ask(host_copy().device_set_up, si))
        return NO_ERROR;
    s.current.store(s.saved);
    const int32_t rc = can_agc_start_thread(si);
    if (rc != NO_ERROR)
        s.current.store(0);
    return rc;
}

int32_t can_agc_stop_for_failure(SysInfo* si)
{
    agc_state& s = st();
    if (!can_agc_applies(si))
        return NO_ERROR;
    reap_ended();
    if (s.thread.load() == nullptr)
        return NO_ERROR;
    s.suspend_count = 0;
    return stop_and_keep_level(si);
}

int32_t can_agc_abandon_suspended(SysInfo* si)
{
    agc_state& s = st();
    if (!can_agc_applies(si))
        return NO_ERROR;
    if (s.suspend_count > 0)
        --s.suspend_count;
    reap_ended();
    if (s.thread.load() == nullptr) {
        s.current.store(0);
        s.saved = 0;
        return NO_ERROR;
    }
    return stop_and_keep_level(si);
}

int32_t can_agc_release()
{
    agc_state& s = st();
    const int32_t rc = can_agc_stop_thread();
    if (rc != NO_ERROR)
        return rc;  // the thread still polls the event: it stays open
    if (s.stop_event != nullptr) {
        u_close_handle(s.stop_event);
        s.stop_event = nullptr;
    }
    return NO_ERROR;
}

int32_t can_agc_current_value() { return st().current.load(); }

bool can_agc_running() { return on_agc_thread || thread_alive(); }
