#include "vell/ramps/ramp_config.h"

#include <charconv>
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
#include "vell/platform/number_lex.h"
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

// The leading number of a token (what follows it is ignored). False when the token does not
// start with a number.
bool leading_real(std::string_view t, double& value)
{
    std::size_t length = 0;
    return u_lex_real(t, value, length);
}

// The leading integer of a token, saturated to the 32-bit range.
bool leading_int(std::string_view t, int32_t& value)
{
    std::size_t length = 0;
    return u_lex_int(t, value, length);
}

// The accepted values of the real fields (numbered as in the messages), by ramp type: the
// reader checks what it reads with these, and the writer picks texts that pass them.
bool real_ok(int field, int32_t type, double v)
{
    const bool pmi = type == RR_PMI;
    const bool btw = type == RR_BTW;
    switch (field) {
    case 3:  // ScanLen
        return pmi ? v == 0.0 : v > 0.0 && v < 1000.0;
    case 4:  // CameraRate
        return v > 0.0 && v < 50000.0;
    case 7:  // FringesPerFrame
        return v > 0.0 && v < 10.0;
    case 8:  // RampSlope
        return (pmi ? v >= 0.0 : v > 0.0) && v < 4000.0;
    case 9:  // ObjMag
        return (btw ? v > 0.0 : v >= 0.0) && v < 1000.0;
    case 10:  // ScanCal
        return pmi ? v == 0.0 : v > 0.5 && v < 1.5;
    default:
        return false;
    }
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
    if (!real_ok(3, e.RampType, v))
        return bad_real(3, v,
                        u_format("For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be greater than "
                               "%g and less than %g (um)\n",
                               field_names[2], 0.0, 1000.0));
    e.ScanLen = static_cast<float>(v);
    // 4 CameraRate
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(4);
    if (!real_ok(4, e.RampType, v))
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
    if (!real_ok(7, e.RampType, v))
        return bad_real(7, v, u_format("The %s value must be greater than %g and less than %g\n", field_names[6], 0.0, 10.0));
    e.FringesPerFrame = static_cast<float>(v);
    // 8 RampSlope
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(8);
    if (!real_ok(8, e.RampType, v))
        return bad_real(8, v,
                        u_format("For PMI ramps, the %s value may be 0\nFor SWLI or BTW ramps, it must be greater than %g "
                               "and less than %g (nm/frm)\n",
                               field_names[7], 0.0, 4000.0));
    e.RampSlope = static_cast<float>(v);
    // 9 ObjMag
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(9);
    if (!real_ok(9, e.RampType, v))
        return bad_real(9, v,
                        u_format("For PMI or SWLI ramps, the %s value may be 0\nFor BTW ramps, it must be greater than %g "
                               "and less than %g\n",
                               field_names[8], 0.0, 1000.0));
    e.ObjMag = static_cast<float>(v);
    // 10 ScanCal
    if (!tok.next(delims, t) || !leading_real(t, v))
        return missing(10);
    if (!real_ok(10, e.RampType, v))
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
// feed is dropped; the line ends at a NUL byte. False at the end of the file and after a read
// error (which the caller tells by the stream's error flag).
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
    return any && !std::ferror(f);  // a read error is not the end of the file
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


// The text of a real field: the fixed form "%<width>.<precision>f" where it reads back as the
// entry's value, otherwise the fewest digits that do (right-aligned in the same width). A value
// that no text gives back (outside the field's range) keeps the fixed form.
std::string real_text(float value, int field, int32_t type, int width, int precision)
{
    const int32_t read_type = rr_is_pmi(type) ? RR_PMI : type;  // "PMI" reads back as type 1
    auto reads_back = [&](const std::string& text) {
        double v = 0.0;
        std::size_t length = 0;
        return u_lex_real(text, v, length) && length == text.size() && real_ok(field, read_type, v) &&
               static_cast<float>(v) == value;
    };
    auto chars = [](auto v, auto... format) {
        char buf[128];
        auto res = std::to_chars(buf, buf + sizeof buf, v, format...);
        return res.ec == std::errc() ? std::string(buf, res.ptr) : std::string();
    };
    auto padded = [&](std::string text) {
        if (text.size() < static_cast<std::size_t>(width))
            text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
        return text;
    };
    const double d = value;
    const std::string fixed = chars(d, std::chars_format::fixed, precision);
    if (reads_back(fixed))
        return padded(fixed);
    // The float's own shortest text, then the double's (which reads back exactly); a float that
    // lies on an open end of the range (999.99999 um is the float 1000) is reached from inside.
    std::string candidates[4] = {chars(value), chars(d), chars(std::nextafter(d, 0.0)),
                                 chars(std::nextafter(d, d < 0 ? -HUGE_VAL : HUGE_VAL))};
    for (const std::string& text : candidates)
        if (!text.empty() && reads_back(text))
            return padded(text);
    return padded(fixed.empty() ? std::string("nan") : fixed);
}

// One entry's line of the file.
std::string entry_line(const rr_ramp_cfg_t& e)
{
    const int name_len = static_cast<int>(strnlen(e.FileName, RR_CFG_MAX_FILENAME));
    const int32_t t = e.RampType;
    return u_format(" %-4s %-22.*s %s %s %2d %2d %s %s %s %s %1d\n", type_text(t, e.WavelenIndex), name_len,
                    e.FileName, real_text(e.ScanLen, 3, t, 6, 2).c_str(), real_text(e.CameraRate, 4, t, 6, 2).c_str(),
                    e.CameraInterlace, e.GrabSkip, real_text(e.FringesPerFrame, 7, t, 5, 3).c_str(),
                    real_text(e.RampSlope, 8, t, 8, 4).c_str(), real_text(e.ObjMag, 9, t, 6, 2).c_str(),
                    real_text(e.ScanCal, 10, t, 7, 5).c_str(), e.Hide);
}

// The first field (by its name) of an entry that its written line does not give back, or null
// when the line reads back as the entry.
const char* field_not_read_back(const rr_ramp_cfg_t& e)
{
    rr_ramp_cfg_t read;
    line_error err;
    if (!parse_spec(entry_line(e), read, err)) {
        // The field number is the last number in the message: "... (field %d)".
        const std::size_t at = err.first.rfind("field ");
        const int field = at == std::string::npos ? 0 : std::atoi(err.first.c_str() + at + 6);
        return field >= 1 && field <= 11 ? field_names[field - 1] : field_names[0];
    }
    if (read.RampType != e.RampType || read.WavelenIndex != e.WavelenIndex)
        return field_names[0];
    if (std::strncmp(read.FileName, e.FileName, sizeof e.FileName) != 0)
        return field_names[1];
    const float mine[] = {e.ScanLen, e.CameraRate, e.FringesPerFrame, e.RampSlope, e.ObjMag, e.ScanCal};
    const float theirs[] = {read.ScanLen, read.CameraRate, read.FringesPerFrame, read.RampSlope, read.ObjMag, read.ScanCal};
    const int numbers[] = {3, 4, 7, 8, 9, 10};
    for (int i = 0; i < 6; ++i)
        if (!(mine[i] == theirs[i]))
            return field_names[numbers[i] - 1];
    if (read.CameraInterlace != e.CameraInterlace)
        return field_names[4];
    if (read.GrabSkip != e.GrabSkip)
        return field_names[5];
    if (read.Hide != e.Hide)
        return field_names[10];
    return nullptr;
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

    if (rc == NO_ERROR && std::ferror(f.get())) {
        // What was read so far is not the file: nothing is returned.
        u_log_sink("Cannot read ramp config file \"%s\"\n", path);
        rc = ERR_CANT_READ_FILE;
    } else if (accepted == 0) {
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
        if (group == nullptr || e.RampType != group->RampType ||
            std::strncmp(e.FileName, group->FileName, RR_CFG_MAX_FILENAME) != 0 ||
            !(std::fabs(static_cast<double>(e.CameraRate) - group->CameraRate) <= 1.0)) {
            text += '\n';
            group = &e;
        }
        text += entry_line(e);
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
        if (!derived && name.find_first_of(" \t\n\r") != std::string::npos) {
            // The reader splits the line there, and the saved file would stand in the way of the
            // ramp directory.
            u_log_sink("rr_save_ramp_config: ramp name \"%s\" contains a blank, tab or line end\n", r.name.c_str());
            return ERR_INVALID_PARAM;
        }
        // A PMI entry carries type 1 and no scan length or scan calibration: the reader wants
        // them so, and its check of the entry against the ramp does not look at them.
        const bool pmi = rr_is_pmi(r.hdr.rampType);
        e.RampType = pmi ? RR_PMI : r.hdr.rampType;
        e.WavelenIndex = r.hdr.wavelenSelect;
        std::memcpy(e.FileName, derived ? "+" : name.c_str(), derived ? 2 : name.size() + 1);
        e.ScanLen = pmi ? 0.0f : r.hdr.scanLen;
        e.CameraRate = r.hdr.cameraRate;
        e.CameraInterlace = r.hdr.cameraInterlace;
        e.GrabSkip = r.hdr.grabSkip;
        e.FringesPerFrame = r.hdr.fringesPerFrame;
        e.RampSlope = r.hdr.rampSlope;
        e.ObjMag = r.hdr.objMag;
        e.ScanCal = pmi ? 0.0f : r.hdr.scanCal;
        e.Hide = r.hide;
        // Every saved entry reads back as itself, or nothing is saved: a line the reader refuses
        // would cost its ramp at the next build.
        if (const char* field = field_not_read_back(e)) {
            u_log_sink("rr_save_ramp_config: ramp \"%s\" cannot be saved: its %s value does not read back\n",
                       r.name.c_str(), field);
            return ERR_INVALID_PARAM;
        }
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
