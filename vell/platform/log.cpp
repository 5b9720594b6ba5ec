#include "vell/platform/log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"

u_log_fn u_log_sink = u_log_stderr;

namespace {

void vlog(std::FILE* stream, const char* format, va_list args)
{
    std::vfprintf(stream, format, args);
    std::fflush(stream);
}

}  // namespace

std::string u_vformat(const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<std::size_t>(n) < sizeof small)
        return std::string(small, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

std::string u_format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = u_vformat(format, args);
    va_end(args);
    return text;
}


void u_log_stderr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(stderr, format, args);
    va_end(args);
}

void u_log_stdout(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(stdout, format, args);
    va_end(args);
}

void u_log_none(const char*, ...) {}

void u_log_fprintf(std::FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vlog(stream, format, args);
    va_end(args);
}

std::FILE* u_log_stream()
{
    if (u_log_sink == u_log_stderr)
        return stderr;
    if (u_log_sink == u_log_stdout)
        return stdout;
    return nullptr;
}

void u_timestamp(char* buffer)
{
    std::tm tm{};
    if (!u_local_time(u_wall_s(), tm)) {
        buffer[0] = '\0';
        return;
    }
    if (std::strftime(buffer, U_TIMESTAMP_SIZE, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        buffer[0] = '\0';
}

void u_log_stamped(const char* format, ...)
{
    char stamp[U_TIMESTAMP_SIZE];
    u_timestamp(stamp);
    va_list args;
    va_start(args, format);
    std::string message = u_vformat(format, args);
    va_end(args);
    u_log_sink("%s ", stamp);
    u_log_sink("%s", message.c_str());
}

int32_t u_copy_file(const char* from, const char* to)
{
    os::fs::path src, dst;
    int err = 0;
    if (!os::native_path(from, src) || !os::native_path(to, dst) || !os::copy_file(src, dst, &err)) {
        u_log_sink("u_copy_file failed: win_err = %d\n", err);
        return ERR_CANT_WRITE_FILE;
    }
    return NO_ERROR;
}

namespace {

struct file_closer {
    std::FILE* f;
    ~file_closer()
    {
        if (f)
            std::fclose(f);
    }
    std::FILE* release()
    {
        std::FILE* r = f;
        f = nullptr;
        return r;
    }
};

int32_t access_error(const char* path)
{
    u_log_sink("u_log_to_file: error accessing file '%s'\n", path);
    return ERR_FILE_IO;
}

}  // namespace

int32_t u_log_to_file(const char* path, const char* text, long size_limit, long keep_size)
{
    os::fs::path log_path;
    if (!os::native_path(path, log_path))
        return access_error(path ? path : "");
    if (text == nullptr)
        text = "";

    file_closer log{os::open_file(log_path, "a+b")};
    if (log.f == nullptr) {
        os::remove_file(log_path);
        log.f = os::open_file(log_path, "a+b");
        if (log.f == nullptr)
            return access_error(path);
    }

    uint64_t size = 0;
    if (!os::file_size(log_path, size))
        return access_error(path);

    bool trim = size_limit > 0 && size >= static_cast<uint64_t>(size_limit) && keep_size > 0 &&
                static_cast<uint64_t>(keep_size) < size;
    if (!trim) {
        bool ok = std::fputs(text, log.f) >= 0;
        ok = std::fclose(log.release()) == 0 && ok;
        return ok ? NO_ERROR : access_error(path);
    }

    // Skip whole lines until at least size - keep bytes lie behind; the first line that begins
    // there is the oldest one kept.
    const uint64_t drop = size - static_cast<uint64_t>(keep_size);
    if (std::fseek(log.f, 0, SEEK_SET) != 0)
        return access_error(path);
    uint64_t passed = 0;
    std::vector<char> line(512);
    while (passed < drop) {
        if (std::fgets(line.data(), static_cast<int>(line.size()), log.f) == nullptr) {
            if (std::ferror(log.f))
                return access_error(path);
            break;
        }
        long pos = std::ftell(log.f);
        if (pos < 0)
            return access_error(path);
        passed = static_cast<uint64_t>(pos);
        // A read that stopped inside a long line continues the same line.
        std::size_t len = std::strlen(line.data());
        while (len > 0 && line[len - 1] != '\n' && passed < size) {
            if (std::fgets(line.data(), static_cast<int>(line.size()), log.f) == nullptr)
                break;
            pos = std::ftell(log.f);
            if (pos < 0)
                return access_error(path);
            passed = static_cast<uint64_t>(pos);
            len = std::strlen(line.data());
        }
    }

    os::fs::path temp, refused;
    file_closer out{os::create_temp_file(os::temp_dir(), "_log", temp, &refused)};
    if (out.f == nullptr) {
        if (refused.empty())
            u_log_sink("u_log_to_file: cannot obtain temp file name\n");
        else
            u_log_sink("u_log_to_file: cannot create temp file '%s'\n", os::utf8_of(refused).c_str());
        return ERR_CANT_CREATE_FILE;
    }
    std::string temp_text = os::utf8_of(temp);
    auto fail_write = [&] {
        out.f && std::fclose(out.release());
        os::remove_file(temp);
        u_log_sink("u_log_to_file: error writing file '%s'\n", temp_text.c_str());
        return ERR_FILE_IO;
    };
    char block[65536];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, log.f)) > 0) {
        if (std::fwrite(block, 1, n, out.f) != n)
            return fail_write();
    }
    if (std::ferror(log.f)) {
        out.f && std::fclose(out.release());
        os::remove_file(temp);
        return access_error(path);
    }
    std::fclose(log.release());
    if (std::fputs(text, out.f) < 0 || std::fclose(out.release()) != 0)
        return fail_write();

    int err = 0;
    if (!os::copy_file(temp, log_path, &err)) {
        u_log_sink("u_copy_file failed: win_err = %d\n", err);
        u_log_sink("u_log_to_file: cannot copy temp file '%s' to '%s'\n", temp_text.c_str(), path);
        return ERR_CANT_WRITE_FILE;
    }
    os::remove_file(temp);
    return NO_ERROR;
}
