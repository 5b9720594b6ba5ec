// Memory that a read may take: bounded by the file, whatever the file says.
#include <gtest/gtest.h>

#include <string>

#include "vell/sdf/input.h"
#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

TEST(Memory, ASmallFileTakesNoLargeReadBuffer)
{
    for (const std::string& file : {ascii_file(SDF_ULONGINT), binary_file(SDF_INTEGER), std::string("a"),
                                    std::string()}) {
        alloc_watch watch;
        outcome o = read_sdf(file);
        EXPECT_TRUE(sane(o));
        // The read buffer fits the file (with a floor of a few KiB), not a fixed megabyte.
        EXPECT_LE(watch.largest_new(), std::size_t{8192}) << file.size() << " bytes";
    }
}

TEST(Memory, LongLinesTakeMemoryInProportionToTheFile)
{
    ascii_head h;
    h.extra = std::string(5 << 20, 'x') + "\n" + std::string(3 << 20, 'K') + " = 5\n";
    std::string file = h.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, std::string(4 << 20, 'k') + "\n");
    alloc_watch watch;
    outcome o = read_sdf(file);
    EXPECT_EQ(o.rc, NO_ERROR);
    EXPECT_LE(watch.largest_new(), 3 * file.size());
    EXPECT_LE(watch.largest_hooked(), std::size_t{24});  // just the map of 6 points
}

}  // namespace

namespace {

// The read block that tests choose (to put block boundaries everywhere) holds for small files
// too: a small file's block is its size with a floor, but never above the chosen block.
TEST(Memory, AChosenSmallBlockIsKeptForSmallFiles)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "in.sdf", hostile::ascii_file(SDF_ULONGINT));
    std::string path = dir.str("in.sdf");
    dat_header header;
    intensity_map intensity{};
    phase_map phase{};
    int32_t rc;
    std::size_t largest;
    {
        hostile::alloc_watch watch;
        rc = sdf::read_file_in_blocks(path.c_str(), &header, &intensity, &phase, nullptr, 64);
        largest = watch.largest_new();
    }
    EXPECT_EQ(rc, NO_ERROR);
    // Nothing near the default 1 MiB block: the largest block is at most the C library's own
    // 4096-byte stream buffer.
    EXPECT_LE(largest, std::size_t{4096});
    EXPECT_EQ(std::vector<int32_t>(phase.data, phase.data + phase.count),
              (std::vector<int32_t>{DAT_INVALID_PHASE, 0, 12, DAT_INVALID_PHASE, 7, 100000}));
    u_free(phase.data);
}

}  // namespace
