// The calibration file writer: the lines of a slot in their fixed order, the checks that keep
// every written file readable, and the temporary file that replaces the target only after an
// error-free write.
//
// Every value goes through a check of the range the reader accepts for it, every name through
// a check that the reader gives it back as it is. A value that cannot be written so that the
// reader takes it back is reported and the target is left alone: the writer never leaves a file
// that the reader refuses.
#include "vell/calfile/writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "vell/calfile/grammar.h"
#include "vell/calfile/scanner.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/atomic_file.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

constexpr int KEY_WIDTH = 22;
using cal_limits::FLT_MAX_D;

// A printf conversion of a real number: 'g' or 'f' with a precision and a minimum width.
// Formatting goes through <charconv>, so a host's locale never changes the decimal point.
struct real_fmt {
    char conv;
    int precision;
    int width = 0;
};
constexpr real_fmt FMT_G{'g', 6};       // %g, %.6g

std::string format_real(double v, real_fmt f)
{
    char buf[512];
    auto res = std::to_chars(buf, buf + sizeof buf, v,
                             f.conv == 'g' ? std::chars_format::general : std::chars_format::fixed,
                             f.precision);
    std::string text = res.ec == std::errc() ? std::string(buf, res.ptr) : std::string("nan");
    if (text.size() < static_cast<std::size_t>(f.width))
        text.insert(0, static_cast<std::size_t>(f.width) - text.size(), ' ');
    return text;
}

// The shortest text that reads back as exactly v.
std::string shortest_real(double v)
{
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return res.ec == std::errc() ? std::string(buf, res.ptr) : format_real(v, FMT_G);
}

// The value the reader takes from a written number (NaN when it is not a number).
double parse_real(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    double v = std::nan("");
    auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range)
        return std::nan("");
    return res.ec == std::errc() ? v : std::nan("");
}

bool in_range(double v, double lo, double hi, cal_ends ends)
{
    bool low_ok = ends == cal_ends::open_low || ends == cal_ends::open ? v > lo : v >= lo;
    bool high_ok = ends == cal_ends::open_high || ends == cal_ends::open ? v < hi : v <= hi;
    return low_ok && high_ok;  // false for NaN
}

// Writes the hours, minutes and seconds (and, with days, the days) of a period.
std::string period_text(long long seconds, bool days)
{
    char buf[80];
    long long d = seconds / 86400;
    long long rest = days ? seconds % 86400 : seconds;
    long long h = rest / 3600;
    long long m = rest % 3600 / 60;
    long long s = rest % 60;
    if (days)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld:%02lld", d, h, m, s);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, s);
    return buf;
}

// The two LLC light-slot ranges as far as the LLC Range line and the reader's completion by
// board give them: range low and high of slot 0, then slot 1's.
struct llc_ranges {
    uint16_t v[4] = {0, 0, 0, 0};
    bool operator==(const llc_ranges& o) const noexcept
    {
        return v[0] == o.v[0] && v[1] == o.v[1] && v[2] == o.v[2] && v[3] == o.v[3];
    }
};

// What the reader gives the ranges when the file holds an LLC Range line of `given` values
// (0: no line) taken from `line`, after it has completed the ranges by instrument board.
llc_ranges reader_ranges(const SysInfo& si, int given, const llc_ranges& line)
{
    llc_ranges r;
    for (int i = 0; i < given && i < 4; ++i)
        r.v[i] = line.v[i];
    calfile_complete_llc_range(si.instrBdType, si.sysType, si.cameraType, given, r.v);
    return r;
}

// How many values the LLC Range line is written with (0: no line).
int llc_range_values(const SysInfo& si)
{
    llc_ranges slot;
    calfile_llc_ranges(si, slot.v);
    auto low_high_is = [&](uint16_t lo, uint16_t hi) { return slot.v[0] == lo && slot.v[1] == hi; };

    // The instrument kinds' own rule; the last one that applies decides.
    int due = 0;
    const int32_t bd = si.instrBdType;
    const int32_t sys = si.sysType;
    if (bd == BD_HXI || bd == BD_MODEL31)
        due = low_high_is(10, 159) ? 0 : 2;
    if (bd == BD_MODEL13 || sys == SYS_MODEL07)
        due = low_high_is(0, 4095) ? 0 : 2;
    if (bd == BD_CAN && calfile_is_one_of(sys, {SYS_MODEL15, SYS_MODEL22, SYS_MODEL23, SYS_MODEL27, SYS_MODEL29,
                                        SYS_MODEL10, SYS_MODEL12}))
        due = low_high_is(0, 65535) ? 0 : 2;
    if (bd == BD_BOARD01 || (bd == BD_CAN && sys == SYS_MODEL25)) {
        due = low_high_is(0, 4095) ? 0 : 2;
        if (slot.v[2] != 0 || slot.v[3] != 100)
            due = 4;
    }

    // That rule is kept whenever its line reads back as the slot's ranges; otherwise (a range
    // the rule leaves out, four values beyond what the line takes) the first line that does.
    const cal_line& row = *calfile_find_line(TOK_LLC, TOK_RANGE);
    auto gives_back = [&](int given) {
        if (given == 4 && (slot.v[2] > row.args[2].hi || slot.v[3] > row.args[3].hi))
            return false;
        return reader_ranges(si, given, slot) == slot;
    };
    if (gives_back(due))
        return due;
    for (int given : {0, 2, 4})
        if (gives_back(given))
            return given;
    return due;  // ranges that the board forces; the rule's line is as good as any
}

