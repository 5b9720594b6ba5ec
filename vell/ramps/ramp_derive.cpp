// Ramps made from another ramp ("+" entries) and ramps held by the scanner controller.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_file.h"
#include "vell/ramps/ramp_math.h"

namespace {

// Whole multiple of 0.25, or an exact divisor of it.
bool derivable_fpf(double v)
{
    if (!(v > 0.0) || !std::isfinite(v))
        return false;
    const double k = v / 0.25;
    const double d = 0.25 / v;
    return std::floor(k) == k || std::floor(d) == d;
}

// Copies everything of a ramp but its samples.
void copy_without_samples(const rr_ramp_t& from, rr_ramp_t& to)
{
    to.name = from.name;
    to.hdr = from.hdr;
    to.slot = from.slot;
    to.startStamp = from.startStamp;
    to.duration = from.duration;
    to.dirCode = from.dirCode;
    to.sortKey = from.sortKey;
    to.offsetCrossPos = from.offsetCrossPos;
    to.defaultGain = from.defaultGain;
    to.offsetCrossTime = from.offsetCrossTime;
    to.hide = from.hide;
}

// The base samples s (N of them) with a shorter linear section: the section [i0, i1] centred in
// [S, E] is stretched over the output from S on; the ramp-up before S is rescaled about the
// offset so that it ends at s[i0]. Exactly N samples are written; a shortfall is filled with the
// last value written. False (nothing meaningful written) when the section cannot be stretched.
bool resample(const uint16_t* s, uint16_t* out, int32_t N, int32_t S, int32_t E, int32_t o, double q,
              double& e_out)
{
    const double D = static_cast<double>(E) - S;
    const int32_t i0 = S + rr_math::trunc_i32((1.0 - q) * D / 2.0);
    const int32_t i1 = S + rr_math::trunc_i32((1.0 + q) * D / 2.0);
    const int64_t src_last = static_cast<int64_t>(i1) + N - E;  // last source index
    const int64_t intervals = src_last - i0;
    if (i0 < S || i1 < i0 || src_last > N - 1 || intervals <= 0)
        return false;
    const double e = static_cast<double>(N - S) / static_cast<double>(intervals);

    // In double throughout: the offset is any 32-bit value the file holds.
    const double off = o;
    const double scale = (static_cast<double>(s[i0]) - off) / (static_cast<double>(s[S]) - off);
    for (int32_t j = 0; j < S; ++j)
        out[j] = rr_math::sample_u16(off + static_cast<double>(rr_math::trunc_i32((s[j] - off) * scale)));

    int64_t p = S;
    auto put = [&](double v) {
        if (p < N)
            out[p++] = rr_math::sample_u16(v);
    };
    // The fractional parts of e are summed exactly, as multiples of 1 / intervals.
    const int64_t outputs = static_cast<int64_t>(N) - S;
    const int64_t per_interval = outputs / intervals;
    const int64_t frac = outputs % intervals;
    int64_t sum = 0;
    double v = s[i0];
    for (int64_t k = i0; k < src_last && p < N; ++k) {
        const double step = (static_cast<double>(s[k + 1]) - s[k]) / e;
        for (int64_t m = 0; m < per_interval && p < N; ++m) {
            put(v);
            v += step;
        }
        sum += frac;
        if (sum > intervals) {
            put((static_cast<double>(out[p - 1]) + v) / 2.0);
            sum -= intervals;
        }
    }
    if (2 * sum > intervals)
        put(v);
    const uint16_t last = p > 0 ? out[p - 1] : 0;
    while (p < N)
        out[p++] = last;
    e_out = e;
    return true;
}

}  // namespace

