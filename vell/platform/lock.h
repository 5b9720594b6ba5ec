// A named lock shared by all processes of the machine, with a time-out, that survives its
// holder crashing: the system releases it when the holding process ends.
//
// Windows: a named mutex in the machine-wide namespace ("Global\\<name>", so that processes of
// every session and user share it), open to every user for waiting and releasing; an abandoned
// mutex counts as acquired, and the acquirer is told that the holder went away without
// releasing it ("abandoned").
// POSIX: an exclusive flock on "vp_lock_<name>.lock" in /tmp (characters other than letters,
// digits, '-', '_' and '.' become '_'). The directory is fixed, not the temporary directory of
// the environment, so that every process of the machine finds the same file whatever its
// TMPDIR. The lock is the flock alone: the file is opened read-only and never written, so its
// content tells nothing and no lock is reported abandoned. Since anybody may create a file in
// /tmp, open refuses (with a log line naming the file and the fault) a symbolic link (ELOOP), and
// anything but a regular file with one link owned by this user or by root (EPERM); the file is
// created readable by every user, so a lock file that root made serves every user.
//
// One lock object belongs to one thread at a time. A second object of the same name, in this
// process on another thread or in another process, is refused while the first holds the lock.
// Acquiring an object that already holds the lock succeeds at once without nesting.
// Waiting polls every 10 ms through the platform time hooks, so it runs on the virtual clock.
#pragma once

#include <cstdint>
#include <string>

namespace os {

class process_lock {
public:
    process_lock() = default;
    ~process_lock() { close(); }
    process_lock(const process_lock&) = delete;
    process_lock& operator=(const process_lock&) = delete;

    // Opens (creating when needed) the lock of that name, not acquiring it. False with the
    // system error number (POSIX: ELOOP or EPERM for a lock file that fails the checks above).
    bool open(const char* name, int* sys_error = nullptr);

    // Waits up to timeout_ms (U_INFINITE: no limit) for the lock: 0 when acquired, with
    // *abandoned telling whether the previous holder ended without releasing it; U_WAIT_TIMEOUT;
    // U_WAIT_FAILED when the object is not open or the system fails.
    int acquire(uint32_t timeout_ms, bool* abandoned = nullptr);

    // Releases the held lock. False when it was not held.
    bool release();

    // Releases the lock if held and closes the object.
    void close();

    bool is_open() const;
    bool held() const { return held_; }
    const std::string& name() const { return name_; }

private:
    // One try without waiting: 1 acquired, 0 held by another, -1 failure.
    int try_acquire(bool* abandoned);

    std::string name_;
    bool held_ = false;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Interval of the waiting polls, in milliseconds.
constexpr uint32_t process_lock_poll_ms = 10;

#ifndef _WIN32
// Directory of the POSIX lock files.
constexpr const char* process_lock_dir = "/tmp";
#endif

}  // namespace os
