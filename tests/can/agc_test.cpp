// The automatic gain thread against the virtual instrument's closed loop: the acquisition
// service over the virtual acquisition library, whose frames follow the virtual ND wheel,
// everything on the virtual clock.
#include <algorithm>
#include <atomic>
#include <functional>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "vell/acquisition/acq.h"
#include "vell/acquisition/acq_service.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_events.h"
#include "vell/can/can_ops.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/instrument/agc_host.h"
#include "vell/sim/canbridge/vcan_nodes.h"
#include "vell/sim/tnacq/tnacq_sim.h"
#include "tests/can/can_fixture.h"

namespace {

std::atomic<int> sleep_resets{0};
void count_reset() { ++sleep_resets; }

// The camera looks through the ND wheel: its raw light level (before inversion) over 65535.
double wheel_transmission(void*)
{
    const std::vector<uint8_t> raw = vcan::object(64, 0x2028, 0);
    return raw.size() == 2 ? (raw[0] | raw[1] << 8) / 65535.0 : 0.0;
}
void sleep_ms(unsigned ms) { u_sleep_ms(ms); }
unsigned long long now_ms() { return u_now_ms(); }
const tnacq_sim_host kWheelCamera{wheel_transmission, nullptr, sleep_ms, now_ms};

// A camera of the virtual acquisition library: sensor, binning, read time.
struct camera {
    const char* frame = "320x240x8";
    int binning = 1;
};

class CanAgcTest : public cantest::CanTest {
protected:
    void SetUp() override
    {
        CanTest::SetUp();
        for (uint8_t n : {64, 66}) {
            vcan::set_node(n);
            vcan::install_motor_driver(n);
        }
        vcan::ndw_wheel(0, 0, 0x00, 300);
        can_avail(sysinfo_slot(0))->canFocusNdwAvail = can_avail(sysinfo_slot(0))->canAuxMotorAvail = true;
        si = sysinfo_slot(0);
        si->sysType = SYS_MODEL17;
        si->currentLight().target = 127;
        can_events_reset();
        ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
        ASSERT_EQ(u_event_create(true, true, CAN_NDWHEEL_STOPPED, &stopped_), NO_ERROR);
        ASSERT_EQ(can_agc_init(), NO_ERROR);
        acq_set_lock_name(("vp_agc_test_" + std::to_string(reinterpret_cast<uintptr_t>(this))).c_str());
        acq_mgr_use(&tnacq_sim::table());
        tnacq_sim::attach(&kWheelCamera);
        use_camera(camera{});
        inst_agc_use_acquisition();
        vcan::ndw_clock_start();
        set_raw(8192);  // in tolerance for target 127
        sleep_resets = 0;
        can_set_sleep_reset(&count_reset);
        log_.clear();
    }
    void TearDown() override
    {
        EXPECT_EQ(can_agc_release(), NO_ERROR);
        can_agc_set_host(nullptr);
        vcan::ndw_clock_stop();
        acq_svc_close(si);
        acq_mgrclose(si);
        acq_mgr_use(nullptr);
        acq_set_lock_name(nullptr);
        tnacq_sim::attach(nullptr);
        u_close_handle(stopped_);
        can_register_events(sysinfo_slot(0), false);
        can_events_reset();
        can_set_agc_running_query(nullptr);
        CanTest::TearDown();
    }

