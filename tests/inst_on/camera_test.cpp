// The console's camera: the gain thread's frames through the acquisition binding of the virtual
// acquisition library, a grabbed frame saved as a PNG and decoded again, and the answers where
// no camera can be set up.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/platform/errors.h"
#include "vell/sim/tnacq/tnacq_sim.h"
#include "tests/datinfo/png_decode.h"
#include "tests/inst_on/inst_on_fixture.h"
#include "tests/inst_on/run_shell.h"
#include "tests/support/test_support.h"
#include "tools/inst_shell/commands.h"
#include "tools/inst_shell/shell.h"

namespace {

std::string example(const char* name) { return (std::filesystem::absolute(VP_EXAMPLES_DIR) / name).string(); }

class Camera : public insttest::PowerOn {
protected:
    int run(std::vector<std::string> args) { return insttest::run_shell(std::move(args), "", &output); }
    std::string output;
    vptest::TempDir dir;
};

// The whole chain on the virtual Model17: the gain thread reads frames through the binding,
// turns the ND wheel until the brightest pixels sit in its band around the calibration's target,
// and the frame grabbed afterwards shows it. From either side of the band.
TEST_F(Camera, GainThreadBringsTheGrabbedFrameIntoTheTargetBand)
{
    struct row {
        const char* light;  // the starting level in percent (0 = the range's top)
    };
    for (const row& r : {row{"0"}, row{"100"}}) {
        SCOPED_TRACE(r.light);
        const std::string png = dir.str("frame.png");
        const uint64_t t0 = u_now_ms();
        ASSERT_EQ(run({"--sim", example("model17_can.cal"), "on", "light", r.light, "gain", "start", "3", "pause", "60",
                       "grab", png, "gain", "stop", "off"}),
                  0)
            << output;
        EXPECT_GE(u_now_ms() - t0, 60000u);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(output, m,
                                      std::regex("\ngain: automatic gain control is running with value 3\npause: waited "
                                                 "60000 ms\ngrab: saved [^\n]*frame.png: 640 x 480 pixels, brightest "
                                                 "level ([0-9]+) of 255\ngain: automatic gain control is stopped\n")))
            << output;
        const int brightest = std::stoi(m[1]);
        // The band of the gain control: (L + 1) / 256 within 1/32 of (target + 1) / 256, target 127.
        EXPECT_LE(std::fabs((brightest + 1) / 256.0 - 128 / 256.0), 0.03125) << brightest;

        // The frames came through the binding: acquisition started, frames read, stopped.
        const std::string calls = tnacq_sim::log();
        EXPECT_NE(calls.find("OpenDevice\n"), std::string::npos);
        EXPECT_GT(vptest::count_of(calls, "ReadDevice\n"), 50) << "the gain thread's frames and the grab";
        EXPECT_EQ(vptest::count_of(calls, "AcquireStart\n"), vptest::count_of(calls, "AcquireStop\n"));

        // The picture: its size, grey, a column rising to the brightest level on the right.
        const pngtest::image img = pngtest::decode(vptest::read_file(png));
        ASSERT_EQ(img.error, "");
        EXPECT_EQ(img.width, 640u);
        EXPECT_EQ(img.height, 480u);
        EXPECT_EQ(img.at(639, 0), (std::vector<int>{brightest, brightest, brightest}));
        EXPECT_EQ(img.at(639, 479), img.at(639, 0));
        EXPECT_LT(img.at(0, 240)[0], 2);
        for (uint32_t x = 1; x < img.width; ++x)
            ASSERT_LE(img.at(x - 1, 100)[0], img.at(x, 100)[0]) << x;
    }
}

// Without a camera, the commands that need one fail and say why; the exit status is 1.
TEST_F(Camera, WithoutAnAcquisitionLibraryGainStartAndGrabSayWhy)
{
    ASSERT_EQ(sb_readCal(0, example("model17_can.cal").c_str()), NO_ERROR);
    SysInfo* si = sysinfo_slot(0);
    si->instrOn = 1;
    std::FILE* out = std::tmpfile();
    inst_shell::session s;
    s.info = si;
    s.out = out;
    s.instruments = {"model17"};
    s.no_camera = "no acquisition library (TnAcq.dll) is present";
    struct row {
        inst_shell::words command;
        const char* line;
    };
    const row rows[] = {
        {{"gain", "start", "3"},
         "gain: FAILED - no camera is set up: no acquisition library (TnAcq.dll) is present (ERR_ACQ_MISSING_DLL)\n"},
        {{"grab", dir.str("x.png")},
         "grab: FAILED - no camera is set up: no acquisition library (TnAcq.dll) is present (ERR_ACQ_MISSING_DLL)\n"},
        {{"gain"}, "gain: automatic gain control is stopped\n"},
    };
    std::string expected;
    for (const row& r : rows) {
        EXPECT_EQ(inst_shell::run_command(s, r.command) == NO_ERROR, r.command.size() == 1) << r.line;
        expected += r.line;
    }
    EXPECT_EQ(vptest::read_stream(out), expected);
    EXPECT_FALSE(can_agc_running());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.png"));
    std::fclose(out);
    si->instrOn = 0;

    // A whole session without --sim: no library beside the program, so it says so and fails.
    EXPECT_EQ(run({example("hxi_serial_board.cal"), "grab", dir.str("y.png")}), 1);
    EXPECT_NE(output.find("grab: FAILED - no camera is set up: no acquisition library (TnAcq.dll) is present "
                          "(ERR_ACQ_MISSING_DLL)\n"),
              std::string::npos)
        << output;
    EXPECT_NE(log->str().find("inst_shell: no acquisition library (TnAcq.dll) is present: no camera"), std::string::npos);
}

}  // namespace
