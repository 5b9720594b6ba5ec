// Building the instrument's ramp set (rr_get_ramp_info): from the ramp configuration file, or
// without one from every suitable ramp data file in the ramp directory; then the values
// derived per ramp, the order, the summary and the instrument's slots.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "vell/instrument/ramp_slots.h"
#include "vell/instrument/ramp_slots_internal.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/files.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_set.h"
#include "vell/serial/board_ramps.h"

namespace {

constexpr char KEEP_VAR[] = "KEEP_RAMPS_LOADED_IN_INSTR";

struct build_state {
    sysInfo* si;
    std::string dir;
    int32_t pifocSerial;
    int32_t pztSerial;
    bool ext;
    std::vector<rr_ramp_t> ramps;
    int32_t loaded = 0;
    int32_t derived = 0;
};

std::string in_dir(const build_state& b, const std::string& name) { return b.dir + os::path_separator + name; }

// Reads a ramp data file and checks it for the instrument; false (with the messages) when the
// ramp cannot be used.
bool read_checked(const build_state& b, const std::string& file, const char* read_error, rr_ramp_t& r)
{
    uint16_t* samples = nullptr;
    int32_t rc = rr_read_ramp_file(in_dir(b, file).c_str(), &r.hdr, &samples);
    r.samples.reset(samples);
    if (rc != NO_ERROR) {
        u_log_sink(read_error, file.c_str(), u_err_name(rc));
        return false;
    }
    return rr_check_ramp_file(&r.hdr, file.c_str(), b.si->instrBdType, b.pifocSerial, b.pztSerial) == NO_ERROR;
}

bool scanner_present(const build_state& b, const rr_ramp_cfg_t& e, int32_t number)
{
    if (e.RampType == RR_SWLI || e.RampType == RR_BTW) {
        if (b.si->pifoc)
            return true;
        u_log_sink("Ramp config error: ramp %d can only be used with a PIFOC\n", number);
    } else if (rr_is_pmi(e.RampType)) {
        if (b.pztSerial != -1)
            return true;
        u_log_sink("Ramp config error: ramp %d can only be used with a PZT\n", number);
    } else {
        u_log_sink("Ramp config error: ramp %d is of unknown type %d\n", number, e.RampType);
    }
    return false;
}

int32_t from_config(build_state& b, const std::string& path)
{
    u_log_sink("Reading ramp config file \"%s\"\n", path.c_str());
    rr_ramp_cfg_t* entries = nullptr;
    int32_t count = 0;
    int32_t rc = rr_read_ramp_config(path.c_str(), &entries, &count);
    if (rc != NO_ERROR)
        return rc;
    std::unique_ptr<rr_ramp_cfg_t, void (*)(rr_ramp_cfg_t*)> owner(entries, [](rr_ramp_cfg_t* p) { u_free(p); });
    if (count <= 0)
        return ERR_NO_RAMP_INFO;
    int32_t base = -1;  // the ramp derived entries are made from
    for (int32_t i = 0; i < count; ++i) {
        const rr_ramp_cfg_t& e = entries[i];
        const int32_t number = i + 1;
        if (b.ramps.size() >= static_cast<std::size_t>(RR_MAX_RAMPS)) {
            u_log_sink("Ramp config warning: too many ramp config entries, ignoring entries %d to %d\n", number, count);
            break;
        }
        if (!scanner_present(b, e, number))
            continue;
        const std::string name(e.FileName, strnlen(e.FileName, sizeof e.FileName));
        rr_ramp_t r;
        if (name.find("extprofile") != std::string::npos) {
            if (!b.ext) {
                u_log_sink("Ramp config error: ramp %d \"%s\" is invalid for this instrument\n", number, name.c_str());
                continue;
            }
            std::string reason;
            if (!rr_load_ext_profile_ramp(b.si, &e, &r, &reason)) {
                u_log_sink("Ramp config error: ramp %d: %s\n", number, reason.c_str());
                continue;
            }
            u_log_sink("Loaded ramp file \"%s\"\n", name.c_str());
            ++b.loaded;
            base = static_cast<int32_t>(b.ramps.size());
            b.ramps.push_back(std::move(r));
            continue;
        }
        if (!name.empty() && name[0] == '+') {
            if (base < 0) {
                u_log_sink("Ramp config error: no loaded ramp data from which to derive config ramp %d\n", number);
                continue;
            }
            const rr_ramp_t& from = b.ramps[static_cast<std::size_t>(base)];
            if (rr_derive_ramp(&from, &r, &e) != NO_ERROR) {
                u_log_sink("Ramp config error: cannot derive config ramp %d from ramp data file \"%s\"\n", number,
                           from.name.c_str());
                continue;
            }
            r.name = "+" + from.name;
            ++b.derived;
        } else {
            base = -1;
            std::string file;
            if (rr_cfg_data_file_name(&e, b.pifocSerial, b.pztSerial, file) != NO_ERROR ||
                !read_checked(b, file, "Ramp config error reading ramp data file \"%s\": %s\n", r))
                continue;
            if (rr_check_ramp_config(&e, &r) != NO_ERROR) {
                u_log_sink("Ramp config error: values not consistent with ramp data file \"%s\"\n", file.c_str());
                continue;
            }
            r.name = name;
            u_log_sink("Loaded ramp file \"%s\"\n", name.c_str());
            ++b.loaded;
            base = static_cast<int32_t>(b.ramps.size());
        }
        r.hdr.rampID = static_cast<int32_t>(b.ramps.size()) + 1;
        r.hide = e.Hide;
        b.ramps.push_back(std::move(r));
    }
    return NO_ERROR;
}

// A ramp file's extension: one character, then the decimal serial number of one of the
// instrument's scanners, and nothing else.
bool qualifies(const std::string& name, int32_t pifocSerial, int32_t pztSerial)
{
    const std::size_t dot = name.rfind('.');
    if (name.empty() || name[0] == '.' || dot == std::string::npos || name.size() - dot < 3)
        return false;
    int64_t number = 0;
    for (std::size_t i = dot + 2; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        if (number <= INT32_MAX)
            number = number * 10 + (name[i] - '0');
    }
    return number == pifocSerial || number == pztSerial;
}

int32_t from_directory(build_state& b)
{
    u_log_sink("Checking all files in ramp directory\n");
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(os::path_of_utf8(b.dir), ec);
    if (ec)
        return ERR_NO_RAMP_INFO;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string name = os::utf8_of(it->path().filename());
        if (qualifies(name, b.pifocSerial, b.pztSerial))
            names.push_back(std::move(name));
    }
    if (ec)
        return ERR_NO_RAMP_INFO;
    std::sort(names.begin(), names.end());
    if (names.size() > static_cast<std::size_t>(RR_MAX_RAMPS)) {
        u_log_sink("Warning: too many ramp files (limit is %d), some files ignored\n", RR_MAX_RAMPS);
        names.resize(RR_MAX_RAMPS);
    }
    for (const std::string& name : names) {
        rr_ramp_t r;
        if (!read_checked(b, name, "Error reading ramp data file \"%s\": %s\n", r))
            continue;
        r.name = name;
        u_log_sink("Loaded ramp file \"%s\"\n", name.c_str());
        r.hdr.rampID = static_cast<int32_t>(b.ramps.size()) + 1;
        ++b.loaded;
        b.ramps.push_back(std::move(r));
    }
    return NO_ERROR;
}

