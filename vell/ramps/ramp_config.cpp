#include "vell/ramps/ramp_config.h"

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "vell/platform/atomic_file.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/ramps/ramp_math.h"
#include "vell/ramps/ramp_set.h"

const char* const RR_CFG_FORMAT_TEXT =
    "#\n"
    "# RT  = RampType: PMI, SWLI, BTW, or BTWX where X is a filter number\n"
    "# FN  = FileName: name of ramp data file or \"+\" if derived from previous\n"
    "# SL  = ScanLen: scan length in microns for SWLI or BTW ramps\n"
    "# CR  = CameraRate: frame rate in Hz\n"
    "# CI  = CameraInterlace: 1 if interlaced fields, otherwise 0\n"
    "# GS  = GrabSkip: (GrabSkip+1 specifies camera frame sampling)\n"
    "# FPF = FringesPerFrame: normal 0.125 or 0.25, subnyquist 0.75 or 1.25\n"
    "# RS  = RampSlope: nm/frm for SWLI or BTW ramps\n"
    "# OM  = ObjMag: nominal objective magnification, required for BTW ramps\n"
    "# SC  = ScanCal: factor near 1.0 to calibrate SWLI or BTW ramps\n"
    "# H   = Optional hide flag: 0 is normal, 1 to hide ramp from user\n"
    "#\n"
    "# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H";

const char* const RR_CFG_SAMPLE_SPEC =
    " SWLI d10s81c25.b12345      010.20 025.00 00 00 0.250 081.0000 000.00 1.00000 0";

