#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/lock.h"
#include "vell/platform/os.h"
#include "vell/platform/process.h"
#include "vell/platform/thread.h"
#include "tests/platform_os/os_test_support.h"
#include "tests/support/test_support.h"

namespace {

// Environment variable that turns this test program into the child of the cross-process tests.
constexpr const char* child_variable = "VP_LOCK_TEST_CHILD";

// Exit statuses of the child.
constexpr int child_acquired = 0;
constexpr int child_timed_out = 3;
constexpr int child_failed = 4;

std::string unique_lock_name(const char* what)
{
    static int counter = 0;
    return std::string("vp_test_") + what + "_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
           "_" + std::to_string(++counter);
}

class ProcessLock : public ostest::VirtualClockTest {};

// Starts this test program as the child, doing `mode` with the lock; with a temporary
// directory of its own when `temp` is given.
bool spawn_child(os::child_process& child, const std::string& mode, const std::string& temp = {})
{
    os::set_env(child_variable, mode.c_str());
    const char* temp_variables[] = {"TMPDIR", "TMP", "TEMP"};
    std::optional<std::string> saved[3];
    if (!temp.empty()) {
        for (int i = 0; i < 3; ++i) {
            saved[i] = os::get_env(temp_variables[i]);
            os::set_env(temp_variables[i], temp.c_str());
        }
    }
    int err = 0;
    bool ok = child.spawn(os::program_path(),
                          {"--gtest_filter=ProcessLockChild.DISABLED_Run", "--gtest_also_run_disabled_tests"}, &err);
    os::set_env(child_variable, nullptr);
    if (!temp.empty())
        for (int i = 0; i < 3; ++i)
            os::set_env(temp_variables[i], saved[i] ? saved[i]->c_str() : nullptr);
    EXPECT_TRUE(ok) << "spawn failed: " << err;
    return ok;
}

// Waits in real time (the child is a real process) for the marker file that the child writes.
bool wait_for_file(const vptest::fs::path& path)
{
    for (int i = 0; i < 3000; ++i) {
        if (os::kind_of(path) == os::file_kind::regular)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST_F(ProcessLock, AnotherThreadIsRefusedForItsTimeOutAndGetsItAfterRelease)
{
    std::string name = unique_lock_name("thread");
    os::process_lock mine;
    ASSERT_TRUE(mine.open(name.c_str()));
    bool abandoned = true;
    ASSERT_EQ(mine.acquire(0, &abandoned), 0);
    EXPECT_FALSE(abandoned);
    EXPECT_TRUE(mine.held());

    u_handle go_again = ostest::make_event(false);
    u_handle refused = ostest::make_event(true);
    std::atomic<uint64_t> refused_after{0};
    std::atomic<bool> second_abandoned{true};
    u_handle other = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      os::process_lock theirs;
                      if (!theirs.open(name.c_str()))
                          return 1;
                      uint64_t t0 = u_now_ms();
                      if (theirs.acquire(500) != U_WAIT_TIMEOUT)
                          return 2;
                      refused_after = u_now_ms() - t0;
                      u_event_set(refused);
                      u_wait_one(go_again, U_INFINITE);
                      bool ab = true;
                      if (theirs.acquire(500, &ab) != 0)
                          return 3;
                      second_abandoned = ab;
                      return theirs.release() ? 0 : 4;
                  },
                  &other),
              NO_ERROR);
    ASSERT_EQ(u_wait_one(refused, U_INFINITE), 0);
    EXPECT_EQ(refused_after.load(), 500u);
    EXPECT_TRUE(mine.release());
    EXPECT_FALSE(mine.held());
    u_event_set(go_again);
    int32_t r = -1;
    ASSERT_EQ(u_thread_join(other, U_INFINITE, &r), 0);
    EXPECT_EQ(r, 0);
    EXPECT_FALSE(second_abandoned.load());
    EXPECT_LT(real_ms(), 2000);
    u_close_handle(other);
    u_close_handle(go_again);
    u_close_handle(refused);
}

TEST_F(ProcessLock, RefusedWaitPollsThroughTheTimeHooks)
{
    std::string name = unique_lock_name("poll");
    os::process_lock holder;
    ASSERT_TRUE(holder.open(name.c_str()));
    ASSERT_EQ(holder.acquire(0), 0);
    std::atomic<int> result{-10};
    u_handle other = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      os::process_lock theirs;
                      theirs.open(name.c_str());
                      u_vclock_clear_sleeps();
                      result = theirs.acquire(35);
                      return 0;
                  },
                  &other),
              NO_ERROR);
    u_thread_join(other, U_INFINITE);
    EXPECT_EQ(result.load(), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_vclock_sleeps(), (std::vector<uint32_t>{10, 10, 10, 5}));
    u_close_handle(other);
}

