// The image acquisition service over the binding, against the virtual acquisition library
// bound in-process: frame format, grab and copy with their failures, live mode, and the
// calibration's bad pixels taken out of the frames.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "vell/acquisition/acq.h"
#include "vell/acquisition/acq_service.h"
#include "vell/acquisition/bpix.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/sim/tnacq/tnacq_sim.h"
#include "tests/support/test_support.h"

namespace {

class AcqService : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* c = std::getenv("RV_CONFIG_DIR"))
            saved_config_ = c;
        os::set_env("RV_CONFIG_DIR", dir.path().string().c_str());
        u_dirs_reset_for_tests();
        sysinfo_reset_all_slots();
        acq_set_lock_name(("vp_acq_service_" + std::to_string(reinterpret_cast<uintptr_t>(this))).c_str());
        acq_mgr_use(&tnacq_sim::table());
        ASSERT_EQ(tnacq_sim::set("reset", ""), 0);
        si = sysinfo_slot(1);
    }
    void TearDown() override
    {
        acq_svc_close(si);
        acq_mgrclose(si);
        acq_mgr_use(nullptr);
        acq_set_lock_name(nullptr);
        sysinfo_reset_runtime_all();
        sysinfo_reset_all_slots();
        os::set_env("RV_CONFIG_DIR", saved_config_ ? saved_config_->c_str() : nullptr);
        u_dirs_reset_for_tests();
    }
    // A grabbed frame as pixel values.
    std::vector<uint32_t> grab()
    {
        acq_frame_format f;
        EXPECT_EQ(acq_svc_frame_format(si, &f), NO_ERROR);
        std::vector<uint8_t> raw(f.frame_bytes());
        EXPECT_EQ(acq_svc_grab(si), NO_ERROR);
        EXPECT_EQ(acq_svc_copy(si, raw.data(), raw.size()), NO_ERROR);
        std::vector<uint32_t> px(raw.size() / std::size_t(f.bytes_per_pixel));
        for (std::size_t i = 0; i < px.size(); ++i)
            px[i] = f.bytes_per_pixel == 1 ? raw[i] : uint32_t(raw[2 * i] | raw[2 * i + 1] << 8);
        return px;
    }

    SysInfo* si = nullptr;
    vptest::TempDir dir;
    std::optional<std::string> saved_config_;
    vptest::LogCapture log;
};

