// The calibration file reader: opening, the line grammar, the final checks, the completion of
// the LLC range by instrument board and the consistency corrections.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <variant>

#include "vell/calfile/calfile.h"
#include "vell/calfile/grammar.h"
#include "vell/calfile/scanner.h"
#include "vell/calfile/sysinfo.h"
#include "vell/calfile/vocab.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

using given_flags = cal_given;

// Process-wide reader state besides the reporting state of calfile/scanner.h.
struct reader_state {
    given_flags given;
    std::string remote;
    bool remote_set = false;
};

reader_state& state()
{
    static reader_state s;
    return s;
}


int32_t report(int32_t code, const char* message)
{
    calfile_report_read("%s", message);
    return code;
}

int32_t syntax(const char* message) { return report(ERR_SB_CALFILE_SYNTAX, message); }

// A number into a field of any width (nothing into a name).
template <class V>
void store(const cal_field& field, SysCalData& si, V value)
{
    std::visit(
        [&](auto ref) {
            auto& f = ref(si);
            using T = std::decay_t<decltype(f)>;
            if constexpr (std::is_arithmetic_v<T>)
                f = static_cast<T>(value);
        },
        field);
}

// One calibration line being parsed into a record.
class line_parser {
public:
    line_parser(SysCalData& info, calfile_stream& in, given_flags& given)
        : si_(info), in_(in), g_(given)
    {
    }

    // Parses the arguments of the line keyword `token`. Returns the line's status; fatal()
    // tells whether the whole read must end with it at once.
    int32_t parse(cal_token token);
    bool fatal() const { return fatal_; }

private:
    SysCalData& si_;
    calfile_stream& in_;
    given_flags& g_;
    bool fatal_ = false;
    const cal_line* row_ = nullptr;  // the line's row in the line table

    // The limits of value `i` of the line's row.
    const cal_arg& lim(int i) const { return row_->args[i]; }

    int32_t end_read(int32_t code)
    {
        fatal_ = true;
        return code;
    }

    // Range-checked integer into a field of any width.
    template <class T>
    int32_t get_int(int32_t st, int32_t lo, int32_t hi, T& field)
    {
        int32_t v = 0;
        st = calfile_int(in_, st, lo, hi, v);
        if (st == NO_ERROR)
            field = static_cast<T>(v);
        return st;
    }
    template <class T>
    int32_t get_real(int32_t st, double lo, double hi, T& field, cal_ends ends = cal_ends::closed)
    {
        double v = 0;
        st = calfile_real(in_, st, lo, hi, v, ends);
        if (st == NO_ERROR)
            field = static_cast<T>(v);
        return st;
    }
    // The same, and a range-checked value, with the limits of a value of the line table.
    template <class T>
    int32_t get_int(int32_t st, const cal_arg& a, T& field)
    {
        return get_int(st, static_cast<int32_t>(a.lo), static_cast<int32_t>(a.hi), field);
    }
    template <class T>
    int32_t get_real(int32_t st, const cal_arg& a, T& field)
    {
        return get_real(st, a.lo, a.hi, field, a.ends);
    }
    int32_t read_int(int32_t st, const cal_arg& a, int32_t& v)
    {
        return calfile_int(in_, st, static_cast<int32_t>(a.lo), static_cast<int32_t>(a.hi), v);
    }
    int32_t read_real(int32_t st, const cal_arg& a, double& v) { return calfile_real(in_, st, a.lo, a.hi, v, a.ends); }
    int32_t get_name(int32_t st, sb_string& field)
    {
        std::string w;
        st = calfile_word(in_, st, w);
        if (st == NO_ERROR)
            field.assign(w);
        return st;
    }
    bool peek_is(int32_t st, cal_peek kind) { return calfile_peek(in_, st) == kind; }

    // A vocabulary word in a position where one is required.
    int32_t get_word_token(int32_t st, cal_token& token)
    {
        token = TOK_UNKNOWN;
        if (st != NO_ERROR)
            return st;
        st = calfile_keyword(in_, st, token);
        if (st == ERR_EOF)
            return syntax("Unexpected end-of-file.");
        if (st == ERR_EOL)
            return syntax("Unexpected end-of-line.");
        return st;
    }
    // A value word mapped through one of the cal_*_of functions; another word is
    // "Unexpected token.".
    int32_t get_value_word(int32_t st, int (*map)(cal_token), int& value)
    {
        cal_token t;
        st = get_word_token(st, t);
        if (st != NO_ERROR)
            return st;
        value = map(t);
        if (value < 0)
            return syntax("Unexpected token.");
        return NO_ERROR;
    }
    // Expects the one-character word `punct`; anything else is "Syntax error.".
    int32_t expect_punct(int32_t st, char punct)
    {
        std::string w;
        st = calfile_word(in_, st, w);
        if (st != NO_ERROR)
            return st;
        if (w.size() != 1 || w[0] != punct)
            return syntax("Syntax error.");
        return NO_ERROR;
    }
    // A required number, checked by look-ahead first ("Expected number.").
    int32_t need_number(int32_t st)
    {
        if (st == NO_ERROR && !peek_is(st, cal_peek::number))
            return syntax("Expected number.");
        return st;
    }
    bool needs_mags(const char* message)
    {
        if (si_.numMags != 0)
            return false;
        calfile_report_read("%s", message);
        return true;
    }

