// Small text helpers of the SDF reader: trimming, and the creation date as header text.
#include <cstdio>
#include <cstring>

#include "vell/sdf/numbers.h"
#include "vell/sdf/sdf.h"

namespace {

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int month, int year)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// Decimal value of n digits; -1 when any of them is not a digit.
int digits(const char* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

}  // namespace

int u_trim(char* text)
{
    if (text == nullptr)
        return 0;
    std::size_t n = std::strlen(text);
    std::string_view kept = sdf::num::trim(std::string_view(text, n));
    std::memmove(text, kept.data(), kept.size());
    text[kept.size()] = '\0';
    return static_cast<int>(n - kept.size());
}

const char* sdf_date_text(const char* CreateDate)
{
    static char buffer[31];
    static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::memset(buffer, ' ', 30);
    buffer[30] = '\0';
    if (CreateDate == nullptr || std::strlen(CreateDate) != 12)
        return buffer;
    int day = digits(CreateDate, 2);
    int month = digits(CreateDate + 2, 2);
    int year = digits(CreateDate + 4, 4);
    int hour = digits(CreateDate + 8, 2);
    int minute = digits(CreateDate + 10, 2);
    if (day < 0 || month < 1 || month > 12 || year < 0 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || day < 1 || day > days_in_month(month, year))
        return buffer;
    char text[32];
    int n = std::snprintf(text, sizeof text, "%s %02d %02d:%02d:00 %04d", months[month - 1], day, hour,
                          minute, year);
    if (n > 0)
        std::memcpy(buffer, text, static_cast<std::size_t>(n < 30 ? n : 30));
    return buffer;
}
