// Running the SDF reader over bytes written to a temporary file.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "vell/platform/hooks.h"
#include "vell/sdf/sdf.h"
#include "tests/sdf/sdf_files.h"
#include "tests/support/test_support.h"

namespace sdftest {

struct read_result {
    int32_t rc;
    std::string out;  // what the reader printed on standard output
};

inline read_result read_bytes(const std::string& bytes, dataset& d, sdf_header* sh = nullptr)
{
    // The reader clears the maps; data of an earlier read belong to the caller.
    u_free(d.phase.data);
    d.phase.data = nullptr;
    vptest::TempDir dir;
    vptest::write_file(dir / "in.sdf", bytes);
    testing::internal::CaptureStdout();
    int32_t rc = sdf_read_file_ex(dir.str("in.sdf").c_str(), &d.header, &d.intensity, &d.phase, sh);
    std::string out = testing::internal::GetCapturedStdout();
    return {rc, out};
}

// Counts the bytes requested through the allocation hooks while it lives.
class alloc_watch {
public:
    alloc_watch()
    {
        largest() = 0;
        u_hooks.alloc = &alloc_watch::alloc;
    }
    ~alloc_watch() { u_hooks_reset(); }
    alloc_watch(const alloc_watch&) = delete;
    alloc_watch& operator=(const alloc_watch&) = delete;
    static std::size_t& largest()
    {
        static std::size_t n = 0;
        return n;
    }

private:
    static void* alloc(std::size_t size)
    {
        if (size > largest())
            largest() = size;
        return std::malloc(size);
    }
};

}  // namespace sdftest