void summary(const build_state& b, const rr_instr_ramps_t& set)
{
    int32_t swli = 0, btw = 0;
    for (const rr_ramp_t& r : set.ramps) {
        swli += r.hdr.rampType == RR_SWLI;
        btw += r.hdr.rampType == RR_BTW;
    }
    u_log_sink("Ramp data sets:\n");
    u_log_sink("  %3d Total\n", static_cast<int>(set.ramps.size()));
    u_log_sink("  %3d Loaded\n", b.loaded);
    u_log_sink("  %3d Derived\n", b.derived);
    u_log_sink("  %3d SWLI\n", swli);
    u_log_sink("  %3d BTW\n", btw);
    u_log_sink("  %3d PMI\n", set.numPmiRamps);
}

// The instrument's slots after a new set: the ramps it still holds are kept (keep) or every
// slot is emptied.
int32_t settle_slots(sysInfo* si, rr_instr_ramps_t& set, bool keep)
{
    if (!rr_serial_board(si->instrBdType))
        return NO_ERROR;
    const int32_t slots = rr_get_max_num_instr_ramps(si);
    if (!keep) {
        for (int32_t k = 0; k < slots; ++k) {
            const int32_t rc = rr_ramp_delete(si, k);
            if (rc != NO_ERROR) {
                u_log_sink("rr_ramp_delete failed: %s\n", u_err_name(rc));
                return rc;
            }
        }
        return NO_ERROR;
    }
    ur_board* board = si != nullptr ? &ur_board_of(*si) : nullptr;
    uint8_t ids[256];
    std::size_t count = 0;
    int32_t rc = board != nullptr ? ur_ramp_request(board, ids, static_cast<std::size_t>(slots), &count)
                                  : ERR_SYS_INFO_NOT_AVAIL;
    if (rc != NO_ERROR) {
        // The set stands; its ramps are loaded again when used.
        u_log_sink("uz_ramp_request failed: %s\n", u_err_name(rc));
        return NO_ERROR;
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (ids[k] == 255)
            continue;
        auto holder = std::find_if(set.ramps.begin(), set.ramps.end(),
                                   [&](const rr_ramp_t& r) { return r.hdr.rampID == ids[k]; });
        if (holder == set.ramps.end()) {
            rc = rr_ramp_delete(si, static_cast<int32_t>(k));
            if (rc != NO_ERROR) {
                u_log_sink("rr_ramp_delete failed: %s\n", u_err_name(rc));
                return rc;
            }
            set.slotMap[k] = 255;
            continue;
        }
        if (holder->slot != 255)
            continue;
        holder->slot = static_cast<uint8_t>(k);
        set.slotMap[k] = ids[k];
        u_log_sink("Ramp ID %d already loaded in instr\n", ids[k]);
    }
    return NO_ERROR;
}

