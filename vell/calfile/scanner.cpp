#include "vell/calfile/scanner.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/number_lex.h"

namespace {

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\0'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Sends a reader or writer message to the log sink, preceded by `lead` and `where` when it is
// the first message since the count was reset, and counts it.
void report(const char* lead, const std::string& where, const char* format, va_list args)
{
    std::string message = u_vformat(format, args);
    calfile_report_state& state = calfile_reporting();
    if (state.msg_count++ > 0)
        u_log_sink("%s\n", message.c_str());
    else
        u_log_sink("%s%s%s\n", lead, where.c_str(), message.c_str());
}

}  // namespace

calfile_report_state& calfile_reporting()
{
    static calfile_report_state state;
    return state;
}

void calfile_report_read(const char* format, ...)
{
    const calfile_report_state& state = calfile_reporting();
    std::string where = "info:\n";
    if (!state.header_name.empty())
        where = "file \"" + state.header_name + "\":\n";
    else if (!state.plus_text.empty())
        where = "info\n\"" + state.plus_text + "\":\n";
    va_list args;
    va_start(args, format);
    report("Error(s) reading system calibration ", where, format, args);
    va_end(args);
}

void calfile_report_write(const char* format, ...)
{
    const calfile_report_state& state = calfile_reporting();
    std::string where = state.header_name.empty() ? std::string(":\n") : " \"" + state.header_name + "\":\n";
    va_list args;
    va_start(args, format);
    report("Error writing system calibration file", where, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------

calfile_stream::calfile_stream(std::string text) : text_(std::move(text))
{
    text_.erase(std::remove(text_.begin(), text_.end(), '\r'), text_.end());
}

void calfile_stream::advance() noexcept
{
    if (pos_ < text_.size()) {
        if (text_[pos_] == '\n')
            ++line_feeds_;
        ++pos_;
    }
}

void calfile_stream::skip_blanks() noexcept
{
    while (!at_end() && is_blank(peek_char()))
        ++pos_;
}

void calfile_stream::skip_space() noexcept
{
    while (!at_end() && (is_blank(peek_char()) || peek_char() == '\n'))
        advance();
}

bool calfile_stream::skip_line() noexcept
{
    while (!at_end()) {
        bool lf = peek_char() == '\n';
        advance();
        if (lf)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

int32_t calfile_word(calfile_stream& in, int32_t status, std::string& word)
{
    if (status != NO_ERROR)
        return status;
    word.clear();
    in.skip_blanks();
    int c = in.peek_char();
    if (c < 0)
        return ERR_EOF;
    if (c == '\n' || c == '#')
        return ERR_EOL;
    if (c == '[' || c == ']' || c == ',' || c == ':') {
        word.push_back(static_cast<char>(c));
        in.advance();
        return NO_ERROR;
    }
    if (c == '"') {
        // A quoted word may hold blanks; characters beyond the longest word are dropped up to
        // the closing quote, so the quote never ends up opening a word of its own.
        in.advance();
        for (;;) {
            c = in.peek_char();
            if (c < 0)
                return ERR_EOF;
            if (c == '\n')
                return ERR_EOL;
            in.advance();
            if (c == '"')
                return NO_ERROR;
            if (word.size() < CALFILE_MAX_WORD)
                word.push_back(static_cast<char>(c));
        }
    }
    while (word.size() < CALFILE_MAX_WORD) {
        c = in.peek_char();
        if (c < 0 || is_blank(c) || c == '\n' || c == '"')
            break;
        word.push_back(static_cast<char>(c));
        in.advance();
    }
    return NO_ERROR;
}

int32_t calfile_keyword(calfile_stream& in, int32_t status, cal_token& token, std::string* word)
{
    token = TOK_UNKNOWN;
    if (status != NO_ERROR)
        return status;
    std::string text;
    status = calfile_word(in, status, text);
    if (status != NO_ERROR)
        return status;
    std::string lower = text;
    for (char& ch : lower)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    token = cal_lookup(lower);
    if (word != nullptr)
        *word = std::move(text);
    return NO_ERROR;
}

cal_peek calfile_peek(calfile_stream& in, int32_t status)
{
    if (status != NO_ERROR)
        return cal_peek::eol;
    in.skip_blanks();
    int c = in.peek_char();
    if (c < 0 || c == '\n' || c == '#')
        return cal_peek::eol;
    if (is_digit(c) || c == '-' || c == '.')
        return cal_peek::number;
    if (is_letter(c))
        return cal_peek::word;
    if (c == '[')
        return cal_peek::lbracket;
    if (c == ':')
        return cal_peek::colon;
    return cal_peek::other;
}

int32_t calfile_int(calfile_stream& in, int32_t status, int32_t lo, int32_t hi, int32_t& value)
{
    if (status != NO_ERROR)
        return status;
    in.skip_space();
    if (in.at_end())
        return ERR_EOF;
    int32_t v = 0;
    std::size_t length = 0;
    if (!u_lex_int(in.text().substr(in.pos()), v, length))
        return ERR_SB_CALFILE_SYNTAX;
    in.seek(in.pos() + length);
    if (v < lo || v > hi) {
        calfile_report_read("%d out of range [%d,%d]", v, lo, hi);
        return ERR_SB_CALFILE_VALUE_RANGE;
    }
    value = v;
    return NO_ERROR;
}

int32_t calfile_real(calfile_stream& in, int32_t status, double lo, double hi, double& value,
                     cal_ends ends)
{
    if (status != NO_ERROR)
        return status;
    in.skip_space();
    if (in.at_end())
        return ERR_EOF;
    double v = 0.0;
    std::size_t length = 0;
    if (!u_lex_real(in.text().substr(in.pos()), v, length))
        return ERR_SB_CALFILE_SYNTAX;
    in.seek(in.pos() + length);

    bool low_ok = ends == cal_ends::open_low || ends == cal_ends::open ? v > lo : v >= lo;
    bool high_ok = ends == cal_ends::open_high || ends == cal_ends::open ? v < hi : v <= hi;
    if (!low_ok || !high_ok) {
        switch (ends) {
        case cal_ends::closed:
            calfile_report_read("%g out of range [%g,%g]", v, lo, hi);
            break;
        case cal_ends::open_low:
            calfile_report_read("%g out of range (%g,%g]", v, lo, hi);
            break;
        case cal_ends::open_high:
            calfile_report_read("%g out of range [%g,%g)", v, lo, hi);
            break;
        case cal_ends::open:
            calfile_report_read("%g out of range (%g,%g)", v, lo, hi);
            break;
        }
        return ERR_SB_CALFILE_VALUE_RANGE;
    }
    value = v;
    return NO_ERROR;
}