namespace {

constexpr int max_line_length = 200;  // line feed included
constexpr std::size_t max_read = 511;
constexpr int max_bad_lines = 21;
constexpr int32_t grow_by = 5;

const char* const field_names[11] = {"RampType",        "FileName",  "ScanLen", "CameraRate", "CameraInterlace",
                                     "GrabSkip",        "FringesPerFrame", "RampSlope", "ObjMag", "ScanCal", "Hide"};

// Tokens as the file format splits them: the first is delimited by blank, tab or line feed, the
// others by blank and tab only (so the last token of a line carries the line feed).
class tokenizer {
public:
    explicit tokenizer(std::string_view line) : rest_(line) {}
    bool next(std::string_view delims, std::string_view& token)
    {
        std::size_t start = rest_.find_first_not_of(delims);
        if (start == std::string_view::npos) {
            rest_ = {};
            return false;
        }
        std::size_t end = rest_.find_first_of(delims, start);
        token = rest_.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
        return true;
    }

private:
    std::string_view rest_;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The leading decimal number of a token ("nan", "inf" and hexadecimal forms are not numbers;
// what follows the number is ignored). False when the token does not start with a number.
bool leading_real(std::string_view t, double& value)
{
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < t.size() && is_digit(t[i]))
        ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && is_digit(t[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < t.size() && (t[j] == '+' || t[j] == '-'))
            ++j;
        if (j < t.size() && is_digit(t[j])) {
            while (j < t.size() && is_digit(t[j]))
                ++j;
            i = j;
        }
    }
    std::string text(t.substr(0, i));
    value = std::strtod(text.c_str(), nullptr);  // beyond the range: an infinity, then refused
    return true;
}

// The leading decimal integer of a token, saturated to the 32-bit range.
bool leading_int(std::string_view t, int32_t& value)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    if (i >= t.size() || !is_digit(t[i]))
        return false;
    int64_t v = 0;
    while (i < t.size() && is_digit(t[i])) {
        if (v <= INT64_C(1) << 40)
            v = v * 10 + (t[i] - '0');
        ++i;
    }
    v = negative ? -v : v;
    value = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
    return true;
}

// A rejected ramp line: the first message (without line feed) and the second (with
// its line feeds, or empty).
struct line_error {
    std::string first;
    std::string second;
};

// Parses one ramp line. True with `e` filled, or false with `err` filled.
bool parse_spec(std::string_view line, rr_ramp_cfg_t& e, line_error& err)
{
    e = rr_ramp_cfg_t{};
    tokenizer tok(line);
    std::string_view t;
    tok.next(" \t\n", t);  // present: the caller saw it

    auto missing = [&](int field) {
        err.first = u_format("Missing %s value (field %d)", field_names[field - 1], field);
        return false;
    };
    auto bad_real = [&](int field, double v, std::string second) {
        err.first = u_format("Invalid %s value %g (field %d)", field_names[field - 1], v, field);
        err.second = std::move(second);
        return false;
    };
    auto bad_int = [&](int field, int32_t v, std::string second) {
        err.first = u_format("Invalid %s value %d (field %d)", field_names[field - 1], v, field);
        err.second = std::move(second);
        return false;
    };

    // 1 RampType: only the first four characters count.
    const std::string_view head = t.substr(0, 4);
    if (head == "SWLI") {
        e.RampType = RR_SWLI;
    } else if (head == "PMI") {
        e.RampType = RR_PMI;
    } else if (head.substr(0, 3) == "BTW") {
        e.RampType = RR_BTW;
        if (head.size() == 4) {
            if (head[3] < '1' || head[3] > '4') {
                err.first = u_format("Invalid BTW wavelength index (field %d)", 1);
                err.second = u_format("Wavelength index must be an integer in the range [%d,%d]\n", 1, 4);
                return false;
            }
            e.WavelenIndex = head[3] - '0';
        }
    } else {
        err.first = u_format("Invalid %s value (field %d)", field_names[0], 1);
        err.second = u_format("Allowed %s values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index in the "
                            "range [%d,%d]\n",
                            field_names[0], 1, 4);
        return false;
    }
    const bool pmi = e.RampType == RR_PMI;
    const bool btw = e.RampType == RR_BTW;
    const char* const delims = " \t";

    // 2 FileName
    if (!tok.next(delims, t))
        return missing(2);
    if (t.size() > static_cast<std::size_t>(RR_CFG_MAX_FILENAME)) {
        err.first = u_format("%s is too long (field %d)", field_names[1], 2);
        err.second = u_format("The %s may be up to %d characters\n", field_names[1], RR_CFG_MAX_FILENAME);
        return false;
    }
    std::memcpy(e.FileName, t.data(), t.size());
    e.FileName[t.size()] = '\0';

    double v = 0.0;
    int32_t n = 0;
    // 3 ScanLen
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(3);
    if (pmi ? !(v == 0.0) : !(v > 0.0 && v < 1000.0))
        return bad_real(3, v,
                        u_format("For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be greater than "
                               "%g and less than %g (um)\n",
                               field_names[2], 0.0, 1000.0));
    e.ScanLen = static_cast<float>(v);
    // 4 CameraRate
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(4);
    if (!(v > 0.0 && v < 50000.0))
        return bad_real(4, v, u_format("The %s value must be greater than 0 and less than %g (Hz)\n", field_names[3], 50000.0));
    e.CameraRate = static_cast<float>(v);
    // 5 CameraInterlace
    if (!tok.next(delims, t) || !leading_int(t, n))
        return missing(5);
    if (n != 0 && n != 1)
        return bad_int(5, n, u_format("The %s value must be 0 or 1\n", field_names[4]));
    e.CameraInterlace = n;
    // 6 GrabSkip
    if (!tok.next(delims, t) || !leading_int(t, n))
        return missing(6);
    if (n < 0 || n >= 100)
        return bad_int(6, n,
                       u_format("The %s value must be greater than or equal to %d and less than %d\n", field_names[5], 0, 100));
    e.GrabSkip = n;
    // 7 FringesPerFrame
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(7);
    if (!(v > 0.0 && v < 10.0))
        return bad_real(7, v, u_format("The %s value must be greater than %g and less than %g\n", field_names[6], 0.0, 10.0));
    e.FringesPerFrame = static_cast<float>(v);
    // 8 RampSlope
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(8);
    if (!((pmi ? v >= 0.0 : v > 0.0) && v < 4000.0))
        return bad_real(8, v,
                        u_format("For PMI ramps, the %s value may be 0\nFor SWLI or BTW ramps, it must be greater than %g "
                               "and less than %g (nm/frm)\n",
                               field_names[7], 0.0, 4000.0));
    e.RampSlope = static_cast<float>(v);
    // 9 ObjMag
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(9);
    if (!((btw ? v > 0.0 : v >= 0.0) && v < 1000.0))
        return bad_real(9, v,
                        u_format("For PMI or SWLI ramps, the %s value may be 0\nFor BTW ramps, it must be greater than %g "
                               "and less than %g\n",
                               field_names[8], 0.0, 1000.0));
    e.ObjMag = static_cast<float>(v);
    // 10 ScanCal
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(10);
    if (pmi ? !(v == 0.0) : !(v > 0.5 && v < 1.5))
        return bad_real(10, v,
                        u_format("For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be greater than "
                               "%g and less than %g\n",
                               field_names[9], 0.5, 1.5));
    e.ScanCal = static_cast<float>(v);
    // 11 Hide: absent, or a line feed or comment in its place, counts as 0.
    if (tok.next(delims, t) && t[0] != '\n' && t[0] != '#') {
        if (!leading_int(t, n))
            return missing(11);
        if (n != 0 && n != 1)
            return bad_int(11, n, u_format("The %s value must be blank, 0 or 1\n", field_names[10]));
        e.Hide = n;
    }
    return true;
}

// Next line of at most 511 characters, through its line feed. A carriage return before the line
// feed is dropped; the line ends at a NUL byte. False at the end of the file.
bool read_line(std::FILE* f, std::string& line)
{
    line.clear();
    int c = 0;
    bool any = false;
    while (line.size() < max_read && (c = std::fgetc(f)) != EOF) {
        any = true;
        line += static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (line.size() >= 2 && line[line.size() - 1] == '\n' && line[line.size() - 2] == '\r')
        line.erase(line.size() - 2, 1);
    std::size_t nul = line.find('\0');
    if (nul != std::string::npos)
        line.resize(nul);
    return any;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};


const char* type_text(int32_t type, int32_t index)
{
    static const char* const btw[5] = {"BTW", "BTW1", "BTW2", "BTW3", "BTW4"};
    if (type == RR_SWLI)
        return "SWLI";
    if (rr_is_pmi(type))
        return "PMI";
    if (type == RR_BTW)
        return btw[index >= 1 && index <= 4 ? index : 0];
    return "XXX";
}

}  // namespace

int32_t rr_read_ramp_config(const char* path, rr_ramp_cfg_t** entries, int32_t* count)
{
    if (entries == nullptr || *entries != nullptr || count == nullptr || path == nullptr)
        return ERR_INVALID_PARAM;
    *count = 0;

    std::filesystem::path native;
    std::unique_ptr<std::FILE, file_closer> f(os::native_path(path, native) ? os::open_file(native, "rb") : nullptr);
    if (f == nullptr) {
        u_log_sink("Cannot open ramp config file \"%s\"\n", path);
        return ERR_CANT_OPEN_FILE;
    }

    rr_ramp_cfg_t* list = nullptr;
    int32_t capacity = 0;
    int32_t accepted = 0;
    int32_t seen = 0;
    int line_no = 0;
    int bad_lines = 0;
    int32_t rc = NO_ERROR;

    auto report_header = [&]() {
        if (bad_lines++ == 0)
            u_log_sink("Error reading ramp config file \"%s\"\n", path);
    };
    auto report = [&](const std::string& first, const std::string& line, const std::string& second) {
        report_header();
        std::string shown = line;
        if (shown.empty() || shown.back() != '\n')
            shown += '\n';
        u_log_sink("%s in line %d:\n  %s", first.c_str(), line_no, shown.c_str());
        if (!second.empty())
            u_log_sink("%s", second.c_str());
    };

    std::string line;
    while (read_line(f.get(), line)) {
        if (line.size() > static_cast<std::size_t>(max_line_length)) {
            report_header();
            u_log_sink("Line longer than %d characters in line %d\n", max_line_length, line_no + 1);
            rc = ERR_CORRUPT_RAMP_CFG_FILE;
            break;
        }
        ++line_no;
        tokenizer tok(line);
        std::string_view first;
        if (!tok.next(" \t\n", first) || first[0] == '#')
            continue;
        ++seen;
        rr_ramp_cfg_t entry;
        line_error err;
        if (!parse_spec(line, entry, err)) {
            report(err.first, line, err.second);
            if (bad_lines >= max_bad_lines) {
                u_log_sink("Too many errors reading ramp config file \"%s\"\n", path);
                rc = ERR_CORRUPT_RAMP_CFG_FILE;
                break;
            }
            continue;
        }
        if (accepted == capacity) {
            auto* grown = static_cast<rr_ramp_cfg_t*>(
                u_realloc(list, static_cast<std::size_t>(capacity + grow_by) * sizeof(rr_ramp_cfg_t)));
            if (grown == nullptr) {
                report("Out of memory", line, std::string());
                rc = ERR_NO_MEM;
                break;
            }
            std::memset(static_cast<void*>(grown + capacity), 0, grow_by * sizeof(rr_ramp_cfg_t));
            list = grown;
            capacity += grow_by;
        }
        list[accepted++] = entry;
    }

    if (accepted == 0) {
        u_log_sink("No acceptable ramp specs in ramp config file \"%s\"\n", path);
        u_log_sink("Format description and sample:\n%s\n%s\n", RR_CFG_FORMAT_TEXT, RR_CFG_SAMPLE_SPEC);
        if (rc == NO_ERROR)
            rc = ERR_CORRUPT_RAMP_CFG_FILE;
    } else if (accepted < seen) {
        u_log_sink("Accepted %d of %d ramp specs in ramp config file \"%s\"\n", accepted, seen, path);
    }
    if (rc != NO_ERROR) {
        u_free(list);
        return rc;
    }
    *entries = list;
    *count = accepted;
    return NO_ERROR;
}

std::string rr_format_ramp_config(const rr_ramp_cfg_t* entries, int32_t count)
{
    std::string text = "# Tessaron Ramp Configuration File\n";
    text += RR_CFG_FORMAT_TEXT;
    text += '\n';
    const rr_ramp_cfg_t* group = nullptr;
    for (int32_t i = 0; entries != nullptr && i < count; ++i) {
        const rr_ramp_cfg_t& e = entries[i];
        const int name_len = static_cast<int>(strnlen(e.FileName, RR_CFG_MAX_FILENAME));
        if (group == nullptr || e.RampType != group->RampType ||
            std::strncmp(e.FileName, group->FileName, RR_CFG_MAX_FILENAME) != 0 ||
            !(std::fabs(static_cast<double>(e.CameraRate) - group->CameraRate) <= 1.0)) {
            text += '\n';
            group = &e;
        }
        text += u_format(" %-4s %-22.*s %6.2f %6.2f %2d %2d %5.3f %8.4f %6.2f %7.5f %1d\n",
                       type_text(e.RampType, e.WavelenIndex), name_len, e.FileName, static_cast<double>(e.ScanLen),
                       static_cast<double>(e.CameraRate), e.CameraInterlace, e.GrabSkip,
                       static_cast<double>(e.FringesPerFrame), static_cast<double>(e.RampSlope),
                       static_cast<double>(e.ObjMag), static_cast<double>(e.ScanCal), e.Hide);
    }
    return text;
}

int32_t rr_write_ramp_config(const char* path, const rr_ramp_cfg_t* entries, int32_t count)
{
    if (path == nullptr || entries == nullptr || count < 0)
        return ERR_INVALID_PARAM;
    std::string text = rr_format_ramp_config(entries, count);
#ifdef _WIN32
    // A text file of the system: carriage return and line feed.
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    text.swap(crlf);
#endif

    std::filesystem::path native;
    os::atomic_file out;
    if (!os::native_path(path, native) || !out.open(native))
        return ERR_CANT_OPEN_FILE;
    if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) {
        out.abandon();
        return ERR_CANT_WRITE_FILE;
    }
    return out.commit() ? NO_ERROR : ERR_CANT_WRITE_FILE;
}

