// The acquisition manager against the virtual acquisition library.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "vell/acquisition/acq.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/dynlib.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/lock.h"
#include "vell/platform/os.h"
#include "vell/platform/process.h"
#include "tests/support/test_support.h"

namespace {

constexpr const char* child_variable = "VP_ACQ_TEST_CHILD";
const std::string kCal = "Model09 12 05 12345\nVersion Matrox 0 None\nCamera Type XC77CE\nLight HeNe 0.6328\n";

// The virtual library's own controls, reached by loading the same library.
class VirtualGrabber {
public:
    VirtualGrabber()
    {
        EXPECT_TRUE(lib_.load(ACQ_LIBRARY)) << lib_.error_text();
        set_ = reinterpret_cast<int (*)(const char*, const char*)>(lib_.symbol("TnAcqSim_Set"));
        log_ = reinterpret_cast<int (*)(char*, int)>(lib_.symbol("TnAcqSim_Log"));
        set("reset", "");
    }
    void set(const char* key, const std::string& value) { ASSERT_EQ(set_(key, value.c_str()), 0) << key; }
    std::string calls() const
    {
        std::string text(static_cast<std::size_t>(log_(nullptr, 0)) + 1, '\0');
        log_(text.data(), static_cast<int>(text.size()));
        text.resize(text.size() - 1);
        return text;
    }

private:
    os::library lib_;
    int (*set_)(const char*, const char*) = nullptr;
    int (*log_)(char*, int) = nullptr;
};

std::string unique_lock_name()
{
    return "vp_acq_test_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

class AcqManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        os::set_env("RV_CONFIG_DIR", dir_.path().string().c_str());
        os::set_env("PULSARRES", nullptr);
        os::set_env("PULSARVCF", nullptr);
        os::set_env("PULSARDCF", nullptr);
        os::set_env("SystemRoot", dir_.path().string().c_str());
        u_dirs_reset_for_tests();
        acq_set_library(nullptr);
        acq_set_lock_name(lock_name_.c_str());
        vptest::write_file(dir_ / "instr.cal", kCal);
        cal_ = dir_.str("instr.cal");
    }
    void TearDown() override
    {
        acq_mgrclose(sysinfo_slot(0));
        acq_set_lock_name(nullptr);
        os::set_env("RV_CONFIG_DIR", nullptr);
        os::set_env("SystemRoot", nullptr);
        u_dirs_reset_for_tests();
    }

    vptest::TempDir dir_;
    std::string lock_name_ = unique_lock_name();
    std::string cal_;
    VirtualGrabber grabber_;
};

TEST_F(AcqManager, TranslatesEveryLibraryErrorNumber)
{
    EXPECT_EQ(acq_translate_error(), ERR_ACQ_MISSING_DLL);  // nothing loaded
    ASSERT_EQ(acq_mgropen(nullptr), NO_ERROR);
    struct row {
        int number;
        const char* text;
        int32_t code;
    };
    const row rows[] = {
        {0, "", NO_ERROR},
        {1, "Device Open\n", ERR_ACQ_DEVICE_OPEN},
        {2, "Control File\n", ERR_ACQ_CMD},
        {3, "Host Resource\n", ERR_ACQ_CMD},
        {4, "Input Device Open\n", ERR_ACQ_DEVICE_OPEN},
        {5, "Device Busy\n", ERR_ACQ_DEVICE_BUSY},
        {6, "Device Closed\n", ERR_ACQ_DEVICE_CLOSE},
        {7, "Device Not Ready\n", ERR_ACQ_CMD},
        {8, "Device Buffer\n", ERR_ACQ_CMD},
        {9, "Out Of Memory\n", ERR_ACQ_CMD},
        {10, "Invalid Device Mode Specified\n", ERR_ACQ_INVALID_MODE},
        {11, "Invalid Device Specified\n", ERR_ACQ_CMD},
        {12, "Invalid Parameter\n", ERR_ACQ_CMD},
        {13, "Missing Parameter\n", ERR_ACQ_CMD},
        {14, "System\n", ERR_ACQ_CMD},
        {15, "System Resource\n", ERR_ACQ_CMD},
        {16, "Timed Out Waiting for Frames\n", ERR_ACQ_TIMEOUT},
        {17, "Frame Buffer Overflow\n", ERR_LOST_FRAME},
        {18, "Data Corrupt\n", ERR_FRAME_DATA_CORRUPT},
        {19, "Unknown\n", ERR_ACQ_CMD},
        {20, "Device\n", ERR_ACQ_CMD},
        {21, "Missed Frame\n", ERR_LOST_FRAME},
        {22, "Device Initialize\n", ERR_ACQ_CMD},
        {23, "Configuration File Invalid\n", ERR_ACQ_CFGFILE_INVALID},
        {24, "Cannot Find File\n", ERR_CANT_OPEN_FILE},
        {25, "Field Drop\n", ERR_LOST_FRAME},
        {26, "Attempt to use unsupported functionality\n", ERR_ACQ_CMD},
        {27, "Unknown\n", ERR_UNKNOWN},
        {-1, "Unknown\n", ERR_UNKNOWN},
        {-2147483647 - 1, "Unknown\n", ERR_UNKNOWN},
    };
    for (const row& r : rows) {
        grabber_.set("last_error", std::to_string(r.number));
        vptest::LogCapture log;
        EXPECT_EQ(acq_translate_error(), r.code) << r.number;
        EXPECT_EQ(log.str(), r.number == 0 ? std::string() : std::string("Acq Error: ") + r.text) << r.number;
    }
    acq_mgrclose(nullptr);
    acq_mgrclose(nullptr);  // a second close does nothing
    EXPECT_EQ(acq_translate_error(), ERR_ACQ_MISSING_DLL);
}

