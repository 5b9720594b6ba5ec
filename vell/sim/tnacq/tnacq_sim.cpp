// The virtual acquisition library: the acquisition library's 31 entry points over a virtual
// frame grabber with its devices, cameras and modes, so that the acquisition manager runs
// without hardware. Built as a loadable library with the real one's name ("TnAcq.dll",
// "libTnAcq.so"); variants that lack an entry point come from this source with OMIT_<name>.
//
// Besides the entry points it exports two of its own, which a test or the instrument console
// reach by loading the same library:
//   int TnAcqSim_Set(const char* key, const char* value)   0, or -1 for an unknown key
//     "reset"            everything back to the defaults below (value ignored)
//     "devices"          acquisition device names, comma-separated ("VirtualGrabber")
//     "cameras"          input device names ("VirtualCamera")
//     "modes.N"          input modes of camera N (modes.0 = "RS170,CCIR"; others none)
//     "fail"             entry point names that fail from now on ("" for none)
//     "last_error"       the number GetLastAcqError answers (0)
//     "setting.NAME"     the value a query of the setting NAME answers; "" removes it, and a
//                        query of a setting that has no value fails. Defaults: "DISPLAY TYPE"
//                        1, "ONBOARD PROC" 0.
//     "frame"            "WIDTHxHEIGHTxBITS" of the camera's sensor (640x480x8); frames of
//                        more than 8 bits take two bytes a pixel (little-endian)
//     "binning"          the camera's binning factor (1): ReadDevice hands out frames of
//                        WIDTH/binning x HEIGHT/binning pixels
//     "brightness"       level of the brightest pixel as a share of full scale (0.5), while no
//                        light is attached
//     "scene"            with a light attached: the brightest pixel's share of full scale is
//                        scene x light, clipped to 1 (4)
//     "frame_ms"         how long a ReadDevice takes on the attached clock (40); the frame rate
//                        the device reports is 1000 / frame_ms
//     "slow"             "COUNT,MS": the next COUNT reads take MS each
//     "fail_reads"       the next COUNT reads fail (GetLastAcqError answers "last_error")
//   int TnAcqSim_Attach(const tnacq_sim_host* host)     (vell/sim/tnacq/tnacq_sim.h)
//     the light the camera looks through and the clock its frames take time on; null detaches.
// The frame format answers the device, input and mode queries of "IMAGE WIDTH", "IMAGE HEIGHT",
// "BINNING", "BYTES PER PIXEL", "BIT DEPTH" and "FRAME RATE" (unless a "setting." overrides it).
//
// Built a second time (TNACQ_IN_PROCESS) as a static library whose entry points stay inside it
// and are reached through tnacq_sim::table() (vell/sim/tnacq/tnacq_sim.h), for programs that
// bind the virtual library in place of loading one, as they bind the virtual CAN bridge.
//   int TnAcqSim_Log(char* buffer, int size)
//     copies the calls made since the last reset, one a line ("InitDeviceMgr TnAcq.ini"),
//     cut to fit and terminated; returns the full length. The log keeps the newest calls, up
//     to 1 MiB of them.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vell/sim/tnacq/tnacq_sim.h"

