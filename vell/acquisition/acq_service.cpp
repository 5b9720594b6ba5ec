// The image acquisition service: see acq_service.h.
#include "vell/acquisition/acq_service.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "vell/acquisition/acq.h"
#include "vell/acquisition/bpix.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/log.h"

namespace {

acq_service_state* state_of(const SysInfo* si) { return si != nullptr ? si->services.find<acq_service_state>() : nullptr; }

// The calibration's bad pixel table of the instrument's camera (empty where it names none).
void bad_pixel_table(const SysInfo* si, const bpix_block** blocks, int32_t* count)
{
    bpix_table_of(si, blocks, count);
}

// The answer for a setting of the current input mode, else of the input device, else of the
// acquisition device.
bool query_answer(const char* setting, char (&value)[64])
{
    const acq_table& t = acq_functions();
    for (auto query : {t.AcqInputModeQuery, t.AcqInputDeviceQuery, t.AcqDeviceQuery}) {
        std::memset(value, 0, sizeof value);
        if (query != nullptr && query(setting, value, static_cast<int>(sizeof value)) == 0) {
            value[sizeof value - 1] = '\0';
            return true;
        }
    }
    return false;
}

bool query_setting(const char* setting, double* out)
{
    char value[64];
    return query_answer(setting, value) && acq_answer_number(value, out);
}

bool query_int(const char* setting, int32_t* out)
{
    char value[64];
    return query_answer(setting, value) && acq_answer_int(value, out);
}

// Holds the frame-buffer copy lock (an auto-reset event, signalled when free).
class copy_lock_hold : public u_event_hold {
public:
    copy_lock_hold() : u_event_hold(acq_copy_lock()) {}
};

// The newest frame into the state's buffer, cleaned of bad pixels. The copy lock is held.
int32_t read_frame(const SysInfo* si, acq_service_state& st)
{
    acq_frame_format f;
    {
        std::lock_guard<std::mutex> hold(st.format_lock);
        f = st.format;
    }
    const std::size_t bytes = f.frame_bytes();
    st.frame.resize(bytes);
    const acq_table& t = acq_functions();
    if (t.ReadDevice == nullptr)
        return ERR_ACQ_DEVICE_CLOSE;
    const int n = t.ReadDevice(st.frame.data(), static_cast<int>(bytes));
    if (n < 0 || static_cast<std::size_t>(n) != bytes) {
        int32_t rc = n < 0 ? acq_translate_error() : NO_ERROR;
        if (rc == NO_ERROR) {
            u_log_sink("%s: frame of %d bytes, expected %zu\n", "acq_svc_grab", n, bytes);
            rc = ERR_ACQ_CMD;
        }
        st.have_frame = false;
        return rc;
    }
    const bpix_block* blocks = nullptr;
    int32_t count = 0;
    bad_pixel_table(si, &blocks, &count);
    acq_clean_bad_pixels(blocks, count, f, st.frame.data());
    st.have_frame = true;
    return NO_ERROR;
}

int32_t not_set_up(const char* op)
{
    u_log_sink("%s: the acquisition device is not set up\n", op);
    return ERR_ACQ_DEVICE_CLOSE;
}

}  // namespace

acq_service_state::~acq_service_state()
{
    if (!live.load() || !set_up.load() || !acq_state().device_open)
        return;
    const acq_table& t = acq_functions();
    if (t.AcquireStop != nullptr && t.AcquireStop() != 0)
        (void)acq_translate_error();  // logged; nothing is left to hold the failure
}

bool acq_frame_format::usable() const
{
    return width > 0 && height > 0 && binning >= 1 && frame_width() >= 1 && frame_height() >= 1 &&
           (bytes_per_pixel == 1 || bytes_per_pixel == 2) && bit_depth >= 1 && bit_depth <= 8 * bytes_per_pixel;
}

