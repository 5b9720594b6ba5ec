#include "vell/acquisition/acq.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/dynlib.h"
#include "vell/platform/errors.h"
#include "vell/platform/files.h"
#include "vell/platform/lock.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

struct acq_error_row {
    const char* text;
    int32_t code;
};

// Library error numbers 1..26.
constexpr acq_error_row error_rows[] = {
    {"Device Open\n", ERR_ACQ_DEVICE_OPEN},
    {"Control File\n", ERR_ACQ_CMD},
    {"Host Resource\n", ERR_ACQ_CMD},
    {"Input Device Open\n", ERR_ACQ_DEVICE_OPEN},
    {"Device Busy\n", ERR_ACQ_DEVICE_BUSY},
    {"Device Closed\n", ERR_ACQ_DEVICE_CLOSE},
    {"Device Not Ready\n", ERR_ACQ_CMD},
    {"Device Buffer\n", ERR_ACQ_CMD},
    {"Out Of Memory\n", ERR_ACQ_CMD},
    {"Invalid Device Mode Specified\n", ERR_ACQ_INVALID_MODE},
    {"Invalid Device Specified\n", ERR_ACQ_CMD},
    {"Invalid Parameter\n", ERR_ACQ_CMD},
    {"Missing Parameter\n", ERR_ACQ_CMD},
    {"System\n", ERR_ACQ_CMD},
    {"System Resource\n", ERR_ACQ_CMD},
    {"Timed Out Waiting for Frames\n", ERR_ACQ_TIMEOUT},
    {"Frame Buffer Overflow\n", ERR_LOST_FRAME},
    {"Data Corrupt\n", ERR_FRAME_DATA_CORRUPT},
    {"Unknown\n", ERR_ACQ_CMD},
    {"Device\n", ERR_ACQ_CMD},
    {"Missed Frame\n", ERR_LOST_FRAME},
    {"Device Initialize\n", ERR_ACQ_CMD},
    {"Configuration File Invalid\n", ERR_ACQ_CFGFILE_INVALID},
    {"Cannot Find File\n", ERR_CANT_OPEN_FILE},
    {"Field Drop\n", ERR_LOST_FRAME},
    {"Attempt to use unsupported functionality\n", ERR_ACQ_CMD},
};

struct manager {
    os::library library;
    acq_table table;
    acq_manager_state state;
    os::process_lock lock;
    u_handle copy_lock = nullptr;
    std::string library_name = ACQ_LIBRARY;
    std::string lock_name = ACQ_PROCESS_LOCK;
    const acq_table* in_process = nullptr;  // bound in place of loading a library
};

manager& mgr()
{
    static manager m;
    return m;
}

// A numeric setting of the current acquisition device, or nothing when it cannot be read.
bool query_int(const char* setting, int& out)
{
    char value[64] = {};
    if (mgr().table.AcqDeviceQuery(setting, value, static_cast<int>(sizeof value)) != 0)
        return false;
    value[sizeof value - 1] = '\0';
    return acq_answer_int(value, &out);
}

// The first name of an enumeration, terminated whatever the library wrote.
bool first_name(int (*first)(char*, int), std::string& out)
{
    char name[256] = {};
    if (first(name, static_cast<int>(sizeof name)) != 0)
        return false;
    name[sizeof name - 1] = '\0';
    out = name;
    return true;
}

void log_ini_file(const char* ini_file)
{
    u_log_sink("INI file = %s\n", ini_file);
    std::optional<std::string> root = os::get_env("SystemRoot");
    if (!root) {
        u_log_sink("Cannot access SystemRoot environment variable\n");
        return;
    }
    std::string path = *root + os::path_separator + ini_file;
    std::FILE* file = os::open_file(os::path_of_utf8(path), "rb");
    if (file == nullptr) {
        u_log_sink("Cannot access INI file %s\n", path.c_str());
        return;
    }
    u_log_sink("Contents of INI file %s:\n", path.c_str());
    std::string line;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(file)) != EOF) {
        any = true;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            u_log_sink("  %s\n", line.c_str());
            line.clear();
            any = false;
        } else if (c != '\0') {
            line += static_cast<char>(c);
        }
    }
    if (any) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        u_log_sink("  %s\n", line.c_str());
    }
    std::fclose(file);
}

int32_t fail_open(int32_t code)
{
    acq_mgrclose(nullptr);
    return code;
}

// Start-up failure after the lock was taken: library closed, lock released.
int32_t fail_init(int32_t code)
{
    acq_mgrclose(sysinfo_slot(0));
    return code;
}

}  // namespace