int32_t rr_save_ramp_config(const sysInfo* si, const char* path)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    const rr_instr_ramps_t* state = rr_instr_ramps(si);
    if (state == nullptr || !state->haveSet)
        return ERR_NO_RAMP_INFO;
    const std::size_t n = state->ramps.size();
    if (n < 1 || n > static_cast<std::size_t>(RR_MAX_RAMPS))
        return ERR_INVALID_RAMP_INDEX;
    if (path == nullptr)
        return ERR_INVALID_PARAM;

    auto list = std::make_unique<rr_ramp_cfg_t[]>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const rr_ramp_t& r = state->ramps[i];
        rr_ramp_cfg_t& e = list[i];
        const bool derived = !r.name.empty() && r.name[0] == '+';
        const std::string& name = derived ? std::string("+") : r.name;
        if (name.size() > static_cast<std::size_t>(RR_CFG_MAX_FILENAME)) {
            u_log_sink("rr_save_ramp_config: ramp name \"%s\" is longer than %d characters\n", r.name.c_str(),
                       RR_CFG_MAX_FILENAME);
            return ERR_INVALID_PARAM;
        }
        e.RampType = r.hdr.rampType;
        e.WavelenIndex = r.hdr.wavelenSelect;
        std::memcpy(e.FileName, derived ? "+" : name.c_str(), derived ? 2 : name.size() + 1);
        e.ScanLen = r.hdr.scanLen;
        e.CameraRate = r.hdr.cameraRate;
        e.CameraInterlace = r.hdr.cameraInterlace;
        e.GrabSkip = r.hdr.grabSkip;
        e.FringesPerFrame = r.hdr.fringesPerFrame;
        e.RampSlope = r.hdr.rampSlope;
        e.ObjMag = r.hdr.objMag;
        e.ScanCal = r.hdr.scanCal;
        e.Hide = r.hide;
    }
    return rr_write_ramp_config(path, list.get(), static_cast<int32_t>(n));
}

