#include "vell/platform/date.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Numbers in a date text are cut to this magnitude, so that adding a century or twelve hours
// can never overflow.
constexpr int64_t number_limit = 999999999;

constexpr std::array<std::string_view, 12> month_short = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::array<std::string_view, 12> month_long = {
    "JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
    "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
constexpr std::array<std::string_view, 7> weekday_short = {"SUN", "MON", "TUE", "WED",
                                                           "THU", "FRI", "SAT"};
constexpr std::array<std::string_view, 7> weekday_long = {
    "SUNDAY", "MONDAY", "TUESDAY", "WEDNESDAY", "THURSDAY", "FRIDAY", "SATURDAY"};

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A decimal integer the way the C library's atoi reads one (leading white space, a sign, the
// digits up to the first other character; no digits give 0), cut to number_limit.
int to_int(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        value = value * 10 + (s[i] - '0');
        if (value > number_limit)
            value = number_limit;
    }
    return static_cast<int>(negative ? -value : value);
}

template <std::size_t N>
int position_in(const std::array<std::string_view, N>& names, std::string_view word)
{
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == word)
            return static_cast<int>(i) + 1;
    return -1;
}

// The parts of a token between the separator characters, by position; an empty part is left
// out (reported as empty) so that the parts after it keep their places.
std::array<std::string_view, 3> split3(std::string_view token, std::string_view separators)
{
    std::array<std::string_view, 3> parts{};
    std::size_t index = 0;
    std::size_t start = 0;
    while (index < parts.size()) {
        std::size_t end = token.find_first_of(separators, start);
        parts[index++] = token.substr(start, end == std::string_view::npos ? end : end - start);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return parts;
}

struct date_parts {
    int year = -1, month = -1, day = -1, weekday = -1, hour = -1, minute = -1, second = -1;
};

void read_word(std::string_view token, date_parts& d)
{
    int n = position_in(month_short, token);
    if (n < 0)
        n = position_in(month_long, token);
    if (n > 0) {
        d.month = n;
        return;
    }
    n = position_in(weekday_short, token);
    if (n < 0)
        n = position_in(weekday_long, token);
    if (n > 0) {
        d.weekday = n;
        return;
    }
    if (token == "PM")
        d.hour = d.hour > INT_MAX - 12 ? INT_MAX : d.hour + 12;
}

void read_token(std::string_view token, date_parts& d)
{
    if (token.empty())
        return;
    if (is_letter(token[0])) {
        read_word(token, d);
    } else if (token.find(':') != std::string_view::npos) {
        auto parts = split3(token, ":");
        if (!parts[0].empty())
            d.hour = to_int(parts[0]);
        if (!parts[1].empty())
            d.minute = to_int(parts[1]);
        if (!parts[2].empty())
            d.second = to_int(parts[2]);
    } else if (token.find_first_of("/\\") != std::string_view::npos) {
        auto parts = split3(token, "/\\");
        if (!parts[0].empty())
            d.month = to_int(parts[0]);
        if (!parts[1].empty())
            d.day = to_int(parts[1]);
        if (!parts[2].empty()) {
            d.year = to_int(parts[2]);
            if (d.year < 100)
                d.year += d.year >= 80 ? 1900 : 2000;
        }
    } else if (token.size() > 2) {
        if (token.size() == 4)
            d.year = to_int(token);
    } else {
        int value = to_int(token);
        if (d.day == -1) {
            d.day = value;
            if (value >= 32) {
                d.year = value + (value <= 80 ? 2000 : 1900);
                d.day = -1;
            }
        } else {
            d.year = value + (value >= 80 ? 1900 : 2000);
        }
    }
}

date_parts parse(const char* text)
{
    date_parts d;
    if (text == nullptr)
        return d;
    try {
        std::string copy(text);
        for (char& c : copy)
            c = upper(c);
        std::vector<std::string_view> tokens;
        std::string_view rest(copy);
        while (!rest.empty()) {
            std::size_t blank = rest.find(' ');
            tokens.push_back(rest.substr(0, blank));
            if (blank == std::string_view::npos)
                break;
            rest.remove_prefix(blank + 1);
        }
        for (std::string_view token : tokens)
            read_token(token, d);
    } catch (const std::bad_alloc&) {
        return date_parts{};
    }
    return d;
}

void store(int* out, int value)
{
    if (out != nullptr)
        *out = value;
}

}  // namespace

void u_parse_date(const char* text, int* year, int* month, int* day, int* weekday, int* hour,
                  int* minute, int* second)
{
    date_parts d = parse(text);
    store(year, d.year);
    store(month, d.month);
    store(day, d.day);
    store(weekday, d.weekday);
    store(hour, d.hour);
    store(minute, d.minute);
    store(second, d.second);
}
