// Shared helpers of the test suites: temporary directories, capturing the log sink, files.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <mutex>
#include <string>
#include <vector>

#include "vell/platform/log.h"

namespace vptest {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::random_device rd;
        for (int i = 0; i < 100; ++i) {
            path_ = fs::temp_directory_path() / ("vp_test_" + std::to_string(rd()) + std::to_string(i));
            std::error_code ec;
            if (fs::create_directory(path_, ec))
                return;
        }
        throw std::runtime_error("cannot create a temporary directory");
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / fs::u8path(name); }
    std::string str(const std::string& name) const { return (path_ / fs::u8path(name)).string(); }

private:
    fs::path path_;
};

// Everything written to a stream so far (it is rewound first).
inline std::string read_stream(std::FILE* f)
{
    std::rewind(f);
    std::string s;
    char buf[256];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// How many times `word` stands in `text`, overlapping ones included.
inline int count_of(const std::string& text, const std::string& word)
{
    int n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

inline std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Collects everything written through u_log_sink while it lives.
class LogCapture {
public:
    LogCapture() : saved_(u_log_sink)
    {
        text().clear();
        u_log_sink = &LogCapture::sink;
    }
    ~LogCapture() { u_log_sink = saved_; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static std::string& text()
    {
        static std::string captured;
        return captured;
    }
    // Lines may come from several threads (two instruments, the gain thread).
    static std::mutex& text_lock()
    {
        static std::mutex m;
        return m;
    }
    std::string str() const
    {
        std::lock_guard<std::mutex> hold(text_lock());
        return text();
    }
    void clear()
    {
        std::lock_guard<std::mutex> hold(text_lock());
        text().clear();
    }

private:
    static void sink(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n > 0) {
            std::vector<char> buf(static_cast<std::size_t>(n) + 1);
            std::vsnprintf(buf.data(), buf.size(), format, args);
            std::lock_guard<std::mutex> hold(text_lock());
            text().append(buf.data(), static_cast<std::size_t>(n));
        }
        va_end(args);
    }
    u_log_fn saved_;
};

}  // namespace vptest