// Builds the text of a calibration file from a slot and notes every failed check.
class cal_writer {
public:
    cal_writer(const SysInfo& si, bool exact) : si_(si), exact_(exact), given_(calfile_given_by(si)) {}

    void run();
    const std::string& text() const { return out_; }
    int32_t result() const { return result_; }

private:
    const SysInfo& si_;
    const bool exact_;  // every real in the shortest text that reads back as the stored value
    const cal_given given_;  // what the lines written give the reader
    std::string out_;
    int32_t result_ = NO_ERROR;
    std::string key_;  // keyword of the line being written, for messages

    void fail(int32_t code, const char* message)
    {
        calfile_report_write("%s", message);
        result_ = code;
    }

    // "%-*s  " with the width 22.
    void key(std::string_view keyword)
    {
        key_.assign(keyword);
        out_ += keyword;
        if (keyword.size() < KEY_WIDTH)
            out_.append(KEY_WIDTH - keyword.size(), ' ');
        out_ += "  ";
    }
    // A bare flag keyword on its own line.
    void bare(std::string_view keyword)
    {
        out_ += keyword;
        out_ += '\n';
    }
    void end() { out_ += '\n'; }
    void put(std::string_view text) { out_ += text; }
    // "  " and a value.
    void arg(std::string_view text)
    {
        out_ += "  ";
        out_ += text;
    }

    std::string num(long long v, long long lo, long long hi, int zero_width = 0);
    std::string real(double v, double lo, double hi, real_fmt f, cal_ends ends = cal_ends::closed);
    std::string real(float v, double lo, double hi, real_fmt f, cal_ends ends = cal_ends::closed);
    std::string scaled(double stored, double v, double to_record, double lo, double hi, real_fmt f);
    // A value in the limits and format of a value of the line table.
    std::string num(long long v, const cal_arg& a, int zero_width = 0)
    {
        return num(v, static_cast<long long>(a.lo), static_cast<long long>(a.hi), zero_width);
    }
    template <class T>
    std::string real(T v, const cal_arg& a)
    {
        return real(v, a.lo, a.hi, real_fmt{a.conv, a.precision, a.width}, a.ends);
    }
    std::string scaled(double stored, double v, const cal_arg& a)
    {
        return scaled(stored, v, a.scale, a.lo, a.hi, real_fmt{a.conv, a.precision, a.width});
    }
    std::string name(std::string_view text, bool quoted = false);
    std::string word_name(std::string_view text);
    void name_failure(std::string_view text);
    std::string value(const cal_arg& a);
    void require(cal_need need);

    bool mag_written_ = false;   // a SysMag line was written
    bool custom_first_ = false;  // a Camera Type Custom line came before the camera's own

    void plain(const cal_line& row);
    void line(const cal_line& row);
    void irregular_line(const cal_line& row);
    void system_line(const cal_line& row);
    void camera_line(const cal_line& row);
    void light_line(const cal_line& row);
    void llc_range_line(const cal_line& row);
    void pifoc_line(const cal_line& row);
    void magnification_line(const cal_line& row);
    void ftp_line(const cal_line& row);
    void sdc_cal_lines(const cal_line& row);
    void pid_lines(const cal_line& row);
    void hxi_std_mags_line(const cal_line& row);
    void dyn_wave_gen_line(const cal_line& row);
};

std::string cal_writer::num(long long v, long long lo, long long hi, int zero_width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", zero_width, v);
    if (v < lo || v > hi) {
        calfile_report_write("%s: %s out of range [%lld,%lld]", key_.c_str(), buf, lo, hi);
        result_ = ERR_SB_CALFILE_VALUE_RANGE;
    }
    return buf;
}

