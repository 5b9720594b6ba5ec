#include "vell/platform/fields.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "vell/platform/os.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == ':'; }

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

int folded(char c)
{
    if (c == ':')
        c = ' ';
    if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    return static_cast<unsigned char>(c);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

enum class num_fault { none, missing, not_number, extra, range };

const char* fault_text(num_fault f)
{
    switch (f) {
    case num_fault::missing:
        return "Missing number.\n";
    case num_fault::not_number:
        return "Not a number.\n";
    case num_fault::extra:
        return "Extra characters after number.\n";
    default:
        return "Number out of range.\n";
    }
}

// "Expected 'desc'" (at most 40 characters of the description).
void expected_prefix(std::string& r, const char* desc)
{
    r += "Expected";
    if (desc != nullptr) {
        r += " '";
        r += std::string_view(desc).substr(0, 40);
        r += '\'';
    }
}

template <typename... A>
void append_format(std::string& r, const char* format, A... args)
{
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, format, args...);
    if (n > 0)
        r.append(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

// After an optional sign: does the word start a hexadecimal form ("0x...")?
bool hex_form(std::string_view w)
{
    return w.size() >= 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X');
}

num_fault parse_int(std::string_view w, int64_t& out)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < w.size() && (w[i] == '+' || w[i] == '-'))
        negative = w[i++] == '-';
    if (hex_form(w.substr(i)) || i >= w.size() || !is_digit(w[i]))
        return num_fault::not_number;
    bool overflow = false;
    int64_t v = 0;
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    for (; i < w.size() && is_digit(w[i]); ++i) {
        const int digit = w[i] - '0';
        if (overflow || v > (max - digit) / 10)
            overflow = true;
        else
            v = v * 10 + digit;
    }
    if (i < w.size())
        return num_fault::extra;
    if (overflow)
        return num_fault::range;
    out = negative ? -v : v;
    return num_fault::none;
}

num_fault parse_real(std::string_view w, double& out)
{
    std::size_t i = 0;
    if (i < w.size() && (w[i] == '+' || w[i] == '-'))
        ++i;
    if (hex_form(w.substr(i)))
        return num_fault::not_number;
    const std::size_t mantissa = i;
    std::size_t digits = 0;
    for (; i < w.size() && is_digit(w[i]); ++i)
        ++digits;
    if (i < w.size() && w[i] == '.')
        for (++i; i < w.size() && is_digit(w[i]); ++i)
            ++digits;
    if (digits == 0)
        return num_fault::not_number;
    if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < w.size() && (w[j] == '+' || w[j] == '-'))
            ++j;
        if (j < w.size() && is_digit(w[j])) {
            while (j < w.size() && is_digit(w[j]))
                ++j;
            i = j;
        }
    }
    if (i < w.size())
        return num_fault::extra;
    // from_chars takes no '+'; the sign is put back afterwards.
    const bool negative = w[0] == '-';
    double v = 0.0;
    auto [end, ec] = std::from_chars(w.data() + mantissa, w.data() + i, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range)
        return num_fault::range;
    if (ec != std::errc() || end != w.data() + i)
        return num_fault::not_number;
    out = negative ? -v : v;
    return num_fault::none;
}

}  // namespace

