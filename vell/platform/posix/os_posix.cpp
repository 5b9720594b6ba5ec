// POSIX implementation of the OS layer.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "vell/platform/os.h"
#include "vell/platform/os_internal.h"

namespace os {

bool native_path(const char* path, fs::path& out)
{
    if (path == nullptr)
        return false;
    if (!is_wide_path(path)) {
        out = fs::path(path);
        return true;
    }
    std::u16string units;
    std::string utf8;
    if (!wide_units(path, units) || !utf16_to_utf8(units, utf8))
        return false;
    out = fs::path(utf8);
    return true;
}

std::string utf8_of(const fs::path& path) { return path.string(); }

bool narrow_path(const fs::path& path, std::string& out)
{
    out = path.string();
    return true;
}

fs::path fold_case(const fs::path& path) { return path; }

std::FILE* open_file(const fs::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool stamp_of(const fs::path& path, u_file_stamp& out)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    auto ns = [](const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
    out.device = static_cast<uint64_t>(st.st_dev);
    out.file = static_cast<uint64_t>(st.st_ino);
#ifdef __APPLE__
    out.created_or_changed = ns(st.st_ctimespec);
    out.modified = ns(st.st_mtimespec);
#else
    out.created_or_changed = ns(st.st_ctim);
    out.modified = ns(st.st_mtim);
#endif
    out.size = static_cast<uint64_t>(st.st_size);
    return true;
}

std::FILE* create_temp_file(const fs::path& dir, std::string_view prefix, fs::path& created, fs::path* refused)
{
    if (refused)
        refused->clear();
    std::string pattern = (dir.empty() ? fs::path(".") : dir).string();
    if (!pattern.empty() && pattern.back() != '/')
        pattern += '/';
    pattern.append(prefix);
    pattern += "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd < 0) {
        if (refused && errno != EEXIST)  // EEXIST: every name is taken
            *refused = fs::path(pattern);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        ::close(fd);
        ::unlink(buf.data());
        if (refused)
            *refused = fs::path(buf.data());
        return nullptr;
    }
    created = fs::path(buf.data());
    return f;
}

bool flush_to_disk(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    int fd = ::fileno(stream);
    return fd >= 0 && ::fsync(fd) == 0;
}

bool read_at(std::FILE* file, uint64_t offset, void* buffer, std::size_t size, std::size_t& got)
{
    got = 0;
    int fd = ::fileno(file);
    if (fd < 0)
        return false;
    auto* out = static_cast<char*>(buffer);
    while (got < size) {
        // One call reads at most about 2 GiB on Linux; ask for no more than a signed size holds.
        std::size_t want = std::min<std::size_t>(size - got, std::size_t{1} << 30);
        ssize_t n = ::pread(fd, out + got, want, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool replace_file(const fs::path& from, const fs::path& to, int* sys_error)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (sys_error)
        *sys_error = errno;
    return false;
}

bool copy_file(const fs::path& from, const fs::path& to, int* sys_error)
{
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (!ec)
        return true;
    if (sys_error)
        *sys_error = ec.value();
    return false;
}

void adopt_file_mode(const fs::path& temp, const fs::path& target)
{
    struct stat st {};
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::chmod(temp.c_str(), mode);
}

std::optional<std::string> get_env(const char* name)
{
    const char* v = std::getenv(name);
    if (v == nullptr)
        return std::nullopt;
    return std::string(v);
}

bool set_env(const char* name, const char* value)
{
    if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr)
        return false;
    return (value ? ::setenv(name, value, 1) : ::unsetenv(name)) == 0;
}

std::string program_path()
{
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

bool computer_name(std::string& name)
{
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0')
        return false;
    name = buf;
    return true;
}

bool local_time(std::time_t when, std::tm& out) { return ::localtime_r(&when, &out) != nullptr; }

int last_error() { return errno; }

void sleep_real_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void advise_large_pages(void* block, std::size_t size)
{
#ifdef MADV_HUGEPAGE
    // Transparent huge pages of 2 MiB: with the system's setting "madvise" only advised
    // regions get them.
    constexpr uintptr_t large = uintptr_t{1} << 21;
    auto begin = (reinterpret_cast<uintptr_t>(block) + large - 1) & ~(large - 1);
    auto end = (reinterpret_cast<uintptr_t>(block) + size) & ~(large - 1);
    if (block != nullptr && end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

}  // namespace os