std::string cal_writer::real(double v, double lo, double hi, real_fmt f, cal_ends ends)
{
    if (exact_ && in_range(v, lo, hi, ends))
        return shortest_real(v);
    std::string text = format_real(v, f);
    const double read = parse_real(text);
    // A value that the format would round to 0 is written with all its digits, so that it is
    // not lost.
    if (read == 0.0 && v != 0.0 && in_range(v, lo, hi, ends))
        return shortest_real(v);
    if (in_range(read, lo, hi, ends))
        return text;
    // The format rounded a value at the end of its range out of it: all its digits keep it in.
    if (in_range(v, lo, hi, ends))
        return shortest_real(v);
    bool open_low = ends == cal_ends::open_low || ends == cal_ends::open;
    bool open_high = ends == cal_ends::open_high || ends == cal_ends::open;
    calfile_report_write("%s: %s out of range %c%s,%s%c", key_.c_str(), text.c_str(), open_low ? '(' : '[',
                         format_real(lo, FMT_G).c_str(), format_real(hi, FMT_G).c_str(), open_high ? ')' : ']');
    result_ = ERR_SB_CALFILE_VALUE_RANGE;
    return text;
}

// A value that the record holds in single precision: the reader rounds what it reads to a float,
// so an end of the range that rounds to the value stands for it (2147483647 for the float
// 2147483648).
std::string cal_writer::real(float v, double lo, double hi, real_fmt f, cal_ends ends)
{
    const double d = v;
    if (in_range(d, lo, hi, ends) && (exact_ || (v != 0.0f && parse_real(format_real(d, f)) == 0.0))) {
        // The fewest digits that give the float back, as the reader rounds what it reads.
        char buf[64];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        std::string text(buf, res.ptr);
        const double read = res.ec == std::errc() ? parse_real(text) : std::nan("");
        if (static_cast<float>(read) == v && in_range(read, lo, hi, ends))
            return text;
        return shortest_real(d);
    }
    if (!in_range(d, lo, hi, ends) && !std::isnan(d)) {
        double end = d < lo ? lo : hi;
        if (in_range(end, lo, hi, ends) && static_cast<float>(end) == v)
            return shortest_real(end);
    }
    return real(d, lo, hi, f, ends);
}

// A value `stored` that the record holds in other units than the file: `v` in file units, which
// the reader multiplies by `to_record`. A value that the format would round to 0 (and, when exact, every
// value) is written with the fewest digits that give the stored value back.
std::string cal_writer::scaled(double stored, double v, double to_record, double lo, double hi, real_fmt f)
{
    const bool tiny = v != 0.0 && parse_real(format_real(v, f)) == 0.0;
    if ((exact_ || tiny) && in_range(v, lo, hi, cal_ends::closed)) {
        // The number the reader scaled may lie a few units of the last place beside v.
        for (int digits = 1; digits <= 17; ++digits) {
            double below = v, above = v;
            for (int step = 0; step <= 4; ++step) {
                for (double candidate : {below, above}) {
                    std::string text = format_real(candidate, real_fmt{'g', digits});
                    double read = parse_real(text);
                    if (read * to_record == stored && in_range(read, lo, hi, cal_ends::closed))
                        return text;
                }
                below = std::nextafter(below, -HUGE_VAL);
                above = std::nextafter(above, HUGE_VAL);
            }
        }
        return shortest_real(v);
    }
    return real(v, lo, hi, f);
}

void cal_writer::name_failure(std::string_view text)
{
    std::string copy(text);
    calfile_report_write("%s: name \"%s\" cannot be written.", key_.c_str(), copy.c_str());
    result_ = ERR_INVALID_PARAM;
}

// A name where the reader takes any word: written as it is, or in double quotes when it is
// empty, holds blanks, or begins with a character that would end or split the word (or when
// `quoted` asks for them). A name that no word gives back (a double quote or a line end in it,
// longer than a word) is refused.
std::string cal_writer::name(std::string_view text, bool quoted)
{
    bool quote = quoted || text.empty() || std::strchr("[],:#", text.front()) != nullptr;
    bool ok = text.size() <= CALFILE_MAX_WORD;
    for (char c : text) {
        if (c == '"' || c == '\n' || c == '\r')
            ok = false;
        if (c == ' ' || c == '\t' || c == '\0')
            quote = true;
    }
    if (!ok)
        name_failure(text);
    if (!quote || (!ok && !quoted))
        return std::string(text);
    std::string text_quoted;
    text_quoted.reserve(text.size() + 2);
    text_quoted += '"';
    text_quoted += text;
    text_quoted += '"';
    return text_quoted;
}

// A name where the reader takes only a plain word that begins with a letter.
std::string cal_writer::word_name(std::string_view text)
{
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    bool ok = !text.empty() && letter(text.front()) && text.size() <= CALFILE_MAX_WORD;
    for (char c : text)
        if (c == ' ' || c == '\t' || c == '\0' || c == '"' || c == '\n' || c == '\r')
            ok = false;
    if (!ok)
        name_failure(text);
    return std::string(text);
}

