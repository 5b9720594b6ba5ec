#include "vell/can/zoomcal.h"

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

constexpr double POS_MAX = 3.4028234663852886e38;
constexpr double MAG_MIN = 0.5;
constexpr double MAG_MAX = 6.0;
// The line buffer holds 511 characters and the terminator.
constexpr std::size_t LINE_MAX_CHARS = 511;

// Reads one line: true when there was one. The text is cut at the first carriage return and
// holds at most LINE_MAX_CHARS characters; *too_long tells that the line had more (the rest is
// consumed, so a long line stays one line).
bool read_line(std::FILE* f, std::string& line, bool* too_long)
{
    line.clear();
    *too_long = false;
    bool any = false;
    bool cut = false;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (cut)
            continue;
        if (c == '\r' || c == '\0') {
            cut = true;
            continue;
        }
        if (line.size() == LINE_MAX_CHARS) {
            *too_long = true;
            cut = true;
            continue;
        }
        line.push_back(static_cast<char>(c));
    }
    return any;
}

bool scan_pair(const std::string& line, double* pos, double* mag)
{
    for (const char* fmt : {"%lf %lf", "%lf,%lf", "%lf, %lf"})
        if (std::sscanf(line.c_str(), fmt, pos, mag) == 2)
            return true;
    return false;
}

bool reasonable(double v) { return std::fabs(v) <= POS_MAX; }  // false for NaN as well


void forget_name(hxi_zoom_cal_cache& c)
{
    u_free(c.loadedPath);
    c.loadedPath = nullptr;
    c.haveStatus = false;
}

}  // namespace

void hxi_zoom_cal_free(hxi_zoom_cal_table* table)
{
    if (table == nullptr)
        return;
    u_free(table->entries);
    table->entries = nullptr;
    table->count = 0;
}

int32_t hxi_zoom_cal_read(const char* path, hxi_zoom_cal_table* table, std::string* report)
{
    if (report != nullptr)
        report->clear();
    if (path == nullptr || table == nullptr)
        return ERR_INVALID_PARAM;
    os::fs::path native;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        os::native_path(path, native) && os::kind_of(native) != os::file_kind::directory
            ? os::open_file(native, "rb")
            : nullptr,
        &std::fclose);
    if (!file) {
        if (report != nullptr)
            *report = u_format(" Cannot open HXI encoded zoom magnification calibration file \"%s\" \n", path);
        return ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE;
    }

    std::vector<hxi_zoom_cal_entry> pairs;
    std::string line;
    std::string detail;
    int line_no = 0;
    bool line_error = false;
    bool too_long = false;
    bool title = read_line(file.get(), line, &too_long);
    line_no = 1;
    if (!title) {
        detail = u_format(" Too few position and magnification value pairs (minimum is %d) \n", HXI_ZOOM_CAL_MIN_PAIRS);
    } else {
        while (read_line(file.get(), line, &too_long)) {
            ++line_no;
            double pos = 0, mag = 0;
            line_error = true;
            if (too_long || !scan_pair(line, &pos, &mag)) {
                detail = " Expected two numbers (position and magnification) separated by a comma and/or space. \n";
                break;
            }
            if (!reasonable(pos) || !reasonable(mag)) {
                detail = " Magnitude of number is unreasonable. \n";
                break;
            }
            if (pairs.size() == static_cast<std::size_t>(HXI_ZOOM_CAL_MAX_PAIRS)) {
                detail = u_format(" Too many position and magnification value pairs (maximum is %d). \n",
                                HXI_ZOOM_CAL_MAX_PAIRS);
                line_error = false;
                break;
            }
            if (pos < 0 || pos > POS_MAX) {
                detail = u_format(" Position value is out of range [%g,%g] \n", 0.0, POS_MAX);
                break;
            }
            if (mag < MAG_MIN || mag > MAG_MAX) {
                detail = u_format(" Magnification value is out of range [%g,%g] \n", MAG_MIN, MAG_MAX);
                break;
            }
            if (!pairs.empty() && pos <= pairs.back().position) {
                detail = " Position values are not in strictly increasing order. \n";
                break;
            }
            // The order check runs on the stored (single-precision) magnification, so that
            // the table itself is strictly increasing.
            if (!pairs.empty() && static_cast<float>(mag) <= pairs.back().mag) {
                detail = " Magnification values are not in strictly increasing order. \n";
                break;
            }
            pairs.push_back({pos, static_cast<float>(mag)});
            line_error = false;
        }
        if (detail.empty() && pairs.size() < static_cast<std::size_t>(HXI_ZOOM_CAL_MIN_PAIRS))
            detail = u_format(" Too few position and magnification value pairs (minimum is %d) \n",
                            HXI_ZOOM_CAL_MIN_PAIRS);
    }

    if (!detail.empty()) {
        if (report != nullptr) {
            *report = u_format(" Error reading HXI encoded zoom magnification calibration file \"%s\" \n", path);
            *report += detail;
            if (line_error) {
                if (line.empty())
                    *report += u_format(" Error in line %d \n", line_no);
                else
                    *report += u_format(" Error in line %d: \n  %s \n", line_no, line.c_str());
            }
        }
        return ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE;
    }

    auto* entries = static_cast<hxi_zoom_cal_entry*>(u_malloc(pairs.size() * sizeof(hxi_zoom_cal_entry)));
    if (entries == nullptr)
        return ERR_NO_MEM;
    std::memcpy(entries, pairs.data(), pairs.size() * sizeof(hxi_zoom_cal_entry));
    hxi_zoom_cal_free(table);
    table->entries = entries;
    table->count = static_cast<int32_t>(pairs.size());
    return NO_ERROR;
}

