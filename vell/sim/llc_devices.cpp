// Virtual light devices: see llc_devices.h.
#include "vell/sim/llc_devices.h"

#include <cmath>
#include <mutex>

#include "vell/platform/hooks.h"
#include "vell/sim/settling.h"

namespace vllc {
namespace {

struct state {
    sim::settling_value value;
    bool fail_set = false;
    bool fail_read = false;
    std::vector<double> sets;
    int reads = 0;

    double now_value() const { return value.at(u_now_ms()); }
};

std::mutex lock;
state devices[3];

state& dev(device d)
{
    return devices[d < 0 || d > 2 ? 0 : d];
}

int32_t set(device d, double v)
{
    std::lock_guard<std::mutex> g(lock);
    state& s = dev(d);
    if (s.fail_set)
        return -1;
    s.value.move_to(v, u_now_ms());
    s.sets.push_back(v);
    return 0;
}

int32_t read(device d, double* v)
{
    std::lock_guard<std::mutex> g(lock);
    state& s = dev(d);
    if (s.fail_read || v == nullptr)
        return -1;
    ++s.reads;
    *v = s.now_value();
    return 0;
}

int32_t read_int(device d, int32_t* v)
{
    double x = 0.0;
    if (v == nullptr || read(d, &x) != 0)
        return -1;
    *v = static_cast<int32_t>(std::lround(x));
    return 0;
}

}  // namespace

void reset()
{
    std::lock_guard<std::mutex> g(lock);
    for (state& s : devices)
        s = state{};
}

double value(device d)
{
    std::lock_guard<std::mutex> g(lock);
    return dev(d).now_value();
}

void put(device d, double v)
{
    std::lock_guard<std::mutex> g(lock);
    state& s = dev(d);
    s.value.put(v, u_now_ms());
}

void set_settle_ms(device d, uint32_t ms)
{
    std::lock_guard<std::mutex> g(lock);
    dev(d).value.settle_ms = ms;
}

void fail_sets(device d, bool fail)
{
    std::lock_guard<std::mutex> g(lock);
    dev(d).fail_set = fail;
}

void fail_reads(device d, bool fail)
{
    std::lock_guard<std::mutex> g(lock);
    dev(d).fail_read = fail;
}

std::vector<double> sets(device d)
{
    std::lock_guard<std::mutex> g(lock);
    return dev(d).sets;
}

int reads(device d)
{
    std::lock_guard<std::mutex> g(lock);
    return dev(d).reads;
}

int32_t llc_instr_set(int32_t level)
{
    return set(LLC_INSTR, level);
}
int32_t llc_instr_read(int32_t* level)
{
    return read_int(LLC_INSTR, level);
}
int32_t mc_light_set(int32_t v)
{
    return set(MC_LIGHT, v);
}
int32_t mc_light_read(int32_t* v)
{
    return read_int(MC_LIGHT, v);
}
int32_t shutter_set(double shutter)
{
    return set(SHUTTER, shutter);
}
int32_t shutter_read(double* shutter)
{
    return read(SHUTTER, shutter);
}

}  // namespace vllc
