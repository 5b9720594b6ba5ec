// Shared fixture of the calibration writer tests: a temporary directory that also serves as the
// system's temporary directory (so leftover temporary files show), a captured log sink, fresh
// slots.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "vell/calfile/writer.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

namespace calwtest {

namespace fs = std::filesystem;

// The text as the writer's text-mode stream puts it into a file: CR LF line ends on Windows.
inline std::string native(std::string text)
{
#ifdef _WIN32
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
#else
    return text;
#endif
}

// A keyword line as the writer lays it out: the keyword in 22 columns, two blanks, the values.
inline std::string kl(const std::string& keyword, const std::string& values)
{
    std::string line = keyword;
    if (line.size() < 22)
        line.append(22 - line.size(), ' ');
    return line + "  " + values + "\n";
}

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysinfo_reset_all_slots();
        calfile_reset_state();
        fs::create_directory(dir_ / "tmp");
        for (const char* var : kTempVars) {
            auto value = os::get_env(var);
            saved_env_.emplace_back(var, value);
            os::set_env(var, dir_.str("tmp").c_str());
        }
        out_ = dir_.str("out.cal");
    }
    void TearDown() override
    {
        for (auto& [var, value] : saved_env_)
            os::set_env(var.c_str(), value ? value->c_str() : nullptr);
        u_hooks_reset();
        sysinfo_reset_all_slots();
        calfile_reset_state();
    }

    SysInfo& slot(int i = 0) { return *sysinfo_slot(i); }

    // A slot that the writer takes as it is: Model09 with a date code and serial number, an
    // XC77CE camera, no board, no frame grabber.
    SysInfo& base(int i = 0)
    {
        SysInfo& si = slot(i);
        si.sysType = SYS_MODEL09;
        si.dateCode = 1205;
        si.serialNum = 12345;
        si.cameraType = CAM_XC77CE;
        return si;
    }

    // Writes slot `i` to `out_` (or `target`), clearing the log first.
    int32_t write(int i = 0, const std::string* target = nullptr)
    {
        log_.clear();
        return sb_writeCal(i, target ? target->c_str() : out_.c_str());
    }
    std::string written() const { return vptest::read_file(out_); }

    // Reads a calibration text into slot `i`.
    int32_t read_text(const std::string& text, int i = 0, const std::string& name = "in.cal")
    {
        std::string path = dir_.str(name);
        vptest::write_file(path, text);
        log_.clear();
        return sb_readCal(i, path.c_str());
    }
    // Reads the file the writer wrote into slot `i`.
    int32_t read_back(int i = 0)
    {
        log_.clear();
        return sb_readCal(i, out_.c_str());
    }

    // The log after the reader's "Reading system calibration file" lines.
    std::string messages() const
    {
        std::string all = log_.str();
        const std::string reading = "Reading system calibration file: ";
        while (all.compare(0, reading.size(), reading) == 0)
            all.erase(0, all.find('\n') + 1);
        return all;
    }
    // The files left in the temporary directory.
    std::vector<std::string> temp_files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_ / "tmp"))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static constexpr const char* kTempVars[] = {"TMPDIR", "TMP", "TEMP"};
    vptest::TempDir dir_;
    vptest::LogCapture log_;
    std::string out_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
};

}  // namespace calwtest