    int32_t plain(int32_t st, const cal_line& row);
    int32_t value(int32_t st, const cal_arg& arg);
    int32_t hex_byte(int32_t st, const cal_arg& arg);
    int32_t system_type_line(int type);
    int32_t version_line();
    int32_t camera_line(cal_token sub);
    int32_t camera_type(int32_t st);
    int32_t camera_config(int32_t st);
    int32_t camera_file(int32_t st);
    int32_t camera_bad_pixels(int32_t st);
    int32_t camera_bpix(int32_t st);
    int32_t light_line();
    int32_t llc_range_line();
    int32_t pifoc_line();
    int32_t real_list(int32_t st, const cal_arg& a, double* list, int cap, const char* too_many, int& count);
    int32_t mags_line(double* list);
    int32_t ftp_line(const cal_line& row);
    int32_t ftp_values(int32_t st, double* values, const cal_arg& r);
    int32_t period(int32_t st, int components, double limit, double& total);
    int32_t sdc_cal_line(const cal_line& row);
    int32_t pid_line(int axis);
    int32_t dyn_wave_gen_line();
    int32_t hxi_std_mags_line(const cal_arg& value);
};

int32_t line_parser::parse(cal_token token)
{
    int32_t st = NO_ERROR;
    int sys = cal_sys_type_of(token);
    if (sys >= 0) {
        row_ = calfile_find_line(TOK_UNKNOWN);
        return system_type_line(sys);
    }
    cal_token sub = TOK_UNKNOWN;
    if (calfile_takes_sub(token)) {
        st = get_word_token(st, sub);
        if (st != NO_ERROR)
            return st;
    }
    const cal_line* row = calfile_find_line(token, sub == TOK_SPLITY ? TOK_SPLITX : sub);
    row_ = row;
    if (row != nullptr) {
        int32_t rc = calfile_sub_ensure(*row, si_);
        if (rc != NO_ERROR)
            return end_read(rc);
        if (row->kind != cal_kind::irregular)
            return plain(st, *row);
    }

    switch (token) {
    case TOK_VERSION:
        return version_line();
    case TOK_CAMERA:
        return camera_line(sub);
    case TOK_LIGHT:
        return light_line();
    case TOK_LLC:
        return sub == TOK_RANGE ? llc_range_line() : syntax("Unexpected token.");
    case TOK_PIFOC:
    case TOK_PZTID:
        if (token == TOK_PZTID) {
            int32_t rc = sysinfo_ensure_pifoc(si_);
            if (rc != NO_ERROR)
                return end_read(rc);
            g_.pifoc = true;
            si_.pifoc->coef = CAL_PIFOC_COEF;
            si_.pifoc->beta = CAL_PIFOC_BETA;
            return get_int(st, 0, cal_limits::max_pzt_id, si_.pifoc->value);
        }
        return pifoc_line();
    case TOK_NOMMAG:
        return mags_line(si_.nomMag);
    case TOK_SYSMAG:
        return mags_line(si_.sysMag);
    case TOK_FTPDISPER:
    case TOK_FTPAVGK0:
    case TOK_FTPDMICENTER:
    case TOK_FTPTILTCENTER:
        return ftp_line(*row);
    case TOK_SDCCAL:
        return sdc_cal_line(*row);
    case TOK_DYNWAVEGEN:
        return dyn_wave_gen_line();
    case TOK_HXIENCZOOMSTDMAGS:
        return hxi_std_mags_line(row->args[0]);
    case TOK_REMOTE: {
        std::string w;
        st = calfile_word(in_, st, w);
        if (st == NO_ERROR) {
            state().remote = w;
            state().remote_set = true;
        }
        return st;
    }
    default:
        if (token >= TOK_PIDVALS_A && token <= TOK_PIDVALS_Z)
            return pid_line(token - TOK_PIDVALS_A);
        return syntax("Unexpected token.");
    }
}

// A line of the table: its values, or its flag, into the row's fields.
int32_t line_parser::plain(int32_t st, const cal_line& row)
{
    if (row.begin != nullptr)
        row.begin(si_);
    if (row.kind == cal_kind::flag) {
        const cal_arg& a = row.args[0];
        if (a.when == nullptr || a.when(si_))
            store(a.field, si_, row.flag_value);
    }
    for (int i = 0; row.kind != cal_kind::flag && i < row.nargs && st == NO_ERROR; ++i) {
        const cal_arg& a = row.args[i];
        if (a.when != nullptr && !a.when(si_)) {
            calfile_reset_field(a.field, si_);
            continue;
        }
        if (a.optional && !peek_is(st, a.kind == cal_kind::name ? cal_peek::word : cal_peek::number)) {
            if (a.reset_absent)
                calfile_reset_field(a.field, si_);
            break;
        }
        if (a.number_first)
            st = need_number(st);
        st = value(st, a);
    }
    if (st == NO_ERROR && row.given != nullptr)
        g_.*row.given = true;
    if (st == NO_ERROR && row.after != nullptr)
        row.after(si_);
    return st;
}

