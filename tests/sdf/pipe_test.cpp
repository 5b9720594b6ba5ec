// A source whose size is unknown (a named pipe): the reader takes no map of the header's
// claimed size up front; the map grows as values arrive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"
#include "tests/sdf/reader_common.h"

namespace {

#ifndef _WIN32  // named pipes in the file system

using namespace sdftest;

std::string file(const ascii_head& head, const std::string& data) { return head.text() + data + trailer(); }

std::size_t g_largest = 0;
void* watch_alloc(std::size_t n)
{
    g_largest = std::max(g_largest, n);
    return std::malloc(n);
}
void* watch_realloc(void* p, std::size_t n)
{
    g_largest = std::max(g_largest, n);
    return std::realloc(p, n);
}

struct pipe_read {
    int32_t rc = -1;
    std::string out;
    std::size_t largest = 0;  // the largest block asked for through the allocation hooks
};

// Reads `bytes` through a named pipe that a second thread fills.
pipe_read read_through_pipe(const std::string& bytes, dataset& d)
{
    pipe_read r;
    vptest::TempDir dir;
    std::string path = dir.str("in.sdf");
    if (std::system(("mkfifo '" + path + "' 2>/dev/null").c_str()) != 0)
        return r;
    u_handle writer{};
    EXPECT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      std::FILE* f = std::fopen(path.c_str(), "wb");
                      if (f == nullptr)
                          return 1;
                      std::fwrite(bytes.data(), 1, bytes.size(), f);
                      std::fclose(f);
                      return 0;
                  },
                  &writer),
              NO_ERROR);
    g_largest = 0;
    u_hooks.alloc = watch_alloc;
    u_hooks.realloc = watch_realloc;
    testing::internal::CaptureStdout();
    r.rc = sdf_read_file(path.c_str(), &d.header, &d.intensity, &d.phase);
    r.out = testing::internal::GetCapturedStdout();
    // The writer thread's platform wrapper still reads the hook table as it ends: join it
    // before the table is put back.
    EXPECT_EQ(u_thread_join(writer, U_INFINITE), 0);
    u_close_handle(writer);
    u_hooks_reset();
    r.largest = g_largest;
    return r;
}

TEST(PipeSource, ClaimedGridIsNotAllocatedUpFront)
{
    ascii_head head;
    head.points = "30000";
    head.profiles = "30000";  // 3.6 GB if taken at its word
    dataset d;
    pipe_read r = read_through_pipe(file(head, "1 2 3\n4 5 6\n"), d);
    ASSERT_NE(r.rc, -1) << "mkfifo failed";
    EXPECT_EQ(r.rc, ERR_CORRUPT_DATA_FILE);  // too few numbers
    EXPECT_LE(r.largest, std::size_t{1} << 20);
    EXPECT_EQ(d.phase.data, nullptr);
}

TEST(PipeSource, MapGrowsToTheWholeGrid)
{
    // 500 x 400 points: more than the first allocation, so the map grows on the way.
    ascii_head head;
    head.points = "500";
    head.profiles = "400";
    std::string data;
    std::vector<int32_t> want;
    for (int i = 0; i < 500 * 400; ++i) {
        want.push_back(i % 1000 == 7 ? DAT_INVALID_PHASE : i * 3);
        data += (i % 1000 == 7 ? std::string("4294967295") : std::to_string(i * 3)) + (i % 10 == 9 ? "\n" : " ");
    }
    dataset d;
    pipe_read r = read_through_pipe(file(head, data), d);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(d.phase.count, 500u * 400u);
    EXPECT_EQ(d.values(), want);
    EXPECT_EQ(r.out, "");
}

#endif

}  // namespace