bool needs_pifoc(int32_t sys)
{
    switch (sys) {
    case SYS_MODEL04:
    case SYS_MODEL06:
    case SYS_MODEL10:
    case SYS_MODEL12:
    case SYS_MODEL16:
    case SYS_MODEL15:
    case SYS_MODEL22:
    case SYS_MODEL25:
    case SYS_MODEL27:
        return true;
    default:
        return false;
    }
}

int32_t build(sysInfo* si)
{
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (si == nullptr || set == nullptr || si->sysType == SYS_UNKNOWN)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (needs_pifoc(si->sysType) && !si->pifoc)
        return ERR_WRONG_SYSTEM_TYPE;
    build_state b{si, {}, si->pifoc ? si->pifoc->value : -1,
                  si->sysType == SYS_MODEL04 || si->sysType == SYS_MODEL10 ? -1 : si->serialNum,
                  rr_ext_profiles_available(*si), {}};
    set->clear();
    const bool keep = os::get_env(KEEP_VAR).has_value();
    if (keep)
        u_log_sink("Found env var %s\n", KEEP_VAR);
    const char* dir = u_ramps_dir();
    if (dir == nullptr || dir[0] == '\0')
        return ERR_NO_RAMP_INFO;
    b.dir = dir;
    u_log_sink("Ramp directory: %s\n", dir);

    bool from_file = false;
    int32_t rc = NO_ERROR;
    const char* cfg = si->rampConfig.c_str();
    if (cfg != nullptr && cfg[0] != '\0') {
        const std::string path = in_dir(b, cfg);
        from_file = u_file_exists(path.c_str());
        if (!from_file)
            u_log_sink("Cannot access ramp config file \"%s\"\n", cfg);
        else
            rc = from_config(b, path);
    }
    if (!from_file)
        rc = from_directory(b);
    if (rc != NO_ERROR)
        return rc;
    if (b.ramps.empty()) {
        u_log_sink("No usable ramp data\n");
        return ERR_NO_RAMP_INFO;
    }
    int32_t pmi = 0;
    for (rr_ramp_t& r : b.ramps) {
        if (!b.ext)
            r.slot = 255;
        rc = rr_set_derived_values(*si, &r);
        if (rc != NO_ERROR)
            return rc;
        pmi += rr_is_pmi(r.hdr.rampType);
    }
    if (!from_file)
        rr_sort_ramps(b.ramps);
    b.ramps.shrink_to_fit();
    set->ramps = std::move(b.ramps);
    set->haveSet = true;
    set->numPmiRamps = pmi;
    set->fromConfig = from_file;
    set->curRamp = 0;
    summary(b, *set);
    return settle_slots(si, *set, keep);
}

}  // namespace

int32_t rr_get_ramp_info(sysInfo* si)
{
    const int32_t rc = build(si);
    if (rc != NO_ERROR)
        u_log_sink("rr_get_ramp_info: %s\n", u_err_name(rc));
    return rc;
}
