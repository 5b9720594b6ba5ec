// The sysInfo record: defaults, reset, sub-records, display names.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"

namespace {

class SysInfoTest : public ::testing::Test {
protected:
    void SetUp() override { sysinfo_reset_all_slots(); }
    void TearDown() override
    {
        u_hooks_reset();
        sysinfo_reset_all_slots();
    }
};

TEST_F(SysInfoTest, SlotsOutsideTheTableAreRefused)
{
    EXPECT_EQ(sysinfo_slot(-1), nullptr);
    EXPECT_EQ(sysinfo_slot(4), nullptr);
    for (int i = 0; i < SB_NUM_SLOTS; ++i)
        EXPECT_NE(sysinfo_slot(i), nullptr);
    EXPECT_NE(sysinfo_slot(0), sysinfo_slot(1));
    EXPECT_EQ(sysinfo_set_defaults(-1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(sysinfo_set_defaults(4), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(sysinfo_set_defaults(3), NO_ERROR);
}

TEST_F(SysInfoTest, HostFileDigitStartsAsTheSlotNumber)
{
    for (int i = 0; i < SB_NUM_SLOTS; ++i)
        EXPECT_EQ(sysinfo_slot(i)->hostFileDigit, i);
}

TEST_F(SysInfoTest, ResetRestoresTheCalibrationPartAndKeepsTheRest)
{
    SysInfo& s = *sysinfo_slot(2);
    s.hostFileDigit = 7;
    s.instrBdSwVersion = 12;
    s.instrOn = 1;
    s.calFilePath.assign("/x/y.cal");
    s.instrName.assign("name");
    s.badPixels[0][0] = 3;
    s.lightRun[0].mode = 2;  // run-time light values outlive a new calibration
    s.lightRun[1].level = 40;
    s.services.get<int>() = 5;
    s.rampConfig.assign("other.txt");
    ASSERT_EQ(sysinfo_ensure_can_info(s), NO_ERROR);
    ASSERT_EQ(sysinfo_ensure_pid_set(s, 7), NO_ERROR);
    ASSERT_FALSE(s.cal() == SysCalData{});

    ASSERT_EQ(sysinfo_set_defaults(2), NO_ERROR);
    EXPECT_TRUE(s.cal() == SysCalData{});
    EXPECT_EQ(s.rampConfig.c_str(), SB_DEFAULT_RAMP_CONFIG);
    EXPECT_EQ(s.hostFileDigit, 7);
    EXPECT_EQ(s.instrBdSwVersion, 12);
    EXPECT_EQ(s.instrOn, 1);
    EXPECT_STREQ(s.calFilePath.c_str(), "/x/y.cal");
    EXPECT_EQ(s.lightRun[0].mode, 2);
    EXPECT_EQ(s.lightRun[1].level, 40);
    ASSERT_NE(s.services.find<int>(), nullptr);
    EXPECT_EQ(*s.services.find<int>(), 5);
}

// The run-time part: one state per type, created once even when threads race for it, and one
// reset that releases every state (newest first) and nothing of the calibration part.
TEST_F(SysInfoTest, RunTimePartHoldsOneStatePerTypeAndResetsInOnePlace)
{
    static std::vector<int> released;
    struct first_state {
        int id = 1;
        ~first_state() { released.push_back(id); }
    };
    struct second_state {
        std::atomic<int> uses{0};
        ~second_state() { released.push_back(2); }
    };
    SysInfo& s = *sysinfo_slot(1);
    SysInfo other;  // a record that is no slot has a run-time part of its own
    s.instrName.assign("kept");
    s.instrOn = 1;
    s.lightRun[0].level = 33;
    EXPECT_EQ(s.services.find<first_state>(), nullptr);
    s.services.get<first_state>().id = 11;

    std::vector<std::thread> threads;
    std::vector<second_state*> seen(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            seen[t] = &s.services.get<second_state>();
            seen[t]->uses++;
        });
    for (std::thread& t : threads)
        t.join();
    for (second_state* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(seen[0]->uses, 4);
    EXPECT_EQ(other.services.find<first_state>(), nullptr);
    EXPECT_EQ(sysinfo_slot(0)->services.find<first_state>(), nullptr);

    released.clear();
    sysinfo_reset_runtime(s);
    EXPECT_EQ(released, (std::vector<int>{2, 11}));
    EXPECT_EQ(s.services.find<first_state>(), nullptr);
    EXPECT_EQ(s.instrOn, 0);
    EXPECT_EQ(s.lightRun[0].level, 0);
    EXPECT_STREQ(s.instrName.c_str(), "kept");
    EXPECT_EQ(s.services.get<first_state>().id, 1);  // created afresh after the reset
}

TEST_F(SysInfoTest, RecordsCompareByValueSubRecordsIncluded)
{
    SysInfo& a = *sysinfo_slot(0);
    SysInfo& b = *sysinfo_slot(1);
    EXPECT_TRUE(a.cal() == b.cal());
    a.instrOn = 1;  // run-time state is no part of the comparison
    EXPECT_TRUE(a.cal() == b.cal());
    ASSERT_EQ(sysinfo_ensure_ftp_info(a), NO_ERROR);
    EXPECT_FALSE(a.cal() == b.cal());
    ASSERT_EQ(sysinfo_ensure_ftp_info(b), NO_ERROR);
    EXPECT_TRUE(a.cal() == b.cal());  // two separate blocks with equal contents
    b.ftpInfo->mag[14].avgK0[9] = 1.5;
    EXPECT_FALSE(a.cal() == b.cal());
    a.ftpInfo->mag[14].avgK0[9] = 1.5;
    a.instrComm.assign("");
    EXPECT_FALSE(a.cal() == b.cal());  // an empty name is set, unlike no name
    b.instrComm.assign("");
    EXPECT_TRUE(a.cal() == b.cal());
}

TEST_F(SysInfoTest, RampConfigNameIsTheConstantUntilReplaced)
{
    SysInfo& s = *sysinfo_slot(0);
    ASSERT_TRUE(s.rampConfig.is_default());
    sysinfo_set_defaults(0);  // nothing owned to free: still the very same constant
    EXPECT_EQ(s.rampConfig.c_str(), SB_DEFAULT_RAMP_CONFIG);
    s.rampConfig.assign("mine.txt");
    EXPECT_FALSE(s.rampConfig.is_default());
    EXPECT_STREQ(s.rampConfig.c_str(), "mine.txt");
    EXPECT_NE(s.rampConfig.c_str(), SB_DEFAULT_RAMP_CONFIG);
    sysinfo_set_defaults(0);
    EXPECT_EQ(s.rampConfig.c_str(), SB_DEFAULT_RAMP_CONFIG);
}

// Allocation hooks that count blocks, so the tests can see every sub-record released.
int g_live_blocks = 0;
bool g_fail_calloc = false;
void* counting_calloc(std::size_t n, std::size_t size)
{
    if (g_fail_calloc)
        return nullptr;
    ++g_live_blocks;
    return std::calloc(n, size);
}
void counting_release(void* p)
{
    --g_live_blocks;
    std::free(p);
}

TEST_F(SysInfoTest, SubRecordsAreCreatedOnceWithDefaultsAndReleasedThroughTheHooks)
{
    g_live_blocks = 0;
    g_fail_calloc = false;
    u_hooks.calloc = counting_calloc;
    u_hooks.release = counting_release;
    SysInfo& s = *sysinfo_slot(1);

    ASSERT_EQ(sysinfo_ensure_can_info(s), NO_ERROR);
    CanInfo* can = s.canInfo.get();
    can->macAddress[0] = 7;
    ASSERT_EQ(sysinfo_ensure_can_info(s), NO_ERROR);
    EXPECT_EQ(s.canInfo.get(), can);  // created once, kept as it is
    EXPECT_EQ(can->macAddress[0], 7);
    ASSERT_EQ(sysinfo_ensure_ftp_info(s), NO_ERROR);
    ASSERT_EQ(sysinfo_ensure_pifoc(s), NO_ERROR);
    ASSERT_EQ(sysinfo_ensure_pid_set(s, 0), NO_ERROR);
    EXPECT_EQ(sysinfo_ensure_pid_set(s, 8), ERR_PARAM_OUT_OF_RANGE);
    ASSERT_EQ(sysinfo_ensure_dyn_wave_gen(s), NO_ERROR);
    ASSERT_EQ(sysinfo_ensure_hxi_zoom(s), NO_ERROR);
    // Each is built with its defaults in the block that the hooks gave.
    EXPECT_TRUE(*s.ftpInfo == FtpInfo{});
    EXPECT_TRUE(*s.pifoc == PifocInfo{});
    EXPECT_TRUE(*s.pidVals[0] == PidSet{});
    EXPECT_TRUE(*s.dynWaveGen == DynWaveGenInfo{});
    EXPECT_TRUE(*s.hxiZoom == HxiZoomInfo{});
    EXPECT_EQ(g_live_blocks, 6);

    sysinfo_set_defaults(1);
    EXPECT_EQ(g_live_blocks, 0);
}

TEST_F(SysInfoTest, FailedAllocationLeavesTheSubRecordAbsent)
{
    g_fail_calloc = true;
    u_hooks.calloc = counting_calloc;
    SysInfo& s = *sysinfo_slot(0);
    EXPECT_EQ(sysinfo_ensure_can_info(s), ERR_NO_MEM);
    EXPECT_EQ(sysinfo_ensure_ftp_info(s), ERR_NO_MEM);
    EXPECT_EQ(sysinfo_ensure_pifoc(s), ERR_NO_MEM);
    EXPECT_EQ(sysinfo_ensure_pid_set(s, 3), ERR_NO_MEM);
    EXPECT_EQ(sysinfo_ensure_dyn_wave_gen(s), ERR_NO_MEM);
    EXPECT_EQ(sysinfo_ensure_hxi_zoom(s), ERR_NO_MEM);
    EXPECT_EQ(s.canInfo, nullptr);
    EXPECT_EQ(s.ftpInfo, nullptr);
    EXPECT_EQ(s.pifoc, nullptr);
    EXPECT_EQ(s.pidVals[3], nullptr);
    EXPECT_EQ(s.dynWaveGen, nullptr);
    EXPECT_EQ(s.hxiZoom, nullptr);
    g_fail_calloc = false;
}

TEST_F(SysInfoTest, PidHalfDefaultAndEquality)
{
    PidHalf a, b;
    EXPECT_TRUE(a.is_default());
    EXPECT_TRUE(a == b);
    b.reals[3] = 0.5f;
    EXPECT_FALSE(b.is_default());
    EXPECT_FALSE(a == b);
    a.reals[3] = 0.5f;
    EXPECT_TRUE(a == b);
    a.flag = 1;
    EXPECT_FALSE(a == b);
}

TEST(DisplayNames, TablesAndClamping)
{
    EXPECT_STREQ(sb_sys_type_name(0), "Unknown");
    EXPECT_STREQ(sb_sys_type_name(SYS_HXI), "HXI");
    EXPECT_STREQ(sb_sys_type_name(SYS_MODEL09), "Model09");
    EXPECT_STREQ(sb_sys_type_name(SYS_MODEL29), "Model29");
    EXPECT_STREQ(sb_sys_type_name(SYS_SPECIAL), "Unknown");  // 36 has no display name
    EXPECT_STREQ(sb_sys_type_name(-3), "Unknown");
    EXPECT_STREQ(sb_sys_type_names[35], "Model29");
    EXPECT_STREQ(sb_board_type_name(BD_NOTNEEDED), "NOTNEEDED");
    EXPECT_STREQ(sb_board_type_name(10), "None");
    EXPECT_STREQ(sb_fg_type_name(FG_PC2VISION), "PC2Vision");
    EXPECT_STREQ(sb_fg_type_name(13), "None");
    EXPECT_STREQ(sb_camera_type_name(CAM_INFRACAMA), "INFRACAMA");
    EXPECT_STREQ(sb_camera_type_name(CAM_A504K), "A504K");
    EXPECT_STREQ(sb_camera_type_name(33), "Unknown");
    EXPECT_STREQ(sb_camera_align_name(ALIGN_TOPLEFT), "TopLeft");
    EXPECT_STREQ(sb_camera_align_name(3), "Default");
    EXPECT_STREQ(sb_light_type_name(LIGHT_LED), "LED");
    EXPECT_STREQ(sb_light_type_name(6), "Unknown");
    EXPECT_STREQ(sb_llc_instr_name(LLC_INSTR_DD100MC_B), "DD100MC_B");
    EXPECT_STREQ(sb_llc_instr_name(4), "None");
    EXPECT_STREQ(sb_pos_instr_name(POS_RENISHAW_STEPNET), "Renishaw_StepNet");
    EXPECT_STREQ(sb_pos_instr_name(13), "None");
    EXPECT_STREQ(sb_temp_sensor_name(TEMP_EURO2216E), "Euro2216e");
    EXPECT_STREQ(sb_temp_sensor_name(2), "None");
}

}  // namespace