int32_t acq_svc_open(SysInfo* si)
{
    static const char* const self = "acq_svc_open";
    if (si == nullptr)
        return ERR_INVALID_PARAM;
    acq_service_state& st = si->services.get<acq_service_state>();
    if (st.set_up.load() && acq_state().device_open)
        return NO_ERROR;
    st.set_up.store(false);  // a device opened before the library was last closed is gone
    if (!acq_state().device_open) {
        const int32_t rc = acq_mgrstart(si);
        if (rc != NO_ERROR)
            return rc;
    }
    acq_frame_format f;
    const bool read = query_int(ACQ_SETTING_WIDTH, &f.width) && query_int(ACQ_SETTING_HEIGHT, &f.height) &&
                      query_int(ACQ_SETTING_BINNING, &f.binning) && query_int(ACQ_SETTING_BYTES, &f.bytes_per_pixel) &&
                      query_int(ACQ_SETTING_DEPTH, &f.bit_depth);
    if (!read || !f.usable()) {
        u_log_sink("%s: the device reports no usable frame format (%dx%d, binning %d, %d bytes per pixel, %d bits)\n",
                   self, static_cast<int>(f.width), static_cast<int>(f.height), static_cast<int>(f.binning),
                   static_cast<int>(f.bytes_per_pixel), static_cast<int>(f.bit_depth));
        return ERR_ACQ_CMD;
    }
    double rate = 0;
    if (query_setting(ACQ_SETTING_RATE, &rate))
        sysinfo_set_camera_rate(*si, static_cast<float>(rate));
    {
        std::lock_guard<std::mutex> hold(st.format_lock);
        st.format = f;
    }
    st.live.store(false);
    st.set_up.store(true);
    return NO_ERROR;
}

int32_t acq_svc_close(SysInfo* si)
{
    acq_service_state* st = state_of(si);
    if (st == nullptr || !st->set_up.load())
        return NO_ERROR;
    int32_t rc = acq_svc_set_live(si, false);
    st->set_up.store(false);
    copy_lock_hold hold;
    st->have_frame = false;
    return rc;
}

int32_t acq_svc_frame_format(SysInfo* si, acq_frame_format* format)
{
    acq_service_state* st = state_of(si);
    if (format == nullptr)
        return ERR_INVALID_PARAM;
    if (st == nullptr || !st->set_up.load())
        return not_set_up("acq_svc_frame_format");
    std::lock_guard<std::mutex> hold(st->format_lock);
    *format = st->format;
    return NO_ERROR;
}

int32_t acq_svc_grab(SysInfo* si)
{
    acq_service_state* st = state_of(si);
    if (st == nullptr || !st->set_up.load())
        return not_set_up("acq_svc_grab");
    copy_lock_hold hold;
    if (st->live.load())
        return read_frame(si, *st);
    const acq_table& t = acq_functions();
    if (t.AcquireStart == nullptr || t.AcquireStop == nullptr)
        return ERR_ACQ_DEVICE_CLOSE;
    if (t.AcquireStart() != 0) {
        const int32_t rc = acq_translate_error();
        return rc != NO_ERROR ? rc : ERR_ACQ_CMD;
    }
    const int32_t rc = read_frame(si, *st);
    if (t.AcquireStop() != 0 && rc == NO_ERROR) {
        const int32_t stop = acq_translate_error();
        return stop != NO_ERROR ? stop : ERR_ACQ_CMD;
    }
    return rc;
}

int32_t acq_svc_copy(SysInfo* si, void* buf, std::size_t size)
{
    acq_service_state* st = state_of(si);
    if (st == nullptr || !st->set_up.load())
        return not_set_up("acq_svc_copy");
    if (buf == nullptr)
        return ERR_INVALID_PARAM;
    copy_lock_hold hold;
    if (st->live.load()) {
        const int32_t rc = read_frame(si, *st);
        if (rc != NO_ERROR)
            return rc;
    }
    if (!st->have_frame) {
        u_log_sink("%s: no frame has been grabbed\n", "acq_svc_copy");
        return ERR_ACQ_CMD;
    }
    if (size < st->frame.size())
        return ERR_INVALID_PARAM;
    std::memcpy(buf, st->frame.data(), st->frame.size());
    return NO_ERROR;
}

