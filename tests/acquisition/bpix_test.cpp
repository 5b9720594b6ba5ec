// Camera bad pixel file: blocks, reports with true line numbers, the block limit, cleaning, and
// the slot's table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vell/acquisition/bpix.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

namespace {

// Counts the heap blocks of the allocation hooks that are alive.
struct live_blocks {
    static int& count()
    {
        static int n = 0;
        return n;
    }
    static void* alloc(std::size_t size)
    {
        ++count();
        return std::malloc(size);
    }
    static void* realloc(void* block, std::size_t size)
    {
        void* p = std::realloc(block, size);
        if (block == nullptr && p != nullptr)
            ++count();
        return p;
    }
    static void release(void* block)
    {
        if (block != nullptr)
            --count();
        std::free(block);
    }
    live_blocks()
    {
        count() = 0;
        u_hooks.alloc = &alloc;
        u_hooks.realloc = &realloc;
        u_hooks.release = &release;
    }
    ~live_blocks() { u_hooks_reset(); }
};

std::vector<std::pair<int, int>> pixels_of(const bpix_block& b)
{
    std::vector<std::pair<int, int>> v;
    for (int32_t i = 0; i < b.num_pixels; ++i) {
        v.emplace_back(b.pixels[i].x, b.pixels[i].y);
        EXPECT_EQ(b.pixels[i].weight, 0.0f);
    }
    return v;
}

struct file_result {
    int32_t rc = -1;
    std::string report;
    std::vector<bpix_block> blocks = std::vector<bpix_block>(BPIX_MAX_BLOCKS + 1);
    int32_t count = -1;
    ~file_result() { bpix_free_blocks(blocks.data(), BPIX_MAX_BLOCKS + 1); }
};

void read(const std::string& path, file_result& r)
{
    r.blocks[BPIX_MAX_BLOCKS].grab_mode = 99;  // a sentinel beyond the table
    r.rc = bpix_read_file(path.c_str(), r.blocks.data(), &r.count, &r.report);
    EXPECT_EQ(r.blocks[BPIX_MAX_BLOCKS].grab_mode, 99);
}

TEST(BpixFile, ReadsBlocksAndCleansThem)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "b.dat",
                       "# bad pixels\r\n"
                       "[ 0 0 640 480 30\r\n"
                       "10 20\r\n"
                       "\r\n"
                       "10 20 trailing\r\n"
                       "639 479\r\n"
                       "3 400\r\n"
                       "[1 2 320 240 62.5 ignored\n"
                       "  # a comment inside a block\n"
                       "0 0\n"
                       "[ 10 10 0 0 500\n"
                       "[ 4 0 8 8 0\n"
                       "7 7");
    live_blocks live;
    {
        file_result r;
        read(dir.str("b.dat"), r);
        ASSERT_EQ(r.rc, NO_ERROR) << r.report;
        EXPECT_EQ(r.report, "");
        ASSERT_EQ(r.count, 4);
        const bpix_block& a = r.blocks[0];
        EXPECT_EQ(a.grab_mode, 0);
        EXPECT_EQ(a.size_x, 640);
        EXPECT_EQ(a.size_y, 480);
        EXPECT_EQ(a.grab_rate, 30.0);
        EXPECT_EQ(pixels_of(a), (std::vector<std::pair<int, int>>{{10, 20}, {10, 20}, {639, 479}, {3, 400}}));
        const bpix_block& b = r.blocks[1];
        EXPECT_EQ(b.grab_mode, 1);
        EXPECT_EQ(b.grab_under, 2);
        EXPECT_EQ(b.size_x, 320);
        EXPECT_EQ(b.grab_rate, 62.5);
        EXPECT_EQ(pixels_of(b), (std::vector<std::pair<int, int>>{{0, 0}}));
        EXPECT_EQ(r.blocks[2].num_pixels, 0);
        EXPECT_EQ(r.blocks[2].pixels, nullptr);
        EXPECT_EQ(pixels_of(r.blocks[3]), (std::vector<std::pair<int, int>>{{7, 7}}));

        ASSERT_EQ(bpix_clean(r.blocks.data(), r.count), NO_ERROR);
        EXPECT_EQ(pixels_of(a), (std::vector<std::pair<int, int>>{{3, 400}, {10, 20}, {639, 479}}));
    }
    EXPECT_EQ(live.count(), 0);
}

