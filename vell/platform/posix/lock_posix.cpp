// POSIX process lock: flock on a file in /tmp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "vell/platform/lock.h"
#include "vell/platform/os.h"

namespace os {

namespace {

std::string lock_file_name(const std::string& name)
{
    std::string out = "vp_lock_";
    for (char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '_' || c == '.';
        out += plain ? c : '_';
    }
    out += ".lock";
    return out;
}

int open_retrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens the lock file, creating it readable and writable by every user. An existing file is
// opened without O_CREAT: in a sticky world-writable directory Linux refuses O_CREAT on a file
// of another user (protected_regular). A file this user may only read still serves for the
// lock itself; only the holder record cannot be written then. Symbolic links are refused, so
// nobody can point the lock at a file of theirs.
int open_lock_file(const char* path)
{
    constexpr int common = O_CLOEXEC | O_NOFOLLOW;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open_retrying(path, O_RDWR | common);
        if (fd >= 0 || errno == EACCES) {
            if (fd < 0)
                fd = open_retrying(path, O_RDONLY | common);
            return fd;
        }
        if (errno != ENOENT)
            return -1;
        fd = open_retrying(path, O_RDWR | O_CREAT | O_EXCL | common, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);  // past the umask: other users' processes open it too
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        // Another process created it meanwhile: open that one.
    }
    return -1;
}

}  // namespace

bool process_lock::open(const char* name, int* sys_error)
{
    close();
    if (name == nullptr || *name == '\0') {
        if (sys_error)
            *sys_error = EINVAL;
        return false;
    }
    fs::path path = fs::path(process_lock_dir) / lock_file_name(name);
    int fd = open_lock_file(path.c_str());
    if (fd < 0) {
        if (sys_error)
            *sys_error = errno;
        return false;
    }
    fd_ = fd;
    name_ = name;
    return true;
}

bool process_lock::is_open() const { return fd_ >= 0; }

int process_lock::try_acquire(bool* abandoned)
{
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        return -1;
    }
    // A holder that ended without releasing left its process id behind.
    char buf[32];
    ssize_t n = ::pread(fd_, buf, sizeof buf, 0);
    if (abandoned)
        *abandoned = n > 0;
    std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock is ours all the same; only the abandonment record is lost.
    }
    return 1;
}

bool process_lock::release()
{
    if (!held_ || fd_ < 0)
        return false;
    if (::ftruncate(fd_, 0) != 0) {
        // Left as it is: the next holder takes the lock for abandoned, which is harmless.
    }
    ::flock(fd_, LOCK_UN);
    held_ = false;
    return true;
}

void process_lock::close()
{
    if (held_)
        release();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    name_.clear();
}

}  // namespace os