// One value of a table line.
int32_t line_parser::value(int32_t st, const cal_arg& a)
{
    if (st != NO_ERROR)
        return st;
    switch (a.kind) {
    case cal_kind::name: {
        std::string w;
        st = calfile_word(in_, st, w);
        if (st == NO_ERROR)
            std::visit(
                [&](auto ref) {
                    auto& f = ref(si_);
                    if constexpr (!std::is_arithmetic_v<std::decay_t<decltype(f)>>)
                        f.assign(w);
                },
                a.field);
        return st;
    }
    case cal_kind::choice: {
        cal_token t;
        st = get_word_token(st, t);
        if (st != NO_ERROR)
            return st;
        int v = a.map(t);
        if (v < 0)
            return a.quiet ? ERR_SB_CALFILE_SYNTAX : syntax("Unexpected token.");
        store(a.field, si_, v);
        return st;
    }
    case cal_kind::hex:
        return hex_byte(st, a);
    case cal_kind::period: {
        double total = 0;
        st = period(st, a.precision, a.hi, total);
        if (st == NO_ERROR)
            store(a.field, si_, total);
        return st;
    }
    case cal_kind::integer: {
        int32_t v = 0;
        st = calfile_int(in_, st, static_cast<int32_t>(a.lo), static_cast<int32_t>(a.hi), v);
        if (st == NO_ERROR)
            store(a.field, si_, (int64_t{v} * static_cast<int64_t>(a.scale)) | a.set_bits);
        return st;
    }
    case cal_kind::single: {
        float v = 0;
        st = get_real(st, a.lo, a.hi, v, a.ends);
        if (st == NO_ERROR)
            store(a.field, si_, v);
        return st;
    }
    default: {
        double v = 0;
        st = calfile_real(in_, st, a.lo, a.hi, v, a.ends);
        if (st == NO_ERROR)
            store(a.field, si_, v * a.scale);
        return st;
    }
    }
}

// A hexadecimal byte (of the MAC address).
int32_t line_parser::hex_byte(int32_t st, const cal_arg& a)
{
    std::string w;
    st = calfile_word(in_, st, w);
    if (st != NO_ERROR)
        return st;
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), value, 16);
    if (w.empty() || ec != std::errc() || end != w.data() + w.size())
        return syntax("Syntax error.");
    if (value > a.hi) {
        calfile_report_read("%d out of range [%d,%d]", static_cast<int>(std::min(value, 2147483647ull)),
                            static_cast<int>(a.lo), static_cast<int>(a.hi));
        return ERR_SB_CALFILE_VALUE_RANGE;
    }
    store(a.field, si_, value);
    return st;
}

int32_t line_parser::system_type_line(int type)
{
    int32_t st = NO_ERROR;
    int32_t year = 0, week = 0;
    si_.sysType = type;
    st = read_int(st, lim(0), year);
    st = read_int(st, lim(1), week);
    if (st == NO_ERROR)
        si_.dateCode = static_cast<int16_t>(year * 100 + week);
    st = get_int(st, lim(2), si_.serialNum);
    if (st != NO_ERROR)
        return st;
    cal_peek next = calfile_peek(in_, st);
    if (next == cal_peek::eol)
        return st;
    if (next != cal_peek::word)
        return syntax("Expected non-numeric string.");
    std::string w;
    st = calfile_word(in_, st, w);
    if (st != NO_ERROR)
        return st;
    if (w != "R")
        return syntax("Unrecognized string.");
    si_.rFlag = 1;
    return st;
}

int32_t line_parser::version_line()
{
    int32_t st = NO_ERROR;
    int fg = 0, board = 0;
    st = get_value_word(st, cal_fg_type_of, fg);
    if (st == NO_ERROR)
        si_.fgType = fg;
    st = get_int(st, lim(0), si_.fgBoardNum);
    st = get_value_word(st, cal_board_type_of, board);
    if (st == NO_ERROR) {
        si_.instrBdType = board;
        g_.version = true;
    }
    return st;
}

int32_t line_parser::camera_line(cal_token sub)
{
    int32_t st = NO_ERROR;
    switch (sub) {
    case TOK_TYPE:
        return camera_type(st);
    case TOK_CONFIG:
        return camera_config(st);
    case TOK_FILE:
        return camera_file(st);
    case TOK_BAD:
        return camera_bad_pixels(st);
    case TOK_BPIX:
        return camera_bpix(st);
    case TOK_PERIOD:
        return st;  // accepted; the rest of the line is ignored
    case TOK_SPLITX:
    case TOK_SPLITY:
        si_.splitAxis = sub == TOK_SPLITX ? 1 : 2;
        st = get_int(st, lim(0), si_.splitValue[0]);
        return get_int(st, lim(1), si_.splitValue[1]);
    case TOK_TRANS: {
        if (needs_mags("A NomMag or SysMag specification must appear\nbefore a Camera Trans specification."))
            return ERR_SB_CALFILE_ORDER;
        int32_t index = 0;
        st = read_int(st, lim(0), index);
        st = get_int(st, lim(1), si_.cameraTrans[index][0]);
        return get_int(st, lim(2), si_.cameraTrans[index][1]);
    }
    default:
        return syntax("Unexpected token.");
    }
}