TEST(BpixFile, ErrorsReportTheTrueLine)
{
    const std::string hdr = "[ 0 0 640 480 30\n";
    struct row {
        std::string file;
        std::string report;  // after the "Error reading" line
    } rows[] = {
        {hdr + "640 0\n", "Number out of range.\nExpected 'coord x' an integer value in the range [0,639]\nError in line 2:\r\n  640 0\n"},
        {hdr + "0 480\n", "Number out of range.\nExpected 'coord y' an integer value in the range [0,479]\nError in line 2:\r\n  0 480\n"},
        {hdr + "5\n", "Missing number.\nExpected 'coord y' an integer value in the range [0,479]\nError in line 2:\r\n  5\n"},
        {"# c\n10 20\n", "Missing camera information.\r\nError in line 2:\r\n  10 20\n"},
        {"[ 0 0 640 480 600\n",
         "Number out of range.\nExpected 'grab rate' a floating point value in the range [0,500]\nError in line 1:\r\n  [ 0 0 640 480 600\n"},
        {"[ 11 0 640 480 1\n",
         "Number out of range.\nExpected 'grab mode' an integer value in the range [0,10]\nError in line 1:\r\n  [ 11 0 640 480 1\n"},
        {"[x 0 640 480 1\n", "Not a number.\nExpected 'grab mode' an integer value in the range [0,10]\nError in line 1:\r\n  [x 0 640 480 1\n"},
        {"[ 0 0 32768 4 1\n",
         "Number out of range.\nExpected 'size x' an integer value in the range [0,32767]\nError in line 1:\r\n  [ 0 0 32768 4 1\n"},
        // Errors in the second and the third block: the pushed-back header is counted once.
        {hdr + "1 1\n[ 1 0 10 10 1\n# c\n10 0\n",
         "Number out of range.\nExpected 'coord x' an integer value in the range [0,9]\nError in line 5:\r\n  10 0\n"},
        {hdr + "1 1\n[ 1 0 10 10 1\n2 2\n[ 2 0 4 4 1\n1 1\n1 x\n",
         "Not a number.\nExpected 'coord y' an integer value in the range [0,3]\nError in line 7:\r\n  1 x\n"},
        {hdr + "1 1\n\n#\n" + std::string(120, '1') + "\n", "Line longer than 100 characters\r\nError in line 5\r\n"},
        {hdr + "1 %s%n\n", "Not a number.\nExpected 'coord y' an integer value in the range [0,479]\nError in line 2:\r\n  1 %s%n\n"},
    };
    vptest::TempDir dir;
    const std::string path = dir.str("b%s%d.dat");
    live_blocks live;
    for (const row& r : rows) {
        vptest::write_file(path, r.file);
        {
            file_result res;
            read(path, res);
            EXPECT_EQ(res.rc, ERR_CB_FILE_INVALID) << r.file;
            EXPECT_EQ(res.count, 0) << r.file;
            EXPECT_EQ(res.report, "Error reading bad pixel file \"" + path + "\"\r\n" + r.report) << r.file;
        }
        EXPECT_EQ(live.count(), 0) << r.file;  // every block read so far was released
    }
}

