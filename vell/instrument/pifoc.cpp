// PIFOC effective time, info file and diagnostic log.
#include "vell/instrument/pifoc.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "vell/instrument/line_reader.h"
#include "vell/platform/atomic_file.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/fields.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

const char* const XR_PIFOC_LOG_HEADING =
    "#--------------------------------------------------------------------------\n"
    "# Since  Leakage Meas Scan  First    Mid    Last    Gain    Date     Time  \n"
    "# Start  Current      Len  Current Current Current                         \n"
    "# (secs)   (uA)       (um)   (uA)    (uA)    (uA)                          \n"
    "#------- ------- ---- ---- ------- ------- ------- ------ -------- --------\n";

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr double TIME_CAP = 4611686018427387904.0;  // 2^62: far beyond any reasonable time

long& log_limit()
{
    static long limit = XR_PIFOC_LOG_DEFAULT_LIMIT;
    return limit;
}

std::string file_path(const char* base, int pifoc)
{
    const char* cfg = u_config_dir();
    if (cfg == nullptr)
        return u_format(".%c%s.%d", os::path_separator, base, pifoc);
    return u_format("%s%cramps%c%s.%d", cfg, os::path_separator, os::path_separator, base, pifoc);
}

// The slot state of a record that the PIFOC services apply to, or null (and a message) when
// the record is missing, belongs to a CAN instrument or has no PifocInfo.
xr_pifoc_state* usable(const SysInfo* info, const char* operation)
{
    xr_pifoc_state* st = xr_pifoc_state_of(info);
    if (st == nullptr || info->instrBdType == BD_CAN || !info->pifoc) {
        u_log_sink("%s failed: %s\n", operation, u_err_name(ERR_INVALID_PARAM));
        return nullptr;
    }
    return st;
}

double gain_at(const PifocInfo& p, double t) { return t <= 0 ? p.coef : p.coef + p.beta * std::log10(t); }

// A time computed in floating point as a whole number of seconds: truncated, NaN as `fallback`,
// bounded to [0, 2^62].
int64_t whole_seconds(double t, int64_t fallback)
{
    if (std::isnan(t))
        return fallback;
    if (t <= 0)
        return 0;
    if (t >= TIME_CAP)
        return static_cast<int64_t>(TIME_CAP);
    return static_cast<int64_t>(t);
}

bool parse_integer(std::string_view w, int64_t& v)
{
    if (w.size() > 1 && w[0] == '+' && w[1] != '-' && w[1] != '+')
        w.remove_prefix(1);
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), v, 10);
    return !w.empty() && ec == std::errc() && end == w.data() + w.size();
}

}  // namespace

xr_pifoc_state* xr_pifoc_state_of(const SysInfo* info)
{
    return info != nullptr ? &info->services.get<xr_pifoc_state>() : nullptr;
}

std::string xr_pifoc_info_path(int pifoc) { return file_path("pifoc", pifoc); }
std::string xr_pifoc_log_path(int pifoc) { return file_path("pifoclog", pifoc); }

// ---- info file --------------------------------------------------------------------------------