int32_t line_parser::camera_type(int32_t st)
{
    int type = 0;
    st = get_value_word(st, cal_camera_type_of, type);
    if (st != NO_ERROR)
        return st;
    si_.cameraType = type;
    if (type != CAM_CUSTOM)
        return st;

    const cal_custom_preset* preset = calfile_custom_preset(si_.instrBdType);
    if (preset == nullptr)
        return syntax("Unexpected token.");
    for (int i = 0; i < preset->count; ++i)
        si_.cameraConfig[preset->bytes[i].byte - 1] = preset->bytes[i].value;
    uint8_t& number = si_.cameraConfig[preset->number_byte - 1];
    cal_peek next = calfile_peek(in_, st);
    if (next == cal_peek::number) {
        st = get_int(st, lim(0), number);
    } else if (next != cal_peek::eol) {
        return ERR_SB_CALFILE_SYNTAX;
    }
    if (st != NO_ERROR)
        return st;
    if (preset->log != nullptr)
        u_log_sink(preset->log, number);
    return st;
}

int32_t line_parser::camera_config(int32_t st)
{
    uint8_t* cfg = si_.cameraConfig;
    switch (si_.instrBdType) {
    case BD_HXI:
    case BD_MODEL31:
        st = get_int(st, 0, CAL_CONFIG_HIGHS_HXI[0], cfg[0]);
        return get_int(st, 0, CAL_CONFIG_HIGHS_HXI[1], cfg[1]);
    case BD_BOARD01:
    case BD_FTP:
        for (int i = 0; i < 8; ++i)
            st = get_int(st, 0, CAL_CONFIG_HIGHS[i], cfg[CAL_CONFIG_BYTES[i] - 1]);
        return st;
    default:
        return syntax("Unexpected token.");
    }
}

int32_t line_parser::camera_file(int32_t st)
{
    for (auto& name : si_.cameraFile)
        name.reset();
    st = get_name(st, si_.cameraFile[0]);
    int count = 1;
    for (;;) {
        cal_peek next = calfile_peek(in_, st);
        if (next == cal_peek::eol)
            break;
        if (next != cal_peek::word)
            return syntax("Expected non-numeric string.");
        if (count == 6)
            return syntax("Too many camera file names.");
        std::string w;
        st = calfile_word(in_, st, w);
        if (st != NO_ERROR)
            return st;
        if (!(count == 1 && w == "NULL"))
            si_.cameraFile[count].assign(w);
        ++count;
    }
    return st;
}

int32_t line_parser::camera_bad_pixels(int32_t st)
{
    for (;;) {
        cal_peek next = calfile_peek(in_, st);
        if (next == cal_peek::eol)
            return st;
        if (next != cal_peek::lbracket)
            return syntax("Syntax error.");
        if (g_.badPixels >= SB_MAX_BAD_PIXELS)
            return report(ERR_SB_CALFILE_VALUE_RANGE, "Too many camera bad pixels.");
        int32_t x = 0, y = 0;
        st = expect_punct(st, '[');
        st = read_int(st, lim(0), x);
        st = expect_punct(st, ',');
        st = read_int(st, lim(1), y);
        st = expect_punct(st, ']');
        if (st != NO_ERROR)
            return st;
        si_.badPixels[g_.badPixels][0] = static_cast<int16_t>(x);
        si_.badPixels[g_.badPixels][1] = static_cast<int16_t>(y);
        ++g_.badPixels;
    }
}

int32_t line_parser::camera_bpix(int32_t st)
{
    st = get_int(st, lim(0), si_.bpixFileFlag);
    cal_peek next = calfile_peek(in_, st);
    if (next == cal_peek::eol)
        return st;
    if (next != cal_peek::word)
        return syntax("Expected non-numeric string.");
    st = get_name(st, si_.bpixFileName);
    if (st == NO_ERROR)
        g_.bpixFile = true;
    return st;
}