// One value of a table line.
std::string cal_writer::value(const cal_arg& a)
{
    return std::visit(
        [&](auto ref) -> std::string {
            const auto& field = ref(const_cast<SysInfo&>(si_));  // only read
            using T = std::decay_t<decltype(field)>;
            if constexpr (std::is_same_v<T, sb_string>) {
                return a.plain_word ? word_name(field.view()) : name(field.view(), a.quoted);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return name(field, a.quoted);
            } else if constexpr (std::is_same_v<T, sb_ramp_name>) {
                return name(field.c_str(), a.quoted);
            } else if constexpr (std::is_floating_point_v<T>) {
                if (a.scale != 1)
                    return scaled(field, field / a.scale, a);
                return real(field, a);
            } else if (a.kind == cal_kind::choice) {
                return a.name_of(static_cast<int32_t>(field));
            } else if (a.kind == cal_kind::period) {
                if (field < a.lo || field > a.hi) {
                    calfile_report_write("%s: %d out of range [0,%d]", key_.c_str(), static_cast<int>(field),
                                         static_cast<int>(a.hi));
                    result_ = ERR_SB_CALFILE_VALUE_RANGE;
                }
                return period_text(field, a.precision == 4);
            } else if (a.kind == cal_kind::hex) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "%2.2X", static_cast<unsigned>(field));
                return hex;
            } else {
                // A value that the file gives in larger units is written rounded up.
                const auto scale = static_cast<long long>(a.scale);
                const long long v = field;
                return num(scale > 1 ? (v + scale - 1) / scale : v, static_cast<long long>(a.lo),
                           static_cast<long long>(a.hi));
            }
        },
        a.field);
}

// A table line, when it is due.
void cal_writer::plain(const cal_line& row)
{
    if (!calfile_line_due(row, si_))
        return;
    if (row.kind == cal_kind::flag) {
        bare(row.keyword);
        return;
    }
    key(row.keyword);
    put(value(row.args[0]));
    for (int i = 1; i < row.nargs; ++i) {
        const cal_arg& a = row.args[i];
        if (a.when != nullptr && !a.when(si_))
            continue;
        if (a.optional && !calfile_arg_due(a, si_))
            break;
        out_.append(a.gap, ' ');
        put(value(a));
    }
    if (&row != &calfile_lines[calfile_num_lines - 1])
        end();  // the last line has no line end
}

// Refuses a record whose file the reader's final check `need` would refuse.
void cal_writer::require(cal_need need)
{
    if (calfile_lacks(need, si_, given_))
        fail(ERR_SB_CAL_INFO_INCOMPLETE, calfile_check(need).write_message);
}

void cal_writer::run()
{
    put("# Vell System Calibration File\n");
    for (std::size_t i = 0; i < calfile_num_lines; ++i)
        line(calfile_lines[i]);
}

// One row of the line table: a table line, or a hand-written one, with the checks that belong
// to it.
void cal_writer::line(const cal_line& row)
{
    const int32_t bd = si_.instrBdType;
    if (row.key == TOK_MACADDRESS && bd == BD_CAN && !si_.canInfo)
        fail(ERR_INVALID_PARAM, "canInfo = NULL");
    if (row.key == TOK_WMCOMM)
        require(cal_need::wm_comm);
    if (row.kind != cal_kind::irregular)
        plain(row);
    else if (calfile_sub_written(row, si_))
        irregular_line(row);
    // A board that has a keyword and needs a communication line.
    const bool named_board = bd != BD_BOARD02 && bd != BD_BOARD04 && bd >= 0 && bd < SB_NUM_BOARD_TYPE_NAMES;
    if (row.key == TOK_INSTRCOMM && named_board)
        require(cal_need::comm);
    if (row.key == TOK_PIFOCTYPE)
        require(cal_need::pifoc);
}

void cal_writer::irregular_line(const cal_line& row)
{
    const SysInfo& si = si_;
    switch (row.key) {
    case TOK_UNKNOWN:
        system_line(row);
        return;
    case TOK_VERSION:
        if (si.instrBdType == BD_BOARD02 || si.instrBdType == BD_BOARD04)
            fail(ERR_SB_CAL_INFO_INCOMPLETE, "Instrument board type undefined.");
        key(row.keyword);
        put(sb_fg_type_name(si.fgType));
        arg(num(si.fgBoardNum, row.args[0]));
        arg(sb_board_type_name(si.instrBdType));
        end();
        return;
    case TOK_CAMERA:
        camera_line(row);
        return;
    case TOK_LIGHT:
        light_line(row);
        return;
    case TOK_LLC:
        llc_range_line(row);
        return;
    case TOK_PIFOC:
        pifoc_line(row);
        return;
    case TOK_SYSMAG:
    case TOK_NOMMAG:
        magnification_line(row);
        return;
    case TOK_SDCCAL:
        sdc_cal_lines(row);
        return;
    case TOK_DYNWAVEGEN:
        dyn_wave_gen_line(row);
        return;
    case TOK_HXIENCZOOMSTDMAGS:
        hxi_std_mags_line(row);
        return;
    default:
        if (row.key >= TOK_PIDVALS_A && row.key <= TOK_PIDVALS_Z)
            pid_lines(row);
        else
            ftp_line(row);
        return;
    }
}

