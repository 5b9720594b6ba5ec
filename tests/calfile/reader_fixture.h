// Shared fixture of the calibration reader tests: a temporary directory, a captured log sink and
// fresh slots for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "vell/calfile/calfile.h"
#include "vell/calfile/scanner.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "tests/support/test_support.h"

namespace caltest {

// The smallest file that passes every final check: a system type line and a Version line.
inline const std::string kBase = "Model09 12 05 12345\nVersion None 0 None\n";

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysinfo_reset_all_slots();
        calfile_reset_state();
    }
    void TearDown() override
    {
        u_hooks_reset();
        sysinfo_reset_all_slots();
        calfile_reset_state();
    }

    // Writes `text` as a calibration file and reads it into `slot`.
    int32_t read(const std::string& text, int slot = 0)
    {
        path_ = dir_.str("cal.txt");
        vptest::write_file(path_, text);
        log_.clear();
        return sb_readCal(slot, path_.c_str());
    }
    // The one-line update "+<line>".
    int32_t update(const std::string& text, int slot = 0)
    {
        log_.clear();
        return sb_readCal(slot, text.c_str());
    }

    // What the log holds after the "Reading ..." line.
    std::string messages() const
    {
        std::string all = log_.str();
        std::string reading = "Reading system calibration file: \"" + path_ + "\"\n";
        if (all.compare(0, reading.size(), reading) == 0)
            all.erase(0, reading.size());
        return all;
    }
    // The header line before the first message of a read of the file.
    std::string header() const { return "Error(s) reading system calibration file \"" + path_ + "\":\n"; }

    SysInfo& slot(int i = 0) { return *sysinfo_slot(i); }
    const std::string& path() const { return path_; }

    vptest::TempDir dir_;
    vptest::LogCapture log_;
    std::string path_;
};

}  // namespace caltest
