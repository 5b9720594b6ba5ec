// Shared set-up of the instrument suites: a configuration directory of its own (RV_CONFIG_DIR)
// with a ramps subdirectory, clean slots, and the wall clock fixed at a chosen "now".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/instrument/ftp_materials.h"
#include "vell/instrument/pifoc.h"
#include "vell/platform/dirs.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

namespace vptest {

inline int64_t& fixed_now()
{
    static int64_t now = 0;
    return now;
}

class InstrumentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_cfg_ = os::get_env("RV_CONFIG_DIR");
        std::filesystem::create_directory(cfg_.path() / "ramps");
        ASSERT_TRUE(os::set_env("RV_CONFIG_DIR", cfg_.path().string().c_str()));
        u_dirs_reset_for_tests();
        sysinfo_reset_all_slots();
        xr_set_pifoc_log_limit(XR_PIFOC_LOG_DEFAULT_LIMIT);
        set_now(2000000000);
        u_hooks.wall_s = [] { return fixed_now(); };
    }
    void TearDown() override
    {
        u_hooks_reset();
        xr_set_pifoc_log_limit(XR_PIFOC_LOG_DEFAULT_LIMIT);
        sysinfo_reset_all_slots();
        os::set_env("RV_CONFIG_DIR", saved_cfg_ ? saved_cfg_->c_str() : nullptr);
        u_dirs_reset_for_tests();
    }

    static void set_now(int64_t now) { fixed_now() = now; }
    const TempDir& cfg() const { return cfg_; }
    std::string cfg_path(const std::string& name) const
    {
        return std::string(u_config_dir()) + os::path_separator + name;
    }

    TempDir cfg_;
    LogCapture log_;

private:
    std::optional<std::string> saved_cfg_;
};

}  // namespace vptest