int32_t line_parser::light_line()
{
    int32_t st = NO_ERROR;
    int type = 0;
    st = get_value_word(st, cal_light_type_of, type);
    if (st != NO_ERROR)
        return st;
    si_.lightType = type;

    auto preset = [&](double um1, double um_rest) {
        for (int i = 0; i < 4; ++i) {
            si_.wavelength[i][0] = (i == 0 ? um1 : um_rest) * 1e-6;
            si_.wavelength[i][1] = 0.0;
        }
    };
    if (si_.sysType == SYS_MODEL07)
        preset(0.655, 0.0);
    else if (si_.instrBdType == BD_MODEL13)
        preset(12.75, 0.0);
    else if (si_.instrBdType == BD_FTP)
        preset(9.0, 0.0);
    else if (si_.instrBdType != BD_CAN)
        preset(0.6328, 0.6328);

    int count = 0;
    while (count < 4) {
        cal_peek next = calfile_peek(in_, st);
        if (next == cal_peek::eol)
            break;
        double wl = 0, bw = 0;
        if (next == cal_peek::number) {
            st = read_real(st, lim(0), wl);
        } else if (next == cal_peek::lbracket) {
            st = expect_punct(st, '[');
            st = read_real(st, lim(0), wl);
            st = expect_punct(st, ',');
            st = read_real(st, lim(1), bw);
            st = expect_punct(st, ']');
        } else {
            return syntax("Syntax error.");
        }
        if (st != NO_ERROR)
            return st;
        si_.wavelength[count][0] = wl * lim(0).scale;
        si_.wavelength[count][1] = bw * lim(1).scale;
        ++count;
        ++g_.wavelengths;
    }
    if (count == 0 && type != LIGHT_HENE)
        return syntax("At least one wavelength value required.");
    return st;
}

int32_t line_parser::llc_range_line()
{
    LightSlot& a = si_.light[0];
    LightSlot& b = si_.light[1];
    int32_t st = get_int(NO_ERROR, lim(0), a.rangeLow);
    st = get_int(st, lim(1), a.rangeHigh);
    if (st != NO_ERROR)
        return st;
    g_.llcRange = 2;
    if (peek_is(st, cal_peek::number)) {
        st = get_int(st, lim(2), b.rangeLow);
        st = get_int(st, lim(3), b.rangeHigh);
        if (st == NO_ERROR)
            g_.llcRange = 4;
    }
    return st;
}

int32_t line_parser::pifoc_line()
{
    PifocInfo& p = *si_.pifoc;
    g_.pifoc = true;
    p.coef = CAL_PIFOC_COEF;
    p.beta = CAL_PIFOC_BETA;
    int32_t st = get_int(NO_ERROR, lim(0), p.value);
    if (!peek_is(st, cal_peek::number))
        return st;
    double coef = 0, beta = 0;
    st = read_real(st, lim(1), coef);
    if (st == NO_ERROR)
        p.coef = coef;
    st = read_real(st, lim(2), beta);
    if (st != NO_ERROR)
        return st;
    if (beta != 0.0 && beta < cal_limits::pifoc_beta_min) {
        calfile_report_read("Beta = %g is non-zero and is not in range [%g,%g]", beta, cal_limits::pifoc_beta_min,
                            lim(2).hi);
        return ERR_SB_CALFILE_VALUE_RANGE;
    }
    p.beta = beta;
    return st;
}

// One or more values of the limits of `a`, at most `cap`, into `list`; `count` tells how many.
int32_t line_parser::real_list(int32_t st, const cal_arg& a, double* list, int cap, const char* too_many, int& count)
{
    count = 0;
    if (!peek_is(st, cal_peek::number))
        return st != NO_ERROR ? st : syntax("Expected number.");
    while (peek_is(st, cal_peek::number)) {
        if (count == cap)
            return syntax(too_many);
        st = get_real(st, a, list[count]);
        if (st != NO_ERROR)
            return st;
        ++count;
    }
    return st;
}

int32_t line_parser::mags_line(double* list)
{
    for (int i = 0; i < SB_MAX_MAGS; ++i)
        list[i] = 0.0;
    int count = 0;
    int32_t st = real_list(NO_ERROR, lim(0), list, SB_MAX_MAGS, "Too many NomMag or SysMag values.", count);
    if (st != NO_ERROR)
        return st;
    if (si_.numMags == 0) {
        si_.numMags = count;
    } else if (si_.numMags != count) {
        return report(ERR_SB_CALFILE_INCONSISTENT,
                      "The number of NomMag values and\nthe number of SysMag values are mismatched.");
    }
    return st;
}

// Two to ten values of FTPDisper or FTPAvg_K0 into `values`; the slots after the last value
// given become unset, so a line always states the whole list of its magnification.
int32_t line_parser::ftp_values(int32_t st, double* values, const cal_arg& r)
{
    int count = 0;
    st = real_list(st, r, values, SB_FTP_VALUES_PER_MAG, "Too many FTPDisper or FTPAvg_K0 values.", count);
    if (st != NO_ERROR)
        return st;
    if (count < 2)
        return syntax("Not enough FTPDisper or FTPAvg_K0 values.");
    for (int i = count; i < SB_FTP_VALUES_PER_MAG; ++i)
        values[i] = SB_NOT_SET;
    return st;
}