    // The virtual library set to the camera and the service opened on it (frames of 40 ms).
    void use_camera(const camera& c)
    {
        acq_svc_close(si);
        ASSERT_EQ(tnacq_sim::set("reset", ""), 0);
        ASSERT_EQ(tnacq_sim::set("frame", c.frame), 0);
        ASSERT_EQ(tnacq_sim::set("binning", std::to_string(c.binning)), 0);
        ASSERT_EQ(acq_mgrstart(si), NO_ERROR);
        ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    }
    static void set_raw(uint16_t raw) { vcan::set_object_uint(64, 0x2028, 0, raw, 2); }
    // The frame reads that delivered a frame, through the binding.
    static std::vector<tnacq_sim_frame> grabs()
    {
        std::vector<tnacq_sim_frame> out;
        for (const tnacq_sim_frame& f : tnacq_sim::frame_log())
            if (f.delivered)
                out.push_back(f);
        return out;
    }
    // The value of the 100th brightest pixel of a frame grabbed now through the service.
    int32_t brightest_100()
    {
        acq_frame_format f;
        EXPECT_EQ(acq_svc_frame_format(si, &f), NO_ERROR);
        const int32_t bytes_per_pixel = f.bytes_per_pixel;
        std::vector<uint8_t> buf(f.frame_bytes());
        EXPECT_EQ(acq_svc_grab(si), NO_ERROR);
        EXPECT_EQ(acq_svc_copy(si, buf.data(), buf.size()), NO_ERROR);
        std::vector<uint16_t> px(buf.size() / bytes_per_pixel);
        for (std::size_t i = 0; i < px.size(); ++i)
            px[i] = bytes_per_pixel == 1 ? buf[i] : static_cast<uint16_t>(buf[2 * i] | buf[2 * i + 1] << 8);
        std::nth_element(px.begin(), px.begin() + 99, px.end(), std::greater<>());
        return px[99];
    }
    static std::size_t writes() { return vcan::calls_of("CAN_SDOWrite").size(); }
    static std::size_t reads() { return vcan::calls_of("CAN_SDORead").size(); }

