// Shared pieces of the libFuzzer targets: a private scratch directory, an allocation guard and
// quiet diagnostics.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "vell/platform/hooks.h"
#include "vell/platform/log.h"

namespace vpfuzz {

namespace fs = std::filesystem;

// Ends the run as a finding, with a line that says which property failed.
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "\n*** fuzz property violated: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

#define VP_FUZZ_CHECK(cond)                                  \
    do {                                                     \
        if (!(cond))                                         \
            ::vpfuzz::fail(#cond " (" __FILE__ ")");         \
    } while (0)

// A directory of its own under the system's temporary directory, removed at exit.
class scratch_dir {
public:
    scratch_dir()
    {
        std::random_device rd;
        for (int i = 0; i < 100; ++i) {
            path_ = fs::temp_directory_path() / ("vp_fuzz_" + std::to_string(rd()) + "_" + std::to_string(i));
            std::error_code ec;
            if (fs::create_directory(path_, ec)) {
                fs::permissions(path_, fs::perms::owner_all, ec);
                return;
            }
        }
        fail("cannot create a scratch directory");
    }
    ~scratch_dir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline const scratch_dir& scratch()
{
    static scratch_dir dir;
    return dir;
}

// Writes the fuzz input to `path`, replacing what was there.
inline void put_file(const std::string& path, const uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        fail("cannot create the scratch input");
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        fail("cannot write the scratch input");
    if (std::fclose(f) != 0)
        fail("cannot close the scratch input");
}

// Allocation guard: every block requested through the platform hooks must be justified by the
// size of the input (a map of 4-byte points for at most one point per input byte, the writer's
// transfer buffers) -- a reader that trusts a count in the file fails here.
inline std::size_t& alloc_limit()
{
    static std::size_t limit = 0;
    return limit;
}

inline void* guarded_alloc(std::size_t size)
{
    if (size > alloc_limit()) {
        std::fprintf(stderr, "\n*** allocation of %zu bytes, limit %zu\n", size, alloc_limit());
        fail("allocation beyond what the input justifies");
    }
    return std::malloc(size);
}

inline void* guarded_calloc(std::size_t count, std::size_t size)
{
    if (size != 0 && count > alloc_limit() / size)
        fail("zeroed allocation beyond what the input justifies");
    return std::calloc(count, size);
}

inline void* guarded_realloc(void* block, std::size_t size)
{
    if (size > alloc_limit())
        fail("reallocation beyond what the input justifies");
    return std::realloc(block, size);
}

// Installs the guard for an input of `input_size` bytes.
inline void guard_allocations(std::size_t input_size)
{
    // The data file writer's transfer buffers: 64 KiB of intensity, 256 KiB of phase values.
    constexpr std::size_t fixed = std::size_t{1} << 18;
    alloc_limit() = fixed + 4 * input_size;
    u_hooks.alloc = &guarded_alloc;
    u_hooks.calloc = &guarded_calloc;
    u_hooks.realloc = &guarded_realloc;
}

// A log sink that formats every message (so that a format and its arguments that disagree show
// up under the sanitizers) and then drops it.
inline void formatting_sink(const char* format, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
}

// Standard output is where the SDF reader prints "Missing required fields."; the fuzzer's
// own output is on standard error.
inline void quiet_stdout()
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        fail("cannot redirect standard output");
}

}  // namespace vpfuzz
