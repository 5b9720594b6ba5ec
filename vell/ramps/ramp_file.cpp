#include "vell/ramps/ramp_file.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cmath>
#include <cstring>
#include <vector>

#include "vell/platform/atomic_file.h"
#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/ramps/ramp_math.h"

using namespace dat_bytes;

namespace {

const char* const type_names[20] = {"SWLI", "PMI", "PMI", "PMI", "PMI", "PMI", "?",   "?",  "?",   "?",
                                    "?",    "PMI", "PMI", "PMI", "PMI", "PMI", "?",   "BTW", "?",  "FR"};

// One 4-byte word of the header: its first byte (1-based), its name in the dump (null: not
// shown), how the dump prints it, and its value as raw bits.
enum class word_kind { integer, real, character };

struct hdr_word {
    int first;
    const char* name;
    word_kind kind;
    uint32_t (*get)(const rr_ramp_hdr_t&);
    void (*set)(rr_ramp_hdr_t&, uint32_t);
};

#define RR_INT(pos, label, m)                                                              \
    hdr_word{pos, label, word_kind::integer,                                               \
             [](const rr_ramp_hdr_t& h) { return static_cast<uint32_t>(h.m); },            \
             [](rr_ramp_hdr_t& h, uint32_t v) { h.m = static_cast<decltype(h.m)>(v); }}
#define RR_FLT(pos, label, m)                                                              \
    hdr_word{pos, label, word_kind::real,                                                  \
             [](const rr_ramp_hdr_t& h) { return std::bit_cast<uint32_t>(h.m); },          \
             [](rr_ramp_hdr_t& h, uint32_t v) { h.m = std::bit_cast<float>(v); }}

const hdr_word hdr_words[] = {
    RR_INT(1, "magicNumber", magicNumber),
    RR_INT(5, "rampType", rampType),
    RR_INT(9, "pztID", pztID),
    RR_INT(13, "rampID", rampID),
    RR_INT(17, "nPoints", nPoints),
    RR_INT(21, "rampUp", rampUp),
    RR_INT(25, "rampStart", rampStart),
    RR_INT(29, "rampLinear", rampLinear),
    RR_INT(33, "rampEnd", rampEnd),
    RR_FLT(37, "sampleClkFreq", sampleClkFreq),
    RR_FLT(41, "cameraRate", cameraRate),
    RR_INT(45, "updateRate", updateRate),
    RR_INT(49, "grabSkip", grabSkip),
    RR_FLT(53, "rampSlope", rampSlope),
    RR_INT(57, "trigStartAddr", trigStartAddr),
    RR_INT(61, "trigEndAddr", trigEndAddr),
    RR_INT(65, "rampGainDflt", rampGainDflt),
    RR_FLT(69, "rampTriple[0]", rampTriple[0]),
    RR_FLT(73, "rampTriple[1]", rampTriple[1]),
    RR_FLT(77, "rampTriple[2]", rampTriple[2]),
    RR_FLT(81, "scanLen", scanLen),
    hdr_word{85, "polar", word_kind::character, [](const rr_ramp_hdr_t& h) { return static_cast<uint32_t>(h.polar); },
             [](rr_ramp_hdr_t& h, uint32_t v) { h.polar = static_cast<int32_t>(v); }},
    RR_INT(89, "offset", offset),
    RR_INT(93, "nBuckets", nBuckets),
    RR_FLT(97, "rampLin", rampLin),
    RR_FLT(101, "rampTrim", rampTrim),
    RR_FLT(105, "cameraPClock", cameraPClock),
    RR_INT(109, "cameraHPeriod", cameraHPeriod),
    RR_INT(113, "cameraVPeriod", cameraVPeriod),
    RR_INT(117, "cameraInterlace", cameraInterlace),
    RR_INT(121, "rampMux", rampMux),
    RR_INT(125, "instrBdType", instrBdType),
    RR_INT(129, "compGain", compGain),
    RR_INT(133, "compFilter", compFilter),
    RR_INT(137, "leakage", leakage),
    RR_INT(141, "adcMin", adcMin),
    RR_INT(145, "adcMax", adcMax),
    RR_INT(149, "adcFirst", adcFirst),
    RR_INT(153, "adcMid", adcMid),
    RR_INT(157, "adcLast", adcLast),
    RR_FLT(161, "scanCal", scanCal),
    RR_INT(165, nullptr, reserved165),
    RR_FLT(169, "fringesPerFrame", fringesPerFrame),
    RR_FLT(173, "objMag", objMag),
    RR_INT(177, "wavelenSelect", wavelenSelect),
    RR_INT(181, nullptr, reserved181),
    RR_INT(185, "scan direction", scanDir),
    RR_INT(189, nullptr, reserved189[0]),
    RR_INT(193, nullptr, reserved189[1]),
};

#undef RR_INT
#undef RR_FLT

// Words up to byte 168 are stored most significant byte first, the rest least significant first.
constexpr int last_big_endian_byte = 168;
constexpr int spare_first = 197;

int32_t open_for_reading(const char* path, std::FILE*& f)
{
    std::filesystem::path native;
    f = os::native_path(path, native) ? os::open_file(native, "rb") : nullptr;
    return f != nullptr ? NO_ERROR : ERR_CANT_OPEN_FILE;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void appendf(std::string& out, const char* format, ...) VP_PRINTF(2, 3);
void appendf(std::string& out, const char* format, ...)
{
    char buf[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0)
        out.append(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

}  // namespace

const char* rr_ramp_type_name(int32_t type)
{
    return type >= 0 && type < 20 ? type_names[type] : "?";
}

void rr_samples_free::operator()(uint16_t* p) const { u_free(p); }

void rr_pack_ramp_hdr(const rr_ramp_hdr_t& hdr, uint8_t* bytes)
{
    for (const hdr_word& w : hdr_words) {
        uint8_t* p = bytes + (w.first - 1);
        if (w.first <= last_big_endian_byte)
            store_be32(p, w.get(hdr));
        else
            store_le32(p, w.get(hdr));
    }
    std::memcpy(bytes + (spare_first - 1), hdr.spare, sizeof hdr.spare);
}

void rr_unpack_ramp_hdr(const uint8_t* bytes, rr_ramp_hdr_t& hdr)
{
    for (const hdr_word& w : hdr_words) {
        const uint8_t* p = bytes + (w.first - 1);
        w.set(hdr, w.first <= last_big_endian_byte ? load_be32(p) : load_le32(p));
    }
    std::memcpy(hdr.spare, bytes + (spare_first - 1), sizeof hdr.spare);
}

int32_t rr_read_ramp_file(const char* path, rr_ramp_hdr_t* hdr, uint16_t** samples)
{
    if (hdr == nullptr)
        return ERR_INVALID_PARAM;
    *hdr = rr_ramp_hdr_t{};
    if (samples != nullptr) {
        u_free(*samples);
        *samples = nullptr;
    }

    std::FILE* raw = nullptr;
    if (int32_t rc = open_for_reading(path, raw); rc != NO_ERROR)
        return rc;
    std::unique_ptr<std::FILE, file_closer> f(raw);

    uint8_t bytes[RR_RAMP_HDR_SIZE];
    std::size_t got = std::fread(bytes, 1, 4, f.get());
    if (got < 4)
        return ERR_PREMATURE_EOF;
    if (load_be32(bytes) != RR_RAMP_MAGIC)
        return ERR_NOT_A_RAMP_FILE;
    if (std::fread(bytes + 4, 1, RR_RAMP_HDR_SIZE - 4, f.get()) != RR_RAMP_HDR_SIZE - 4)
        return ERR_PREMATURE_EOF;
    rr_ramp_hdr_t h{};
    rr_unpack_ramp_hdr(bytes, h);

    if (h.nPoints > 0 && samples != nullptr) {
        // The samples are read before the caller's block is allocated: a count that the file
        // does not back never costs memory.
        const std::size_t want = static_cast<std::size_t>(h.nPoints) * 2;
        std::vector<uint8_t> data;
        constexpr std::size_t chunk = 65536;
        while (data.size() < want) {
            std::size_t n = std::min(chunk, want - data.size());
            std::size_t at = data.size();
            data.resize(at + n);
            std::size_t r = std::fread(data.data() + at, 1, n, f.get());
            if (r < n)
                return ERR_CORRUPT_RAMP_FILE;
        }
        auto* out = static_cast<uint16_t*>(u_malloc(want));
        if (out == nullptr)
            return ERR_NO_MEM;
        for (int32_t i = 0; i < h.nPoints; ++i)
            out[i] = load_be16(data.data() + 2 * static_cast<std::size_t>(i));
        *samples = out;
    }
    *hdr = h;
    return NO_ERROR;
}

int32_t rr_write_ramp_file(const char* path, const rr_ramp_hdr_t* hdr, const uint16_t* samples)
{
    if (hdr == nullptr || samples == nullptr || hdr->nPoints < 0)
        return ERR_INVALID_PARAM;
    std::filesystem::path native;
    os::atomic_file out;
    if (!os::native_path(path, native) || !out.open(native))
        return ERR_CANT_CREATE_FILE;

    rr_ramp_hdr_t h = *hdr;
    h.magicNumber = RR_RAMP_MAGIC;
    uint8_t bytes[RR_RAMP_HDR_SIZE];
    rr_pack_ramp_hdr(h, bytes);
    bool ok = std::fwrite(bytes, 1, sizeof bytes, out.get()) == sizeof bytes;

    uint8_t block[8192];
    constexpr int32_t per_block = sizeof block / 2;
    for (int32_t i = 0; ok && i < h.nPoints; i += per_block) {
        int32_t n = std::min(per_block, h.nPoints - i);
        for (int32_t k = 0; k < n; ++k)
            store_be16(block + 2 * k, samples[i + k]);
        ok = std::fwrite(block, 2, static_cast<std::size_t>(n), out.get()) == static_cast<std::size_t>(n);
    }
    if (!ok) {
        out.abandon();
        return ERR_CANT_WRITE_FILE;
    }
    return out.commit() ? NO_ERROR : ERR_CANT_WRITE_FILE;
}

std::string rr_format_ramp_hdr(const rr_ramp_hdr_t& hdr, const uint16_t* samples, bool one_per_line)
{
    std::string s;
    for (const hdr_word& w : hdr_words) {
        if (w.name == nullptr)
            continue;
        uint32_t v = w.get(hdr);
        switch (w.kind) {
        case word_kind::integer:
            appendf(s, "# %3d-%3d  %-18s = %d\n", w.first, w.first + 3, w.name, static_cast<int32_t>(v));
            break;
        case word_kind::real:
            appendf(s, "# %3d-%3d  %-18s = %g\n", w.first, w.first + 3, w.name,
                    static_cast<double>(std::bit_cast<float>(v)));
            break;
        case word_kind::character:
            appendf(s, "# %3d-%3d  %-18s = ", w.first, w.first + 3, w.name);
            s += static_cast<char>(static_cast<unsigned char>(v));
            s += '\n';
            break;
        }
    }
    appendf(s, "# %3d-%3d  %-18s\n", spare_first, RR_RAMP_HDR_SIZE, "spare");
    appendf(s, "# sizeof rr_ramp_hdr_t = %d\n", RR_RAMP_HDR_SIZE);
    if (samples != nullptr && hdr.nPoints > 0) {
        for (int32_t i = 0; i < hdr.nPoints; ++i) {
            if (one_per_line) {
                appendf(s, "%u\n", static_cast<unsigned>(samples[i]));
            } else {
                appendf(s, "%u  ", static_cast<unsigned>(samples[i]));
                if (i % 10 == 0)
                    s += '\n';
            }
        }
        if (!one_per_line)
            s += '\n';
    }
    return s;
}

void rr_print_ramp_hdr(std::FILE* stream, const rr_ramp_hdr_t* hdr, const uint16_t* samples, bool one_per_line)
{
    if (stream == nullptr || hdr == nullptr)
        return;
    std::string s = rr_format_ramp_hdr(*hdr, samples, one_per_line);
    std::fwrite(s.data(), 1, s.size(), stream);
    std::fflush(stream);
}

int32_t rr_check_ramp_file(rr_ramp_hdr_t* hdr, const char* name, int32_t instrBdType, int32_t pifocSerial,
                           int32_t pztSerial)
{
    if (hdr == nullptr)
        return ERR_INVALID_PARAM;
    if (name == nullptr)
        name = "";
    const int32_t bd = hdr->instrBdType;
    const bool compatible = instrBdType == BD_CAN ? (bd == 0 || bd == 1 || bd == BD_CAN) : (bd == 0 || bd == instrBdType);
    if (!compatible) {
        u_log_sink("Error: ramp data file %s is not compatible with this instrument\n", name);
        return ERR_WRONG_INSTR_BOARD;
    }
    const char* scanner = nullptr;
    int32_t serial = -1;
    if (rr_is_pmi(hdr->rampType)) {
        scanner = "PZT";
        serial = pztSerial;
    } else if (hdr->rampType == RR_SWLI || hdr->rampType == RR_BTW) {
        scanner = "PIFOC";
        serial = pifocSerial;
    } else {
        u_log_sink("Error: ramp data file \"%s\" is of unknown type %d\n", name, hdr->rampType);
        return ERR_CORRUPT_RAMP_FILE;
    }
    if (serial == -1) {
        u_log_sink("Error: ramp data file \"%s\" can only be used with a %s\n", name, scanner);
        return ERR_INVALID_PARAM;
    }
    if (hdr->pztID != serial) {
        u_log_sink("Warning: ramp data file \"%s\" was generated for a different %s\n", name, scanner);
        u_log_sink("Changing ramp S/N from %d to %d\n", hdr->pztID, serial);
        hdr->pztID = serial;
    }
    return rr_check_fringes_per_frame(hdr, name);
}

int32_t rr_check_fringes_per_frame(rr_ramp_hdr_t* hdr, const char* name)
{
    if (hdr == nullptr)
        return ERR_INVALID_PARAM;
    if (name == nullptr)
        name = "";
    const float v = hdr->fringesPerFrame;
    const int32_t nb = hdr->nBuckets;
    float f = -1.0f;  // no value
    if (rr_is_pmi(hdr->rampType)) {
        if (nb > 13)
            return NO_ERROR;
        const bool few = nb == 5 || nb == 7;
        const bool many = nb == 11 || nb == 13;
        if (v == 0.0f)
            f = few ? 0.25f : many ? 0.125f : -1.0f;
        else if ((v == 0.25f && few) || (v == 0.125f && many))
            f = v;
    } else if (hdr->rampType == RR_SWLI || hdr->rampType == RR_BTW) {
        if (v != 0.0f) {
            const double k = static_cast<double>(v) * 4.0;  // an odd whole number of quarters
            if (k > 0.0 && std::floor(k) == k && std::fmod(k, 2.0) == 1.0)
                f = v;
        } else {
            const float s = hdr->rampSlope;
            f = s == 81.0f ? 0.25f : s == 243.0f ? 0.75f : s == 405.0f ? 1.25f : s == 567.0f ? 1.75f : -1.0f;
        }
    }
    if (f < 0.0f) {
        u_log_sink("Error: invalid fringesPerFrame %g in ramp data file \"%s\"\n", static_cast<double>(v), name);
        return ERR_INVALID_PARAM;
    }
    hdr->fringesPerFrame = f;
    return NO_ERROR;
}

int32_t rr_get_std_ramp_filename(const rr_ramp_hdr_t* hdr, const char** name)
{
    static char buffer[160];
    buffer[0] = '\0';
    if (name != nullptr)
        *name = buffer;
    if (hdr == nullptr || name == nullptr)
        return ERR_INVALID_PARAM;
    const int32_t type = hdr->rampType;
    if (type != RR_SWLI && type != RR_BTW && !rr_is_pmi(type)) {
        u_log_sink("rr_get_std_ramp_filename: unsupported ramp type %d\n", type);
        return ERR_INVALID_PARAM;
    }
    if (hdr->grabSkip == -1) {
        u_log_sink("rr_get_std_ramp_filename: invalid grabSkip %d\n", hdr->grabSkip);
        return ERR_INVALID_PARAM;
    }
    char rate[16];
    std::snprintf(rate, sizeof rate, "%d",
                  rr_math::round_i32(static_cast<double>(hdr->cameraRate) / (static_cast<double>(hdr->grabSkip) + 1.0)));
    const int polar = static_cast<unsigned char>(hdr->polar);
    const int32_t len = rr_math::trunc_i32(hdr->scanLen);
    const int32_t slope = rr_math::trunc_i32(hdr->rampSlope);
    if (type == RR_SWLI)
        std::snprintf(buffer, sizeof buffer, "d%ds%dc%s.%c%d", len, slope, rate, polar, hdr->pztID);
    else if (type == RR_BTW)
        std::snprintf(buffer, sizeof buffer, "d%ds%dc%sm%d.%c%d", len, slope, rate, rr_math::trunc_i32(hdr->objMag),
                      polar, hdr->pztID);
    else
        std::snprintf(buffer, sizeof buffer, "p%dc%s.%c%d", hdr->nBuckets, rate, hdr->rampMux == 1 ? 'q' : 'p',
                      hdr->pztID);
    return NO_ERROR;
}

int32_t rr_fpf_to_scan_code(double fringesPerFrame, int32_t* code)
{
    static const struct {
        double fpf;
        int32_t code;
    } table[] = {{0.25, 1}, {0.75, 3}, {1.25, 5}, {1.75, 7}, {2.25, 9}, {2.75, 11}, {5.25, 21}};
    for (const auto& e : table) {
        if (std::fabs(fringesPerFrame - e.fpf) <= 0.001) {
            if (code != nullptr)
                *code = e.code;
            return code != nullptr ? NO_ERROR : ERR_INVALID_PARAM;
        }
    }
    u_log_sink("Invalid fringesPerFrame %g\n", fringesPerFrame);
    return ERR_INTERNAL_RV;
}

int32_t rr_scan_type_to_fpf(int32_t scanType, double* fringesPerFrame)
{
    static const struct {
        int32_t type;
        double fpf;
    } table[] = {{1, 0.25}, {5, 0.75}, {9, 1.25}, {17, 1.75}, {33, 2.25}, {65, 2.75}};
    for (const auto& e : table) {
        if (e.type == scanType) {
            if (fringesPerFrame == nullptr)
                return ERR_INVALID_PARAM;
            *fringesPerFrame = e.fpf;
            return NO_ERROR;
        }
    }
    u_log_sink("Internal error: invalid scanType %d\n", scanType);
    return ERR_INTERNAL_RV;
}
