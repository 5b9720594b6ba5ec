// Computations over a ramp and the ramp set: offset crossing, direction, the values derived
// when the set is built, the order of the set, ramp IDs and matching a wanted acquisition.
#include <algorithm>
#include <cmath>

#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_math.h"
#include "vell/ramps/ramp_set.h"

namespace {

bool is_scan_ramp(int32_t type) { return type == RR_SWLI || type == RR_BTW; }

// The sample clock (kHz) of a board's update-rate divider; NaN when there is none.
double clock_of_update_rate(int32_t updateRate)
{
    const double div = 65536.0 - updateRate;
    return div > 0.0 ? 4000.0 / div : std::nan("");
}

}  // namespace

int32_t rr_calc_time_til_offset_crossing(rr_ramp_t* ramp, double clock_khz)
{
    if (ramp == nullptr || !ramp->samples || ramp->hdr.nPoints <= 0)
        return ERR_NO_RAMP_INFO;
    const rr_ramp_hdr_t& h = ramp->hdr;
    if (!is_scan_ramp(h.rampType))
        return ERR_INVALID_PARAM;
    const double rate = h.cameraRate;
    if (!(clock_khz > 0.0) || !std::isfinite(clock_khz) || !(rate > 0.0) || !std::isfinite(rate))
        return ERR_INVALID_PARAM;
    const int32_t n = h.nPoints;
    const int32_t start = h.trigStartAddr;
    if (start < 0 || start >= n)
        return ERR_CORRUPT_RAMP_FILE;
    const uint16_t* s = ramp->samples.get();
    const double off = h.offset;
    auto reached = [&](int32_t i) { return h.scanDir != 0 ? s[i] >= off : s[i] <= off; };
    int32_t i = start;
    while (i < n && !reached(i))
        ++i;
    if (i == n)
        return ERR_CORRUPT_RAMP_FILE;
    double at = i;
    if (i > 0 && !reached(i - 1)) {
        const double prev = s[i - 1];
        at = (i - 1) + (prev - off) / (prev - s[i]);
    }
    const double per_s = 1000.0 * clock_khz;
    const double first_frame = std::ceil(start / per_s * rate) / rate;
    ramp->offsetCrossTime = at / per_s - first_frame;
    return NO_ERROR;
}

int32_t rr_get_offset_crossing_pos(const rr_ramp_t* ramp, double* um)
{
    if (ramp == nullptr)
        return ERR_NO_RAMP_INFO;
    if (!is_scan_ramp(ramp->hdr.rampType) || um == nullptr)
        return ERR_INVALID_PARAM;
    *um = ramp->offsetCrossTime * ramp->hdr.rampSlope * ramp->hdr.cameraRate / 1000.0;
    return NO_ERROR;
}

int32_t rr_direction_code(const sysInfo& si, const rr_ramp_hdr_t& hdr)
{
    int s = sysinfo_type_in(si.sysType, {SYS_MODEL15, SYS_MODEL22, SYS_MODEL25, SYS_MODEL27}) ? 1 : -1;
    if (si.pifocPolarity == -1)
        s = -s;
    if (hdr.scanDir == 0)
        s = -s;
    return s > 0 ? 1 : 2;
}

bool rr_ext_profiles_available(const sysInfo& si)
{
    return si.instrBdType == BD_CAN && si.pifoc && (si.pifoc->type == 1 || si.pifoc->type == 2);
}

int32_t rr_set_derived_values(const sysInfo& si, rr_ramp_t* ramp)
{
    rr_ramp_hdr_t& h = ramp->hdr;
    double ms = h.nPoints / static_cast<double>(h.sampleClkFreq);
    // The ramp's own board type (what it was made for) decides, not the instrument's: a generic
    // ramp (0) plays one sample per clock on every board.
    if (h.instrBdType == BD_HXI || h.instrBdType == BD_MODEL31)
        ms *= h.updateRate + 1.0;
    ramp->duration = std::max<int32_t>(rr_math::round_i32(ms), 1);
    if (rr_is_pmi(h.rampType)) {
        ramp->defaultGain = h.rampGainDflt >= 1 && h.rampGainDflt <= 4095 ? h.rampGainDflt : 2048;
        ramp->sortKey = h.nBuckets / 100.0;
        return NO_ERROR;
    }
    if (!is_scan_ramp(h.rampType))
        return NO_ERROR;
    const double scale = si.instrBdType == BD_FTP ? 2.0 : 1.0;
    const double len = h.scanLen * scale;
    const double slope = h.rampSlope * scale;
    ramp->sortKey = h.rampType == RR_BTW ? len : len - 64.0 * slope / 1000.0;
    int32_t rc = NO_ERROR;
    const int32_t kind = si.pifoc ? si.pifoc->type : 0;
    if (si.instrBdType == BD_CAN && kind != 0) {
        // The controller scans the middle of the range at the nominal speed.
        if (!(h.rampSlope > 0.0f) || !(h.cameraRate > 0.0f)) {
            u_log_sink("rr_calc_time_til_offset_crossing failed: %s\n", u_err_name(ERR_INVALID_PARAM));
            return ERR_INVALID_PARAM;
        }
        ramp->offsetCrossTime = h.scanLen / 2.0 / (h.rampSlope / 1000.0) / h.cameraRate;
    } else {
        const double clock = si.instrBdType == BD_CAN ? static_cast<double>(h.sampleClkFreq)
                                                      : clock_of_update_rate(h.updateRate);
        rc = rr_calc_time_til_offset_crossing(ramp, clock);
        if (rc != NO_ERROR) {
            u_log_sink("rr_calc_time_til_offset_crossing failed: %s\n", u_err_name(rc));
            return rc;
        }
    }
    ramp->dirCode = rr_direction_code(si, h);
    ramp->offsetCrossPos = ramp->offsetCrossTime * h.rampSlope * h.cameraRate / 1000.0;
    if (ramp->dirCode == 2)
        ramp->offsetCrossPos = -ramp->offsetCrossPos;
    return NO_ERROR;
}