int32_t rr_derive_ramp(const rr_ramp_t* base, rr_ramp_t* ramp, const rr_ramp_cfg_t* entry)
{
    if (base == nullptr || ramp == nullptr || entry == nullptr || base->hdr.rampType != RR_SWLI ||
        base->samples == nullptr || base->hdr.nPoints <= 0 || ramp->samples != nullptr)
        return ERR_INVALID_PARAM;
    const rr_ramp_hdr_t& b = base->hdr;

    if (entry->RampType != RR_SWLI && entry->RampType != RR_BTW) {
        u_log_sink("Error: derived ramp must be type SWLI or BTW\n");
        return ERR_INVALID_PARAM;
    }
    if (!(entry->ScanLen <= b.scanLen)) {
        u_log_sink("Error: derived ramp must have smaller scan length\n");
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (!derivable_fpf(entry->FringesPerFrame)) {
        u_log_sink("Error: fringesPerFrame = %g is invalid for derived ramp\n",
                   static_cast<double>(entry->FringesPerFrame));
        return ERR_INVALID_PARAM;
    }
    if (entry->RampType == RR_BTW && !(entry->ObjMag > 0.0f)) {
        u_log_sink("Error: BTW ramp must specify an objective mag\n");
        return ERR_INVALID_PARAM;
    }
    // Rates and slopes that the speed ratio divides by, and a linear section that lies in the
    // samples and does not start at the offset.
    const bool resampling = entry->ScanLen != b.scanLen;
    if (!(b.rampSlope > 0.0f) || !(b.cameraRate > 0.0f) || b.grabSkip < 0 || !(entry->RampSlope > 0.0f) ||
        !(entry->CameraRate > 0.0f) || entry->GrabSkip < 0 || !std::isfinite(b.rampSlope) ||
        !std::isfinite(b.cameraRate) || !std::isfinite(entry->RampSlope) || !std::isfinite(entry->CameraRate))
        return ERR_INVALID_PARAM;
    const int32_t N = b.nPoints;
    const int32_t S = b.trigStartAddr;
    const int32_t E = b.trigEndAddr;
    if (resampling && (!(0 <= S && S < E && E <= N) || static_cast<int32_t>(base->samples[S]) == b.offset ||
                       !(entry->ScanLen > 0.0f)))
        return ERR_INVALID_PARAM;

    auto* block = static_cast<uint16_t*>(u_malloc(static_cast<std::size_t>(N) * sizeof(uint16_t)));
    if (block == nullptr)
        return ERR_NO_MEM;
    rr_samples samples(block);

    rr_ramp_t r;
    copy_without_samples(*base, r);
    rr_ramp_hdr_t& h = r.hdr;
    h.rampType = entry->RampType;
    h.cameraRate = entry->CameraRate;
    h.scanLen = entry->ScanLen;
    h.cameraInterlace = entry->CameraInterlace;
    h.grabSkip = entry->GrabSkip;
    h.fringesPerFrame = entry->FringesPerFrame;
    h.rampSlope = entry->RampSlope;
    h.objMag = entry->ObjMag;
    h.scanCal = entry->ScanCal;
    h.wavelenSelect = entry->WavelenIndex;

    const double g = static_cast<double>(entry->CameraRate) / (entry->GrabSkip + 1.0);
    const double hr = static_cast<double>(entry->RampSlope) * g /
                      (static_cast<double>(b.rampSlope) * b.cameraRate / (b.grabSkip + 1.0));
    double clk = b.sampleClkFreq;

    if (resampling) {
        const double q = static_cast<double>(entry->ScanLen) / b.scanLen;
        double e = 1.0;
        if (!resample(base->samples.get(), block, N, S, E, b.offset, q, e))
            return ERR_INVALID_PARAM;
        clk *= e;
        h.updateRate = rr_math::trunc_i32(65536.0 - 4000.0 / clk);
        h.nBuckets = rr_math::trunc_i32((static_cast<double>(E) - S) * h.cameraRate / (h.grabSkip + 1.0) / (1000.0 * clk));
    } else {
        std::memcpy(block, base->samples.get(), static_cast<std::size_t>(N) * sizeof(uint16_t));
    }

    clk *= hr;
    h.sampleClkFreq = static_cast<float>(clk);
    const double update = 65536.0 - 4000.0 / static_cast<double>(h.sampleClkFreq);
    if (!(h.sampleClkFreq > 0.0f) || !(update >= 0.0)) {
        u_log_sink("Error: sampleClkFreq = %g KHz is too low\n", static_cast<double>(h.sampleClkFreq));
        return ERR_INVALID_PARAM;
    }
    h.updateRate = rr_math::round_i32(update);
    h.nBuckets = rr_math::trunc_i32(g * (static_cast<double>(h.trigEndAddr) - h.trigStartAddr) /
                                    (1000.0 * static_cast<double>(h.sampleClkFreq)));

    if (h.compFilter > 0) {
        if (hr < 0.5 && h.compGain < 2)
            ++h.compGain;
        else if (hr > 2.0 && h.compGain > 0)
            --h.compGain;
        for (int32_t* adc : {&h.adcMin, &h.adcMax, &h.adcFirst, &h.adcMid, &h.adcLast})
            *adc = rr_math::trunc_i32(*adc * hr);
    }

    r.samples = std::move(samples);
    *ramp = std::move(r);
    return NO_ERROR;
}

int32_t rr_get_max_num_instr_ramps(const sysInfo* si)
{
    if (si == nullptr)
        return 0;
    switch (si->instrBdType) {
    case BD_BOARD01:
    case BD_FTP:
        return 12;
    case BD_HXI:
    case BD_MODEL13:
    case BD_MODEL31:
        return 4;
    case BD_CAN: {
        const int32_t kind = si->pifoc ? si->pifoc->type : -1;
        return kind == 1 ? 15 : kind == 2 ? 100 : 4;
    }
    default:
        u_log_sink("%s: unknown instrBdType %d\n", "rr_get_max_num_instr_ramps", si->instrBdType);
        return 0;
    }
}

bool rr_load_ext_profile_ramp(const sysInfo* si, const rr_ramp_cfg_t* entry, rr_ramp_t* ramp, std::string* reason)
{
    auto fail = [&](const char* format, auto... args) {
        if (reason != nullptr) {
            char buf[200];
            std::snprintf(buf, sizeof buf, format, args...);
            *reason = buf;
        }
        return false;
    };
    if (si == nullptr || entry == nullptr || ramp == nullptr)
        return fail("%s", "invalid parameter");

    const std::string_view name(entry->FileName, strnlen(entry->FileName, sizeof entry->FileName));
    const std::string shown_text(name);
    const char* shown = shown_text.c_str();
    constexpr std::string_view key = "extprofile";
    const std::size_t at = name.find(key);
    std::size_t pos = at == std::string_view::npos ? name.size() : at + key.size();
    const std::size_t digits = pos;
    int64_t index = 0;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
        if (index < 100000000)
            index = index * 10 + (name[pos] - '0');
        ++pos;
    }
    if (at == std::string_view::npos || pos == digits || pos >= name.size() || name[pos] != '.' ||
        name.size() - pos - 1 < 2)
        return fail("Invalid external profile ramp name %s", shown);
    const char polar = name[pos + 1];
    const char dir = name[pos + 2];

    if (entry->RampType != RR_SWLI && entry->RampType != RR_BTW)
        return fail("External profile ramp %s must be type SWLI or BTW", shown);
    if (!(entry->RampSlope > 0.0f) || !std::isfinite(entry->RampSlope))
        return fail("External profile ramp %s has invalid RampSlope %g", shown, static_cast<double>(entry->RampSlope));
    if (!(entry->CameraRate > 0.0f) || !std::isfinite(entry->CameraRate))
        return fail("External profile ramp %s has invalid CameraRate %g", shown, static_cast<double>(entry->CameraRate));
    const int32_t max = rr_get_max_num_instr_ramps(si);
    if (index > max)
        return fail("External profile ramp index %d is greater than maximum %d", static_cast<int>(index), max);

    rr_ramp_t r;
    rr_ramp_hdr_t& h = r.hdr;
    h.rampType = entry->RampType;
    h.cameraRate = entry->CameraRate;
    h.grabSkip = entry->GrabSkip;
    h.rampSlope = entry->RampSlope;
    h.scanLen = entry->ScanLen;
    h.scanCal = entry->ScanCal;
    h.fringesPerFrame = entry->FringesPerFrame;
    h.objMag = entry->ObjMag;
    // Kept as well, so that a saved configuration gives the entry back.
    h.cameraInterlace = entry->CameraInterlace;
    h.wavelenSelect = entry->WavelenIndex;
    h.sampleClkFreq = 5.0f;
    h.offset = 32768;
    h.instrBdType = si->instrBdType;
    h.nBuckets = rr_math::ceil_i32(static_cast<double>(entry->ScanLen) * 1000.0 / entry->RampSlope);
    h.nPoints = rr_math::trunc_i32(static_cast<double>(h.nBuckets) / entry->CameraRate * 5000.0);
    h.rampID = static_cast<int32_t>(index);
    h.polar = static_cast<unsigned char>(polar);
    h.scanDir = dir == 'n' ? 0 : 1;
    r.name = std::string(name);
    r.hide = entry->Hide;
    r.slot = static_cast<uint8_t>(index);
    *ramp = std::move(r);
    return true;
}
