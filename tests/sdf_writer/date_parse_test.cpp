// Reading free-form date texts: every token rule, and texts that hold anything at all.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "vell/platform/date.h"

namespace {

struct parsed {
    int year = 0, month = 0, day = 0, weekday = 0, hour = 0, minute = 0, second = 0;
};

parsed parse(const char* text)
{
    parsed p;
    u_parse_date(text, &p.year, &p.month, &p.day, &p.weekday, &p.hour, &p.minute, &p.second);
    return p;
}

void expect_parts(const parsed& p, int year, int month, int day, int weekday, int hour, int minute,
                  int second)
{
    EXPECT_EQ(p.year, year);
    EXPECT_EQ(p.month, month);
    EXPECT_EQ(p.day, day);
    EXPECT_EQ(p.weekday, weekday);
    EXPECT_EQ(p.hour, hour);
    EXPECT_EQ(p.minute, minute);
    EXPECT_EQ(p.second, second);
}

TEST(ParseDate, EmptyAndNullTextsGiveMinusOneEverywhere)
{
    expect_parts(parse(""), -1, -1, -1, -1, -1, -1, -1);
    expect_parts(parse(nullptr), -1, -1, -1, -1, -1, -1, -1);
    expect_parts(parse("                              "), -1, -1, -1, -1, -1, -1, -1);
}

TEST(ParseDate, ReadsTheDatasetDateText)
{
    // The form the SDF reader gives swinfo.date: 30 characters, padded with blanks.
    expect_parts(parse("Mar 02 11:20:00 1995          "), 1995, 3, 2, -1, 11, 20, 0);
    expect_parts(parse("Dec 31 23:59:00 1999          "), 1999, 12, 31, -1, 23, 59, 0);
}

TEST(ParseDate, MonthNamesShortAndLongInAnyCase)
{
    const char* short_names[] = {"jan", "Feb", "MAR", "apr", "May", "jun",
                                 "JUL", "aug", "Sep", "oct", "NoV", "dec"};
    const char* long_names[] = {"january", "February", "MARCH",     "april",   "May",      "june",
                                "JULY",    "august",   "September", "october", "NOVEMBER", "december"};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(parse(short_names[i]).month, i + 1) << short_names[i];
        EXPECT_EQ(parse(long_names[i]).month, i + 1) << long_names[i];
    }
    // Only whole words count.
    EXPECT_EQ(parse("Marc").month, -1);
    EXPECT_EQ(parse("Ja").month, -1);
    EXPECT_EQ(parse("Mar,").month, -1);
}

TEST(ParseDate, WeekdayNamesCountFromSunday)
{
    const char* short_names[] = {"Sun", "mon", "TUE", "wed", "Thu", "fri", "SAT"};
    const char* long_names[] = {"Sunday", "monday", "TUESDAY", "wednesday", "Thursday", "FRIDAY", "saturday"};
    for (int i = 0; i < 7; ++i) {
        parsed a = parse(short_names[i]);
        EXPECT_EQ(a.weekday, i + 1) << short_names[i];
        EXPECT_EQ(a.month, -1);
        EXPECT_EQ(parse(long_names[i]).weekday, i + 1) << long_names[i];
    }
    expect_parts(parse("Thu Mar 02 11:20:00 1995"), 1995, 3, 2, 5, 11, 20, 0);
}

TEST(ParseDate, PmAddsTwelveToWhateverTheHourHolds)
{
    EXPECT_EQ(parse("10:30 PM").hour, 22);
    EXPECT_EQ(parse("10:30 pm").hour, 22);
    // The PM before the time raises -1 to 11; the time token then sets 10.
    parsed p = parse("5 PM 10:30");
    EXPECT_EQ(p.hour, 10);
    EXPECT_EQ(p.minute, 30);
    EXPECT_EQ(p.day, 5);
    EXPECT_EQ(parse("PM").hour, 11);
    EXPECT_EQ(parse("1:00 PM PM").hour, 25);
    // AM and other words are ignored.
    EXPECT_EQ(parse("10:30 AM").hour, 10);
    EXPECT_EQ(parse("10:30 P.M.").hour, 10);
}

TEST(ParseDate, TimeTokens)
{
    expect_parts(parse("11:20:05"), -1, -1, -1, -1, 11, 20, 5);
    expect_parts(parse("7:5"), -1, -1, -1, -1, 7, 5, -1);
    expect_parts(parse("7:"), -1, -1, -1, -1, 7, -1, -1);
    expect_parts(parse(":45"), -1, -1, -1, -1, -1, 45, -1);
    expect_parts(parse("1:2:3:4"), -1, -1, -1, -1, 1, 2, 3);
    // A part is read as far as its digits go.
    expect_parts(parse("10:30PM"), -1, -1, -1, -1, 10, 30, -1);
    // The colon wins over a slash in the same token; "3/2" reads as 3.
    expect_parts(parse("3/2:15"), -1, -1, -1, -1, 3, 15, -1);
}