    SysInfo* si = nullptr;
    u_handle stopped_ = nullptr;
};

TEST_F(CanAgcTest, ClosedLoopSettlesOnTheTargetAndWritesWithoutKeepingTheInstrumentAwake)
{
    const camera wide{"320x240x12", 2};  // 12 bits in 16-bit pixels, binned 2 x 2
    struct row {
        const char* name;
        uint16_t raw;
        camera cam;
        int bits;
    };
    for (const row& r : {row{"far above (saturated)", 65535, {}, 8}, row{"far below (dark)", 0, {}, 8},
                         row{"in tolerance", 8192, {}, 8}, row{"12-bit binned, far above", 65535, wide, 12}}) {
        SCOPED_TRACE(r.name);
        use_camera(r.cam);
        set_raw(r.raw);
        vcan::clear_calls();
        sleep_resets = 0;
        const uint64_t t0 = u_now_ms();
        ASSERT_EQ(can_agc_start(si, 1), NO_ERROR);
        EXPECT_EQ(can_agc_current_value(), 1);
        u_sleep_ms(60000);
        ASSERT_TRUE(can_agc_running());
        // Settled: the last 5 s brought no write, and the frames come 100 ms (pause) + 40 ms apart.
        const std::vector<vcan::call> w = vcan::calls_of("CAN_SDOWrite");
        const uint64_t last_write = w.empty() ? t0 : w.back().time_ms;
        EXPECT_LT(last_write, u_now_ms() - 5000);
        const std::vector<tnacq_sim_frame> g = grabs();
        ASSERT_GE(g.size(), 3u);
        EXPECT_EQ(g[g.size() - 1].time_ms - g[g.size() - 2].time_ms, 140u);
        if (r.raw == 8192) {
            EXPECT_EQ(w.size(), 0u);
            EXPECT_EQ(g[1].time_ms - g[0].time_ms, 140u);
        } else {
            EXPECT_GE(w.size(), 5u);
        }
        const int32_t bin = brightest_100();
        EXPECT_LE(std::fabs((bin + 1) / double(1 << r.bits) - 128 / 256.0), 0.03125) << "bin " << bin;
        // Only the reads count as activity for the sleep timer while the thread runs.
        EXPECT_EQ(static_cast<std::size_t>(sleep_resets.load()), reads());
        std::printf("[ %s: %zu writes, settled %llu ms after start ]\n", r.name, w.size(),
                    static_cast<unsigned long long>(last_write - t0));
        ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
        EXPECT_FALSE(can_agc_running());
        sleep_resets = 0;
        EXPECT_EQ(can_write_ndw_llcLevel(si, 100, true), NO_ERROR);
        EXPECT_EQ(sleep_resets.load(), 1) << "a write outside the thread resets the timer";
    }
}

TEST_F(CanAgcTest, TenFailuresInARowEndTheThreadAndClearTheValue)
{
    struct row {
        const char* name;
        std::function<void()> arrange;
        const char* line;
        int lines;
        bool ends;
    };
    const std::vector<row> rows = {
        {"grabs", [] { tnacq_sim::set("last_error", "14"); tnacq_sim::set("fail_reads", "10"); },
         "Error grabbing frame: ERR_ACQ_CMD", 10, true},
        {"nine grabs", [] { tnacq_sim::set("last_error", "21"); tnacq_sim::set("fail_reads", "9"); },
         "Error grabbing frame: ERR_LOST_FRAME", 9, false},
        {"writes", [] { set_raw(65535); vcan::set_write_hook(64, 0x2028, 0, [](vcan::sdo_access&) { return 0x06090011u; }); },
         "Error setting NDW: ERR_CAN_SDO_NDW_ERROR", 10, true},
        {"settle waits", [] { set_raw(65535); vcan::ndw_wheel(0, 0, 0x00, 1000000); },
         "Error waiting for LLC: ERR_HW_FAIL", 10, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        set_raw(8192);
        vcan::ndw_wheel(0, 0, 0x00, 300);
        r.arrange();
        log_.clear();
        ASSERT_EQ(can_agc_start(si, 2), NO_ERROR);
        u_sleep_ms(40000);
        EXPECT_EQ(can_agc_running(), !r.ends);
        EXPECT_EQ(can_agc_current_value(), r.ends ? 0 : 2);
        ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
        const std::string text = log_.str();
        int n = 0;
        for (std::size_t at = text.find(r.line); at != std::string::npos; at = text.find(r.line, at + 1))
            ++n;
        EXPECT_EQ(n, r.lines) << text;
        EXPECT_NE(text.find("can_agc_thread_func: "), std::string::npos);
    }
}

TEST_F(CanAgcTest, StartRefusesOrSkipsWhereItMust)
{
    si->sysType = SYS_MODEL10;
    EXPECT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_EQ(log_.str(), "can_agc_start: CAN AGC is not applicable\n");
    si->sysType = SYS_MODEL17;
    EXPECT_EQ(can_agc_start(si, 0), ERR_INVALID_PARAM);
    acq_svc_set_exposing(si, true);
    EXPECT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    acq_svc_set_exposing(si, false);
    ASSERT_EQ(acq_svc_close(si), NO_ERROR);
    EXPECT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    si->sysType = SYS_MODEL20;
    vcan::set_object_uint(66, 0x2047, 0, 1, 1);  // auxiliary motor in position 1: exposing
    EXPECT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    can_agc_set_lock(true);
    vcan::set_object_uint(66, 0x2047, 0, 0, 1);
    EXPECT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    can_agc_set_lock(false);
}

TEST_F(CanAgcTest, SuspensionsNestAndFailuresKeepTheWheelLevel)
{
    ASSERT_EQ(can_agc_start(si, 2), NO_ERROR);
    EXPECT_EQ(can_agc_suspend(si), NO_ERROR);
    EXPECT_EQ(can_agc_suspend(si), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    EXPECT_EQ(can_agc_current_value(), 0);
    EXPECT_EQ(can_agc_resume(si), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    EXPECT_EQ(can_agc_resume(si), NO_ERROR);
    EXPECT_TRUE(can_agc_running());
    EXPECT_EQ(can_agc_current_value(), 2);
    // Stop for failure: nothing to resume, the wheel's level (inverted) becomes the light level.
    EXPECT_EQ(can_agc_stop_for_failure(si), NO_ERROR);
    EXPECT_EQ(si->currentLightRun().level, static_cast<int16_t>(65535 - 8192));
    EXPECT_EQ(can_agc_resume(si), NO_ERROR);
    EXPECT_FALSE(can_agc_running());
    // A failed bring-up gives back its own suspension and forgets the value...
    ASSERT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_EQ(can_agc_suspend(si), NO_ERROR);
    EXPECT_EQ(can_agc_abandon_suspended(si), NO_ERROR);
    EXPECT_EQ(can_agc_current_value(), 0);
    EXPECT_EQ(can_agc_resume(si), NO_ERROR);
    EXPECT_FALSE(can_agc_running()) << "nothing left to resume";
    // ... and an outer suspension stays.
    ASSERT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_EQ(can_agc_suspend(si), NO_ERROR);
    EXPECT_EQ(can_agc_suspend(si), NO_ERROR);
    EXPECT_EQ(can_agc_abandon_suspended(si), NO_ERROR);
    EXPECT_EQ(can_agc_start(si, 1), NO_ERROR);
    EXPECT_FALSE(can_agc_running()) << "still suspended";
    EXPECT_EQ(can_agc_resume(si), NO_ERROR);
    EXPECT_TRUE(can_agc_running());
}

TEST_F(CanAgcTest, AStopThatTakesTooLongIsReportedAndNeverDuplicatesTheThread)
{
    ASSERT_EQ(can_agc_start(si, 1), NO_ERROR);
    u_sleep_ms(500);
    tnacq_sim::set("slow", "1,20000");
    u_sleep_ms(200);
    const uint64_t t0 = u_now_ms();
    EXPECT_EQ(can_agc_stop_thread(), ERR_INTERNAL_RV);
    EXPECT_EQ(u_now_ms() - t0, 5000u);
    EXPECT_EQ(log_.str(), "can_agc_stop_thread: failed to stop thread within 5 sec\n");
    EXPECT_TRUE(can_agc_running());
    EXPECT_EQ(can_agc_start(si, 2), ERR_INTERNAL_RV);
    EXPECT_EQ(can_agc_start_thread(si), ERR_INTERNAL_RV);
    u_sleep_ms(20000);
    EXPECT_FALSE(can_agc_running());
    EXPECT_EQ(can_agc_stop_thread(), NO_ERROR);
}

// Start, suspend, resume, stop in random order, at random points of the thread's work: the
// state follows the rules, and no two threads ever grab frames interleaved.
TEST_F(CanAgcTest, RandomControlOrderKeepsOneThreadAtMost)
{
    set_raw(65535);  // the thread writes and settles: stops land in every phase
    std::mt19937 rng(30);
    bool running = false;
    int32_t current = 0, saved = 0, count = 0;
    const uint32_t gaps[] = {0, 1, 15, 40, 120, 350, 1400};
    for (int step = 0; step < 400; ++step) {
        const int op = static_cast<int>(rng() % 7);
        const int32_t value = 1 + static_cast<int32_t>(rng() % 2);
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
        switch (op) {
        case 0:
            ASSERT_EQ(can_agc_start(si, value), NO_ERROR);
            saved = value;
            if (count == 0)
                current = value, running = true;
            break;
        case 1:
            ASSERT_EQ(can_agc_suspend(si), NO_ERROR);
            if (++count == 1 && running)
                saved = current, current = 0, running = false;
            break;
        case 2:
        case 3:
            ASSERT_EQ(can_agc_resume(si), NO_ERROR);
            count = count > 0 ? count - 1 : 0;
            if (count == 0 && !running && saved != 0)
                current = saved, running = true;
            break;
        case 4:
            ASSERT_EQ(can_agc_stop_for_failure(si), NO_ERROR);
            if (running)
                current = saved = count = 0, running = false;
            break;
        case 5:
            ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
            running = false;
            current = 0;  // the value belongs to a running thread
            break;
        default:
            ASSERT_EQ(can_agc_start_thread(si), NO_ERROR);
            running = true;
            break;
        }
        ASSERT_EQ(can_agc_running(), running);
        ASSERT_EQ(can_agc_current_value(), current);
        u_sleep_ms(gaps[rng() % std::size(gaps)]);
    }
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    std::vector<uint64_t> seen;
    for (const tnacq_sim_frame& g : grabs()) {
        if (!seen.empty() && seen.back() == g.thread)
            continue;
        EXPECT_EQ(std::find(seen.begin(), seen.end(), g.thread), seen.end()) << "two threads interleaved";
        seen.push_back(g.thread);
    }
    EXPECT_GT(seen.size(), 10u);
}

}  // namespace