int strxcmp(std::string_view a, std::string_view b)
{
    a = trimmed(a);
    b = trimmed(b);
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        int d = folded(a[i]) - folded(b[i]);
        if (d != 0)
            return d;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int strxcmp(const char* a, const char* b)
{
    return strxcmp(std::string_view(a != nullptr ? a : ""), std::string_view(b != nullptr ? b : ""));
}

bool u_words::next(std::string_view& word, std::string_view delims)
{
    std::size_t start = rest_.find_first_not_of(delims);
    if (start == std::string_view::npos) {
        rest_ = {};
        word = {};
        return false;
    }
    std::size_t stop = rest_.find_first_of(delims, start);
    if (stop == std::string_view::npos) {
        word = rest_.substr(start);
        rest_ = {};
    } else {
        word = rest_.substr(start, stop - start);
        rest_ = rest_.substr(stop + 1);
    }
    return true;
}

bool u_field_int(u_words& words, std::string_view delims, const char* desc, int32_t lo, int32_t hi,
                 int32_t& value, std::string* report)
{
    std::string_view w;
    int64_t v = 0;
    num_fault f = words.next(w, delims) ? parse_int(w, v) : num_fault::missing;
    if (f == num_fault::none && (v < lo || v > hi))
        f = num_fault::range;
    if (f == num_fault::none) {
        value = static_cast<int32_t>(v);
        return true;
    }
    if (report != nullptr) {
        std::string& r = *report;
        r = fault_text(f);
        expected_prefix(r, desc);
        r += " an integer value";
        const bool has_lo = lo != U_FIELD_NO_MIN;
        const bool has_hi = hi != U_FIELD_NO_MAX;
        if (has_lo && has_hi)
            append_format(r, " in the range [%d,%d]", static_cast<int>(lo), static_cast<int>(hi));
        else if (has_lo)
            append_format(r, " greater than or equal to %d", static_cast<int>(lo));
        else if (has_hi)
            append_format(r, " less than or equal to %d", static_cast<int>(hi));
        r += '\n';
    }
    return false;
}

bool u_field_real(u_words& words, std::string_view delims, const char* desc, double lo, double hi,
                  double& value, std::string* report)
{
    std::string_view w;
    double v = 0.0;
    num_fault f = words.next(w, delims) ? parse_real(w, v) : num_fault::missing;
    if (f == num_fault::none && (v < lo || v > hi))
        f = num_fault::range;
    if (f == num_fault::none) {
        value = v;
        return true;
    }
    if (report != nullptr) {
        std::string& r = *report;
        r = fault_text(f);
        expected_prefix(r, desc);
        r += " a floating point value";
        const bool has_lo = !std::isinf(lo) && !std::isnan(lo);
        const bool has_hi = !std::isinf(hi) && !std::isnan(hi);
        if (has_lo && has_hi)
            append_format(r, " in the range [%g,%g]", lo, hi);
        else if (has_lo)
            append_format(r, " greater than or equal to %g", lo);
        else if (has_hi)
            append_format(r, " less than or equal to %g", hi);
        r += '\n';
    }
    return false;
}

bool u_field_string(u_words& words, std::string_view delims, const char* desc, int max_len, std::string& value,
                    std::string* report)
{
    std::string_view w;
    const bool found = words.next(w, delims);
    const bool fits = found && (max_len < 0 || w.size() <= static_cast<std::size_t>(max_len));
    if (fits) {
        value.assign(w);
        return true;
    }
    if (report != nullptr) {
        std::string& r = *report;
        if (!found)
            r = "Missing string.\n";
        else {
            r.clear();
            append_format(r, "String longer than maximum of %d characters.\n", max_len);
        }
        r += "Expected";
        if (desc != nullptr) {
            r += ' ';
            r += desc;
            r += ',';
        }
        append_format(r, " a string of up to %d characters\n", max_len);
    }
    return false;
}

u_line_reader::result u_line_reader::next()
{
    if (pushed_) {
        pushed_ = false;
        return last_;
    }
    text_.clear();
    if (file_ == nullptr)
        return last_ = end;
    std::size_t length = 0;
    bool any = false;
    int c;
    while ((c = std::getc(file_)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        // Keep one character past the limit, enough to know the line is too long.
        if (length <= max_)
            text_.push_back(static_cast<char>(c));
        ++length;
    }
    if (std::ferror(file_))
        return last_ = read_error;
    if (!any)
        return last_ = end;
    ++number_;
    if (!text_.empty() && text_.back() == '\r' && length <= max_ + 1) {
        text_.pop_back();
        --length;
    }
    if (length > max_) {
        text_.clear();
        return last_ = too_long;
    }
    return last_ = line;
}

bool u_config_comment(std::string_view line)
{
    u_words words(line);
    std::string_view first;
    return !words.next(first) || first.front() == '#';
}

std::FILE* u_open_config_file(const char* path)
{
    os::fs::path native;
    if (path == nullptr || !os::native_path(path, native) || os::kind_of(native) == os::file_kind::directory)
        return nullptr;
    return os::open_file(native, "rb");
}