void cal_writer::system_line(const cal_line& row)
{
    const SysInfo& si = si_;
    const int32_t sys = si.sysType;
    if (!cal_sys_type_writable(sys))
        fail(ERR_SB_CAL_INFO_INCOMPLETE, "System type undefined.");
    key(sb_sys_type_name(sys));
    put(num(si.dateCode / 100, row.args[0], 2));
    arg(num(si.dateCode % 100, row.args[1], 2));
    arg(num(si.serialNum, row.args[2]));
    arg(si.rFlag ? "R" : "");
    end();
}

void cal_writer::dyn_wave_gen_line(const cal_line& row)
{
    const DynWaveGenInfo& d = *si_.dynWaveGen;
    const cal_arg& second = row.args[1];
    key(row.keyword);
    put(std::to_string(d.number));
    arg(num(d.value, row.args[0]));
    arg(std::to_string(d.value2));
    if (d.value2 != 0 && (d.value2 < second.lo || d.value2 > second.hi)) {
        calfile_report_write("DynWaveGen: %d out of range [%d,%d] and 0", d.value2, static_cast<int>(second.lo),
                             static_cast<int>(second.hi));
        result_ = ERR_SB_CALFILE_VALUE_RANGE;
    }
    end();
}

void cal_writer::camera_line(const cal_line& row)
{
    const SysInfo& si = si_;
    const int32_t bd = si.instrBdType;
    const int32_t cam = si.cameraType;
    const bool custom = cam == CAM_CUSTOM;
    const bool cfg_board_a = bd == BD_BOARD01 || bd == BD_FTP;  // configuration bytes 3..10
    const bool cfg_board_b = bd == BD_HXI || bd == BD_MODEL31;  // configuration bytes 1, 2
    const uint8_t* cfg = si.cameraConfig;
    const int mags = std::min(std::max(si.numMags, 0), SB_MAX_MAGS);

    switch (row.sub) {
    case TOK_TYPE: {
        // An unknown camera on an instrument with neither board nor frame grabber reads back
        // from a file without the line.
        const bool has_keyword = cal_camera_type_writable(cam);
        const cal_custom_preset* preset = calfile_custom_preset(bd);
        const bool custom_board = preset != nullptr;
        if (cam == CAM_UNKNOWN && bd == BD_NONE && si.fgType == FG_NONE)
            return;
        if (!has_keyword || (custom && !custom_board))
            fail(ERR_SB_CAL_INFO_INCOMPLETE, "Camera Type undefined.");
        // The byte that only a Custom line's number sets (interlaceFlag, or fieldCtrl on HXI and
        // Model31) may stay from an earlier Custom line under another camera: a Custom line
        // before the camera's own line carries it, and the Camera Config line then restores
        // the bytes that the Custom preset changed.
        const uint8_t custom_only = custom_board ? cfg[preset->number_byte - 1] : 0;
        custom_first_ = !custom && has_keyword && custom_only != 0;
        if (custom_first_) {
            key(row.keyword);
            put(sb_camera_type_name(CAM_CUSTOM));
            arg(num(custom_only, row.args[0]));
            end();
        }
        key(row.keyword);
        put(sb_camera_type_name(cam));
        if (cfg_board_a && si.interlaceFlag() != 0) {
            arg(custom ? num(si.interlaceFlag(), row.args[0]) : std::to_string(si.interlaceFlag()));
            end();
        } else if (cfg_board_b && si.fieldCtrl() != 0) {
            arg(custom ? num(si.fieldCtrl(), row.args[0]) : std::to_string(si.fieldCtrl()));
            end();
        } else if (custom && (bd == BD_CAN || bd == BD_NOTNEEDED) && si.interlaceFlag() != 0) {
            arg(num(si.interlaceFlag(), row.args[0]));
            end();
        }
        end();
        return;
    }
    case TOK_FILE: {
        // Up to six names; the reader skips an unset second name written as NULL.
        const sb_string* files = si.cameraFile;
        int last = 5;
        while (last >= 0 && !files[last].is_set())
            --last;
        if (last < 0)
            return;
        key(row.keyword);
        if (!files[0].is_set()) {
            calfile_report_write("Camera File: name 1 is not set.");
            result_ = ERR_INVALID_PARAM;
        } else {
            put(name(files[0].view()));
        }
        if (files[1].is_set()) {
            if (files[1] == "NULL")
                name_failure(files[1].view());
            arg(word_name(files[1].view()));
        }
        if (last >= 2) {
            if (!files[1].is_set())
                put(" NULL");
            for (int k = 2; k <= last; ++k) {
                if (!files[k].is_set()) {
                    calfile_report_write("Camera File: name %d is not set.", k + 1);
                    result_ = ERR_INVALID_PARAM;
                    continue;
                }
                arg(word_name(files[k].view()));
            }
        }
        end();
        return;
    }
    case TOK_CONFIG:
        // The bytes that the board's configuration line carries.
        if (cfg_board_a) {
            bool any = false;
            for (int b : CAL_CONFIG_BYTES)
                any = any || cfg[b - 1] != 0;
            if (custom || any || custom_first_) {
                key(row.keyword);
                for (int i = 0; i < 8; ++i) {
                    if (i > 0)
                        put("  ");
                    put(num(cfg[CAL_CONFIG_BYTES[i] - 1], 0, CAL_CONFIG_HIGHS[i]));
                }
                end();
            }
        } else if (cfg_board_b && (custom || cfg[0] != 0 || cfg[1] != 0 || custom_first_)) {
            key(row.keyword);
            put(num(cfg[0], 0, CAL_CONFIG_HIGHS_HXI[0]));
            arg(num(cfg[1], 0, CAL_CONFIG_HIGHS_HXI[1]));
            end();
        }
        return;
    case TOK_BPIX:
    case TOK_BAD: {
        const int pixels = sysinfo_bad_pixel_count(si);
        if (row.sub == TOK_BPIX) {  // a file of bad pixels, when the list is empty
            if (pixels == 0 && (si.bpixFileFlag != 0 || si.bpixFileName.is_set())) {
                key(row.keyword);
                put(num(si.bpixFileFlag, row.args[0]));
                if (si.bpixFileName.is_set())
                    arg(word_name(si.bpixFileName.view()));
                end();
            }
            return;
        }
        for (int first = 0; first < pixels; first += 6) {
            key(row.keyword);
            for (int i = first; i < pixels && i < first + 6; ++i) {
                if (i > first)
                    put(" ");
                put("[");
                put(num(si.badPixels[i][0], row.args[0]));
                put(",");
                put(num(si.badPixels[i][1], row.args[1]));
                put("]");
            }
            end();
        }
        return;
    }
    case TOK_SPLITX:  // Camera SplitX or SplitY
        if (si.splitAxis == 1 || si.splitAxis == 2) {
            key(si.splitAxis == 1 ? "Camera SplitX" : "Camera SplitY");
            put(num(si.splitValue[0], row.args[0]));
            arg(num(si.splitValue[1], row.args[1]));
            end();
        }
        return;
    case TOK_TRANS:  // after the magnifications, which the reader needs first
        for (int i = 0; i < SB_MAX_MAGS && mags > 0; ++i) {
            bool due = (si.splitAxis != 0 && i < mags) || si.cameraTrans[i][0] != 0 || si.cameraTrans[i][1] != 0;
            if (!due)
                continue;
            key(row.keyword);
            put(num(i, row.args[0]));
            arg(num(si.cameraTrans[i][0], row.args[1]));
            arg(num(si.cameraTrans[i][1], row.args[2]));
            end();
        }
        return;
    default:
        return;
    }
}