TEST_F(ProcessLock, UseWithoutOpeningOrHoldingIsRefused)
{
    os::process_lock lock;
    EXPECT_FALSE(lock.is_open());
    EXPECT_EQ(lock.acquire(100), U_WAIT_FAILED);
    EXPECT_FALSE(lock.release());
    int err = 0;
    EXPECT_FALSE(lock.open("", &err));
    EXPECT_NE(err, 0);
    EXPECT_FALSE(lock.open(nullptr));
    std::string name = unique_lock_name("use");
    ASSERT_TRUE(lock.open(name.c_str()));
    EXPECT_EQ(lock.name(), name);
    EXPECT_FALSE(lock.release());
}

TEST_F(ProcessLock, AcquiringTwiceDoesNotNestAndCloseReleases)
{
    std::string name = unique_lock_name("nest");
    os::process_lock lock;
    ASSERT_TRUE(lock.open(name.c_str()));
    ASSERT_EQ(lock.acquire(0), 0);
    ASSERT_EQ(lock.acquire(0), 0);
    EXPECT_TRUE(lock.release());
    EXPECT_FALSE(lock.release());

    ASSERT_EQ(lock.acquire(0), 0);
    lock.close();
    EXPECT_FALSE(lock.is_open());
    std::atomic<int> result{-10};
    u_handle other = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      os::process_lock theirs;
                      theirs.open(name.c_str());
                      result = theirs.acquire(0);
                      return 0;
                  },
                  &other),
              NO_ERROR);
    u_thread_join(other, U_INFINITE);
    EXPECT_EQ(result.load(), 0);
    u_close_handle(other);
}

TEST_F(ProcessLock, NamesWithOddCharactersWork)
{
    std::string name = unique_lock_name("odd/name:*? x");
    os::process_lock a;
    ASSERT_TRUE(a.open(name.c_str()));
    ASSERT_EQ(a.acquire(0), 0);
    a.release();
}

// The holder is another process that dies without releasing: the lock is refused while it
// lives and taken over, reported as abandoned, once it is gone.
TEST_F(ProcessLock, LockOfAProcessThatDiesIsTakenOverAsAbandoned)
{
    vptest::TempDir dir;
    std::string name = unique_lock_name("crash");
    auto marker = dir / "holding";
    os::child_process child;
    ASSERT_TRUE(spawn_child(child, "hold\n" + name + "\n" + os::utf8_of(marker)));
    ASSERT_TRUE(wait_for_file(marker)) << "the child did not take the lock";

    os::process_lock mine;
    ASSERT_TRUE(mine.open(name.c_str()));
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(mine.acquire(500), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 500u);

    ASSERT_TRUE(child.kill());
    int status = -1;
    ASSERT_EQ(child.wait(U_INFINITE, &status), 0);
    EXPECT_NE(status, 0);

    bool abandoned = false;
    ASSERT_EQ(mine.acquire(500, &abandoned), 0);
#ifdef _WIN32
    EXPECT_TRUE(abandoned);
#else
    EXPECT_FALSE(abandoned);  // the flock leaves no trace of its holder
#endif
    EXPECT_TRUE(mine.release());
    // Released properly: the next holder finds nothing abandoned.
    ASSERT_EQ(mine.acquire(0, &abandoned), 0);
    EXPECT_FALSE(abandoned);
}

// This process holds the lock: another process is refused for its whole time-out, although
// its temporary directory is another one.
TEST_F(ProcessLock, AnotherProcessIsRefusedForItsTimeOut)
{
    std::string name = unique_lock_name("refuse");
    os::process_lock mine;
    ASSERT_TRUE(mine.open(name.c_str()));
    ASSERT_EQ(mine.acquire(0), 0);
#ifndef _WIN32
    // One file for every process of the machine, readable by every user and never written.
    auto file = vptest::fs::path(os::process_lock_dir) / ("vp_lock_" + name + ".lock");
    EXPECT_EQ(vptest::fs::status(file).permissions() & vptest::fs::perms::all,
              vptest::fs::perms::owner_read | vptest::fs::perms::owner_write | vptest::fs::perms::group_read |
                  vptest::fs::perms::others_read);
    EXPECT_EQ(vptest::fs::file_size(file), 0u);
#endif
    {
        vptest::TempDir own_temp;
        os::child_process child;
        ASSERT_TRUE(spawn_child(child, "try\n" + name + "\n300", own_temp.str("")));
        int status = -1;
        ASSERT_EQ(child.wait(U_INFINITE, &status), 0);
        EXPECT_EQ(status, child_timed_out);
    }
    mine.release();
    {
        // Free now; the child takes it, releases it and ends normally.
        os::child_process child;
        ASSERT_TRUE(spawn_child(child, "try\n" + name + "\n300"));
        int status = -1;
        ASSERT_EQ(child.wait(U_INFINITE, &status), 0);
        EXPECT_EQ(status, child_acquired);
    }
    bool abandoned = true;
    ASSERT_EQ(mine.acquire(0, &abandoned), 0);
    EXPECT_FALSE(abandoned);
}