#if defined(TNACQ_IN_PROCESS)
#define TNACQ_EXPORT static
#elif defined(_WIN32)
#define TNACQ_EXPORT extern "C" __declspec(dllexport)
#else
#define TNACQ_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> out;
    std::string item;
    for (char c : list + ",") {
        if (c == ',') {
            if (!item.empty())
                out.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    return out;
}

struct grabber {
    std::vector<std::string> devices;
    std::vector<std::string> cameras;
    std::map<int, std::vector<std::string>> modes;
    std::set<std::string> failing;
    std::map<std::string, std::string> settings;
    int last_error = 0;
    int width = 640, height = 480, bits = 8, binning = 1;
    double brightness = 0.5;
    double scene = 4.0;
    unsigned frame_ms = 40;
    int slow = 0;
    unsigned slow_ms = 0;
    int fail_reads = 0;

    bool initialised = false;
    int device = -1, camera = -1, mode = -1;
    bool open = false, acquiring = false;
    std::size_t next_device = 0, next_camera = 0, next_mode = 0;
    std::string log;

    grabber() { reset(); }
    void reset()
    {
        *this = grabber(0);
        devices = {"VirtualGrabber"};
        cameras = {"VirtualCamera"};
        modes[0] = {"RS170", "CCIR"};
        settings = {{"DISPLAY TYPE", "1"}, {"ONBOARD PROC", "0"}};
    }

private:
    explicit grabber(int) {}
};

std::mutex lock;
// The attached light and clock; kept across resets (they belong to whoever attached them).
tnacq_sim_host host{};
std::vector<tnacq_sim_frame> frames;  // the newest kMaxFrames reads
constexpr std::size_t kMaxFrames = 100000;
constexpr std::size_t kMaxLog = std::size_t(1) << 20;

void record_frame(const tnacq_sim_frame& f)
{
    if (frames.size() >= kMaxFrames)
        frames.erase(frames.begin(), frames.begin() + kMaxFrames / 2);
    frames.push_back(f);
}
std::atomic<unsigned long long> threads_seen{0};
thread_local const unsigned long long thread_number = ++threads_seen;

grabber& g()
{
    static grabber state;
    return state;
}

// Records the call; true when the test made this entry point fail. The log keeps the newest
// calls: past kMaxLog bytes the older ones go, whole lines at a time, down to half of it.
bool called(const char* name, const std::string& args = "")
{
    std::string& log = g().log;
    log += std::string(name) + (args.empty() ? "" : " " + args) + "\n";
    if (log.size() > kMaxLog)
        log.erase(0, log.find('\n', log.size() - kMaxLog / 2) + 1);
    return g().failing.count(name) != 0;
}

int copy_name(const std::string& name, char* out, int size)
{
    if (out == nullptr || size <= 0)
        return 1;
    std::size_t n = std::min(name.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
    return 0;
}

int next_of(const std::vector<std::string>& names, std::size_t& next, bool first, char* out, int size)
{
    if (first)
        next = 0;
    if (next >= names.size())
        return 1;
    return copy_name(names[next++], out, size);
}

int id_of(const std::vector<std::string>& names, const char* name)
{
    if (name == nullptr)
        return -1;
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

const std::vector<std::string>& current_modes()
{
    static const std::vector<std::string> none;
    auto it = g().modes.find(g().camera);
    return it == g().modes.end() ? none : it->second;
}

int query(const char* fn, const char* setting, char* value, int size)
{
    std::lock_guard<std::mutex> hold(lock);
    if (called(fn, setting != nullptr ? setting : "") || setting == nullptr)
        return 1;
    auto it = g().settings.find(setting);
    if (it != g().settings.end())
        return copy_name(it->second, value, size);
    const grabber& s = g();
    const std::string name = setting;
    std::string computed;
    if (name == "IMAGE WIDTH")
        computed = std::to_string(s.width);
    else if (name == "IMAGE HEIGHT")
        computed = std::to_string(s.height);
    else if (name == "BINNING")
        computed = std::to_string(s.binning);
    else if (name == "BYTES PER PIXEL")
        computed = s.bits > 8 ? "2" : "1";
    else if (name == "BIT DEPTH")
        computed = std::to_string(s.bits);
    else if (name == "FRAME RATE")
        computed = std::to_string(s.frame_ms > 0 ? 1000.0 / s.frame_ms : 0.0);
    else
        return 1;
    return copy_name(computed, value, size);
}

int set(const char* fn, const char* setting, const char* value)
{
    std::lock_guard<std::mutex> hold(lock);
    if (called(fn, std::string(setting != nullptr ? setting : "") + "=" + (value != nullptr ? value : "")))
        return 1;
    if (setting == nullptr || value == nullptr)
        return 1;
    g().settings[setting] = value;
    return 0;
}

}  // namespace

#define TNACQ_FN(ret, name, params) TNACQ_EXPORT ret name params

#ifndef OMIT_InitDeviceMgr
TNACQ_FN(int, InitDeviceMgr, (const char* ini_file))
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("InitDeviceMgr", ini_file != nullptr ? ini_file : "(null)"))
        return 1;
    g().initialised = true;
    return 0;
}
#endif
#ifndef OMIT_FreeDeviceResources
TNACQ_FN(void, FreeDeviceResources, ())
{
    std::lock_guard<std::mutex> hold(lock);
    called("FreeDeviceResources");
    g().initialised = g().open = g().acquiring = false;
    g().device = g().camera = g().mode = -1;
}
#endif
#ifndef OMIT_GetNumAcqDevices
TNACQ_FN(int, GetNumAcqDevices, ())
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetNumAcqDevices") ? -1 : static_cast<int>(g().devices.size());
}
#endif
#ifndef OMIT_GetFirstAcqDeviceName
TNACQ_FN(int, GetFirstAcqDeviceName, (char* name, int size))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetFirstAcqDeviceName") ? 1 : next_of(g().devices, g().next_device, true, name, size);
}
#endif
#ifndef OMIT_GetNextAcqDeviceName
TNACQ_FN(int, GetNextAcqDeviceName, (char* name, int size))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetNextAcqDeviceName") ? 1 : next_of(g().devices, g().next_device, false, name, size);
}
#endif
#ifndef OMIT_GetAcqDeviceId
TNACQ_FN(int, GetAcqDeviceId, (const char* name))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetAcqDeviceId", name != nullptr ? name : "") ? -1 : id_of(g().devices, name);
}
#endif
#ifndef OMIT_SetCurrentAcqDevice
TNACQ_FN(int, SetCurrentAcqDevice, (int id))
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("SetCurrentAcqDevice", std::to_string(id)) || id < 0 || id >= static_cast<int>(g().devices.size()))
        return 1;
    g().device = id;
    return 0;
}
#endif
#ifndef OMIT_OpenDevice
TNACQ_FN(int, OpenDevice, ())
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("OpenDevice") || g().device < 0 || g().camera < 0)
        return 1;
    g().open = true;
    return 0;
}
#endif
#ifndef OMIT_CloseDevice
TNACQ_FN(int, CloseDevice, ())
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("CloseDevice") || !g().open)
        return 1;
    g().open = g().acquiring = false;
    return 0;
}
#endif
#ifndef OMIT_ReadDevice
// A frame whose rows rise from dark on the left to the brightest level on the right: the
// brightest pixels (a column of them) sit at that level. Reading takes frame_ms on the attached
// clock, outside the lock; the frame shows the light as it is when the reading ends.
TNACQ_FN(int, ReadDevice, (void* buffer, int size))
{
    unsigned ms = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        grabber& s = g();
        const bool fail = called("ReadDevice") || !s.open || buffer == nullptr;
        ms = s.frame_ms;
        if (s.slow > 0) {
            --s.slow;
            ms = s.slow_ms;
        }
        if (fail)
            return -1;
        if (s.fail_reads > 0) {
            --s.fail_reads;
            ms = 0;
            if (host.now_ms != nullptr)
                record_frame({host.now_ms(), thread_number, false});
            return -1;
        }
    }
    if (host.sleep_ms != nullptr && ms > 0)
        host.sleep_ms(ms);
    const double light = host.light != nullptr ? host.light(host.ctx) : -1.0;
    std::lock_guard<std::mutex> hold(lock);
    grabber& s = g();
    if (host.now_ms != nullptr)
        record_frame({host.now_ms(), thread_number, true});
    const int bin = s.binning > 0 ? s.binning : 1;
    const int w = s.width / bin, h = s.height / bin;
    if (w <= 0 || h <= 0)
        return -1;
    const int bytes_per_pixel = s.bits > 8 ? 2 : 1;
    const long long need = 1LL * w * h * bytes_per_pixel;
    if (need > size)
        return -1;
    const double full = std::ldexp(1.0, s.bits) - 1.0;
    const double share = light >= 0.0 ? s.scene * light : s.brightness;
    const double top = std::clamp(share, 0.0, 1.0) * full;
    auto* out = static_cast<unsigned char*>(buffer);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto v = static_cast<unsigned>(std::lround(top * (x + 1) / w));
            std::size_t at = (static_cast<std::size_t>(y) * w + x) * bytes_per_pixel;
            out[at] = static_cast<unsigned char>(v & 0xFF);
            if (bytes_per_pixel == 2)
                out[at + 1] = static_cast<unsigned char>(v >> 8);
        }
    }
    return static_cast<int>(need);
}
#endif
#ifndef OMIT_AcquireStart
TNACQ_FN(int, AcquireStart, ())
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("AcquireStart") || !g().open)
        return 1;
    g().acquiring = true;
    return 0;
}
#endif
#ifndef OMIT_AcquireStop
TNACQ_FN(int, AcquireStop, ())
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("AcquireStop"))
        return 1;
    g().acquiring = false;
    return 0;
}
#endif
#ifndef OMIT_AcqDeviceQuery
TNACQ_FN(int, AcqDeviceQuery, (const char* setting, char* value, int size))
{
    return query("AcqDeviceQuery", setting, value, size);
}
#endif
#ifndef OMIT_AcqDeviceSet
TNACQ_FN(int, AcqDeviceSet, (const char* setting, const char* value)) { return set("AcqDeviceSet", setting, value); }
#endif
#ifndef OMIT_GetLastAcqError
TNACQ_FN(int, GetLastAcqError, ())
{
    std::lock_guard<std::mutex> hold(lock);
    called("GetLastAcqError");
    return g().last_error;
}
#endif
#ifndef OMIT_GetNumInputDevices
TNACQ_FN(int, GetNumInputDevices, ())
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetNumInputDevices") ? -1 : static_cast<int>(g().cameras.size());
}
#endif
#ifndef OMIT_GetFirstInputDeviceName
TNACQ_FN(int, GetFirstInputDeviceName, (char* name, int size))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetFirstInputDeviceName") ? 1 : next_of(g().cameras, g().next_camera, true, name, size);
}
#endif
#ifndef OMIT_GetNextInputDeviceName
TNACQ_FN(int, GetNextInputDeviceName, (char* name, int size))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetNextInputDeviceName") ? 1 : next_of(g().cameras, g().next_camera, false, name, size);
}
#endif
#ifndef OMIT_GetInputDeviceId
TNACQ_FN(int, GetInputDeviceId, (const char* name))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetInputDeviceId", name != nullptr ? name : "") ? -1 : id_of(g().cameras, name);
}
#endif
#ifndef OMIT_SetCurrentInputDevice
TNACQ_FN(int, SetCurrentInputDevice, (int id))
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("SetCurrentInputDevice", std::to_string(id)) || id < 0 || id >= static_cast<int>(g().cameras.size()))
        return 1;
    g().camera = id;
    g().mode = -1;
    return 0;
}
#endif
#ifndef OMIT_GetCurrentInputDevice
TNACQ_FN(int, GetCurrentInputDevice, ())
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetCurrentInputDevice") ? -1 : g().camera;
}
#endif
#ifndef OMIT_AcqInputDeviceQuery
TNACQ_FN(int, AcqInputDeviceQuery, (const char* setting, char* value, int size))
{
    return query("AcqInputDeviceQuery", setting, value, size);
}
#endif
#ifndef OMIT_AcqInputDeviceSet
TNACQ_FN(int, AcqInputDeviceSet, (const char* setting, const char* value))
{
    return set("AcqInputDeviceSet", setting, value);
}
#endif
#ifndef OMIT_GetNumInputModes
TNACQ_FN(int, GetNumInputModes, ())
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetNumInputModes") ? -1 : static_cast<int>(current_modes().size());
}
#endif
#ifndef OMIT_GetFirstInputModeName
TNACQ_FN(int, GetFirstInputModeName, (char* name, int size))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetFirstInputModeName") ? 1 : next_of(current_modes(), g().next_mode, true, name, size);
}
#endif
#ifndef OMIT_GetNextInputModeName
TNACQ_FN(int, GetNextInputModeName, (char* name, int size))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetNextInputModeName") ? 1 : next_of(current_modes(), g().next_mode, false, name, size);
}
#endif
#ifndef OMIT_GetInputModeId
TNACQ_FN(int, GetInputModeId, (const char* name))
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetInputModeId", name != nullptr ? name : "") ? -1 : id_of(current_modes(), name);
}
#endif
#ifndef OMIT_SetCurrentInputMode
TNACQ_FN(int, SetCurrentInputMode, (int id))
{
    std::lock_guard<std::mutex> hold(lock);
    if (called("SetCurrentInputMode", std::to_string(id)) || id < 0 || id >= static_cast<int>(current_modes().size()))
        return 1;
    g().mode = id;
    return 0;
}
#endif
#ifndef OMIT_GetCurrentInputMode
TNACQ_FN(int, GetCurrentInputMode, ())
{
    std::lock_guard<std::mutex> hold(lock);
    return called("GetCurrentInputMode") ? -1 : g().mode;
}
#endif
#ifndef OMIT_AcqInputModeQuery
TNACQ_FN(int, AcqInputModeQuery, (const char* setting, char* value, int size))
{
    return query("AcqInputModeQuery", setting, value, size);
}
#endif
#ifndef OMIT_AcqInputModeSet
TNACQ_FN(int, AcqInputModeSet, (const char* setting, const char* value)) { return set("AcqInputModeSet", setting, value); }
#endif