hxi_zoom_cal_cache::~hxi_zoom_cal_cache()
{
    hxi_zoom_cal_free(&table);
    forget_name(*this);
}

hxi_zoom_cal_cache* hxi_zoom_cal_cache_of(const SysInfo* si)
{
    return si != nullptr ? &si->services.get<hxi_zoom_cal_cache>() : nullptr;
}

int32_t hxi_zoom_cal_load(SysInfo* si, std::string* report)
{
    if (report != nullptr)
        report->clear();
    hxi_zoom_cal_cache* c = hxi_zoom_cal_cache_of(si);
    if (c == nullptr || !si->hxiZoom)
        return ERR_HW_FAIL;

    if (c->table.count > 0 && c->loadedPath != nullptr) {
        u_file_stamp now;
        if (!u_file_stamp_of(c->loadedPath, &now))
            forget_name(*c);
        else if (c->haveStatus && now == c->status)
            return NO_ERROR;
    }

    std::string path;
    int32_t rc = NO_ERROR;
    if (c->loadedPath != nullptr) {
        path = c->loadedPath;
    } else {
        const char* name = si->hxiZoom->calFile.c_str();
        if (name == nullptr || name[0] == '\0')
            name = HXI_ZOOM_CAL_DEFAULT_FILE;
        const char* found = nullptr;
        if (u_find_config_file(name, &found) != NO_ERROR || found == nullptr) {
            if (report != nullptr)
                *report = u_format(" Cannot access HXI encoded zoom magnification calibration file \"%s\" \n", name);
            rc = ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE;
        } else {
            path = found;
        }
    }

    // The stamp is taken before the read: a rewrite while it reads shows at the next load.
    u_file_stamp stamp;
    const bool stamped = rc == NO_ERROR && u_file_stamp_of(path.c_str(), &stamp);
    hxi_zoom_cal_table fresh;
    if (rc == NO_ERROR)
        rc = hxi_zoom_cal_read(path.c_str(), &fresh, report);
    if (rc == NO_ERROR) {
        hxi_zoom_cal_free(&c->table);
        c->table = fresh;
        fresh = hxi_zoom_cal_table{};
        u_log_sink("HXI encoded zoom calibration data loaded from file %s\n", path.c_str());
        if (c->loadedPath == nullptr || path != c->loadedPath) {
            char* copy = static_cast<char*>(u_malloc(path.size() + 1));
            if (copy == nullptr) {
                rc = ERR_NO_MEM;
            } else {
                std::memcpy(copy, path.c_str(), path.size() + 1);
                u_free(c->loadedPath);
                c->loadedPath = copy;
            }
        }
        c->haveStatus = rc == NO_ERROR && stamped;
        if (c->haveStatus)
            c->status = stamp;
    }
    if (rc != NO_ERROR) {
        hxi_zoom_cal_free(&fresh);
        hxi_zoom_cal_free(&c->table);
        forget_name(*c);
    }
    return rc;
}

int32_t hxi_zoom_cal_mag(const hxi_zoom_cal_table* table, double position, double* mag)
{
    if (table == nullptr || table->entries == nullptr || table->count < 2 || mag == nullptr ||
        std::isnan(position))
        return ERR_INVALID_PARAM;
    const hxi_zoom_cal_entry* e = table->entries;
    const int n = table->count;
    if (position <= e[0].position) {
        *mag = e[0].mag;
        return NO_ERROR;
    }
    if (position >= e[n - 1].position) {
        *mag = e[n - 1].mag;
        return NO_ERROR;
    }
    int i = 1;
    while (i < n - 1 && position > e[i].position)
        ++i;
    const double f = (position - e[i - 1].position) / (e[i].position - e[i - 1].position);
    *mag = e[i - 1].mag + f * (static_cast<double>(e[i].mag) - e[i - 1].mag);
    return NO_ERROR;
}
