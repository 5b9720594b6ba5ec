// The instrument links on virtual ports, on the virtual clock, with a fixed wall clock (UTC as
// local time) so that stamped log lines are exact.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "tests/support/test_support.h"

namespace linktest {

// 2026-03-04 05:06:07 UTC.
constexpr int64_t kWallNow = 1772600767;
inline constexpr char kStamp[] = "2026-03-04 05:06:07";

// Calendar time of epoch seconds, taken as UTC.
inline bool utc_time(int64_t when, std::tm& out)
{
    int64_t days = when >= 0 ? when / 86400 : (when - 86399) / 86400;
    int64_t secs = when - days * 86400;
    // Civil date from days since 1970-01-01.
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    int64_t y = yoe + era * 400 + (m <= 2);
    out = std::tm{};
    out.tm_year = int(y - 1900);
    out.tm_mon = int(m - 1);
    out.tm_mday = int(d);
    out.tm_hour = int(secs / 3600);
    out.tm_min = int(secs / 60 % 60);
    out.tm_sec = int(secs % 60);
    return true;
}

class Links : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock = std::make_unique<u_virtual_clock>(1000);
        u_hooks.wall_s = [] { return kWallNow; };
        u_hooks.local_time = utc_time;
        log = std::make_unique<vptest::LogCapture>();
    }
    void TearDown() override
    {
        log.reset();
        clock.reset();
        u_hooks_reset();
    }

    // Virtual milliseconds since the clock started, and since the last mark.
    static uint64_t now() { return u_now_ms() - 1000; }
    void mark() { marked = u_now_ms(); }
    uint64_t since_mark() const { return u_now_ms() - marked; }

    std::string logged() { return log->str(); }
    void clear_log() { log->clear(); }

    std::unique_ptr<u_virtual_clock> clock;
    std::unique_ptr<vptest::LogCapture> log;
    uint64_t marked = 0;
};

inline std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += char(b);
    return s;
}

}  // namespace linktest
