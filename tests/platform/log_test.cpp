#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

using vptest::TempDir;

namespace {

struct SinkRestore {
    u_log_fn saved = u_log_sink;
    ~SinkRestore() { u_log_sink = saved; }
};

std::string numbered_lines(int count, int width)
{
    // Lines of exactly `width` bytes including the line feed.
    std::string out;
    for (int i = 0; i < count; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(static_cast<std::size_t>(width - 1), 'x');
        out += line + "\n";
    }
    return out;
}

}  // namespace

TEST(LogSink, StreamFollowsTheSink)
{
    SinkRestore restore;
    EXPECT_EQ(u_log_sink, &u_log_stderr);
    EXPECT_EQ(u_log_stream(), stderr);
    u_log_sink = u_log_stdout;
    EXPECT_EQ(u_log_stream(), stdout);
    u_log_sink = u_log_none;
    EXPECT_EQ(u_log_stream(), nullptr);
}

TEST(LogSink, StandardSinksWriteTheirStream)
{
    testing::internal::CaptureStderr();
    u_log_stderr("a %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "a 1\n");
    testing::internal::CaptureStdout();
    u_log_stdout("b %s\n", "x");
    u_log_none("never %d\n", 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "b x\n");
}

TEST(Timestamp, HasTheFixedForm)
{
    char stamp[U_TIMESTAMP_SIZE];
    u_timestamp(stamp);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << stamp;
}

TEST(Timestamp, ReadsTheWallClockHook)
{
    // A fixed "now" through the hook table; the calendar conversion is the test's own, so the
    // stamp does not depend on the machine's time zone.
    struct Restore {
        ~Restore() { u_hooks_reset(); }
    } restore;
    static int64_t seen = 0;
    u_hooks.wall_s = [] { return int64_t{86400} * 365 + 61; };
    u_hooks.local_time = [](int64_t when, std::tm& out) {
        seen = when;
        out = std::tm{};
        out.tm_year = 2031 - 1900;
        out.tm_mon = 11;
        out.tm_mday = 24;
        out.tm_hour = 23;
        out.tm_min = 5;
        out.tm_sec = 9;
        return true;
    };
    char stamp[U_TIMESTAMP_SIZE];
    u_timestamp(stamp);
    EXPECT_STREQ(stamp, "2031-12-24 23:05:09");
    EXPECT_EQ(seen, int64_t{86400} * 365 + 61);
    u_hooks.local_time = [](int64_t, std::tm&) { return false; };
    u_timestamp(stamp);
    EXPECT_STREQ(stamp, "");
}

TEST(LogStamped, StampBlankThenMessage)
{
    vptest::LogCapture log;
    u_log_stamped("value %d\n", 42);
    EXPECT_TRUE(std::regex_match(log.str(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d value 42\n)"))) << log.str();
}

TEST(LogStamped, LongMessagePassesWhole)
{
    vptest::LogCapture log;
    std::string longer(2000, 'm');
    u_log_stamped("%s|\n", longer.c_str());
    ASSERT_GE(log.str().size(), 20u + longer.size());
    EXPECT_EQ(log.str().substr(20), longer + "|\n");
}

TEST(LogToFile, AppendsWithoutLimit)
{
    TempDir dir;
    std::string path = dir.str("a.log");
    EXPECT_EQ(u_log_to_file(path.c_str(), "one\n", 0, 0), NO_ERROR);
    EXPECT_EQ(u_log_to_file(path.c_str(), "two\n", 0, 500), NO_ERROR);
    EXPECT_EQ(vptest::read_file(path), "one\ntwo\n");
}

TEST(LogToFile, TrimsToTheLinesAfterTheDroppedPart)
{
    TempDir dir;
    std::string path = dir.str("b.log");
    // 1200 bytes in 24 lines of 50: dropping 700 bytes leaves the lines from offset 700 on.
    std::string old = numbered_lines(24, 50);
    vptest::write_file(path, old);
    vptest::LogCapture log;
    EXPECT_EQ(u_log_to_file(path.c_str(), "new\n", 1000, 500), NO_ERROR);
    EXPECT_EQ(vptest::read_file(path), old.substr(700) + "new\n");
    EXPECT_EQ(log.str(), "");
}

TEST(LogToFile, TrimStartsAtTheFirstLineBeginningPastTheCut)
{
    TempDir dir;
    std::string path = dir.str("c.log");
    // Lines of 60 bytes: offset 700 falls inside line 11 (660..719), so line 12 is the first kept.
    std::string old = numbered_lines(20, 60);
    vptest::write_file(path, old);
    EXPECT_EQ(u_log_to_file(path.c_str(), "tail\n", 1000, 500), NO_ERROR);
    EXPECT_EQ(vptest::read_file(path), old.substr(720) + "tail\n");
}

TEST(LogToFile, SmallerThanLimitIsNotTrimmed)
{
    TempDir dir;
    std::string path = dir.str("d.log");
    std::string old = numbered_lines(10, 50);
    vptest::write_file(path, old);
    EXPECT_EQ(u_log_to_file(path.c_str(), "x\n", 1000, 500), NO_ERROR);
    EXPECT_EQ(vptest::read_file(path), old + "x\n");
}

TEST(LogToFile, UnreachableFileIsReported)
{
    TempDir dir;
    std::string path = dir.str("missing/e.log");
    vptest::LogCapture log;
    EXPECT_EQ(u_log_to_file(path.c_str(), "x\n", 0, 0), ERR_FILE_IO);
    EXPECT_EQ(log.str(), "u_log_to_file: error accessing file '" + path + "'\n");
}

// A temporary directory that refuses new files: the trim fails with its own message, naming
// the file it could not create, and the log stays as it was.
TEST(LogToFile, TempFileTheSystemRefusesIsReported)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a directory that refuses new files even to an administrator";
#else
    TempDir dir;
    std::string path = dir.str("f.log");
    std::string old = numbered_lines(24, 50);
    vptest::write_file(path, old);
    auto saved = os::get_env("TMPDIR");
    ASSERT_TRUE(os::set_env("TMPDIR", "/proc/self"));  // a directory; no file can be made in it
    vptest::LogCapture log;
    int32_t r = u_log_to_file(path.c_str(), "new\n", 1000, 500);
    os::set_env("TMPDIR", saved ? saved->c_str() : nullptr);
    EXPECT_EQ(r, ERR_CANT_CREATE_FILE);
    EXPECT_TRUE(std::regex_match(log.str(), std::regex("u_log_to_file: cannot create temp file '/proc/self/_log.*'\n")))
        << log.str();
    EXPECT_EQ(vptest::read_file(path), old);
#endif
}

TEST(CopyFile, ReplacesTargetAndReportsFailure)
{
    TempDir dir;
    vptest::write_file(dir / "from", "new bytes");
    vptest::write_file(dir / "to", "old");
    EXPECT_EQ(u_copy_file(dir.str("from").c_str(), dir.str("to").c_str()), NO_ERROR);
    EXPECT_EQ(vptest::read_file(dir / "to"), "new bytes");
    vptest::LogCapture log;
    EXPECT_EQ(u_copy_file(dir.str("nothing").c_str(), dir.str("to").c_str()), ERR_CANT_WRITE_FILE);
    EXPECT_TRUE(log.str().rfind("u_copy_file failed: win_err = ", 0) == 0) << log.str();
    EXPECT_EQ(vptest::read_file(dir / "to"), "new bytes");
}