// days{:hours{:minutes{:seconds}}} (4 components) or hours{:minutes{:seconds}} (3), each
// real[0,100]; the running total in seconds may not pass `limit`.
int32_t line_parser::period(int32_t st, int components, double limit, double& total)
{
    static const double weights4[] = {86400, 3600, 60, 1};
    const double* weights = weights4 + (4 - components);
    double sum = 0;
    for (int i = 0; i < components; ++i) {
        double v = 0;
        st = calfile_real(in_, st, 0, 100, v);
        if (st != NO_ERROR)
            return st;
        sum += v * weights[i];
        if (sum > limit)
            return report(ERR_SB_CALFILE_VALUE_RANGE, "Value out-of-range.");
        total = sum;
        if (i + 1 == components)
            break;
        if (calfile_peek(in_, st) == cal_peek::eol)
            break;
        st = expect_punct(st, ':');
    }
    return st;
}

int32_t line_parser::ftp_line(const cal_line& row)
{
    const cal_token token = row.key;
    FtpInfo& f = *si_.ftpInfo;
    int32_t st = NO_ERROR;
    switch (token) {
    case TOK_FTPDISPER:
    case TOK_FTPAVGK0: {
        if (needs_mags("A NomMag or SysMag specification must appear\n"
                       "before an FTPDisper or FTPAvg_K0 specification."))
            return ERR_SB_CALFILE_ORDER;
        int32_t index = 0;
        st = read_int(st, lim(0), index);
        if (st != NO_ERROR)
            return st;
        return ftp_values(st, token == TOK_FTPDISPER ? f.mag[index].disper : f.mag[index].avgK0, lim(1));
    }
    case TOK_FTPDMICENTER:
    case TOK_FTPTILTCENTER: {
        bool dmi = token == TOK_FTPDMICENTER;
        if (needs_mags(dmi ? "A NomMag or SysMag specification must appear\nbefore an FTPDmiCenter specification."
                           : "A NomMag or SysMag specification must appear\nbefore an FTPTiltCenter specification."))
            return ERR_SB_CALFILE_ORDER;
        int32_t index = 0;
        st = read_int(st, row.args[0], index);
        if (st != NO_ERROR)
            return st;
        float* centre = dmi ? f.mag[index].dmiCenter : f.mag[index].tiltCenter;
        st = get_real(st, row.args[1], centre[0]);
        return get_real(st, row.args[2], centre[1]);
    }
    default:
        return syntax("Unexpected token.");
    }
}

int32_t line_parser::sdc_cal_line(const cal_line& row)
{
    int32_t st = NO_ERROR;
    int32_t index = 0;
    st = read_int(st, row.args[0], index);
    if (st != NO_ERROR)
        return st;
    SdcCalEntry& e = si_.sdcCal[index];
    for (int i = 0; i < 8; ++i) {
        cal_peek next = calfile_peek(in_, st);
        if (next == cal_peek::eol)
            break;
        if (next != cal_peek::number)
            return ERR_SB_CALFILE_SYNTAX;
        if (i < 6)
            st = get_real(st, row.args[1], e.f[i]);
        else
            st = get_real(st, row.args[2], e.d[i - 6]);
        if (st != NO_ERROR)
            return st;
    }
    return st;
}

int32_t line_parser::pid_line(int axis)
{
    int32_t rc = sysinfo_ensure_pid_set(si_, axis);
    if (rc != NO_ERROR)
        return end_read(rc);
    PidSet& set = *si_.pidVals[axis];
    PidHalf* halves[2] = {&set.fast, &set.slow};
    int n = 2;
    int32_t st = NO_ERROR;
    if (peek_is(st, cal_peek::word)) {
        cal_token t;
        st = calfile_keyword(in_, st, t);
        if (st != NO_ERROR)
            return st;
        if (t == TOK_FAST) {
            n = 1;
        } else if (t == TOK_SLOW) {
            halves[0] = &set.slow;
            n = 1;
        } else {
            return syntax("Unrecognized string.");
        }
    }
    for (int i = 0; i < 6; ++i) {
        int32_t v = 0;
        st = read_int(st, lim(i), v);
        if (st != NO_ERROR)
            return st;
        for (int h = 0; h < n; ++h) {
            if (i < 4)
                halves[h]->ints[i] = v;
            else if (i == 4)
                halves[h]->flag = static_cast<uint8_t>(v);
            else
                halves[h]->value = v;
        }
    }
    for (int i = 0; i < 4; ++i) {
        double v = 0;
        st = read_real(st, lim(6), v);
        if (st != NO_ERROR)
            return st;
        for (int h = 0; h < n; ++h)
            halves[h]->reals[i] = static_cast<float>(v);
    }
    return st;
}

// A word that must be a whole decimal integer.
bool decimal_word(const std::string& w, int32_t& value)
{
    const char* first = w.data();
    const char* last = w.data() + w.size();
    if (first != last && *first == '+')
        ++first;
    auto [end, ec] = std::from_chars(first, last, value, 10);
    return first != last && ec == std::errc() && end == last;
}