TEST_F(AcqManager, OpenRefusesAMissingOrIncompleteLibraryAndAFailedInitialisation)
{
    struct row {
        const char* library;
        const char* fail;
        const char* log;
        int32_t code;
    };
    const row rows[] = {
        {"no_such_acq_library.dll", "", "Loading library TnAcq.dll\nacq_mgropen: TnAcq.dll missing\n",
         ERR_ACQ_MISSING_DLL},
        {"tnacq_no_next_mode.dll", "",
         "Loading library TnAcq.dll\nacq_mgropen: TnAcq.dll invalid or corrupted\n", ERR_ACQ_INVALID_DLL},
        {"tnacq_no_init.dll", "",
         "Loading library TnAcq.dll\nacq_mgropen: TnAcq.dll invalid or corrupted\n", ERR_ACQ_INVALID_DLL},
        {nullptr, "InitDeviceMgr",
         "Loading library TnAcq.dll\nInitializing TnAcq.dll\n"
         "acq_mgropen: TnAcq.dll initialization failed - verify that TnAcq.ini is correct\n",
         ERR_ACQ_INIT_DEV},
    };
    for (const row& r : rows) {
        acq_set_library(r.library);
        grabber_.set("fail", r.fail);
        vptest::LogCapture log;
        EXPECT_EQ(acq_mgropen(nullptr), r.code) << r.log;
        EXPECT_EQ(log.str(), r.log);
        EXPECT_FALSE(acq_state().loaded);
        EXPECT_EQ(acq_functions().InitDeviceMgr, nullptr);
        EXPECT_EQ(acq_copy_lock(), nullptr);
    }
}

TEST_F(AcqManager, OpenSetsTheVendorEnvironmentOnlyWhenUnsetAndListsTheIniFile)
{
    vptest::write_file(dir_ / "TnAcq.ini", "[Board]\r\nType=Virtual\nlast");
    vptest::LogCapture log;
    ASSERT_EQ(acq_mgropen("TnAcq.ini"), NO_ERROR);
    const std::string cfg = u_config_dir();
    for (const char* name : {"PULSARRES", "PULSARVCF", "PULSARDCF"})
        EXPECT_EQ(os::get_env(name).value_or("(unset)"), cfg) << name;
    const std::string ini = cfg + os::path_separator + "TnAcq.ini";
    EXPECT_EQ(log.str(), "Loading library TnAcq.dll\nInitializing TnAcq.dll\nINI file = TnAcq.ini\nContents of INI file " +
                             ini + ":\n  [Board]\n  Type=Virtual\n  last\n");
    EXPECT_NE(acq_copy_lock(), nullptr);
    EXPECT_NE(grabber_.calls().find("InitDeviceMgr TnAcq.ini\n"), std::string::npos);

    // A set PULSARRES leaves all three alone; no SystemRoot, no INI file, no display control.
    os::set_env("PULSARRES", "mine");
    os::set_env("PULSARVCF", nullptr);
    os::set_env("SystemRoot", nullptr);
    grabber_.set("setting.DISPLAY TYPE", "");
    log.clear();
    ASSERT_EQ(acq_mgropen("TnAcq.ini"), NO_ERROR);
    EXPECT_EQ(os::get_env("PULSARRES").value_or(""), "mine");
    EXPECT_FALSE(os::get_env("PULSARVCF").has_value());
    EXPECT_EQ(log.str(), "Loading library TnAcq.dll\nInitializing TnAcq.dll\nINI file = TnAcq.ini\n"
                         "Cannot access SystemRoot environment variable\n"
                         "Tessaron control of live display settings is not enabled.\n");
    os::set_env("SystemRoot", dir_.str("nowhere").c_str());
    log.clear();
    ASSERT_EQ(acq_mgropen("TnAcq.ini"), NO_ERROR);
    EXPECT_NE(log.str().find("Cannot access INI file " + dir_.str("nowhere") + os::path_separator + "TnAcq.ini\n"),
              std::string::npos);
    os::set_env("PULSARRES", nullptr);
}