void cal_writer::light_line(const cal_line& row)
{
    const SysInfo& si = si_;
    const int32_t type = si.lightType;
    if (!cal_light_type_writable(type))
        fail(ERR_SB_CAL_INFO_INCOMPLETE, "Light Type undefined.");
    const bool unset = si.wavelength[0][0] == 0.0;
    if (unset)
        fail(ERR_SB_CAL_INFO_INCOMPLETE, "Light wavelength undefined.");
    key(std::string("Light ") + sb_light_type_name(type));
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && si.wavelength[i][0] == 0.0)
            break;
        if (i > 0)
            put(" ");
        const double* wl = si.wavelength[i];
        std::string text = i == 0 && unset ? format_real(0.0, real_fmt{row.args[0].conv, row.args[0].precision})
                                           : scaled(wl[0], wl[0] * 1e6, row.args[0]);
        if (wl[1] != 0.0) {
            put("[");
            put(text);
            put(",");
            put(scaled(wl[1], wl[1] * 1e6, row.args[1]));
            put("]");
        } else {
            put(text);
        }
    }
    end();
}

void cal_writer::llc_range_line(const cal_line& row)
{
    const LightSlot& a = si_.light[0];
    const LightSlot& b = si_.light[1];
    int values = llc_range_values(si_);
    if (values == 0)
        return;
    key(row.keyword);
    put(std::to_string(a.rangeLow));
    arg(std::to_string(a.rangeHigh));
    if (values == 4) {
        arg(num(b.rangeLow, row.args[2]));
        arg(num(b.rangeHigh, row.args[3]));
    }
    end();
}

