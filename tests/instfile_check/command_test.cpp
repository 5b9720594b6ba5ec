// The instfile_check command line, run as a separate program.
#include <gtest/gtest.h>

#include <string>

#include "vell/platform/version.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace {

TEST(InstfileCheckCommand, BadCommandLinesGiveTheUsageAndStatus2)
{
    vptest::TempDir dir;
    vptest::write_file(dir.str("f.txt"), "x\n");
    const std::string file = vptest::shell_quoted(dir.str("f.txt"));
    for (const std::string& args : {std::string(), std::string("ramp"), "no_such_kind " + file,
                                    "ramp " + file + " extra", std::string("ramp \"\"")}) {
        vptest::program_result r = vptest::run_program(INSTFILE_CHECK_PATH, args, dir.path());
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.err.rfind("usage: instfile_check KIND FILE\n", 0), 0u) << args << "\n" << r.err;
    }
}

TEST(InstfileCheckCommand, HelpAndVersionAnswerOnStandardOutput)
{
    vptest::TempDir dir;
    vptest::program_result r = vptest::run_program(INSTFILE_CHECK_PATH, "--help", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: instfile_check KIND FILE\n", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    r = vptest::run_program(INSTFILE_CHECK_PATH, "--version", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("instfile_check ") + VP_VERSION + "\n");
}

}  // namespace