TEST(BpixFile, AHundredBlocksAndNoMore)
{
    vptest::TempDir dir;
    auto blocks = [](int n) {
        std::string s = "# many modes\n";
        for (int i = 0; i < n; ++i)
            s += "[ 1 1 100 100 25\n" + std::to_string(i % 100) + " 5\n";
        return s;
    };
    live_blocks live;
    {
        vptest::write_file(dir / "100.dat", blocks(100) + "# end\n\n");
        file_result r;
        read(dir.str("100.dat"), r);
        EXPECT_EQ(r.rc, NO_ERROR) << r.report;
        EXPECT_EQ(r.count, 100);
        EXPECT_EQ(pixels_of(r.blocks[99]), (std::vector<std::pair<int, int>>{{99, 5}}));
    }
    {
        vptest::write_file(dir / "101.dat", blocks(101));
        file_result r;
        read(dir.str("101.dat"), r);
        EXPECT_EQ(r.rc, ERR_CB_FILE_INVALID);
        EXPECT_EQ(r.count, 0);
        EXPECT_EQ(r.report, "Error reading bad pixel file \"" + dir.str("101.dat") +
                                "\"\r\nMore than 100 camera modes in the file.\r\nError in line 202:\r\n  [ 1 1 100 100 25\n");
    }
    EXPECT_EQ(live.count(), 0);
}

TEST(BpixFile, EmptyFilesArgumentsAndMissingFiles)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "c.dat", "# only\n\n   \n# comments");
    file_result r;
    read(dir.str("c.dat"), r);
    EXPECT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(r.count, 0);

    const std::string missing = dir.str("none.dat");
    read(missing, r);
    EXPECT_EQ(r.rc, ERR_CANT_OPEN_FILE);
    EXPECT_EQ(r.report, "Cannot open camera bad file \"" + missing + "\"\r\n");
    int32_t count = 5;
    EXPECT_EQ(bpix_read_file(nullptr, r.blocks.data(), &count, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(bpix_read_file(missing.c_str(), nullptr, &count, nullptr), ERR_INVALID_PARAM);

    bpix_block b;
    bool end = false;
    std::string report;
    EXPECT_EQ(bpix_read_block(nullptr, &b, &end, &report), ERR_INVALID_PARAM);
    EXPECT_EQ(report, "Invalid camera bad file handle. \n");
    EXPECT_TRUE(end);
}

TEST(BpixFile, CleaningSortsAndKeepsOneOfEachPixel)
{
    std::mt19937 rng(7);
    live_blocks live;
    for (int round = 0; round < 20; ++round) {
        bpix_block b;
        b.num_pixels = static_cast<int32_t>(rng() % 200);
        b.pixels = static_cast<bpix_pixel*>(u_malloc(sizeof(bpix_pixel) * static_cast<std::size_t>(b.num_pixels + 1)));
        std::set<std::pair<int, int>> want;
        for (int32_t i = 0; i < b.num_pixels; ++i) {
            b.pixels[i] = bpix_pixel{static_cast<int32_t>(rng() % 8), static_cast<int32_t>(rng() % 8), 0.0f};
            want.insert({b.pixels[i].x, b.pixels[i].y});
        }
        ASSERT_EQ(bpix_clean(&b, 1), NO_ERROR);
        EXPECT_EQ(pixels_of(b), (std::vector<std::pair<int, int>>(want.begin(), want.end())));
        bpix_free_block(&b);
    }
    EXPECT_EQ(live.count(), 0);
    EXPECT_EQ(bpix_clean(nullptr, 0), NO_ERROR);
    EXPECT_EQ(bpix_clean(nullptr, 1), ERR_INVALID_PARAM);
}

class BpixSlot : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_config_ = os::get_env("RV_CONFIG_DIR");
        saved_install_ = os::get_env("RV_INSTALL_DIR");
        os::set_env("RV_CONFIG_DIR", dir.path().string().c_str());
        u_dirs_reset_for_tests();
        sysinfo_reset_all_slots();
    }
    void TearDown() override
    {
        sysinfo_reset_all_slots();
        os::set_env("RV_CONFIG_DIR", saved_config_ ? saved_config_->c_str() : nullptr);
        os::set_env("RV_INSTALL_DIR", saved_install_ ? saved_install_->c_str() : nullptr);
        u_dirs_reset_for_tests();
    }
    static int32_t count_of(int slot)
    {
        const bpix_block* blocks = nullptr;
        int32_t count = -1;
        bpix_slot_table(slot, &blocks, &count);
        EXPECT_EQ(blocks == nullptr, count == 0);
        return count;
    }
    vptest::TempDir dir;
    std::optional<std::string> saved_config_, saved_install_;
};