int32_t line_parser::dyn_wave_gen_line()
{
    DynWaveGenInfo& d = *si_.dynWaveGen;
    int32_t st = NO_ERROR;
    std::string w;
    int32_t v = 0;
    st = calfile_word(in_, st, w);
    if (st == NO_ERROR) {
        if (decimal_word(w, v))
            d.number = v;
        else
            st = syntax("Expected number.");
    }
    st = get_int(st, lim(0), d.value);
    st = calfile_word(in_, st, w);
    if (st == NO_ERROR) {
        if (!decimal_word(w, v)) {
            st = syntax("Expected number.");
        } else if (v != 0 && (v < lim(1).lo || v > lim(1).hi)) {
            calfile_report_read("%d out of range [%d,%d] and 0", v, static_cast<int>(lim(1).lo),
                                static_cast<int>(lim(1).hi));
            st = ERR_SB_CALFILE_VALUE_RANGE;
        } else {
            d.value2 = v;
        }
    }
    if (st != NO_ERROR)
        si_.dynWaveGen.reset();
    return st;
}

int32_t line_parser::hxi_std_mags_line(const cal_arg& value)
{
    HxiZoomInfo& z = *si_.hxiZoom;
    int32_t st = NO_ERROR;
    // The line states the whole list: no value of an earlier line stays behind it.
    z.numStdMags = 0;
    for (double& m : z.stdMags)
        m = 0.0;
    int count = 0;
    st = real_list(st, value, z.stdMags, SB_MAX_MAGS, "Too many HxiEncZoomStdMag values.", count);
    if (st == NO_ERROR)
        z.numStdMags = count;
    return st;
}

// ---------------------------------------------------------------------------------------------

// Final checks after an error-free read; 0 when the information the instrument needs is there.
int32_t final_checks(const SysCalData& si, const given_flags& g)
{
    for (std::size_t i = 0; i < calfile_num_checks; ++i) {
        const cal_check& c = calfile_checks[i];
        if (!calfile_lacks(c.need, si, g))
            continue;
        if (c.how == cal_check_report::message)
            return report(c.code, c.message);
        u_log_sink("%s\n", c.message);
        if (c.how == cal_check_report::log)
            return c.code;
    }
    return NO_ERROR;
}

// Corrections of settings the instrument cannot have; warnings only.
void consistency_corrections(SysCalData& si)
{
    if (si.instrBdType != BD_CAN && si.zoom == 2) {
        calfile_report_read("This instrument cannot have a motorized zoom.");
        si.zoom = 0;
    }
    if (si.instrBdType == BD_CAN && (si.sysType == SYS_MODEL15 || si.sysType == SYS_MODEL25) &&
        !si.dualBrushMotorPresent) {
        if (si.turret != 0) {
            calfile_report_read("This instrument cannot have a motorized turret, no dual brush motor board.");
            si.turret = 0;
            si.turret2 = 1;
        }
        if (si.zoom != 0) {
            calfile_report_read("This instrument cannot have a motorized zoom, no dual brush motor board.");
            si.zoom = 0;
        }
    }
}

// Reads one line starting at the stream's position. `eof` tells that the text ended before the
// line had a first word. Returns the line's status; `fatal` is set when the read must end at
// once with it.
int32_t read_one_line(SysCalData& si, calfile_stream& in, given_flags& g, bool& eof, bool& fatal)
{
    eof = false;
    fatal = false;
    if (calfile_peek(in, NO_ERROR) == cal_peek::eol) {
        eof = in.at_end();
        return NO_ERROR;  // empty line or comment
    }
    cal_token token = TOK_UNKNOWN;
    std::string word;
    int32_t st = calfile_keyword(in, NO_ERROR, token, &word);
    if (st != NO_ERROR)
        return st;  // an unterminated quoted first word
    if (token == TOK_UNKNOWN) {
        calfile_report_read("Unrecognized token \"%s\"", word.c_str());
        fatal = true;
        return ERR_SB_CALFILE_SYNTAX;
    }
    line_parser parser(si, in, g);
    st = parser.parse(token);
    fatal = parser.fatal();
    return st;
}

int32_t read_lines(SysCalData& si, calfile_stream& in)
{
    calfile_report_state& rep = calfile_reporting();
    given_flags& g = state().given;
    int32_t status = NO_ERROR;
    for (;;) {
        rep.line = in.line();
        bool eof = false, fatal = false;
        status = read_one_line(si, in, g, eof, fatal);
        if (fatal)
            return status;
        if (eof || status == ERR_EOF)
            break;
        if (status != NO_ERROR)
            calfile_report_read("Error in line %d.", rep.line);
        if (rep.msg_count >= 10)
            break;
        if (in.skip_line())
            break;
    }
    if (status != NO_ERROR)
        return status;
    if (rep.msg_count > 0)
        return ERR_SB_CALFILE_INVALID;
    status = final_checks(si, g);
    if (status != NO_ERROR)
        return status;
    calfile_complete_llc_range(si, g.llcRange);
    consistency_corrections(si);
    return NO_ERROR;
}

void begin_read()
{
    calfile_report_state& rep = calfile_reporting();
    rep.header_name.clear();
    rep.plus_text.clear();
    rep.msg_count = 0;
    rep.line = 0;
}