int32_t xr_read_pifoc_info_file(const char* path, int64_t now, xr_pifoc_values* out)
{
    if (path == nullptr || out == nullptr) {
        u_log_sink("xr_load_pifoc_info failed: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(u_open_config_file(path), &std::fclose);
    if (!file) {
        u_log_sink("Cannot open pifoc info file %s\n", path);
        return ERR_CANT_OPEN_FILE;
    }

    instr::line_reader lines(file.get(), XR_PIFOC_MAX_LINE);
    std::string line;
    bool too_long = false;
    bool found = false;
    int64_t numbers[3] = {0, 0, 0};
    while (lines.next(line, too_long)) {
        std::size_t p = 0;
        while (p < line.size() && instr::is_blank(line[p]))
            ++p;
        if (p >= line.size() || line[p] == '#')
            continue;
        found = true;
        // te and t1 are required, the leakage count is optional; what follows is not read.
        bool ok = !too_long;
        for (int i = 0; i < 3 && ok; ++i) {
            while (p < line.size() && instr::is_blank(line[p]))
                ++p;
            if (p >= line.size()) {
                ok = i == 2;
                break;
            }
            std::size_t e = p;
            while (e < line.size() && !instr::is_blank(line[e]))
                ++e;
            ok = parse_integer(std::string_view(line).substr(p, e - p), numbers[i]);
            p = e;
        }
        if (ok && (numbers[2] < std::numeric_limits<int32_t>::min() || numbers[2] > std::numeric_limits<int32_t>::max()))
            ok = false;
        if (!ok) {
            u_log_sink("xr_load_pifoc_info: error in file %s\n", path);
            u_log_sink("Line %d:\n%s\n", lines.line_number(), line.c_str());
            return ERR_CANT_READ_FILE;
        }
        break;
    }
    if (!found) {
        if (lines.failed()) {
            u_log_sink("xr_load_pifoc_info: cannot read file %s\n", path);
            return ERR_CANT_READ_FILE;
        }
        u_log_sink("xr_load_pifoc_info: empty file %s\n", path);
        return ERR_CANT_READ_FILE;
    }

    const int64_t te = numbers[0];
    const int64_t t1 = numbers[1];
    const auto leakage = static_cast<int32_t>(numbers[2]);
    const double current = leakage * XR_LEAKAGE_UA_PER_COUNT;
    u_log_sink("Pifoc info file is %s\n", path);
    u_log_sink("te = %lld  t1 = %lld  leakage = %d (%g uA)\n", static_cast<long long>(te),
               static_cast<long long>(t1), leakage, current);
    if (!xr_pifoc_times_ok(te, t1, now)) {
        u_log_sink("xr_load_pifoc_info: unreasonable te or t1 value\n");
        u_log_sink("te  = %lld\n", static_cast<long long>(te));
        u_log_sink("t1  = %lld\n", static_cast<long long>(t1));
        u_log_sink("now = %lld\n", static_cast<long long>(now));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (!xr_pifoc_leakage_ok(leakage)) {
        u_log_sink("xr_load_pifoc_info: leakage = %g uA is out of range [%g,%g]\n", current, XR_LEAKAGE_MIN_UA,
                   XR_LEAKAGE_MAX_UA);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    out->te = te;
    out->t1 = t1;
    out->leakage = leakage;
    return NO_ERROR;
}

std::string xr_format_pifoc_info(const xr_pifoc_values& values)
{
    return u_format("%lld %lld %d\n", static_cast<long long>(values.te), static_cast<long long>(values.t1),
                       values.leakage);
}

bool xr_pifoc_times_ok(int64_t te, int64_t t1, int64_t now)
{
    return te >= 1 && t1 >= 0 && t1 >= te && t1 <= now && te <= XR_TIME_MAX && t1 <= XR_TIME_MAX;
}

bool xr_pifoc_leakage_ok(int32_t leakage)
{
    // Within the range as far as the platform resolves currents: a few counts above 0 are the
    // noise of a measurement at 0 uA.
    const double current = leakage * XR_LEAKAGE_UA_PER_COUNT;
    constexpr double half = XR_LEAKAGE_RESOLUTION_UA / 2;
    return current >= XR_LEAKAGE_MIN_UA - half && current < XR_LEAKAGE_MAX_UA + half;
}

int32_t xr_load_pifoc_info(SysInfo* info)
{
    xr_pifoc_state* st = usable(info, "xr_load_pifoc_info");
    if (st == nullptr)
        return ERR_INVALID_PARAM;
    const std::string path = xr_pifoc_info_path(info->pifoc->value);
    return xr_read_pifoc_info_file(path.c_str(), u_wall_s(), &st->values);
}

int32_t xr_save_pifoc_info(const SysInfo* info)
{
    const xr_pifoc_state* st = usable(info, "xr_save_pifoc_info");
    if (st == nullptr)
        return ERR_INVALID_PARAM;
    const std::string path = xr_pifoc_info_path(info->pifoc->value);
    // What the loader would refuse is not written: the file keeps the last values it can give.
    const xr_pifoc_values& v = st->values;
    if (!xr_pifoc_times_ok(v.te, v.t1, XR_TIME_MAX) || !xr_pifoc_leakage_ok(v.leakage)) {
        u_log_sink("xr_save_pifoc_info: te = %lld  t1 = %lld  leakage = %d would not load again\n",
                   static_cast<long long>(v.te), static_cast<long long>(v.t1), v.leakage);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    os::fs::path native;
    os::atomic_file out;
    bool opened = os::native_path(path.c_str(), native) && out.open(native);
    if (!opened && out.target_refused()) {
        // Only a file that exists and may not be written is removed and made anew; a failure
        // to create the temporary file (no descriptor, a full disk) keeps the history it holds.
        os::remove_file(native);
        opened = out.open(native);
    }
    if (!opened) {
        u_log_sink("xr_save_pifoc_info: cannot create %s\n", path.c_str());
        return ERR_CANT_CREATE_FILE;
    }
    const std::string text = xr_format_pifoc_info(st->values);
    bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
    if (!written) {
        out.abandon();
    }
    if (!written || !out.commit()) {
        u_log_sink("xr_save_pifoc_info: cannot write %s\n", path.c_str());
        return ERR_CANT_WRITE_FILE;
    }
    return NO_ERROR;
}

// ---- effective time and gain --------------------------------------------------------------------

int32_t xr_update_pifoc_time(SysInfo* info, int64_t now)
{
    xr_pifoc_state* st = usable(info, "xr_update_pifoc_time");
    if (st == nullptr)
        return ERR_INVALID_PARAM;
    xr_pifoc_values& v = st->values;
    if (v.t1 <= 0) {
        v.t1 = now;
        return NO_ERROR;
    }
    if (now <= v.t1)
        return NO_ERROR;
    const int64_t d = now - v.t1;  // now > t1 > 0: no overflow
    const PifocInfo& p = *info->pifoc;
    int64_t te = v.te;
    if (st->state == 1) {
        te = te > std::numeric_limits<int64_t>::max() - d ? std::numeric_limits<int64_t>::max() : te + d;
    } else if (p.beta > 0) {
        // Off: the gain relaxes along R(t) = A - beta * log10(t), A = G(10^8 s). Find the time tr
        // on that curve with the present gain, go d seconds further, and take the effective time
        // that has the gain reached there.
        const double a = p.coef + 8 * p.beta;
        const double tr = static_cast<double>(whole_seconds(std::pow(10.0, (a - gain_at(p, static_cast<double>(te))) / p.beta), 0));
        const double r = a - p.beta * std::log10(tr + static_cast<double>(d));
        te = whole_seconds(std::pow(10.0, (r - p.coef) / p.beta), te);
    } else {
        te = te - d;
    }
    v.te = te < 1 ? 1 : te;
    v.t1 = now;
    return NO_ERROR;
}

int32_t xr_update_pifoc_time(SysInfo* info) { return xr_update_pifoc_time(info, u_wall_s()); }

int32_t xr_calc_pifoc_time_gain(const SysInfo* info, double* gain)
{
    if (gain == nullptr || info == nullptr || info->instrBdType == BD_CAN) {
        u_log_sink("xr_calc_pifoc_time_gain failed: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    *gain = 0.0;
    if (!info->pifoc)
        return NO_ERROR;
    const xr_pifoc_state* st = xr_pifoc_state_of(info);
    if (st == nullptr) {
        u_log_sink("xr_calc_pifoc_time_gain failed: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    const PifocInfo& p = *info->pifoc;
    double g = gain_at(p, static_cast<double>(st->values.te));
    if (g < p.coef)
        g = p.coef;
    if (!(g >= XR_GAIN_MIN && g <= XR_GAIN_MAX)) {
        u_log_sink("xr_calc_pifoc_time_gain: gain = %g is out of range [%g,%g]\n", g, XR_GAIN_MIN, XR_GAIN_MAX);
        return ERR_PIFOC_GAIN;
    }
    *gain = g;
    return NO_ERROR;
}

int32_t xr_report_pifoc_time(const SysInfo* info)
{
    const xr_pifoc_state* st = usable(info, "xr_report_pifoc_time");
    if (st == nullptr)
        return ERR_INVALID_PARAM;
    const int64_t te = st->values.te;
    const int64_t rest = te % SECONDS_PER_DAY;
    u_log_sink("Pifoc effective time on: %lld days, %02d:%02d:%02d (%lld secs)\n",
               static_cast<long long>(te / SECONDS_PER_DAY), static_cast<int>(rest / 3600),
               static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), static_cast<long long>(te));
    return NO_ERROR;
}

// ---- diagnostic log -----------------------------------------------------------------------------

void xr_set_pifoc_log_limit(long limit) { log_limit() = limit; }
long xr_pifoc_log_limit() { return log_limit(); }

int32_t xr_log_pifoc_diagnostic(const SysInfo* info, const char* text)
{
    if (usable(info, "xr_log_pifoc_diagnostic") == nullptr)
        return ERR_INVALID_PARAM;
    const bool heading = text == nullptr || text[0] == '\0';
    const long limit = log_limit();
    if (limit == 0) {
        if (heading)
            u_log_sink("Pifoc diagnostic log disabled\n");
        return NO_ERROR;
    }
    const std::string path = xr_pifoc_log_path(info->pifoc->value);
    int32_t rc = u_log_to_file(path.c_str(), heading ? XR_PIFOC_LOG_HEADING : text, limit, limit / 2);
    if (rc != NO_ERROR) {
        u_log_sink("xr_log_pifoc_diagnostic: u_log_to_file failed: %s\n", u_err_name(rc));
        return rc;
    }
    if (heading) {
        u_log_sink("Pifoc diagnostic log file is %s\n", path.c_str());
        if (limit < 1)
            u_log_sink("(size unlimited)\n");
        else
            u_log_sink("(size limited to %ld bytes)\n", limit);
    }
    return NO_ERROR;
}

std::string xr_format_pifoc_diag_line(const xr_pifoc_diag& diag, int64_t when)
{
    std::string start = u_format("%8d %7.4f   %1d ", diag.sinceStart, diag.leakageUa, diag.measured);
    std::string scan = u_format("%4.0f %7.4f %7.4f %7.4f %6.4f", diag.scanLen, diag.firstUa, diag.midUa,
                                   diag.lastUa, diag.gain);
    std::tm tm{};
    std::string date = "--/--/-- --:--:--";
    if (u_local_time(when, tm))
        date = u_format("%02d/%02d/%02d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, (tm.tm_year % 100 + 100) % 100,
                           tm.tm_hour, tm.tm_min, tm.tm_sec);
    return u_format("%s %s %s\n", start.c_str(), scan.c_str(), date.c_str());
}