TEST_F(BpixSlot, LoadsTheDefaultOrNamedFileIntoTheSlot)
{
    vptest::write_file(dir / "bpix_1234.dat", "[ 0 0 640 480 30\n10 20\n10 20\n");
    vptest::write_file(dir / "cam%s.bpx", "[ 0 0 64 48 30\n1 2\n[ 1 0 64 48 30\n");
    SysInfo& s = *sysinfo_slot(2);
    s.serialNum = 1234;
    s.bpixFileFlag = 1;
    vptest::LogCapture log;
    ASSERT_EQ(gen_cam_ped_filename(2), NO_ERROR) << log.str();
    const bpix_block* blocks = nullptr;
    int32_t count = 0;
    bpix_slot_table(2, &blocks, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(blocks[0].size_x, 640);
    EXPECT_EQ(pixels_of(blocks[0]), (std::vector<std::pair<int, int>>{{10, 20}}));  // cleaned
    EXPECT_EQ(count_of(0), 0);

    s.bpixFileName.assign("cam%s.bpx");
    ASSERT_EQ(gen_cam_ped_filename(2), NO_ERROR) << log.str();
    EXPECT_EQ(count_of(2), 2);
    EXPECT_EQ(log.str(), "");

    // No "Camera Bpix": no table.
    s.bpixFileFlag = 0;
    s.bpixFileName.reset();
    EXPECT_EQ(gen_cam_ped_filename(2), NO_ERROR);
    EXPECT_EQ(count_of(2), 0);
    EXPECT_EQ(gen_cam_ped_filename(4), ERR_INVALID_PARAM);
}

TEST_F(BpixSlot, FailuresLogAndLeaveNoTable)
{
    vptest::write_file(dir / "good.dat", "[ 0 0 640 480 30\n1 1\n");
    vptest::write_file(dir / "bad.dat", "[ 0 0 640 480 30\n1 1\n640 1\n");
    SysInfo& s = *sysinfo_slot(0);
    s.bpixFileFlag = 1;
    s.bpixFileName.assign("good.dat");
    ASSERT_EQ(gen_cam_ped_filename(0), NO_ERROR);
    ASSERT_EQ(count_of(0), 1);

    s.bpixFileName.assign("bad.dat");
    const std::string bad = dir.str("bad.dat");
    {
        vptest::LogCapture log;
        EXPECT_EQ(gen_cam_ped_filename(0), ERR_CB_FILE_INVALID);
        EXPECT_EQ(log.str(), "Error reading bad pixel file \"" + bad +
                                 "\"\r\nNumber out of range.\nExpected 'coord x' an integer value in the range [0,639]\n"
                                 "Error in line 3:\r\n  640 1\n");
        EXPECT_EQ(count_of(0), 0);
    }
    s.bpixFileName.assign("missing.dat");
    {
        vptest::LogCapture log;
        EXPECT_EQ(gen_cam_ped_filename(0), ERR_CANT_OPEN_FILE);
        EXPECT_EQ(log.str(), "Cannot open camera bad file \"" + dir.str("missing.dat") + "\"\r\n");
    }
    // No configuration directory at all.
    os::set_env("RV_CONFIG_DIR", nullptr);
    os::set_env("RV_INSTALL_DIR", nullptr);
    u_dirs_test_system fake{"program-without-directory", nullptr, false};
    u_dirs_reset_for_tests(&fake);
    s.bpixFileName.assign("good.dat");
    {
        vptest::LogCapture log;
        EXPECT_EQ(gen_cam_ped_filename(0), ERR_INVALID_PARAM);
        EXPECT_EQ(log.str(), "gen_cam_ped_filename: invalid config directory.\n");
        EXPECT_EQ(count_of(0), 0);
    }
}

}  // namespace