int32_t read_update(SysInfo& si, const char* text)
{
    if (std::strcmp(text, "+DEFAULTS") == 0) {
        sysinfo_reset(si);
        return NO_ERROR;
    }
    calfile_report_state& rep = calfile_reporting();
    rep.plus_text = text;
    given_flags& g = state().given;
    g = given_flags{};
    g.badPixels = sysinfo_bad_pixel_count(si);
    calfile_stream in(std::string(text + 1));
    rep.line = 1;
    bool eof = false, fatal = false;
    // All or nothing: the line is read into a copy of the calibration part, which replaces the
    // slot's only when the line was read without error.
    SysCalData copy = si.cal();
    const int32_t status = read_one_line(copy, in, g, eof, fatal);
    if (status == NO_ERROR)
        sysinfo_apply_cal(si, std::move(copy));
    return status;
}

std::filesystem::file_type file_type_of(const std::string& path)
{
    os::fs::path native;
    if (!os::native_path(path.c_str(), native))
        return std::filesystem::file_type::none;
    std::error_code ec;
    return std::filesystem::status(native, ec).type();
}

bool too_large(std::size_t size)
{
    if (size <= CALFILE_MAX_BYTES)
        return false;
    calfile_report_read("File is larger than %d bytes.", static_cast<int>(CALFILE_MAX_BYTES));
    return true;
}

// Reads the whole file, or reports a read error (ok = false) or a file beyond the size limit
// (too_big = true) without reading further.
std::string read_all(std::FILE* f, bool& ok, bool& too_big)
{
    std::string bytes;
    char buf[65536];
    std::size_t n;
    too_big = false;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (bytes.size() + n > CALFILE_MAX_BYTES) {
            too_big = true;
            break;
        }
        bytes.append(buf, n);
    }
    ok = std::ferror(f) == 0;
    return bytes;
}

}  // namespace

int32_t calfile_open(const char* name, uint8_t digit, std::string& path, calfile_file& stream)
{
    calfile_report_state& rep = calfile_reporting();
    const char* wanted = (name == nullptr || name[0] == '\0') ? u_host_file_name(digit) : name;
    const char* found = nullptr;
    int32_t rc = u_find_config_file(wanted, &found);
    if (rc == NO_ERROR && found == nullptr)
        rc = ERR_CANT_READ_FILE;  // an empty default name finds nothing
    if (rc != NO_ERROR) {
        rep.header_name = wanted;
        calfile_report_read("Cannot access file.");
        return rc;
    }
    path = found;
    rep.header_name = path;
    u_log_sink("Reading system calibration file: \"%s\"\n", path.c_str());
    // A pipe, socket or device other than a terminal could keep the read waiting without end.
    const auto type = file_type_of(path);
    if (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::socket ||
        type == std::filesystem::file_type::block) {
        calfile_report_read("Not a regular file.");
        return ERR_CANT_READ_FILE;
    }

    os::fs::path native;
    std::FILE* f = os::native_path(path.c_str(), native) ? os::open_file(native, "rb") : nullptr;
    if (f == nullptr) {
        calfile_report_read("Cannot open file for reading.");
        return ERR_CANT_READ_FILE;
    }
    stream = calfile_file(f, &std::fclose);
    if (file_type_of(path) == std::filesystem::file_type::character) {
        stream.reset();
        u_log_sink("sb_readCal attempt from terminal device\n");
        return ERR_CANT_READ_FILE;
    }
    return NO_ERROR;
}

int32_t sb_readCal(int slot, const char* source)
{
    try {
        begin_read();
        SysInfo* si = sysinfo_slot(slot);
        if (si == nullptr)
            return ERR_PARAM_OUT_OF_RANGE;
        if (source != nullptr && source[0] == '+')
            return read_update(*si, source);

        std::string path;
        calfile_file stream(nullptr, &std::fclose);
        int32_t rc = calfile_open(source, si->hostFileDigit, path, stream);
        if (rc != NO_ERROR)
            return rc;
        si->calFilePath.assign(path);
        sysinfo_reset(*si);
        state().given = given_flags{};
        bool ok = true, too_big = false;
        std::string bytes = read_all(stream.get(), ok, too_big);
        if (too_big) {
            too_large(CALFILE_MAX_BYTES + 1);
            return ERR_CANT_READ_FILE;
        }
        if (!ok) {
            calfile_report_read("Cannot read file.");
            return ERR_CANT_READ_FILE;
        }
        calfile_stream in(std::move(bytes));
        return read_lines(*si, in);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}

int32_t sb_readCal_bytes(int slot, std::string_view bytes, const char* header_name)
{
    try {
        begin_read();
        SysInfo* si = sysinfo_slot(slot);
        if (si == nullptr)
            return ERR_PARAM_OUT_OF_RANGE;
        calfile_reporting().header_name = header_name != nullptr ? header_name : "";
        sysinfo_reset(*si);
        state().given = given_flags{};
        if (too_large(bytes.size()))
            return ERR_CANT_READ_FILE;
        calfile_stream in{std::string(bytes)};
        return read_lines(*si, in);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}

const char* sb_remote_name() { return state().remote_set ? state().remote.c_str() : nullptr; }

void calfile_reset_state()
{
    begin_read();
    state() = reader_state{};
}