TEST_F(AcqManager, StartUpEnumeratesSelectsAndReadsTheDisplaySettings)
{
    grabber_.set("cameras", "Main,Side");
    grabber_.set("modes.1", "Fast");
    grabber_.set("setting.DISPLAY TYPE", "3");
    grabber_.set("setting.MAX DISPLAY WIDTH", "1280");
    grabber_.set("setting.MAX DISPLAY HEIGHT", "1024");
    grabber_.set("setting.ONBOARD PROC", "1");
    vptest::LogCapture log;
    ASSERT_EQ(acq_mgrinit(3, cal_.c_str()), NO_ERROR) << log.str();
    EXPECT_EQ(sysinfo_slot(0)->hostFileDigit, 3);
    std::string expected = std::string("Num acquisition devices    = 1\nNum cameras                = 2\n") +
                           "Num primary camera modes   = 2\nNum secondary camera modes = 1\n" +
                           "Primary camera type        = " + sb_camera_type_name(sysinfo_slot(0)->cameraType) + "\n";
    EXPECT_NE(log.str().find(expected), std::string::npos) << log.str();
    const acq_manager_state& s = acq_state();
    EXPECT_TRUE(s.loaded && s.lock_held && s.live_display_control);
    EXPECT_EQ(s.display_type, 3);
    EXPECT_EQ(s.max_display_width, 1280);
    EXPECT_EQ(s.max_display_height, 1024);
    EXPECT_EQ(s.onboard_proc, 1);
    std::string calls = grabber_.calls();
    EXPECT_NE(calls.find("AcqDeviceSet CFG FILE PATH=" + std::string(u_config_dir()) + "\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("SetCurrentInputDevice 0\nGetFirstInputModeName\nGetInputModeId RS170\nSetCurrentInputMode 0\nOpenDevice\n"),
              std::string::npos) << calls;

    // Bit 1 clear: the maximum display size is not asked for. A second start-up reuses the lock.
    grabber_.set("setting.DISPLAY TYPE", "1");
    ASSERT_EQ(acq_mgrinit(0, cal_.c_str()), NO_ERROR);
    EXPECT_EQ(acq_state().max_display_width, 0);
}

TEST_F(AcqManager, StartUpFailuresCloseTheLibraryAndReleaseTheLock)
{
    struct row {
        const char* key;
        const char* value;
        const char* line;
        int32_t code;
    };
    const row rows[] = {
        {"devices", "", "acq_mgrinit: Cannot select the current acquisition device\n", ERR_ACQ_INVALID_DEVICE},
        {"fail", "SetCurrentAcqDevice", "acq_mgrinit: Cannot select the current acquisition device\n",
         ERR_ACQ_INVALID_DEVICE},
        {"cameras", "", "acq_mgrinit: Cannot set selected input device\n", ERR_ACQ_INVALID_DEVICE},
        {"fail", "OpenDevice", "Acq Error: Device Busy\n", ERR_ACQ_DEVICE_BUSY},
        {"fail", "InitDeviceMgr", "acq_mgropen: TnAcq.dll initialization failed", ERR_ACQ_INIT_DEV},
    };
    for (const row& r : rows) {
        grabber_.set("reset", "");
        grabber_.set("last_error", "5");
        grabber_.set(r.key, r.value);
        vptest::LogCapture log;
        EXPECT_EQ(acq_mgrinit(0, cal_.c_str()), r.code) << r.line;
        EXPECT_NE(log.str().find(r.line), std::string::npos) << log.str();
        EXPECT_FALSE(acq_state().loaded);
        os::process_lock other;
        ASSERT_TRUE(other.open(lock_name_.c_str()));
        EXPECT_EQ(other.acquire(0), 0) << "the lock was not released after: " << r.line;
    }
    // A calibration file that cannot be read ends the start-up with the reader's code.
    EXPECT_EQ(acq_mgrinit(0, dir_.str("missing.cal").c_str()), ERR_CANT_READ_FILE);
}

// A second start-up releases the first one in order (device resources, then the library)
// before it loads the library again; when it fails early, nothing stays loaded behind a
// state that says otherwise.
TEST_F(AcqManager, ASecondStartUpReleasesTheFirstInOrder)
{
    ASSERT_EQ(acq_mgrinit(0, cal_.c_str()), NO_ERROR);
    grabber_.set("reset", "");
    ASSERT_EQ(acq_mgrinit(1, cal_.c_str()), NO_ERROR);
    std::string calls = grabber_.calls();
    std::size_t freed = calls.find("FreeDeviceResources\n");
    std::size_t init = calls.find("InitDeviceMgr TnAcq.ini\n");
    ASSERT_NE(freed, std::string::npos) << calls;
    EXPECT_LT(freed, init) << calls;
    EXPECT_EQ(calls.find("FreeDeviceResources\n", freed + 1), std::string::npos) << calls;

    grabber_.set("reset", "");
    EXPECT_EQ(acq_mgrinit(0, dir_.str("missing.cal").c_str()), ERR_CANT_READ_FILE);
    EXPECT_EQ(grabber_.calls(), "FreeDeviceResources\n");
    EXPECT_FALSE(acq_state().loaded);
    EXPECT_EQ(acq_functions().InitDeviceMgr, nullptr);
    EXPECT_EQ(acq_copy_lock(), nullptr);
    EXPECT_TRUE(acq_state().lock_held);  // the process keeps its claim for the next start-up
}

// Starts this test program as a child that takes the lock and holds it until it is killed.
void spawn_holder(os::child_process& child, const std::string& name, const vptest::fs::path& marker)
{
    os::set_env(child_variable, (name + "\n" + marker.string()).c_str());
    ASSERT_TRUE(child.spawn(os::program_path(), {"--gtest_filter=AcqLockChild.DISABLED_Hold",
                                                 "--gtest_also_run_disabled_tests"}));
    os::set_env(child_variable, nullptr);
    for (int i = 0; i < 3000 && os::kind_of(marker) != os::file_kind::regular; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a real process starting
    ASSERT_EQ(os::kind_of(marker), os::file_kind::regular) << "the child did not take the lock";
}

TEST_F(AcqManager, AnotherProcessHoldingTheLockKeepsTheSystemUntilItDies)
{
    os::child_process child;
    spawn_holder(child, lock_name_, dir_ / "held");
    {
        u_virtual_clock clock(1000);
        vptest::LogCapture log;
        EXPECT_EQ(acq_mgrinit(0, cal_.c_str()), ERR_ACQ_INIT_DEV);
        EXPECT_EQ(u_now_ms() - 1000, ACQ_LOCK_WAIT_MS);
        EXPECT_NE(log.str().find("acq_mgrinit: Acquisition system in use by another process\n"), std::string::npos);
        EXPECT_FALSE(acq_state().loaded);
    }
    ASSERT_TRUE(child.kill());
    int status = 0;
    ASSERT_EQ(child.wait(U_INFINITE, &status), 0);
    // The holder died without releasing: its lock is taken over.
    EXPECT_EQ(acq_mgrinit(0, cal_.c_str()), NO_ERROR);
    EXPECT_TRUE(acq_state().lock_held);
}

}  // namespace

TEST(AcqLockChild, DISABLED_Hold)
{
    auto request = os::get_env(child_variable);
    if (!request)
        GTEST_SKIP();
    std::size_t cut = request->find('\n');
    os::process_lock lock;
    if (!lock.open(request->substr(0, cut).c_str()) || lock.acquire(0) != 0)
        std::_Exit(4);
    vptest::write_file(vptest::fs::u8path(request->substr(cut + 1)), "held\n");
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}
