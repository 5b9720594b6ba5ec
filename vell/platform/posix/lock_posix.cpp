// POSIX process lock: flock on a file in /tmp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "vell/platform/lock.h"
#include "vell/platform/log.h"
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

// Opens the lock file read-only, creating it when it is missing: the lock is the flock, which
// a read-only descriptor takes as well, so the file is never written. An existing file is
// opened without O_CREAT: in a sticky world-writable directory Linux refuses O_CREAT on a file
// of another user (protected_regular). Symbolic links are not followed.
int open_lock_file(const char* path)
{
    constexpr int common = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open_retrying(path, common);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = open_retrying(path, common | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644);  // past the umask: other users' processes open it too
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        // Another process created it meanwhile: open that one.
    }
    return -1;
}

// What is wrong with the opened file as a lock file, or null when nothing is. A lock file is
// a regular file with one link, owned by this user or by root: anything else was put there by
// someone else (a hard link to a file of theirs or of ours, a device, a file of another user
// that they could hold for ever).
const char* lock_file_fault(int fd, int& error)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        return "cannot be queried";
    }
    error = EPERM;
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    if (st.st_nlink != 1)
        return "has more than one link";
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return "belongs to another user";
    return nullptr;
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
        int error = errno;
        if (error == ELOOP)
            u_log_sink("process lock %s: %s is a symbolic link; refused\n", name, path.c_str());
        if (sys_error)
            *sys_error = error;
        return false;
    }
    int error = 0;
    if (const char* fault = lock_file_fault(fd, error)) {
        u_log_sink("process lock %s: %s %s; refused\n", name, path.c_str(), fault);
        ::close(fd);
        if (sys_error)
            *sys_error = error;
        return false;
    }
    fd_ = fd;
    name_ = name;
    return true;
}

bool process_lock::is_open() const { return fd_ >= 0; }

int process_lock::try_acquire(bool* abandoned)
{
    // The system drops the flock of a process that ends; nothing tells the next holder.
    if (abandoned)
        *abandoned = false;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        return -1;
    }
    return 1;
}

bool process_lock::release()
{
    if (!held_ || fd_ < 0)
        return false;
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
