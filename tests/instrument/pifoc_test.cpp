// PIFOC info file, effective time, time gain, report line and diagnostic log.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "vell/instrument/pifoc.h"
#include "vell/platform/errors.h"
#include "tests/instrument/instrument_fixture.h"

namespace {

class Pifoc : public vptest::InstrumentTest {
protected:
    void SetUp() override
    {
        InstrumentTest::SetUp();
        si_ = sysinfo_slot(2);
        si_->instrBdType = BD_BOARD01;
        ASSERT_EQ(sysinfo_ensure_pifoc(*si_), NO_ERROR);
        si_->pifoc->value = 3;
        si_->pifoc->beta = 0.0144;
        si_->pifoc->coef = 0.928655;
        st_ = xr_pifoc_state_of(si_);
        ASSERT_NE(st_, nullptr);
    }
    std::string info_path() const { return cfg_path(std::string("ramps") + os::path_separator + "pifoc.3"); }
    std::string log_path() const { return cfg_path(std::string("ramps") + os::path_separator + "pifoclog.3"); }
    void set(int64_t te, int64_t t1, int32_t leakage = 0) { st_->values = xr_pifoc_values{te, t1, leakage}; }

    SysInfo* si_ = nullptr;
    xr_pifoc_state* st_ = nullptr;
};

struct load_case {
    const char* what;
    std::string content;
    int64_t now;
    int32_t rc;
    std::string log;  // after "Pifoc info file is PATH\n" when `values_line` is set
    bool values_line;
    xr_pifoc_values loaded;
};

TEST_F(Pifoc, LoadingChecksTheFileAndItsValues)
{
    const std::string unreasonable = "xr_load_pifoc_info: unreasonable te or t1 value\n";
    const std::vector<load_case> cases = {
        {"comment and data line", "# pifoc 3\n3600 1000000000 0\n", 2000000000, NO_ERROR,
         "te = 3600  t1 = 1000000000  leakage = 0 (0 uA)\n", true, {3600, 1000000000, 0}},
        {"blank lines, tabs, no leakage, words after it", "\n  # x\n\t7200\t1500000000 -2 later\n", 2000000000,
         NO_ERROR, "te = 7200  t1 = 1500000000  leakage = -2 (-8.95861e-07 uA)\n", true, {7200, 1500000000, -2}},
        {"t1 below te", "5000 4000\n", 2000000000, ERR_PARAM_OUT_OF_RANGE,
         "te = 5000  t1 = 4000  leakage = 0 (0 uA)\n" + unreasonable + "te  = 5000\nt1  = 4000\nnow = 2000000000\n",
         true, {}},
        {"t1 after now", "3600 2000000001\n", 2000000000, ERR_PARAM_OUT_OF_RANGE,
         "te = 3600  t1 = 2000000001  leakage = 0 (0 uA)\n" + unreasonable +
             "te  = 3600\nt1  = 2000000001\nnow = 2000000000\n",
         true, {}},
        {"te 0", "0 100\n", 2000000000, ERR_PARAM_OUT_OF_RANGE,
         "te = 0  t1 = 100  leakage = 0 (0 uA)\n" + unreasonable + "te  = 0\nt1  = 100\nnow = 2000000000\n", true, {}},
        {"times beyond 32 bits", "4294967296 4294967297\n", 6000000000, ERR_PARAM_OUT_OF_RANGE,
         "te = 4294967296  t1 = 4294967297  leakage = 0 (0 uA)\n" + unreasonable +
             "te  = 4294967296\nt1  = 4294967297\nnow = 6000000000\n",
         true, {}},
        {"a leakage the saver writes: 5 counts are noise at 0 uA", "3600 1000000000 5\n", 2000000000, NO_ERROR,
         "te = 3600  t1 = 1000000000  leakage = 5 (2.23965e-06 uA)\n", true, {3600, 1000000000, 5}},
        {"the highest leakage in range", "3600 1000000000 111\n", 2000000000, NO_ERROR,
         "te = 3600  t1 = 1000000000  leakage = 111 (4.97203e-05 uA)\n", true, {3600, 1000000000, 111}},
        {"the lowest leakage in range", "3600 1000000000 -31254947\n", 2000000000, NO_ERROR,
         "te = 3600  t1 = 1000000000  leakage = -31254947 (-14 uA)\n", true, {3600, 1000000000, -31254947}},
        {"leakage above 0 uA", "3600 1000000000 112\n", 2000000000, ERR_PARAM_OUT_OF_RANGE,
         "te = 3600  t1 = 1000000000  leakage = 112 (5.01682e-05 uA)\n"
         "xr_load_pifoc_info: leakage = 5.01682e-05 uA is out of range [-14,0]\n",
         true, {}},
        {"leakage beyond -14 uA", "3600 1000000000 -40000000\n", 2000000000, ERR_PARAM_OUT_OF_RANGE,
         "te = 3600  t1 = 1000000000  leakage = -40000000 (-17.9172 uA)\n"
         "xr_load_pifoc_info: leakage = -17.9172 uA is out of range [-14,0]\n",
         true, {}},
        {"empty", "", 2000000000, ERR_CANT_READ_FILE, "xr_load_pifoc_info: empty file PATH\n", false, {}},
        {"comments only", "# a\n\n   \n#b", 2000000000, ERR_CANT_READ_FILE, "xr_load_pifoc_info: empty file PATH\n",
         false, {}},
        {"word that is no integer", "# c\n3600 1e9 0\n", 2000000000, ERR_CANT_READ_FILE,
         "xr_load_pifoc_info: error in file PATH\nLine 2:\n3600 1e9 0\n", false, {}},
        {"one number", "3600\n", 2000000000, ERR_CANT_READ_FILE,
         "xr_load_pifoc_info: error in file PATH\nLine 1:\n3600\n", false, {}},
        {"leakage beyond 32 bits", "3600 1000000000 -4294967296\n", 2000000000, ERR_CANT_READ_FILE,
         "xr_load_pifoc_info: error in file PATH\nLine 1:\n3600 1000000000 -4294967296\n", false, {}},
    };
    const xr_pifoc_values before{11, 22, -3};
    for (const load_case& c : cases) {
        vptest::write_file(info_path(), c.content);
        set_now(c.now);
        st_->values = before;
        log_.clear();
        EXPECT_EQ(xr_load_pifoc_info(si_), c.rc) << c.what;
        std::string expected = c.log;
        for (std::size_t p; (p = expected.find("PATH")) != std::string::npos;)
            expected.replace(p, 4, info_path());
        if (c.values_line)
            expected = "Pifoc info file is " + info_path() + "\n" + expected;
        EXPECT_EQ(log_.str(), expected) << c.what;
        const xr_pifoc_values& want = c.rc == NO_ERROR ? c.loaded : before;
        EXPECT_EQ(st_->values.te, want.te) << c.what;
        EXPECT_EQ(st_->values.t1, want.t1) << c.what;
        EXPECT_EQ(st_->values.leakage, want.leakage) << c.what;
    }

    std::filesystem::remove(info_path());
    log_.clear();
    EXPECT_EQ(xr_load_pifoc_info(si_), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(log_.str(), "Cannot open pifoc info file " + info_path() + "\n");
}

TEST_F(Pifoc, SavingWritesOneLineThatLoadsBack)
{
    set(3600, 1000000000, 5);
    ASSERT_EQ(xr_save_pifoc_info(si_), NO_ERROR);
    EXPECT_EQ(vptest::read_file(info_path()), "3600 1000000000 5\n");

    set(86400 * 400 + 17, 1999999999, -31000000);
    ASSERT_EQ(xr_save_pifoc_info(si_), NO_ERROR);
    set(1, 1);
    ASSERT_EQ(xr_load_pifoc_info(si_), NO_ERROR);
    EXPECT_EQ(st_->values.te, 86400 * 400 + 17);
    EXPECT_EQ(st_->values.t1, 1999999999);
    EXPECT_EQ(st_->values.leakage, -31000000);

    // No ramps directory: nothing can be created, and nothing is left behind.
    std::filesystem::remove_all(cfg().path() / "ramps");
    log_.clear();
    EXPECT_EQ(xr_save_pifoc_info(si_), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(log_.str(), "xr_save_pifoc_info: cannot create " + info_path() + "\n");
}

// What the saver writes the loader reads: values the loader would refuse are not written, and
// the file keeps what it held.
TEST_F(Pifoc, SavingKeepsToTheLoadersRule)
{
    set(3600, 1000000000, 0);
    ASSERT_EQ(xr_save_pifoc_info(si_), NO_ERROR);
    struct row {
        xr_pifoc_values v;
        const char* log;
    };
    const row rows[] = {
        {{1, 0, 0}, "xr_save_pifoc_info: te = 1  t1 = 0  leakage = 0 would not load again\n"},
        {{3600, 100, 0}, "xr_save_pifoc_info: te = 3600  t1 = 100  leakage = 0 would not load again\n"},
        {{3600, 1000000000, 112}, "xr_save_pifoc_info: te = 3600  t1 = 1000000000  leakage = 112 would not load again\n"},
        {{3600, 1000000000, -31254948},
         "xr_save_pifoc_info: te = 3600  t1 = 1000000000  leakage = -31254948 would not load again\n"},
    };
    for (const row& r : rows) {
        st_->values = r.v;
        log_.clear();
        EXPECT_EQ(xr_save_pifoc_info(si_), ERR_PARAM_OUT_OF_RANGE) << r.log;
        EXPECT_EQ(log_.str(), r.log);
        EXPECT_EQ(vptest::read_file(info_path()), "3600 1000000000 0\n");
    }
}

#ifndef _WIN32
// With every file descriptor in use the temporary file cannot be created: the save fails and
// the existing file, with its effective-time history, stays.
TEST_F(Pifoc, AFailedCreateKeepsTheExistingFile)
{
    set(7200, 1000003600, 0);
    // One save before the limit: a sanitizer build's run-time checks open files of their own the
    // first time they look at a type, which they could not do once no descriptor is left.
    ASSERT_EQ(xr_save_pifoc_info(si_), NO_ERROR);
    vptest::write_file(info_path(), "# history\n3600 1000000000 0\n");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest_free = dup(0);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);  // no further descriptor
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int32_t rc = xr_save_pifoc_info(si_);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(rc, ERR_CANT_CREATE_FILE);
    EXPECT_EQ(log_.str(), "xr_save_pifoc_info: cannot create " + info_path() + "\n");
    EXPECT_EQ(vptest::read_file(info_path()), "# history\n3600 1000000000 0\n");
}
#endif

TEST_F(Pifoc, CanInstrumentsAndRecordsWithoutPifocAreRefused)
{
    double gain = 5;
    si_->instrBdType = BD_CAN;
    EXPECT_EQ(xr_load_pifoc_info(si_), ERR_INVALID_PARAM);
    EXPECT_EQ(xr_save_pifoc_info(si_), ERR_INVALID_PARAM);
    EXPECT_EQ(xr_update_pifoc_time(si_, 5), ERR_INVALID_PARAM);
    EXPECT_EQ(xr_calc_pifoc_time_gain(si_, &gain), ERR_INVALID_PARAM);
    EXPECT_EQ(xr_log_pifoc_diagnostic(si_, nullptr), ERR_INVALID_PARAM);
    EXPECT_FALSE(std::filesystem::exists(log_path()));

    si_->instrBdType = BD_BOARD01;
    si_->pifoc.reset();
    EXPECT_EQ(xr_save_pifoc_info(si_), ERR_INVALID_PARAM);
    EXPECT_EQ(xr_report_pifoc_time(si_), ERR_INVALID_PARAM);
    EXPECT_EQ(xr_calc_pifoc_time_gain(si_, &gain), NO_ERROR);
    EXPECT_EQ(gain, 0.0);
    EXPECT_FALSE(std::filesystem::exists(info_path()));
}

TEST_F(Pifoc, TheTimeGainFollowsTheLogarithmOfTheEffectiveTime)
{
    double gain = 0;
    set(1000000, 1000000000);
    ASSERT_EQ(xr_calc_pifoc_time_gain(si_, &gain), NO_ERROR);
    EXPECT_NEAR(gain, 1.015055, 1e-12);

    set(1, 1000000000);
    ASSERT_EQ(xr_calc_pifoc_time_gain(si_, &gain), NO_ERROR);
    EXPECT_EQ(gain, 0.928655);

    si_->pifoc->beta = -0.01;  // a falling law is raised to g0
    set(1000, 1000000000);
    ASSERT_EQ(xr_calc_pifoc_time_gain(si_, &gain), NO_ERROR);
    EXPECT_EQ(gain, 0.928655);

    si_->pifoc->beta = 0.0144;
    set(int64_t{20000000000000000}, 1000000000);  // G = 1.16339
    log_.clear();
    EXPECT_EQ(xr_calc_pifoc_time_gain(si_, &gain), ERR_PIFOC_GAIN);
    EXPECT_EQ(gain, 0.0);
    EXPECT_EQ(log_.str(), "xr_calc_pifoc_time_gain: gain = 1.16339 is out of range [0.8,1.15]\n");

    si_->pifoc->coef = std::nan("");
    EXPECT_EQ(xr_calc_pifoc_time_gain(si_, &gain), ERR_PIFOC_GAIN);
    EXPECT_EQ(gain, 0.0);
}

struct update_case {
    const char* what;
    int32_t state;
    double beta;
    int64_t te;
    int64_t t1;
    int64_t now;
    int64_t te_after;  // -1: only checked to shrink and stay at least 1
    int64_t t1_after;
};

TEST_F(Pifoc, TheEffectiveTimeGrowsWhilePoweredAndRelaxesWhileOff)
{
    const int64_t T = 1000000000;
    const std::vector<update_case> cases = {
        {"powered 100 s", 1, 0.0144, 3600, T, T + 100, 3700, T + 100},
        {"powered, no time passed", 1, 0.0144, 3600, T, T, 3600, T},
        {"clock set back", 1, 0.0144, 3600, T, T - 5000, 3600, T},
        {"clock set back while off", -1, 0.0144, 3600, T, T - 5000, 3600, T},
        {"off with beta 0", -1, 0.0, 3600, T, T + 100, 3500, T + 100},
        {"off with beta 0 for longer than te", -1, 0.0, 3600, T, T + 5000, 1, T + 5000},
        {"off with beta 0.0144 for a long time", -1, 0.0144, 3600, T, T + 2000000000, 1, T + 2000000000},
        {"off with a NaN beta counts as beta <= 0", -1, std::nan(""), 3600, T, T + 100, 3500, T + 100},
        {"no last update time yet", 1, 0.0144, 3600, 0, T, 3600, T},
    };
    for (const update_case& c : cases) {
        st_->state = c.state;
        si_->pifoc->beta = c.beta;
        set(c.te, c.t1);
        ASSERT_EQ(xr_update_pifoc_time(si_, c.now), NO_ERROR) << c.what;
        EXPECT_EQ(st_->values.te, c.te_after) << c.what;
        EXPECT_EQ(st_->values.t1, c.t1_after) << c.what;
    }

    // Off at beta 0.0144: 10000 s of effective time and 10000 s off meet the mirrored curve at
    // twice the time, which is the gain of 5000 s.
    st_->state = -1;
    si_->pifoc->beta = 0.0144;
    set(10000, T);
    ASSERT_EQ(xr_update_pifoc_time(si_, T + 10000), NO_ERROR);
    EXPECT_NEAR(static_cast<double>(st_->values.te), 5000.0, 1.0);

    // Relaxation never grows te and never takes it below 1, for short and long times off.
    for (int64_t te : {int64_t{1}, int64_t{2}, int64_t{999}, int64_t{123456789}, int64_t{4000000000}}) {
        for (int64_t d : {int64_t{1}, int64_t{60}, int64_t{86400}, int64_t{1} << 40}) {
            set(te, T);
            ASSERT_EQ(xr_update_pifoc_time(si_, T + d), NO_ERROR);
            EXPECT_LE(st_->values.te, te) << te << " off " << d;
            EXPECT_GE(st_->values.te, 1) << te << " off " << d;
        }
    }

    // Without a given time the update reads the wall clock.
    st_->state = 1;
    set(3600, T);
    set_now(T + 250);
    ASSERT_EQ(xr_update_pifoc_time(si_), NO_ERROR);
    EXPECT_EQ(st_->values.te, 3850);
    EXPECT_EQ(st_->values.t1, T + 250);
}

TEST_F(Pifoc, TheReportGivesDaysAndTheTimeOfDay)
{
    for (const auto& [te, text] : std::vector<std::pair<int64_t, std::string>>{
             {90061, "1 days, 01:01:01 (90061 secs)"}, {1, "0 days, 00:00:01 (1 secs)"},
             {86400 * 365 - 1, "364 days, 23:59:59 (31535999 secs)"}}) {
        set(te, 1000000000);
        log_.clear();
        ASSERT_EQ(xr_report_pifoc_time(si_), NO_ERROR);
        EXPECT_EQ(log_.str(), "Pifoc effective time on: " + text + "\n");
    }
}

TEST_F(Pifoc, TheDiagnosticLogStartsWithItsHeadingAndStaysWithinItsLimit)
{
    const std::string heading =
        "#--------------------------------------------------------------------------\n"
        "# Since  Leakage Meas Scan  First    Mid    Last    Gain    Date     Time  \n"
        "# Start  Current      Len  Current Current Current                         \n"
        "# (secs)   (uA)       (um)   (uA)    (uA)    (uA)                          \n"
        "#------- ------- ---- ---- ------- ------- ------- ------ -------- --------\n";
    ASSERT_EQ(xr_log_pifoc_diagnostic(si_, nullptr), NO_ERROR);
    EXPECT_EQ(vptest::read_file(log_path()), heading);
    EXPECT_EQ(log_.str(), "Pifoc diagnostic log file is " + log_path() + "\n(size limited to 1000000 bytes)\n");

    const std::string line = "     100 -1.2345   1   100  0.1000  0.2000  0.3000 1.0151 03/05/26 07:08:09\n";
    xr_set_pifoc_log_limit(1000);
    log_.clear();
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(xr_log_pifoc_diagnostic(si_, line.c_str()), NO_ERROR);
        const std::string text = vptest::read_file(log_path());
        ASSERT_LE(text.size(), 1000 + line.size()) << i;
        EXPECT_EQ(text.substr(text.size() - line.size()), line);
    }
    EXPECT_EQ(log_.str(), "");
    EXPECT_LT(vptest::read_file(log_path()).find(line), 1u) << "trimmed to whole lines";

    std::filesystem::remove(log_path());
    xr_set_pifoc_log_limit(-1);
    log_.clear();
    ASSERT_EQ(xr_log_pifoc_diagnostic(si_, ""), NO_ERROR);
    EXPECT_EQ(log_.str(), "Pifoc diagnostic log file is " + log_path() + "\n(size unlimited)\n");

    std::filesystem::remove(log_path());
    xr_set_pifoc_log_limit(0);
    log_.clear();
    ASSERT_EQ(xr_log_pifoc_diagnostic(si_, nullptr), NO_ERROR);
    ASSERT_EQ(xr_log_pifoc_diagnostic(si_, line.c_str()), NO_ERROR);
    EXPECT_EQ(log_.str(), "Pifoc diagnostic log disabled\n");
    EXPECT_FALSE(std::filesystem::exists(log_path()));

    // A log that cannot be written is reported with the cause.
    xr_set_pifoc_log_limit(1000);
    std::filesystem::remove_all(cfg().path() / "ramps");
    log_.clear();
    EXPECT_EQ(xr_log_pifoc_diagnostic(si_, line.c_str()), ERR_FILE_IO);
    EXPECT_EQ(log_.str(), "u_log_to_file: error accessing file '" + log_path() +
                              "'\nxr_log_pifoc_diagnostic: u_log_to_file failed: ERR_FILE_IO\n");
}

TEST_F(Pifoc, AMeasurementLineIsDatedWithTheLocalTime)
{
    u_hooks.local_time = [](int64_t when, std::tm& out) {
        if (when != 1772694489)
            return false;
        out = std::tm{};
        out.tm_year = 126;  // 2026-03-05 07:08:09
        out.tm_mon = 2;
        out.tm_mday = 5;
        out.tm_hour = 7;
        out.tm_min = 8;
        out.tm_sec = 9;
        return true;
    };
    xr_pifoc_diag d;
    d.sinceStart = 100;
    d.leakageUa = -1.2345;
    d.measured = 1;
    d.scanLen = 100;
    d.firstUa = 0.1;
    d.midUa = 0.2;
    d.lastUa = 0.3;
    d.gain = 1.015055;
    EXPECT_EQ(xr_format_pifoc_diag_line(d, 1772694489),
              "     100 -1.2345   1   100  0.1000  0.2000  0.3000 1.0151 03/05/26 07:08:09\n");
    EXPECT_EQ(xr_format_pifoc_diag_line(d, 5),
              "     100 -1.2345   1   100  0.1000  0.2000  0.3000 1.0151 --/--/-- --:--:--\n");
}

}  // namespace