bool acq_answer_number(const char* text, double* out)
{
    std::string_view s(text != nullptr ? text : "");
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool acq_answer_int(const char* text, int32_t* out)
{
    double v = 0;
    if (!acq_answer_number(text, &v) || !(v >= INT32_MIN && v <= INT32_MAX) || v != std::trunc(v))
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

int32_t acq_error_code(int number, const char** text)
{
    const char* t = nullptr;
    int32_t code = NO_ERROR;
    if (number >= 1 && number <= static_cast<int>(std::size(error_rows))) {
        t = error_rows[number - 1].text;
        code = error_rows[number - 1].code;
    } else if (number != 0) {
        t = "Unknown\n";
        code = ERR_UNKNOWN;
    }
    if (text != nullptr)
        *text = t;
    return code;
}

int32_t acq_translate_error()
{
    manager& m = mgr();
    if (!m.state.loaded)
        return ERR_ACQ_MISSING_DLL;
    const char* text = nullptr;
    int32_t code = acq_error_code(m.table.GetLastAcqError(), &text);
    if (text != nullptr)
        u_log_sink("Acq Error: %s", text);
    return code;
}

void acq_mgrclose(const SysInfo* slot)
{
    manager& m = mgr();
    if (m.state.loaded && m.table.FreeDeviceResources != nullptr)
        m.table.FreeDeviceResources();
    m.table = acq_table{};
    m.library.unload();
    m.state.loaded = false;
    m.state.device_open = false;
    m.state.live_display_control = false;
    if (m.copy_lock != nullptr) {
        u_close_handle(m.copy_lock);
        m.copy_lock = nullptr;
    }
    if (slot != nullptr) {
        m.lock.close();
        m.state.lock_held = false;
    }
}

int32_t acq_mgropen(const char* ini_file)
{
    static const char* const self = "acq_mgropen";
    manager& m = mgr();
    acq_mgrclose(nullptr);

    u_log_sink("Loading library TnAcq.dll\n");
    bool complete = true;
    if (m.in_process != nullptr) {
        m.table = *m.in_process;
#define ACQ_CHECK(n) complete = complete && m.table.n != nullptr;
        ACQ_ENTRY_POINTS(ACQ_CHECK)
#undef ACQ_CHECK
    } else {
        if (!m.library.load(m.library_name.c_str())) {
            u_log_sink("%s: TnAcq.dll missing\n", self);
            return fail_open(ERR_ACQ_MISSING_DLL);
        }
#define ACQ_BIND(n)                                                                    \
    m.table.n = reinterpret_cast<acq_##n##_fn>(m.library.symbol(#n));                   \
    complete = complete && m.table.n != nullptr;
        ACQ_ENTRY_POINTS(ACQ_BIND)
#undef ACQ_BIND
    }
    if (!complete) {
        u_log_sink("%s: TnAcq.dll invalid or corrupted\n", self);
        return fail_open(ERR_ACQ_INVALID_DLL);
    }

    // The frame grabber vendor's resource and camera-file locations, unless the user set them.
    const char* cfg = u_config_dir();
    if (!os::get_env("PULSARRES") && cfg != nullptr && os::kind_of(os::path_of_utf8(cfg)) == os::file_kind::directory) {
        os::set_env("PULSARRES", cfg);
        os::set_env("PULSARVCF", cfg);
        os::set_env("PULSARDCF", cfg);
    }

    u_log_sink("Initializing TnAcq.dll\n");
    if (ini_file != nullptr && ini_file[0] != '\0')
        log_ini_file(ini_file);
    m.state.loaded = true;
    if (m.table.InitDeviceMgr(ini_file) != 0) {
        u_log_sink("%s: TnAcq.dll initialization failed - verify that TnAcq.ini is correct\n", self);
        return fail_open(ERR_ACQ_INIT_DEV);
    }

    // The library answers the display type only when it lets the platform set the live display.
    char value[64] = {};
    m.state.live_display_control = m.table.AcqDeviceQuery("DISPLAY TYPE", value, static_cast<int>(sizeof value)) == 0;
    if (!m.state.live_display_control)
        u_log_sink("Tessaron control of live display settings is not enabled.\n");

    if (u_event_create(false, true, nullptr, &m.copy_lock) != NO_ERROR) {
        m.copy_lock = nullptr;
        u_log_sink("%s: Cannot create pl_copy_fb_mutex\n", self);
        return fail_open(ERR_UNKNOWN);
    }
    return NO_ERROR;
}

int32_t acq_mgrinit(int slot_digit, const char* cal_file)
{
    manager& m = mgr();
    if (slot_digit < 0 || slot_digit > 9)
        return ERR_INVALID_PARAM;
    SysInfo* slot = sysinfo_slot(0);

    // A start-up after another one first releases what that one set up, in order (the device
    // resources, then the library); the process lock stays with this process.
    acq_mgrclose(nullptr);

    // 1. The slot: flags cleared, its digit set, no open file, the calibration file read.
    bool held = m.state.lock_held;
    m.state = acq_manager_state{};
    m.state.lock_held = held;
    slot->hostFileDigit = static_cast<uint8_t>(slot_digit);
    slot->calFile.reset();
    int32_t rc = sb_readCal(0, cal_file);
    if (rc != NO_ERROR)
        return rc;
    return acq_mgrstart(slot);
}

int32_t acq_mgrstart(SysInfo* slot)
{
    static const char* const self = "acq_mgrinit";
    manager& m = mgr();
    if (slot == nullptr)
        return ERR_INVALID_PARAM;
    acq_mgrclose(nullptr);
    const bool held = m.state.lock_held;
    m.state = acq_manager_state{};
    m.state.lock_held = held;
    int32_t rc = NO_ERROR;

    // 2. One process runs the acquisition system.
    if (!m.lock.is_open() && !m.lock.open(m.lock_name.c_str())) {
        u_log_sink("%s: Cannot create system resource\n", self);
        return ERR_ACQ_INIT_DEV;
    }
    int wait = m.lock.acquire(ACQ_LOCK_WAIT_MS);
    if (wait == U_WAIT_TIMEOUT) {
        u_log_sink("%s: Acquisition system in use by another process\n", self);
        m.lock.close();
        return ERR_ACQ_INIT_DEV;
    }
    if (wait != 0) {
        u_log_sink("%s: Cannot create system resource\n", self);
        m.lock.close();
        return ERR_ACQ_INIT_DEV;
    }
    m.state.lock_held = true;

    // 3. The library.
    if (acq_mgropen(ACQ_INI_FILE) != NO_ERROR)
        return fail_init(ERR_ACQ_INIT_DEV);

    // 4. What is attached.
    acq_table& t = m.table;
    m.state.num_devices = t.GetNumAcqDevices();
    m.state.num_cameras = t.GetNumInputDevices();
    std::string device;
    std::string camera;
    bool have_device = m.state.num_devices > 0 && first_name(t.GetFirstAcqDeviceName, device);
    bool have_camera = m.state.num_cameras > 0 && first_name(t.GetFirstInputDeviceName, camera);
    std::string second;
    if (have_camera && m.state.num_cameras > 1) {
        char name[256] = {};
        if (t.GetNextInputDeviceName(name, static_cast<int>(sizeof name)) == 0) {
            name[sizeof name - 1] = '\0';
            second = name;
        }
    }
    auto modes_of = [&t](const std::string& name) {
        int id = t.GetInputDeviceId(name.c_str());
        if (id < 0 || t.SetCurrentInputDevice(id) != 0)
            return 0;
        int n = t.GetNumInputModes();
        return n > 0 ? n : 0;
    };
    if (have_camera)
        m.state.primary_modes = modes_of(camera);
    if (!second.empty())
        m.state.secondary_modes = modes_of(second);
    u_log_sink("Num acquisition devices    = %d\n", m.state.num_devices);
    u_log_sink("Num cameras                = %d\n", m.state.num_cameras);
    u_log_sink("Num primary camera modes   = %d\n", m.state.primary_modes);
    u_log_sink("Num secondary camera modes = %d\n", m.state.secondary_modes);
    u_log_sink("Primary camera type        = %s\n", sb_camera_type_name(slot->cameraType));

    // 5. Selection and set-up.
    int device_id = have_device ? t.GetAcqDeviceId(device.c_str()) : -1;
    if (device_id < 0 || t.SetCurrentAcqDevice(device_id) != 0) {
        u_log_sink("%s: Cannot select the current acquisition device\n", self);
        return fail_init(ERR_ACQ_INVALID_DEVICE);
    }
    const char* cfg = u_config_dir();
    t.AcqDeviceSet("CFG FILE PATH", cfg != nullptr ? cfg : "");
    int camera_id = have_camera ? t.GetInputDeviceId(camera.c_str()) : -1;
    if (camera_id < 0 || t.SetCurrentInputDevice(camera_id) != 0) {
        u_log_sink("%s: Cannot set selected input device\n", self);
        return fail_init(ERR_ACQ_INVALID_DEVICE);
    }
    // Two passes: the camera's first mode on the selected input, then the device opened with it.
    std::string mode;
    if (first_name(t.GetFirstInputModeName, mode)) {
        int mode_id = t.GetInputModeId(mode.c_str());
        if (mode_id < 0 || t.SetCurrentInputMode(mode_id) != 0) {
            rc = acq_translate_error();
            return fail_init(rc != NO_ERROR ? rc : ERR_ACQ_INVALID_MODE);
        }
    }
    if (t.OpenDevice() != 0) {
        rc = acq_translate_error();
        return fail_init(rc != NO_ERROR ? rc : ERR_ACQ_DEVICE_OPEN);
    }
    if (!query_int("DISPLAY TYPE", m.state.display_type))
        m.state.display_type = 0;
    if ((m.state.display_type & 2) != 0) {
        query_int("MAX DISPLAY WIDTH", m.state.max_display_width);
        query_int("MAX DISPLAY HEIGHT", m.state.max_display_height);
    }
    query_int("ONBOARD PROC", m.state.onboard_proc);
    m.state.device_open = true;
    return NO_ERROR;
}

const acq_manager_state& acq_state() { return mgr().state; }
const acq_table& acq_functions() { return mgr().table; }
u_handle acq_copy_lock() { return mgr().copy_lock; }

void acq_mgr_use(const acq_table* table) { mgr().in_process = table; }

void acq_set_library(const char* name) { mgr().library_name = name != nullptr ? name : ACQ_LIBRARY; }
void acq_set_lock_name(const char* name)
{
    manager& m = mgr();
    m.lock.close();
    m.state.lock_held = false;
    m.lock_name = name != nullptr ? name : ACQ_PROCESS_LOCK;
}