int32_t acq_svc_set_live(SysInfo* si, bool live)
{
    acq_service_state* st = state_of(si);
    if (st == nullptr || !st->set_up.load())
        return live ? not_set_up("acq_svc_set_live") : NO_ERROR;
    if (st->live.load() == live)
        return NO_ERROR;
    const acq_table& t = acq_functions();
    auto call = live ? t.AcquireStart : t.AcquireStop;
    if (call == nullptr)
        return ERR_ACQ_DEVICE_CLOSE;
    if (call() != 0) {
        const int32_t rc = acq_translate_error();
        if (live)
            return rc != NO_ERROR ? rc : ERR_ACQ_CMD;
    }
    st->live.store(live);
    return NO_ERROR;
}

bool acq_svc_live(const SysInfo* si)
{
    const acq_service_state* st = state_of(si);
    return st != nullptr && st->set_up.load() && st->live.load();
}

void acq_svc_set_exposing(SysInfo* si, bool exposing)
{
    if (si != nullptr)
        si->services.get<acq_service_state>().exposing.store(exposing);
}

bool acq_svc_exposing(const SysInfo* si)
{
    const acq_service_state* st = state_of(si);
    return st != nullptr && st->exposing.load();
}

bool acq_svc_device_set_up(const SysInfo* si)
{
    const acq_service_state* st = state_of(si);
    return st != nullptr && st->set_up.load() && acq_state().device_open;
}

int32_t acq_clean_bad_pixels(const bpix_block* blocks, int32_t count, const acq_frame_format& f, void* frame)
{
    if (blocks == nullptr || count <= 0 || frame == nullptr || !f.usable())
        return 0;
    const int32_t w = f.frame_width(), h = f.frame_height();
    const bpix_block* use = nullptr;
    int32_t scale = 1;
    for (int32_t i = 0; i < count && use == nullptr; ++i)
        if (blocks[i].size_x == w && blocks[i].size_y == h)
            use = &blocks[i];
    for (int32_t i = 0; i < count && use == nullptr; ++i)
        if (blocks[i].size_x == f.width && blocks[i].size_y == f.height)
            use = &blocks[i], scale = f.binning;
    if (use == nullptr || use->pixels == nullptr || use->num_pixels <= 0)
        return 0;
    std::vector<std::pair<int32_t, int32_t>> bad;
    bad.reserve(static_cast<std::size_t>(use->num_pixels));
    for (int32_t i = 0; i < use->num_pixels; ++i) {
        const int32_t x = use->pixels[i].x / scale, y = use->pixels[i].y / scale;
        if (x >= 0 && x < w && y >= 0 && y < h)
            bad.emplace_back(x, y);
    }
    std::sort(bad.begin(), bad.end());
    bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
    auto is_bad = [&bad](int32_t x, int32_t y) { return std::binary_search(bad.begin(), bad.end(), std::make_pair(x, y)); };
    auto* p = static_cast<unsigned char*>(frame);
    auto get = [&](int32_t x, int32_t y) -> uint32_t {
        const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
        if (f.bytes_per_pixel == 1)
            return p[at];
        uint16_t v;
        std::memcpy(&v, p + 2 * at, 2);
        return v;
    };
    auto put = [&](int32_t x, int32_t y, uint32_t v) {
        const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
        if (f.bytes_per_pixel == 1) {
            p[at] = static_cast<unsigned char>(v);
        } else {
            const uint16_t s = static_cast<uint16_t>(v);
            std::memcpy(p + 2 * at, &s, 2);
        }
    };
    int32_t replaced = 0;
    static constexpr int32_t dx[] = {-1, 1, 0, 0}, dy[] = {0, 0, -1, 1};
    for (const auto& [x, y] : bad) {
        uint32_t sum = 0, n = 0;
        for (int k = 0; k < 4; ++k) {
            const int32_t nx = x + dx[k], ny = y + dy[k];
            if (nx >= 0 && nx < w && ny >= 0 && ny < h && !is_bad(nx, ny)) {
                sum += get(nx, ny);
                ++n;
            }
        }
        if (n > 0) {
            put(x, y, (sum + n / 2) / n);
            ++replaced;
        }
    }
    return replaced;
}
