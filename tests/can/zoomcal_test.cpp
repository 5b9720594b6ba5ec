// The HXI encoded zoom calibration file: reader messages, cached loader, zoom set-up.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vell/can/can_ops.h"
#include "vell/can/zoomcal.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/sim/canbridge/vcan_nodes.h"
#include "tests/can/can_fixture.h"

namespace {

namespace fs = std::filesystem;

const char* const HEAD = " Error reading HXI encoded zoom magnification calibration file \"";

struct read_case {
    const char* name;
    std::string content;
    int32_t code;
    std::string detail;   // report after the heading line ("" on success)
    std::vector<std::pair<double, float>> pairs;
};

TEST(ZoomCal, ReaderChecksEveryLineWithItsExactMessage)
{
    const std::string title = "HXI zoom calibration\r\n";
    std::string many = title;
    for (int i = 1; i <= 101; ++i)
        many += std::to_string(i) + " " + std::to_string(0.5 + i * 0.05) + "\n";
    std::string hundred = title;
    for (int i = 1; i <= 100; ++i)
        hundred += std::to_string(i) + " " + std::to_string(0.5 + i * 0.05) + "\n";
    const std::string long_line = std::string(600, ' ') + "1 2";
    const std::vector<read_case> cases = {
        {"good", title + "100 1.0\n200,2.5", NO_ERROR, "", {{100, 1.0f}, {200, 2.5f}}},
        {"comma blank", title + "100, 1.0\r\n2e2,  2.5\n", NO_ERROR, "", {{100, 1.0f}, {200, 2.5f}}},
        {"order", title + "100 1.0\n200,2.5\n150, 3.0\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Position values are not in strictly increasing order. \n Error in line 4: \n  150, 3.0 \n", {}},
        {"mag order", title + "100 1.0\n200 1.0\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Magnification values are not in strictly increasing order. \n Error in line 3: \n  200 1.0 \n", {}},
        {"blank", title + "\n100 1.0\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Expected two numbers (position and magnification) separated by a comma and/or space. \n Error in line 2 \n", {}},
        {"mag range", title + "100 6.5\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Magnification value is out of range [0.5,6] \n Error in line 2: \n  100 6.5 \n", {}},
        {"pos range", title + "-1 1\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Position value is out of range [0,3.40282e+38] \n Error in line 2: \n  -1 1 \n", {}},
        {"huge", title + "1e39 1\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Magnitude of number is unreasonable. \n Error in line 2: \n  1e39 1 \n", {}},
        {"nan", title + "nan 1\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Magnitude of number is unreasonable. \n Error in line 2: \n  nan 1 \n", {}},
        {"inf", title + "1 2\n2 inf\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Magnitude of number is unreasonable. \n Error in line 3: \n  2 inf \n", {}},
        {"title only", title, ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Too few position and magnification value pairs (minimum is 2) \n", {}},
        {"empty", "", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Too few position and magnification value pairs (minimum is 2) \n", {}},
        {"101 pairs", many, ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Too many position and magnification value pairs (maximum is 100). \n", {}},
        // A line longer than the buffer is one bad line; the next line is line 3, not 4.
        {"long line", title + "1 1\n" + long_line + "\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Expected two numbers (position and magnification) separated by a comma and/or space. \n Error in line 3: \n  " +
             std::string(511, ' ') + " \n", {}},
        {"text", title + "one two\n", ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE,
         " Expected two numbers (position and magnification) separated by a comma and/or space. \n Error in line 2: \n  one two \n", {}},
    };
    vptest::TempDir dir;
    const std::string path = dir.str("ZoomCal.txt");
    for (const read_case& c : cases) {
        SCOPED_TRACE(c.name);
        vptest::write_file(path, c.content);
        hxi_zoom_cal_table t;
        std::string report = "old";
        ASSERT_EQ(hxi_zoom_cal_read(path.c_str(), &t, &report), c.code);
        if (c.code == NO_ERROR) {
            EXPECT_EQ(report, "");
            ASSERT_EQ(t.count, static_cast<int32_t>(c.pairs.size()));
            for (std::size_t i = 0; i < c.pairs.size(); ++i) {
                EXPECT_EQ(t.entries[i].position, c.pairs[i].first);
                EXPECT_EQ(t.entries[i].mag, c.pairs[i].second);
            }
        } else {
            EXPECT_EQ(report, HEAD + path + "\" \n" + c.detail);
            EXPECT_EQ(t.count, 0);
            EXPECT_EQ(t.entries, nullptr);
        }
        hxi_zoom_cal_free(&t);
    }
    // 100 pairs are accepted; a failed read leaves the caller's table as it was.
    vptest::write_file(path, hundred);
    hxi_zoom_cal_table t;
    ASSERT_EQ(hxi_zoom_cal_read(path.c_str(), &t, nullptr), NO_ERROR);
    EXPECT_EQ(t.count, 100);
    hxi_zoom_cal_entry* before = t.entries;
    vptest::write_file(path, title);
    EXPECT_EQ(hxi_zoom_cal_read(path.c_str(), &t, nullptr), ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(t.count, 100);
    EXPECT_EQ(t.entries, before);
    double mag = 0;
    EXPECT_EQ(hxi_zoom_cal_mag(&t, 1.5, &mag), NO_ERROR);
    EXPECT_NEAR(mag, (0.55 + 0.6) / 2, 1e-6);
    hxi_zoom_cal_free(&t);

    std::string report;
    const std::string missing = dir.str("absent.txt");
    EXPECT_EQ(hxi_zoom_cal_read(missing.c_str(), &t, &report), ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE);
    EXPECT_EQ(report, " Cannot open HXI encoded zoom magnification calibration file \"" + missing + "\" \n");
}

class ZoomCalLoad : public cantest::CanTest {
protected:
    void SetUp() override
    {
        CanTest::SetUp();
        si = sysinfo_slot(0);
        ASSERT_EQ(sysinfo_ensure_hxi_zoom(*si), NO_ERROR);
        path = dir.str("zoom.txt");
        si->hxiZoom->calFile.assign(path);
        sysinfo_reset_runtime_all();
    }
    void TearDown() override
    {
        sysinfo_reset_runtime_all();
        CanTest::TearDown();
    }
    int loads() const
    {
        int n = 0;
        const std::string s = log_.str();
        for (std::size_t p = 0; (p = s.find("calibration data loaded", p)) != std::string::npos; ++p)
            ++n;
        return n;
    }
    SysInfo* si = nullptr;
    vptest::TempDir dir;
    std::string path;
};

TEST_F(ZoomCalLoad, AnUnchangedFileIsReadOnceAndATouchedOneAgain)
{
    vptest::write_file(path, "t\n100 1.0\n200,2.5\n");
    std::string report;
    ASSERT_EQ(hxi_zoom_cal_load(si, &report), NO_ERROR);
    EXPECT_EQ(log_.str(), "HXI encoded zoom calibration data loaded from file " + path + "\n");
    ASSERT_EQ(hxi_zoom_cal_load(si, &report), NO_ERROR);
    EXPECT_EQ(loads(), 1);
    const hxi_zoom_cal_cache* c = hxi_zoom_cal_cache_of(si);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->table.count, 2);
    EXPECT_STREQ(c->loadedPath, path.c_str());

    vptest::write_file(path, "t\n100 1.0\n300,2.5\n400 3\n");
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(5));
    ASSERT_EQ(hxi_zoom_cal_load(si, &report), NO_ERROR);
    EXPECT_EQ(loads(), 2);
    EXPECT_EQ(c->table.count, 3);

    // A bad file leaves no table and no remembered name.
    vptest::write_file(path, "t\n100 1.0\n");
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(10));
    EXPECT_EQ(hxi_zoom_cal_load(si, &report), ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_NE(report.find("Too few"), std::string::npos);
    EXPECT_EQ(c->table.count, 0);
    EXPECT_EQ(c->table.entries, nullptr);
    EXPECT_EQ(c->loadedPath, nullptr);

    // A missing file: "Cannot access" with the configured name.
    si->hxiZoom->calFile.assign(dir.str("none.txt"));
    EXPECT_EQ(hxi_zoom_cal_load(si, &report), ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE);
    EXPECT_EQ(report, " Cannot access HXI encoded zoom magnification calibration file \"" + dir.str("none.txt") + "\" \n");
    si->hxiZoom.reset();
    EXPECT_EQ(hxi_zoom_cal_load(si, &report), ERR_HW_FAIL);
}

TEST_F(ZoomCalLoad, AReplacementOfTheSameSizeAndModificationTimeIsReadAgain)
{
    vptest::write_file(path, "t\n100 1.0\n200,2.5\n");
    const auto stamp = fs::last_write_time(path);
    std::string report;
    ASSERT_EQ(hxi_zoom_cal_load(si, &report), NO_ERROR);
    // Rewritten through a temporary file that takes the old modification time: same size,
    // same time, another file.
    const std::string temp = dir.str("zoom.tmp");
    vptest::write_file(temp, "t\n100 1.0\n300,2.5\n");
    fs::last_write_time(temp, stamp);
    fs::rename(temp, path);
    ASSERT_EQ(hxi_zoom_cal_load(si, &report), NO_ERROR);
    EXPECT_EQ(loads(), 2);
    double mag = 0;
    ASSERT_EQ(hxi_zoom_cal_mag(&hxi_zoom_cal_cache_of(si)->table, 300.0, &mag), NO_ERROR);
    EXPECT_NEAR(mag, 2.5, 1e-6);
    ASSERT_EQ(hxi_zoom_cal_load(si, &report), NO_ERROR);
    EXPECT_EQ(loads(), 2);
}

int alloc_calls = 0;
int fail_at = 0;
void* counting_alloc(std::size_t n)
{
    return ++alloc_calls == fail_at ? nullptr : std::malloc(n);
}

TEST_F(ZoomCalLoad, AFailedPathCopyLeavesNoTableAndFreesEachOnce)
{
    vptest::write_file(path, "t\n100 1.0\n200,2.5\n");
    const u_hook_table saved = u_hooks;
    // Count the allocations of a good load, then fail each of them in turn (the last one is
    // the remembered name, made after the new table is in place).
    sysinfo_reset_runtime_all();
    alloc_calls = 0;
    fail_at = -1;
    u_hooks.alloc = &counting_alloc;
    u_hooks.release = &std::free;
    ASSERT_EQ(hxi_zoom_cal_load(si, nullptr), NO_ERROR);
    u_hooks = saved;
    const int total = alloc_calls;
    ASSERT_GE(total, 2);
    for (int at = 1; at <= total; ++at) {
        SCOPED_TRACE(at);
        sysinfo_reset_runtime_all();
        alloc_calls = 0;
        fail_at = at;
        u_hooks.alloc = &counting_alloc;
        u_hooks.release = &std::free;
        const int32_t rc = hxi_zoom_cal_load(si, nullptr);
        u_hooks = saved;
        EXPECT_TRUE(rc == ERR_NO_MEM || rc == ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE) << rc;
        if (at == total) {
            EXPECT_EQ(rc, ERR_NO_MEM);
        }
        const hxi_zoom_cal_cache* c = hxi_zoom_cal_cache_of(si);
        EXPECT_EQ(c->table.entries, nullptr);
        EXPECT_EQ(c->table.count, 0);
        EXPECT_EQ(c->loadedPath, nullptr);
    }
    sysinfo_reset_runtime_all();
    EXPECT_EQ(hxi_zoom_cal_load(si, nullptr), NO_ERROR);
}

TEST_F(ZoomCalLoad, ZoomSetUpChecksFirmwareWritesBacklashAndToleratesAMissingFile)
{
    vcan::set_node(64);
    si->hxiZoom->progLim[0] = -100;
    si->hxiZoom->progLim[1] = 5000;
    si->hxiZoom->backlash = 42;
    si->hxiZoom->calFile.assign(dir.str("none.txt"));
    struct fw { uint16_t major, minor; int32_t code; };
    for (const fw& f : {fw{4, 2, ERR_HXI_ENC_ZOOM_FIRMWARE_VERSION_OLD}, fw{3, 9, ERR_HXI_ENC_ZOOM_FIRMWARE_VERSION_OLD},
                        fw{4, 3, NO_ERROR}, fw{5, 0, NO_ERROR}}) {
        SCOPED_TRACE(std::to_string(f.major) + "." + std::to_string(f.minor));
        vcan::install_enc_zoom(f.major, f.minor);
        log_.clear();
        EXPECT_EQ(hxi_enc_zoom_set_backlash(si), f.code);
        if (f.code != NO_ERROR) {
            EXPECT_EQ(log_.str(), "HXI encoded zoom firmware version " + std::to_string(f.major) + "." +
                                      std::to_string(f.minor) + " is old; version 4.3 or later is required\n");
            EXPECT_EQ(vcan::object(64, 0x2019, 0), std::vector<uint8_t>(4, 0));
        } else {
            EXPECT_EQ(vcan::object(64, 0x2002, 0), std::vector<uint8_t>{3});
            EXPECT_EQ(vcan::object(64, 0x607D, 1), (std::vector<uint8_t>{0x9C, 0xFF, 0xFF, 0xFF}));
            EXPECT_EQ(vcan::object(64, 0x607D, 2), (std::vector<uint8_t>{0x88, 0x13, 0, 0}));
            EXPECT_EQ(vcan::object(64, 0x2019, 0), (std::vector<uint8_t>{42, 0, 0, 0}));
        }
    }
    // A bad calibration file fails the set-up.
    vptest::write_file(path, "t\n1 1\n");
    si->hxiZoom->calFile.assign(path);
    EXPECT_EQ(hxi_enc_zoom_set_backlash(si), ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE);
    vptest::write_file(path, "t\n1 1\n2 2\n");
    EXPECT_EQ(hxi_enc_zoom_set_backlash(si), NO_ERROR);
    EXPECT_EQ(hxi_zoom_cal_cache_of(si)->table.count, 2);
}

}  // namespace