void cal_writer::pifoc_line(const cal_line& row)
{
    const SysInfo& si = si_;
    const PifocInfo* p = si.pifoc.get();
    // A PIFOC sub-record that only a PifocType line made holds no value and no coefficients.
    if (!calfile_pifoc_value_due(si))
        return;
    const bool listed = calfile_is_one_of(si.sysType, {SYS_MODEL04, SYS_MODEL06, SYS_MODEL10, SYS_MODEL16, SYS_MODEL12, SYS_FTP});
    key(row.keyword);
    put(num(p->value, row.args[0]));
    bool defaults = p->coef == CAL_PIFOC_COEF && p->beta == CAL_PIFOC_BETA;
    bool never_given = p->coef == 0.0 && p->beta == 0.0;  // the short form gives the defaults
    if ((listed || !defaults) && !never_given) {
        arg(real(p->coef, row.args[1]));
        std::string beta = real(p->beta, row.args[2]);
        double read = parse_real(beta);
        if (read != 0.0 && read < cal_limits::pifoc_beta_min) {
            calfile_report_write("Pifoc: %s out of range [%g,%g] and 0", beta.c_str(), cal_limits::pifoc_beta_min,
                                 row.args[2].hi);
            result_ = ERR_SB_CALFILE_VALUE_RANGE;
        }
        arg(beta);
    }
    end();
}

// SysMag, then NomMag. A list of zeros is left out, except that one list always carries the
// count.
void cal_writer::magnification_line(const cal_line& row)
{
    const SysInfo& si = si_;
    const int mags = std::min(std::max(si.numMags, 0), SB_MAX_MAGS);
    if (mags == 0)
        return;
    const bool always = calfile_is_one_of(si.sysType, {SYS_MODEL13, SYS_MODEL07, SYS_MODEL14, SYS_FTP});
    const bool last = row.key == TOK_NOMMAG;
    const double* values = last ? si.nomMag : si.sysMag;
    bool any = false;
    for (int i = 0; i < mags; ++i)
        any = any || values[i] != 0.0;
    if (!always && !any && (mag_written_ || !last))
        return;
    mag_written_ = true;
    key(row.keyword);
    for (int i = 0; i < mags; ++i) {
        if (i > 0)
            put("  ");
        put(real(values[i], row.args[0]));
    }
    end();
}

void cal_writer::ftp_line(const cal_line& row)
{
    const FtpInfo& f = *si_.ftpInfo;
    const int mags = std::min(std::max(si_.numMags, 0), SB_MAX_MAGS);

    switch (row.key) {
    case TOK_FTPDISPER:
    case TOK_FTPAVGK0: {
        const bool disper = row.key == TOK_FTPDISPER;
        for (int m = 0; m < SB_MAX_MAGS && mags > 0; ++m) {
            const double* values = disper ? f.mag[m].disper : f.mag[m].avgK0;
            if (!(values[0] < FLT_MAX_D))
                continue;
            int count = 1;
            while (count < SB_FTP_VALUES_PER_MAG && values[count] < FLT_MAX_D)
                ++count;
            key(row.keyword);
            put(num(m, row.args[0]));
            for (int i = 0; i < count; ++i)
                arg(real(values[i], row.args[1]));
            end();
            if (count < 2) {
                calfile_report_write("%s: Not enough FTPDisper or FTPAvg_K0 values.", row.keyword);
                result_ = ERR_SB_CAL_INFO_INCOMPLETE;
            }
        }
        return;
    }
    case TOK_FTPDMICENTER:
    case TOK_FTPTILTCENTER:
        for (int m = 0; m < SB_MAX_MAGS && mags > 0; ++m) {
            const float* xy = row.key == TOK_FTPDMICENTER ? f.mag[m].dmiCenter : f.mag[m].tiltCenter;
            if (m >= mags && xy[0] == 0.0f && xy[1] == 0.0f)
                continue;
            key(row.keyword);
            put(num(m, row.args[0]));
            arg(real(xy[0], row.args[1]));
            arg(real(xy[1], row.args[2]));
            end();
        }
        return;
    default:
        return;
    }
}

// SdcCal: the values up to the last one set; one not set before it is written as the marker
// that the reader stores as not set.
void cal_writer::sdc_cal_lines(const cal_line& row)
{
    for (int i = 0; i < SB_MAX_MAGS; ++i) {
        const SdcCalEntry& e = si_.sdcCal[i];
        int last = -1;
        for (int k = 0; k < 8; ++k) {
            bool set = k < 6 ? e.f[k] != SB_FLOAT_UNSET : e.d[k - 6] != 0.0;
            if (set)
                last = k;
        }
        if (last < 0)
            continue;
        key(row.keyword);
        put(num(i, row.args[0]));
        for (int k = 0; k <= last; ++k) {
            if (k < 6)
                arg(e.f[k] == SB_FLOAT_UNSET ? shortest_real(FLT_MAX_D) : real(e.f[k], row.args[1]));
            else
                arg(e.d[k - 6] == 0.0 ? std::string("0") : real(e.d[k - 6], row.args[2]));
        }
        end();
    }
}