void rr_sort_ramps(std::vector<rr_ramp_t>& ramps)
{
    std::stable_sort(ramps.begin(), ramps.end(), [](const rr_ramp_t& a, const rr_ramp_t& b) {
        if (std::isnan(a.sortKey) || std::isnan(b.sortKey))
            return !std::isnan(a.sortKey) && std::isnan(b.sortKey);
        return a.sortKey < b.sortKey;
    });
}

int32_t rr_assign_ramp_id(const sysInfo* si, int32_t index)
{
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (set == nullptr || !set->haveSet || set->ramps.empty())
        return ERR_NO_RAMP_INFO;
    if (index < 0 || static_cast<std::size_t>(index) >= set->ramps.size())
        return ERR_INVALID_RAMP_INDEX;
    bool taken[RR_MAX_RAMPS + 1] = {};
    for (std::size_t i = 0; i < set->ramps.size(); ++i) {
        const int32_t id = set->ramps[i].hdr.rampID;
        if (static_cast<int32_t>(i) != index && id >= 0 && id <= RR_MAX_RAMPS)
            taken[id] = true;
    }
    for (int32_t id = 0; id <= RR_MAX_RAMPS; ++id) {
        if (!taken[id]) {
            set->ramps[static_cast<std::size_t>(index)].hdr.rampID = id;
            return NO_ERROR;
        }
    }
    u_log_sink("rr_assign_ramp_id: no available ramp ID values\n");
    return ERR_PARAM_OUT_OF_RANGE;
}

bool rr_check_ramp(const sysInfo* si, int32_t index, int32_t type, int32_t nBuckets, double scanLen,
                   int32_t rampMux, double cameraRate, int32_t grabSkip, std::string* message)
{
    auto fail = [&](std::string text) {
        if (message != nullptr)
            *message = std::move(text);
        return false;
    };
    const rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (si == nullptr || si->sysType == SYS_UNKNOWN || set == nullptr || !set->haveSet)
        return fail("invalid sysInfo");
    if (index < 0 || static_cast<std::size_t>(index) >= set->ramps.size())
        return fail("invalid rampIndex");
    if (type < 0 || type > 20)
        return fail(u_format("expected rampType = %d is invalid", type));
    const rr_ramp_hdr_t& h = set->ramps[static_cast<std::size_t>(index)].hdr;
    if (h.rampType < 0 || h.rampType > 20)
        return fail(u_format("ramp rampType = %d is invalid", h.rampType));
    if (rr_is_pmi(h.rampType) ? type != RR_PMI : type != h.rampType)
        return fail(u_format("ramp rampType = %d (%s)  expected %d (%s)", h.rampType, rr_ramp_type_name(h.rampType),
                             type, rr_ramp_type_name(type)));
    if (nBuckets > 0 && h.nBuckets != nBuckets)
        return fail(u_format("ramp nBuckets = %d  expected nBuckets = %d", h.nBuckets, nBuckets));
    if (scanLen > 0.0 && !(std::fabs(h.scanLen - scanLen) <= 1.0))
        return fail(u_format("ramp scanLen = %g  expected scanLen = %g", static_cast<double>(h.scanLen), scanLen));
    if (rampMux >= 0 && h.rampMux != rampMux)
        return fail(u_format("ramp rampMux = %d  expected rampMux = %d", h.rampMux, rampMux));
    if (cameraRate > 0.0 && !(std::fabs(h.cameraRate - cameraRate) <= 0.1))
        return fail(u_format("ramp cameraRate = %g  expected cameraRate = %g", static_cast<double>(h.cameraRate),
                             cameraRate));
    if (grabSkip >= 0 && h.grabSkip != grabSkip)
        return fail(u_format("ramp grabSkip = %d  expected grabSkip = %d", h.grabSkip, grabSkip));
    const int32_t bd = si->instrBdType;
    const bool board_ok = bd == BD_CAN ? (h.instrBdType == 0 || h.instrBdType == 1 || h.instrBdType == BD_CAN)
                                       : (h.instrBdType == 0 || h.instrBdType == bd);
    if (!board_ok)
        return fail(u_format("ramp instrBdType = %d  expected instrBdType = %d", h.instrBdType, bd));
    return true;
}

int32_t rr_find_ramp(const sysInfo* si, int32_t type, int32_t nBuckets, double scanLen, int32_t rampMux,
                     double cameraRate, int32_t grabSkip)
{
    const rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (set == nullptr || !set->haveSet)
        return -1;
    for (std::size_t i = 0; i < set->ramps.size(); ++i)
        if (rr_check_ramp(si, static_cast<int32_t>(i), type, nBuckets, scanLen, rampMux, cameraRate, grabSkip,
                          nullptr))
            return static_cast<int32_t>(i);
    return -1;
}