TEST_F(AcqService, OpensWithTheDevicesFrameFormatAndRefusesOneItCannotUse)
{
    struct row {
        const char* what;
        std::vector<std::pair<const char*, const char*>> settings;
        int32_t code;
        acq_frame_format format;  // when opened
        float rate;
    };
    const std::vector<row> rows = {
        {"8 bits", {}, NO_ERROR, {640, 480, 1, 1, 8}, 25.0f},
        {"12 bits binned", {{"frame", "320x240x12"}, {"binning", "2"}, {"frame_ms", "10"}}, NO_ERROR, {320, 240, 2, 2, 12}, 100.0f},
        {"17 bits", {{"setting.BIT DEPTH", "17"}}, ERR_ACQ_CMD, {}, 0},
        {"more bits than bytes", {{"setting.BYTES PER PIXEL", "1"}, {"frame", "64x64x10"}}, ERR_ACQ_CMD, {}, 0},
        {"binning 0", {{"setting.BINNING", "0"}}, ERR_ACQ_CMD, {}, 0},
        {"width in words", {{"setting.IMAGE WIDTH", "wide"}}, ERR_ACQ_CMD, {}, 0},
        {"width beyond int32", {{"setting.IMAGE WIDTH", "1e10"}}, ERR_ACQ_CMD, {}, 0},
        {"width not a number", {{"setting.IMAGE WIDTH", "nan"}}, ERR_ACQ_CMD, {}, 0},
        {"width with a fraction", {{"setting.IMAGE WIDTH", "640.5"}}, ERR_ACQ_CMD, {}, 0},
        {"no device", {{"devices", ""}}, ERR_ACQ_INVALID_DEVICE, {}, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        acq_svc_close(si);
        acq_mgrclose(si);
        sysinfo_reset_runtime(*si);
        ASSERT_EQ(tnacq_sim::set("reset", ""), 0);
        for (const auto& [key, value] : r.settings)
            ASSERT_EQ(tnacq_sim::set(key, value), 0) << key;
        EXPECT_EQ(acq_svc_open(si), r.code);
        EXPECT_EQ(acq_svc_device_set_up(si), r.code == NO_ERROR);
        EXPECT_EQ(si->cameraRate.load(), r.rate);
        acq_frame_format f;
        EXPECT_EQ(acq_svc_frame_format(si, &f), r.code == NO_ERROR ? NO_ERROR : ERR_ACQ_DEVICE_CLOSE);
        if (r.code != NO_ERROR)
            continue;
        EXPECT_EQ(std::vector<int32_t>({f.width, f.height, f.binning, f.bytes_per_pixel, f.bit_depth}),
                  std::vector<int32_t>({r.format.width, r.format.height, r.format.binning, r.format.bytes_per_pixel,
                                        r.format.bit_depth}));
        // A frame of the format, its brightest pixels at half of full scale.
        const std::vector<uint32_t> px = grab();
        EXPECT_EQ(px.size(), std::size_t(f.frame_width()) * std::size_t(f.frame_height()));
        EXPECT_EQ(px[std::size_t(f.frame_width()) - 1], (1u << f.bit_depth) / 2);
    }
}

// A device's answers as numbers: one decimal number between blanks, the whole-number form only
// within int32_t and without a fraction.
TEST(AcqAnswer, OneDecimalNumberBetweenBlanks)
{
    struct row {
        const char* text;
        std::optional<double> number;
        std::optional<int32_t> whole;
    };
    const std::vector<row> rows = {
        {"640", 640.0, 640},
        {" \t25.5\r\n", 25.5, std::nullopt},
        {"6.4e2", 640.0, 640},
        {"-2147483648", -2147483648.0, INT32_MIN},
        {"2147483647", 2147483647.0, INT32_MAX},
        {"2147483648", 2147483648.0, std::nullopt},
        {"1e300", 1e300, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"   ", std::nullopt, std::nullopt},
        {"12 px", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"+5", std::nullopt, std::nullopt},
        {"nan", std::nullopt, std::nullopt},
        {"-inf", std::nullopt, std::nullopt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        double d = -1;
        int32_t i = -1;
        EXPECT_EQ(acq_answer_number(r.text, &d), r.number.has_value());
        EXPECT_EQ(d, r.number.value_or(-1));
        EXPECT_EQ(acq_answer_int(r.text, &i), r.whole.has_value());
        EXPECT_EQ(i, r.whole.value_or(-1));
    }
    double d = -1;
    EXPECT_FALSE(acq_answer_number(nullptr, &d));
}

TEST_F(AcqService, GrabAndCopyFailInWordsAndCodes)
{
    std::vector<uint8_t> buf(640 * 480);
    EXPECT_EQ(acq_svc_grab(si), ERR_ACQ_DEVICE_CLOSE);
    EXPECT_EQ(acq_svc_copy(si, buf.data(), buf.size()), ERR_ACQ_DEVICE_CLOSE);
    EXPECT_EQ(acq_svc_set_live(si, true), ERR_ACQ_DEVICE_CLOSE);
    ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    log.clear();
    EXPECT_EQ(acq_svc_copy(si, buf.data(), buf.size()), ERR_ACQ_CMD);
    EXPECT_EQ(log.str(), "acq_svc_copy: no frame has been grabbed\n");
    struct row {
        const char* what;
        const char* key;
        const char* value;
        int32_t code;
        const char* logged;
    };
    const row rows[] = {
        {"time-out", "last_error", "16", ERR_ACQ_TIMEOUT, "Acq Error: Timed Out Waiting for Frames\n"},
        {"missed frame", "last_error", "21", ERR_LOST_FRAME, "Acq Error: Missed Frame\n"},
        {"no reason", "last_error", "0", ERR_ACQ_CMD, "acq_svc_grab: frame of -1 bytes, expected 307200\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(tnacq_sim::set(r.key, r.value), 0);
        ASSERT_EQ(tnacq_sim::set("fail_reads", "1"), 0);
        log.clear();
        EXPECT_EQ(acq_svc_grab(si), r.code);
        EXPECT_EQ(log.str(), r.logged);
        EXPECT_EQ(acq_svc_copy(si, buf.data(), buf.size()), ERR_ACQ_CMD) << "a failed grab leaves no frame";
    }
    ASSERT_EQ(acq_svc_grab(si), NO_ERROR);
    EXPECT_EQ(acq_svc_copy(si, buf.data(), buf.size() - 1), ERR_INVALID_PARAM);
    EXPECT_EQ(acq_svc_copy(si, buf.data(), buf.size()), NO_ERROR);

    // Live mode: acquisition runs once; every copy reads the newest frame.
    ASSERT_EQ(tnacq_sim::set("reset", ""), 0);
    acq_svc_close(si);
    acq_mgrclose(si);
    ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    ASSERT_EQ(acq_svc_set_live(si, true), NO_ERROR);
    EXPECT_TRUE(acq_svc_live(si));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(acq_svc_copy(si, buf.data(), buf.size()), NO_ERROR);
    ASSERT_EQ(acq_svc_set_live(si, false), NO_ERROR);
    const std::string calls = tnacq_sim::log();
    EXPECT_EQ(vptest::count_of(calls, "AcquireStart\n"), 1);
    EXPECT_EQ(vptest::count_of(calls, "ReadDevice\n"), 3);
    EXPECT_EQ(vptest::count_of(calls, "AcquireStop\n"), 1);
}

// A reset of the record's run-time part leaves live mode: the library stops acquiring once, and
// the instrument opens again as new.
TEST_F(AcqService, AResetOfTheRecordStopsLiveAcquisition)
{
    ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    ASSERT_EQ(acq_svc_set_live(si, true), NO_ERROR);
    sysinfo_reset_runtime(*si);
    EXPECT_EQ(vptest::count_of(tnacq_sim::log(), "AcquireStop\n"), 1);
    EXPECT_FALSE(acq_svc_live(si));
    ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    EXPECT_FALSE(acq_svc_live(si));
    // Not live: a reset asks nothing of the library.
    sysinfo_reset_runtime(*si);
    EXPECT_EQ(vptest::count_of(tnacq_sim::log(), "AcquireStop\n"), 1);
}

// A long session's call log keeps its newest calls in whole lines and stays within 1 MiB.
TEST(VirtualAcqLibrary, TheCallLogKeepsItsNewestWholeLines)
{
    ASSERT_EQ(tnacq_sim::set("reset", ""), 0);
    const acq_table& t = tnacq_sim::table();
    char value[64];
    const int calls = 120000;  // of 27 bytes a line: three times what the log keeps
    for (int i = 0; i < calls; ++i)
        t.AcqDeviceQuery(i + 1 == calls ? "LAST" : "IMAGE WIDTH", value, static_cast<int>(sizeof value));
    const std::string log = tnacq_sim::log();
    EXPECT_LE(log.size(), std::size_t(1) << 20);
    EXPECT_GE(log.size(), std::size_t(1) << 19);
    EXPECT_EQ(log.rfind("AcqDeviceQuery LAST\n"), log.size() - 20);
    EXPECT_EQ(log.rfind("AcqDeviceQuery IMAGE WIDTH\n", 0), 0u);  // starts at a whole line
    EXPECT_EQ(vptest::count_of(log, "\n"), vptest::count_of(log, "AcqDeviceQuery "));
    ASSERT_EQ(tnacq_sim::set("reset", ""), 0);
}

// Bad pixels: each replaced by the mean of its good neighbours; blocks of the frame's size,
// else of the sensor's size with the pixels binned; a pixel with no good neighbour stays.
TEST_F(AcqService, BadPixelsTakeTheMeanOfTheirGoodNeighbours)
{
    struct row {
        const char* what;
        acq_frame_format format;
        int16_t block_x, block_y;
        std::vector<std::pair<int32_t, int32_t>> bad;
        std::vector<uint32_t> frame;     // row by row
        std::vector<uint32_t> expected;
        int32_t replaced;
    };
    const std::vector<row> rows = {
        {"middle", {3, 3, 1, 1, 8}, 3, 3, {{1, 1}}, {1, 2, 3, 4, 255, 6, 7, 8, 9}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 1},
        {"corner, bad neighbour", {3, 2, 1, 2, 12}, 3, 2, {{0, 0}, {1, 0}}, {4095, 4095, 10, 20, 30, 40},
         {20, 20, 10, 20, 30, 40}, 2},
        {"no good neighbour", {2, 1, 1, 1, 8}, 2, 1, {{0, 0}, {1, 0}}, {9, 9}, {9, 9}, 0},
        {"sensor-size block, binned", {4, 4, 2, 1, 8}, 4, 4, {{3, 1}}, {1, 100, 3, 5}, {1, 3, 3, 5}, 1},
        {"block of another size", {3, 3, 1, 1, 8}, 4, 4, {{1, 1}}, {1, 2, 3, 4, 255, 6, 7, 8, 9},
         {1, 2, 3, 4, 255, 6, 7, 8, 9}, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<bpix_pixel> pixels;
        for (const auto& [x, y] : r.bad)
            pixels.push_back({x, y, 0.0f});
        bpix_block block;
        block.size_x = r.block_x;
        block.size_y = r.block_y;
        block.num_pixels = int32_t(pixels.size());
        block.pixels = pixels.data();
        std::vector<uint8_t> frame(r.frame.size() * std::size_t(r.format.bytes_per_pixel));
        for (std::size_t i = 0; i < r.frame.size(); ++i) {
            if (r.format.bytes_per_pixel == 1) {
                frame[i] = uint8_t(r.frame[i]);
            } else {
                const uint16_t v = uint16_t(r.frame[i]);
                std::memcpy(&frame[2 * i], &v, 2);
            }
        }
        EXPECT_EQ(acq_clean_bad_pixels(&block, 1, r.format, frame.data()), r.replaced);
        std::vector<uint32_t> got(r.frame.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            got[i] = r.format.bytes_per_pixel == 1 ? frame[i] : uint32_t(frame[2 * i] | frame[2 * i + 1] << 8);
        EXPECT_EQ(got, r.expected);
    }

    // Through a grab: the calibration names the bad pixel file, and the brightest column's
    // pixel that was made bad reads like its neighbours.
    vptest::write_file(dir / "cam.bpx", "[ 0 0 640 480 25\n639 7\n");
    si->serialNum = 77;
    si->bpixFileFlag = 1;
    si->bpixFileName.assign("cam.bpx");
    ASSERT_EQ(gen_cam_ped_filename(1), NO_ERROR);
    ASSERT_EQ(acq_svc_open(si), NO_ERROR);
    const std::vector<uint32_t> px = grab();
    EXPECT_EQ(px[7 * 640 + 639], (128u + 128u + 127u + 1u) / 3u) << "mean of above, below and left";
    EXPECT_EQ(px[8 * 640 + 639], 128u);
}

}  // namespace