TEST(ParseDate, SlashAndBackslashDates)
{
    expect_parts(parse("3/2\\95"), 1995, 3, 2, -1, -1, -1, -1);
    expect_parts(parse("3/2/95"), 1995, 3, 2, -1, -1, -1, -1);
    expect_parts(parse("3\\2\\95"), 1995, 3, 2, -1, -1, -1, -1);
    expect_parts(parse("12/31/2001"), 2001, 12, 31, -1, -1, -1, -1);
    expect_parts(parse("1/2/80"), 1980, 1, 2, -1, -1, -1, -1);
    expect_parts(parse("1/2/79"), 2079, 1, 2, -1, -1, -1, -1);
    expect_parts(parse("1/2/0"), 2000, 1, 2, -1, -1, -1, -1);
    expect_parts(parse("1/2/100"), 100, 1, 2, -1, -1, -1, -1);
    expect_parts(parse("6/15"), -1, 6, 15, -1, -1, -1, -1);
    expect_parts(parse("/15/"), -1, -1, 15, -1, -1, -1, -1);
}

TEST(ParseDate, FourCharacterNumbersAreYearsLongerOnesIgnored)
{
    EXPECT_EQ(parse("1995").year, 1995);
    EXPECT_EQ(parse("0042").year, 42);
    EXPECT_EQ(parse("199").year, -1);
    EXPECT_EQ(parse("19955").year, -1);
    EXPECT_EQ(parse("12345").day, -1);
}

TEST(ParseDate, OneOrTwoCharacterNumbers)
{
    expect_parts(parse("7"), -1, -1, 7, -1, -1, -1, -1);
    expect_parts(parse("31"), -1, -1, 31, -1, -1, -1, -1);
    // From 32 on, a number before any day is a two-digit year and the day stays unknown.
    expect_parts(parse("85"), 1985, -1, -1, -1, -1, -1, -1);
    expect_parts(parse("45"), 2045, -1, -1, -1, -1, -1, -1);
    expect_parts(parse("32"), 2032, -1, -1, -1, -1, -1, -1);
    expect_parts(parse("80"), 2080, -1, -1, -1, -1, -1, -1);
    expect_parts(parse("81"), 1981, -1, -1, -1, -1, -1, -1);
    // Once the day is known, the next one is a year: 80 and above in the 1900s.
    expect_parts(parse("2 95"), 1995, -1, 2, -1, -1, -1, -1);
    expect_parts(parse("2 80"), 1980, -1, 2, -1, -1, -1, -1);
    expect_parts(parse("2 79"), 2079, -1, 2, -1, -1, -1, -1);
    expect_parts(parse("2 5"), 2005, -1, 2, -1, -1, -1, -1);
    // The day of the 2 stays after an 85 that became a year.
    expect_parts(parse("85 2"), 1985, -1, 2, -1, -1, -1, -1);
}

TEST(ParseDate, OnlyTheBlankSeparatesTokens)
{
    // A tab is part of the token: "Mar\t02" starts with a letter but is no month name.
    expect_parts(parse("Mar\t02"), -1, -1, -1, -1, -1, -1, -1);
    // Several blanks in a row separate as one.
    expect_parts(parse("  Mar   02    1995  "), 1995, 3, 2, -1, -1, -1, -1);
    // A comma is not a separator: "02," is a three-character token and ignored.
    EXPECT_EQ(parse("02,").day, -1);
    EXPECT_EQ(parse("2,").day, 2);
}

TEST(ParseDate, AbsentOutputsAreLeftAlone)
{
    int year = 7, day = 7;
    u_parse_date("Mar 02 11:20:00 1995", &year, nullptr, &day, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(year, 1995);
    EXPECT_EQ(day, 2);
    u_parse_date("Mar", &year, nullptr, &day, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(year, -1);
    EXPECT_EQ(day, -1);
}

TEST(ParseDate, HugeNumbersDoNotOverflow)
{
    parsed p = parse("99999999999999999999:99999999999999999999 PM "
                     "1/1/-99999999999999999999");
    EXPECT_GT(p.hour, 0);
    EXPECT_GT(p.minute, 0);
    EXPECT_LT(p.year, 0);
    std::string many(30000, ' ');
    for (std::size_t i = 0; i + 2 < many.size(); i += 3) {
        many[i] = 'P';
        many[i + 1] = 'M';
    }
    EXPECT_EQ(parse(("999999999:00 " + many).c_str()).hour, 999999999 + 12 * 10000);
}

TEST(ParseDate, NeverReadsBeyondTheText)
{
    // Random bytes, then each text in a heap block of exactly its size: the sanitizer build
    // catches any read past the terminator.
    std::mt19937 rng(12345);
    const std::string alphabet = "0123456789:/\\ PMpmJANFEBSUNMON\t\xff\x80-+";
    for (int round = 0; round < 2000; ++round) {
        std::size_t n = rng() % 40;
        std::string text;
        for (std::size_t i = 0; i < n; ++i)
            text.push_back(round % 2 ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() % 255 + 1));
        std::vector<char> block(text.begin(), text.end());
        block.push_back('\0');
        parsed p = parse(block.data());
        (void)p;
    }
}

}  // namespace