TNACQ_EXPORT int TnAcqSim_Set(const char* key, const char* value)
{
    std::lock_guard<std::mutex> hold(lock);
    if (key == nullptr)
        return -1;
    const std::string k = key;
    const std::string v = value != nullptr ? value : "";
    grabber& s = g();
    if (k == "reset") {
        s.reset();
        frames.clear();
    } else if (k == "devices") {
        s.devices = split(v);
    } else if (k == "cameras") {
        s.cameras = split(v);
    } else if (k.rfind("modes.", 0) == 0) {
        s.modes[std::atoi(k.c_str() + 6)] = split(v);
    } else if (k == "fail") {
        auto names = split(v);
        s.failing = std::set<std::string>(names.begin(), names.end());
    } else if (k == "last_error") {
        s.last_error = std::atoi(v.c_str());
    } else if (k.rfind("setting.", 0) == 0) {
        if (v.empty())
            s.settings.erase(k.substr(8));
        else
            s.settings[k.substr(8)] = v;
    } else if (k == "frame") {
        int w = 0, h = 0, b = 0;
        if (std::sscanf(v.c_str(), "%dx%dx%d", &w, &h, &b) != 3 || w <= 0 || h <= 0 || b < 1 || b > 16)
            return -1;
        s.width = w;
        s.height = h;
        s.bits = b;
    } else if (k == "brightness") {
        s.brightness = std::atof(v.c_str());
    } else if (k == "binning") {
        const int b = std::atoi(v.c_str());
        if (b < 1)
            return -1;
        s.binning = b;
    } else if (k == "scene") {
        s.scene = std::atof(v.c_str());
    } else if (k == "frame_ms") {
        s.frame_ms = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
    } else if (k == "slow") {
        int count = 0;
        unsigned ms = 0;
        if (std::sscanf(v.c_str(), "%d,%u", &count, &ms) != 2)
            return -1;
        s.slow = count;
        s.slow_ms = ms;
    } else if (k == "fail_reads") {
        s.fail_reads = std::atoi(v.c_str());
    } else {
        return -1;
    }
    return 0;
}