int32_t rr_check_ramp_config(const rr_ramp_cfg_t* entry, const rr_ramp_t* ramp)
{
    if (entry == nullptr || ramp == nullptr)
        return ERR_INVALID_PARAM;
    const rr_ramp_hdr_t& h = ramp->hdr;
    const bool type_ok = rr_is_pmi(h.rampType) ? (entry->RampType == 1 || entry->RampType == h.rampType)
                                               : entry->RampType == h.rampType;
    const char* mismatch = nullptr;
    if (!type_ok)
        mismatch = "rampType";
    else if (!(std::fabs(static_cast<double>(entry->CameraRate) - h.cameraRate) <= 0.1))
        mismatch = "cameraRate";
    else if (entry->CameraInterlace != h.cameraInterlace)
        mismatch = "cameraInterlace";
    else if (entry->GrabSkip != h.grabSkip)
        mismatch = "grabSkip";
    else if (!(entry->FringesPerFrame == h.fringesPerFrame))
        mismatch = "fringesPerFrame";
    else if (rr_is_pmi(h.rampType))
        return NO_ERROR;
    else if (!(entry->ScanLen == h.scanLen))
        mismatch = "scanLen";
    else if (!(entry->RampSlope == h.rampSlope))
        mismatch = "rampSlope";
    if (mismatch == nullptr)
        return NO_ERROR;
    u_log_sink("Error: mismatched %s\n", mismatch);
    return ERR_INVALID_PARAM;
}

int32_t rr_cfg_data_file_name(const rr_ramp_cfg_t* entry, int32_t pifocSerial, int32_t pztSerial, std::string& name)
{
    name.clear();
    if (entry == nullptr)
        return ERR_INVALID_PARAM;
    std::string resolved(entry->FileName, strnlen(entry->FileName, RR_CFG_MAX_FILENAME));
    if (!resolved.empty() && resolved.back() == '*') {
        resolved.pop_back();
        resolved += std::to_string(rr_is_pmi(entry->RampType) ? pztSerial : pifocSerial);
    }
    if (resolved.size() > static_cast<std::size_t>(RR_CFG_MAX_FILENAME)) {
        u_log_sink("Ramp config error reading ramp data file \"%s\": %s\n", resolved.c_str(),
                   u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    name = std::move(resolved);
    return NO_ERROR;
}
