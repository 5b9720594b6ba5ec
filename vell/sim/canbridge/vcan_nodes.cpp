#include "vell/sim/canbridge/vcan_nodes.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"
#include "vell/sim/settling.h"
#include "vell/sim/canbridge/vcan_bridge.h"

namespace vcan {

namespace {

void zero(uint8_t node, uint16_t index, uint8_t sub, std::size_t size)
{
    set_object(node, index, sub, std::vector<uint8_t>(size, 0));
}

std::vector<uint8_t> float_bytes(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

uint16_t u16_of(const std::vector<uint8_t>& v)
{
    return v.size() >= 2 ? static_cast<uint16_t>(v[0] | (v[1] << 8)) : 0;
}

// A 16-bit little-endian light level that moves to each written value over a settle time,
// for the write and read hooks of its object. The hooks run under the bridge's lock, which
// also guards the level. A read on the way stores the level on the way in the entry; the
// first read after the move puts the written level back.
struct settling_level {
    sim::settling_value level;
    bool on_the_way = false;
    uint16_t stored = 0;  // what the entry holds after the last write or read on the way

    void written(const sdo_access& a)
    {
        const uint64_t now = u_now_ms();
        if (!on_the_way || u16_of(a.value) != stored)
            level.put(u16_of(a.value), now);  // where it rests, or where set_object left it
        if (a.size != 2)
            return;
        stored = static_cast<uint16_t>(a.data[0] | (a.data[1] << 8));
        level.move_to(stored, now);
        on_the_way = true;
    }
    void read(sdo_access& a)
    {
        if (!on_the_way || a.value.size() != 2)
            return;
        const uint64_t now = u_now_ms();
        if (u16_of(a.value) != stored) {  // set directly (set_object) since: that stands
            on_the_way = false;
            return;
        }
        stored = static_cast<uint16_t>(level.rounded(now));
        a.value = {uint8_t(stored), uint8_t(stored >> 8)};
        on_the_way = !level.settled(now);
    }
};

void install_settling_level(uint8_t node, uint16_t index, std::shared_ptr<settling_level> l)
{
    set_write_hook(node, index, 0, [l](sdo_access& a) -> uint32_t {
        l->written(a);
        return 0;
    });
    set_read_hook(node, index, 0, [l](sdo_access& a) -> uint32_t {
        l->read(a);
        return 0;
    });
}

// The ND wheel: a timeline of status bytes since the last command, and the PDOs not yet sent.
struct ndw_model {
    std::mutex m;
    bool armed = false;
    int32_t search_ms = 0;
    int32_t move_ms = 0;
    uint8_t home_result = 0;
    int32_t settle_ms = 0;
    // Status changes: (time, byte), in time order; the first one not yet sent is `next`.
    std::vector<std::pair<uint64_t, uint8_t>> timeline;
    std::size_t next = 0;

    uint8_t status_at(uint64_t now)
    {
        uint8_t s = 0;
        for (const auto& [t, b] : timeline)
            if (t <= now)
                s = b;
        return s;
    }
};

ndw_model& ndw()
{
    static ndw_model m;
    return m;
}

}  // namespace

void install_motor_driver(uint8_t node)
{
    zero(node, 0x2000, 0, 1);
    zero(node, 0x2002, 0, 1);
    zero(node, 0x2004, 0, 4);
    zero(node, 0x2020, 0, 1);
    zero(node, 0x2021, 0, 1);
    zero(node, 0x2028, 0, 2);
    zero(node, 0x2034, 0, 2);
    zero(node, 0x2036, 0, 2);
    zero(node, 0x2047, 0, 1);
    zero(node, 0x2044, 8, 1);
}

void install_bridge_node(bool config_word)
{
    const uint8_t b = 127;
    zero(b, 0x2010, 1, 1);
    zero(b, 0x2010, 2, 2);
    zero(b, 0x2010, 5, config_word ? 2 : 1);
    zero(b, 0x6200, 1, 1);
    zero(b, 0x6240, 1, 1);
    zero(b, 0x6220, 1, 1);
    zero(b, 0x2030, 0, 4);
    zero(b, 0x2000, 0, 1);
    zero(b, 0x2001, 0, 1);
    for (uint16_t k = 0; k < 4; ++k) {
        zero(b, 0x2003 + k, 1, 1);
        zero(b, 0x2003 + k, 2, 2);
        zero(b, 0x2003 + k, 4, 4);
        zero(b, 0x2003 + k, 5, 32768);
    }
    zero(b, 0x2009, 1, 2);
    zero(b, 0x2040, 0, 2);
    for (uint8_t sub : {1, 6, 19})
        zero(b, 0x2041, sub, 1);
    for (uint8_t sub : {11, 20})
        zero(b, 0x2041, sub, 2);
    zero(b, 0x2041, 2, 4);
    zero(b, 0x2041, 3, 4);
}

void install_pzt_node(uint8_t node, uint32_t data_samples)
{
    zero(node, 0x2000, 0, 1);
    zero(node, 0x2001, 0, 1);
    for (uint16_t k = 0; k < 4; ++k) {
        zero(node, 0x2003 + k, 1, 1);
        zero(node, 0x2003 + k, 2, 2);
        zero(node, 0x2003 + k, 4, 4);
        zero(node, 0x2003 + k, 5, 2 * static_cast<std::size_t>(data_samples));
        for (uint8_t g : {6, 7, 8})
            zero(node, 0x2003 + k, g, 2);
    }
    zero(node, 0x1002, 0, 4);
}

void install_led_node()
{
    zero(61, 0x2000, 0, 1);
    zero(61, 0x2001, 0, 2);
    zero(61, 0x2002, 0, 2);
    zero(61, 0x2004, 0, 2);
    zero(61, 0x2006, 0, 4);
}

void install_brush_motor()
{
    zero(63, 0x2001, 0, 1);
    zero(63, 0x2002, 0, 1);
    zero(63, 0x2012, 0, 1);
    zero(63, 0x2015, 0, 6);
    zero(63, 0x2020, 1, 2);
}

void install_enc_zoom(uint16_t major, uint16_t minor)
{
    zero(64, 0x607D, 1, 4);
    zero(64, 0x607D, 2, 4);
    zero(64, 0x2002, 0, 1);
    zero(64, 0x2019, 0, 4);
    set_object_uint(64, 0x1018, 3, static_cast<uint32_t>(major) << 16 | minor, 4);
}

void led_level_settles(uint32_t settle_ms)
{
    auto l = std::make_shared<settling_level>();
    l->level.settle_ms = settle_ms;
    install_settling_level(61, 0x2001, l);
}

void ndw_wheel(int32_t search_ms, int32_t move_ms, uint8_t home_result, int32_t settle_ms)
{
    {
        ndw_model& w = ndw();
        std::lock_guard<std::mutex> lk(w.m);
        w.armed = true;
        w.search_ms = search_ms;
        w.move_ms = move_ms;
        w.home_result = home_result;
        w.settle_ms = settle_ms;
        w.timeline.clear();
        w.next = 0;
    }
    // Hooks run with the bridge locked: they only touch the model.
    set_write_hook(64, 0x2020, 0, [](sdo_access& a) -> uint32_t {
        if (a.size == 1 && a.data[0] == 3) {
            ndw_model& w = ndw();
            std::lock_guard<std::mutex> lk(w.m);
            const uint64_t now = u_now_ms();
            w.timeline.assign({{now, uint8_t(0x08)}});
            w.next = 0;
            if (w.search_ms >= 0) {
                w.timeline.push_back({now + static_cast<uint64_t>(w.search_ms), uint8_t(w.home_result | 0x02)});
                w.timeline.push_back(
                    {now + static_cast<uint64_t>(w.search_ms) + static_cast<uint64_t>(w.move_ms), w.home_result});
            }
        }
        return 0;
    });
    auto level = std::make_shared<settling_level>();
    level->level.settle_ms = static_cast<uint32_t>(settle_ms > 0 ? settle_ms : 0);
    set_read_hook(64, 0x2028, 0, [level](sdo_access& a) -> uint32_t {
        level->read(a);
        return 0;
    });
    set_write_hook(64, 0x2028, 0, [level](sdo_access& a) -> uint32_t {
        level->written(a);
        ndw_model& w = ndw();
        std::lock_guard<std::mutex> lk(w.m);
        const uint64_t now = u_now_ms();
        const uint8_t home = w.status_at(now) & 0x18;
        w.timeline.erase(w.timeline.begin() + static_cast<std::ptrdiff_t>(w.next), w.timeline.end());
        w.timeline.push_back({now, uint8_t(home | 0x02)});
        w.timeline.push_back({now + static_cast<uint64_t>(w.settle_ms), home});
        return 0;
    });
    set_read_hook(64, 0x2021, 0, [](sdo_access& a) -> uint32_t {
        ndw_model& w = ndw();
        std::lock_guard<std::mutex> lk(w.m);
        a.value.assign(1, w.status_at(u_now_ms()));
        return 0;
    });
}

void ndw_tick()
{
    std::vector<uint8_t> due;
    {
        ndw_model& w = ndw();
        std::lock_guard<std::mutex> lk(w.m);
        if (!w.armed)
            return;
        const uint64_t now = u_now_ms();
        while (w.next < w.timeline.size() && w.timeline[w.next].first <= now)
            due.push_back(w.timeline[w.next++].second);
    }
    for (uint8_t b : due) {
        const uint8_t data[1] = {b};
        post_pdo(0x2C0, data, 1);
    }
    if (!due.empty())
        flush();
}

void motor_moves_on_current(uint8_t node, int32_t reads)
{
    auto left = std::make_shared<int32_t>(0);
    set_write_hook(node, 0x2034, 0, [left, reads](sdo_access&) -> uint32_t {
        *left = reads;
        return 0;
    });
    set_read_hook(node, 0x2021, 0, [left](sdo_access& a) -> uint32_t {
        const bool moving = *left != 0;
        if (*left > 0)
            --*left;
        a.value.assign(1, moving ? 0x02 : 0x00);
        return 0;
    });
}

void pi_scanner(std::vector<float> amplitudes, std::vector<float> velocities, uint16_t ddl_tables)
{
    auto amp = std::make_shared<std::vector<float>>(std::move(amplitudes));
    auto vel = std::make_shared<std::vector<float>>(std::move(velocities));
    auto selected = std::make_shared<int>(0);
    auto loaded = std::make_shared<bool>(false);
    set_write_hook(127, 0x2041, 1, [selected](sdo_access& a) -> uint32_t {
        *selected = a.size == 1 ? a.data[0] : 0;
        return 0;
    });
    auto table_read = [selected](std::shared_ptr<std::vector<float>> t) {
        return [selected, t](sdo_access& a) -> uint32_t {
            const int n = *selected;
            a.value = float_bytes(n >= 1 && static_cast<std::size_t>(n) <= t->size() ? (*t)[static_cast<std::size_t>(n - 1)] : 0.0f);
            return 0;
        };
    };
    set_read_hook(127, 0x2041, 2, table_read(amp));
    set_read_hook(127, 0x2041, 3, table_read(vel));
    set_write_hook(127, 0x2041, 19, [loaded](sdo_access&) -> uint32_t {
        *loaded = true;
        return 0;
    });
    set_read_hook(127, 0x2041, 20, [loaded, ddl_tables](sdo_access& a) -> uint32_t {
        const uint16_t n = *loaded ? ddl_tables : 0;
        a.value = {uint8_t(n), uint8_t(n >> 8)};
        return 0;
    });
}

void ramp_generator(uint8_t node, uint32_t play_ms)
{
    struct model {
        uint8_t selected = 0;
        bool valid[4] = {};
        uint64_t ends_at = 0;
    };
    auto m = std::make_shared<model>();
    set_write_hook(node, 0x2001, 0, [m](sdo_access& a) -> uint32_t {
        m->selected = a.size >= 1 ? a.data[0] : 0;
        return 0;
    });
    for (uint8_t k = 0; k < 4; ++k) {
        set_write_hook(node, uint16_t(0x2003 + k), 5, [m, k](sdo_access&) -> uint32_t {
            m->valid[k] = true;
            return 0;
        });
        set_read_hook(node, uint16_t(0x2003 + k), 1, [m, k](sdo_access& a) -> uint32_t {
            a.value.assign(1, m->valid[k] ? 1 : 0);
            return 0;
        });
    }
    set_write_hook(node, 0x2000, 0, [m, play_ms](sdo_access& a) -> uint32_t {
        if (a.size >= 1 && a.data[0] == 1) {
            if (m->selected >= 4 || !m->valid[m->selected])
                return ABORT_NO_OBJECT;
            m->ends_at = u_now_ms() + play_ms;
        }
        return 0;
    });
    set_read_hook(node, 0x2000, 0, [m](sdo_access& a) -> uint32_t {
        a.value.assign(1, u_now_ms() < m->ends_at ? 1 : 0);
        return 0;
    });
}

namespace {

struct wheel_clock {
    std::mutex m;
    u_handle stop = nullptr;
    u_handle thread = nullptr;
    uint32_t tick_ms = 10;
};

wheel_clock& clock_state()
{
    static wheel_clock c;
    return c;
}

int32_t tick_wheel(void* arg)
{
    wheel_clock& c = *static_cast<wheel_clock*>(arg);
    while (u_wait_one(c.stop, c.tick_ms) == U_WAIT_TIMEOUT)
        ndw_tick();
    return 0;
}

}  // namespace

void ndw_clock_start(uint32_t tick_ms)
{
    wheel_clock& c = clock_state();
    std::lock_guard<std::mutex> hold(c.m);
    if (c.thread != nullptr)
        return;
    c.tick_ms = tick_ms > 0 ? tick_ms : 1;
    if (u_event_create(true, false, nullptr, &c.stop) != 0) {
        c.stop = nullptr;
        return;
    }
    if (u_thread_start(&tick_wheel, &c, &c.thread) != 0) {
        c.thread = nullptr;
        u_close_handle(c.stop);
        c.stop = nullptr;
    }
}

void ndw_clock_stop()
{
    wheel_clock& c = clock_state();
    std::lock_guard<std::mutex> hold(c.m);
    if (c.thread != nullptr) {
        u_event_set(c.stop);
        u_thread_join(c.thread, U_INFINITE);
        u_close_handle(c.thread);
        c.thread = nullptr;
    }
    if (c.stop != nullptr) {
        u_close_handle(c.stop);
        c.stop = nullptr;
    }
}

}  // namespace vcan
