// instfile_check zoomcal, run as a separate program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace {

TEST(InstfileCheckZoomcal, ReadsTheFileAndShowsOnePairPerLine)
{
    struct tool_case {
        std::string content;
        int status;
        std::string out;
        std::string err_tail;  // standard error after the heading line
    };
    const std::vector<tool_case> cases = {
        {"Zoom\r\n100 1.0\r\n200,2.5\r\n3.5e3, 5.75\n", 0, "NO_ERROR\n100 1\n200 2.5\n3500 5.75\n", ""},
        {"Zoom\n100 1.0\n200,2.5\n150, 3.0\n", 1, "ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE\n",
         " Position values are not in strictly increasing order. \n Error in line 4: \n  150, 3.0 \n"},
        {"Zoom\n", 1, "ERR_HXI_ENC_ZOOM_INVALID_CAL_FILE\n",
         " Too few position and magnification value pairs (minimum is 2) \n"},
    };
    vptest::TempDir dir;
    const std::string path = dir.str("ZoomCal.txt");
    for (const tool_case& c : cases) {
        vptest::write_file(path, c.content);
        vptest::program_result r =
            vptest::run_program(INSTFILE_CHECK_PATH, "zoomcal " + vptest::shell_quoted(path), dir.path());
        EXPECT_EQ(r.status, c.status) << c.content;
        EXPECT_EQ(r.out, c.out) << c.content;
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.err, " Error reading HXI encoded zoom magnification calibration file \"" + path + "\" \n" +
                                 c.err_tail);
        }
    }
    const std::string missing = dir.str("absent.txt");
    vptest::program_result r =
        vptest::run_program(INSTFILE_CHECK_PATH, "zoomcal " + vptest::shell_quoted(missing), dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE\n");
    EXPECT_EQ(r.err, " Cannot open HXI encoded zoom magnification calibration file \"" + missing + "\" \n");
}

}  // namespace