void cal_writer::pid_lines(const cal_line& row)
{
    const PidSet* set = si_.pidVals[row.key - TOK_PIDVALS_A].get();
    if (set == nullptr)
        return;
    const std::string keyword = row.keyword;
    // The ten values, the first without the blanks before it.
    auto values = [&](const PidHalf& h) {
        put(num(h.ints[0], row.args[0]));
        for (int i = 1; i < 4; ++i)
            arg(num(h.ints[i], row.args[i]));
        arg(num(h.flag, row.args[4]));
        arg(num(h.value, row.args[5]));
        for (float r : h.reals)
            arg(real(r, row.args[6]));
        end();
    };
    if (set->fast == set->slow) {
        // One line for both halves, without the keyword column; also for a set that holds only
        // the defaults, so that the set itself reads back.
        key_ = keyword;
        put(keyword);
        put("  ");
        values(set->fast);
        return;
    }
    if (!set->fast.is_default()) {
        key(keyword + " Fast");
        values(set->fast);
    }
    if (!set->slow.is_default()) {
        key(keyword + " Slow");
        values(set->slow);
    }
}

void cal_writer::hxi_std_mags_line(const cal_line& row)
{
    const HxiZoomInfo& z = *si_.hxiZoom;
    const int count = std::min(z.numStdMags, SB_MAX_MAGS);
    if (count <= 0)
        return;
    key(row.keyword);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            put("  ");
        put(real(z.stdMags[i], row.args[0]));
    }
    end();
}

// The default target: the configuration directory and the slot's per-computer file name.
std::string default_target(const SysInfo& si)
{
    const char* dir = u_config_dir();
    std::string target = dir != nullptr ? dir : ".";
    target += os::path_separator;
    target += u_host_file_name(si.hostFileDigit);
    return target;
}

// A path text for messages: wide paths in UTF-8.
std::string display_path(const char* text)
{
    os::fs::path native;
    if (os::is_wide_path(text))
        return os::native_path(text, native) ? os::utf8_of(native) : std::string("(invalid wide path)");
    return text;
}

// Copies the written temporary file over the target. The copy itself goes to a temporary file
// beside the target that replaces it in one step, so a copy that fails half way (a full disk)
// leaves the target as it was too.
bool copy_over(const os::fs::path& temp, const char* target)
{
    os::fs::path dst;
    if (!os::native_path(target, dst))
        return false;
    os::atomic_file out;
    if (!out.open(dst))
        return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(os::open_file(temp, "rb"), &std::fclose);
    if (!in)
        return false;
    char buf[16384];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0)
        if (std::fwrite(buf, 1, n, out.get()) != n)
            return false;
    if (std::ferror(in.get()))
        return false;
    return out.commit();
}

// Removes the temporary file when the write is over, whatever its outcome.
struct temp_remover {
    os::fs::path path;
    ~temp_remover()
    {
        if (!path.empty())
            os::remove_file(path);
    }
};

}  // namespace

int32_t calfile_write_text(const SysInfo& info, std::string& text, bool exact)
{
    try {
        cal_writer writer(info, exact);
        writer.run();
        text = writer.text();
        return writer.result();
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}

int32_t sb_writeCal(int slot, const char* target)
{
    try {
        SysInfo* si = sysinfo_slot(slot);
        if (si == nullptr)
            return ERR_PARAM_OUT_OF_RANGE;
        // A wide target holds zero bytes: it is passed on as it is, never copied as a C string.
        std::string default_name;
        if (target == nullptr || target[0] == '\0') {
            default_name = default_target(*si);
            target = default_name.c_str();
        }
        si->calFile.reset();

        temp_remover temp;
        std::FILE* created = os::create_temp_file(os::temp_dir(), "_calfile", temp.path);
        if (created == nullptr) {
            temp.path.clear();
            calfile_report_write("Cannot create temp file.");
            return ERR_CANT_CREATE_FILE;
        }
        std::fclose(created);
        const std::string temp_text = os::utf8_of(temp.path);
        errno = 0;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(os::open_file(temp.path, "w"), &std::fclose);
        if (!stream) {
            int error = errno;
            calfile_report_write("Cannot open temp file \"%s\": %s", temp_text.c_str(), std::strerror(error));
            return ERR_CANT_WRITE_FILE;
        }

        cal_writer writer(*si, false);
        writer.run();
        int32_t result = writer.result();
        const std::string& text = writer.text();
        bool written = std::fwrite(text.data(), 1, text.size(), stream.get()) == text.size();
        written = std::fflush(stream.get()) == 0 && written;
        written = std::fclose(stream.release()) == 0 && written;
        if (!written) {
            calfile_report_write("Cannot write temp file \"%s\".", temp_text.c_str());
            result = ERR_CANT_WRITE_FILE;
        }
        if (result == NO_ERROR && !copy_over(temp.path, target)) {
            calfile_report_write("Cannot copy temp file \"%s\" to \"%s\"", temp_text.c_str(),
                                 display_path(target).c_str());
            return ERR_CANT_WRITE_FILE;
        }
        return result;
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}