#ifndef _WIN32
// Anybody can put something at the lock file's path before the lock is first taken: a link to a
// file of the user's, or a file of their own. Such a path is refused with a line that says why,
// and the file it leads to keeps its bytes through open, acquire, release and close.
TEST_F(ProcessLock, ALockPathThatIsNotAPlainFileOfThisUserIsRefusedAndLeftIntact)
{
    struct row {
        const char* what;
        int error;
        const char* fault;
    };
    const row rows[] = {
        {"symlink", ELOOP, "is a symbolic link"},
        {"hardlink", EPERM, "has more than one link"},
        {"directory", EPERM, "is not a regular file"},
        {"foreign", EPERM, "belongs to another user"},
    };
    vptest::TempDir dir;
    const std::string precious = "calibration history\n";
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string name = unique_lock_name(r.what);
        auto path = vptest::fs::path(os::process_lock_dir) / ("vp_lock_" + name + ".lock");
        auto target = dir / (std::string(r.what) + ".txt");
        vptest::write_file(target, precious);
        std::string w = r.what;
        if (w == "symlink") {
            vptest::fs::create_symlink(target, path);
        } else if (w == "hardlink") {
            vptest::fs::create_hard_link(target, path);
        } else if (w == "directory") {
            vptest::fs::create_directory(path);
        } else {
            vptest::write_file(path, precious);
            if (::chown(path.c_str(), 65534, 65534) != 0) {
                vptest::fs::remove(path);
                continue;  // only root can give a file away
            }
            target = path;
        }
        os::process_lock lock;
        int err = 0;
        vptest::LogCapture log;
        EXPECT_FALSE(lock.open(name.c_str(), &err));
        EXPECT_EQ(err, r.error);
        EXPECT_EQ(log.str(), "process lock " + name + ": " + path.string() + " " + r.fault + "; refused\n");
        EXPECT_FALSE(lock.is_open());
        EXPECT_EQ(lock.acquire(0), U_WAIT_FAILED);
        lock.close();
        if (w != "directory") {
            EXPECT_EQ(vptest::read_file(target), precious);
        }
        vptest::fs::remove(path);
    }
}

// A lock file this process did not create is taken without writing to it.
TEST_F(ProcessLock, AnExistingLockFileIsNeverWritten)
{
    std::string name = unique_lock_name("existing");
    auto path = vptest::fs::path(os::process_lock_dir) / ("vp_lock_" + name + ".lock");
    vptest::write_file(path, "left by someone\n");
    os::process_lock lock;
    ASSERT_TRUE(lock.open(name.c_str()));
    ASSERT_EQ(lock.acquire(0), 0);
    EXPECT_TRUE(lock.release());
    lock.close();
    EXPECT_EQ(vptest::read_file(path), "left by someone\n");
    vptest::fs::remove(path);
}
#endif

TEST(ChildProcess, WaitTimesOutOnTheVirtualClockAndKillEndsIt)
{
    vptest::TempDir dir;
    std::string name = unique_lock_name("wait");
    auto marker = dir / "holding";
    os::child_process child;
    ASSERT_TRUE(spawn_child(child, "hold\n" + name + "\n" + os::utf8_of(marker)));
    ASSERT_TRUE(wait_for_file(marker));
    EXPECT_TRUE(child.running());
    {
        u_virtual_clock clock(0);
        EXPECT_EQ(child.wait(250), U_WAIT_TIMEOUT);
        EXPECT_EQ(u_now_ms(), 250u);
    }
    ASSERT_TRUE(child.kill());
    int status = -1;
    EXPECT_EQ(child.wait(U_INFINITE, &status), 0);
    EXPECT_FALSE(child.running());
    EXPECT_FALSE(child.kill());
    os::child_process none;
    EXPECT_EQ(none.wait(0), U_WAIT_FAILED);
    int err = 0;
    EXPECT_FALSE(none.spawn((dir / "no_such_program").string(), {}, &err));
}

// The child's part of the cross-process tests; runs only when started by them.
TEST(ProcessLockChild, DISABLED_Run)
{
    auto request = os::get_env(child_variable);
    if (!request)
        GTEST_SKIP();
    std::string text = *request;
    std::size_t a = text.find('\n');
    std::size_t b = text.find('\n', a + 1);
    std::string mode = text.substr(0, a);
    std::string name = text.substr(a + 1, b - a - 1);
    std::string arg = text.substr(b + 1);
    os::process_lock lock;
    if (!lock.open(name.c_str()))
        std::_Exit(child_failed);
    if (mode == "hold") {
        if (lock.acquire(0) != 0)
            std::_Exit(child_failed);
        vptest::write_file(vptest::fs::u8path(arg), "held\n");
        for (int i = 0; i < 6000; ++i)  // killed long before
            os::sleep_real_ms(10);
        std::_Exit(child_failed);
    }
    if (mode == "try") {
        uint32_t timeout = static_cast<uint32_t>(std::stoul(arg));
        u_vclock_start(0);
        int r = lock.acquire(timeout);
        if (r == U_WAIT_TIMEOUT)
            std::_Exit(u_now_ms() == timeout ? child_timed_out : child_failed);
        if (r == 0 && lock.release())
            std::_Exit(child_acquired);
    }
    std::_Exit(child_failed);
}