TNACQ_EXPORT int TnAcqSim_Log(char* buffer, int size)
{
    std::lock_guard<std::mutex> hold(lock);
    copy_name(g().log, buffer, size);
    return static_cast<int>(g().log.size());
}

TNACQ_EXPORT int TnAcqSim_Attach(const tnacq_sim_host* attached)
{
    std::lock_guard<std::mutex> hold(lock);
    host = attached != nullptr ? *attached : tnacq_sim_host{};
    return 0;
}

#if defined(TNACQ_IN_PROCESS)
namespace tnacq_sim {

const acq_table& table()
{
    static const acq_table t = [] {
        acq_table b;
#define TNACQ_BIND(n) b.n = &::n;
        ACQ_ENTRY_POINTS(TNACQ_BIND)
#undef TNACQ_BIND
        return b;
    }();
    return t;
}

int set(const char* key, const std::string& value) { return TnAcqSim_Set(key, value.c_str()); }

std::string log()
{
    std::string text(static_cast<std::size_t>(TnAcqSim_Log(nullptr, 0)) + 1, '\0');
    TnAcqSim_Log(text.data(), static_cast<int>(text.size()));
    text.resize(text.size() - 1);
    return text;
}

void attach(const tnacq_sim_host* attached) { TnAcqSim_Attach(attached); }

std::vector<tnacq_sim_frame> frame_log()
{
    std::lock_guard<std::mutex> hold(lock);
    return frames;
}

}  // namespace tnacq_sim
#endif
