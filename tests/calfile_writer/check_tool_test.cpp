// calfile_check -w OUT FILE: the writer's result as a second line, exit status 0 only when the
// read and the write both succeeded.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

#ifndef CALFILE_CHECK_PATH
#error "CALFILE_CHECK_PATH must name the built calfile_check program"
#endif

namespace {

using run_result = vptest::program_result;

class CheckToolTest : public ::testing::Test {
protected:
    run_result run(const std::string& args) { return vptest::run_program(CALFILE_CHECK_PATH, args, dir_.path()); }
    std::string quoted(const std::string& name) const { return "\"" + dir_.str(name) + "\""; }
    vptest::TempDir dir_;
};

const std::string kFile = "Model09 12 05 12345\nVersion Matrox 0 None\nCamera Type XC77CE\nZoom 7\n";

TEST_F(CheckToolTest, WritesTheSlotThatWasRead)
{
    vptest::write_file(dir_ / "in.cal", kFile);
    run_result r = run("-w " + quoted("out.cal") + " " + quoted("in.cal"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "NO_ERROR\nNO_ERROR\n");
    std::string written = vptest::read_file(dir_ / "out.cal");
    EXPECT_EQ(written.rfind("# Vell System Calibration File", 0), 0u) << written;
    EXPECT_NE(written.find("Zoom                    7"), std::string::npos) << written;

    // The written file is checked like any other, and written again the same.
    r = run("-w " + quoted("again.cal") + " " + quoted("out.cal"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "NO_ERROR\nNO_ERROR\n");
    std::string again = vptest::read_file(dir_ / "again.cal");
    r = run("-w " + quoted("third.cal") + " " + quoted("again.cal"));
    EXPECT_EQ(vptest::read_file(dir_ / "third.cal"), again);
}

TEST_F(CheckToolTest, AFailedWritePrintsItsResult)
{
    vptest::write_file(dir_ / "in.cal", kFile);
    run_result r = run("-w " + quoted("no folder/out.cal") + " " + quoted("in.cal"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "NO_ERROR\nERR_CANT_WRITE_FILE\n");
    EXPECT_NE(r.err.find("Cannot copy temp file"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "no folder"));
}

TEST_F(CheckToolTest, NoWriteAfterAFailedRead)
{
    vptest::write_file(dir_ / "in.cal", kFile + "Unit 8\n");
    vptest::write_file(dir_ / "out.cal", "old\n");
    run_result r = run(quoted("in.cal") + " -w " + quoted("out.cal"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_SB_CALFILE_INVALID\n");
    EXPECT_EQ(vptest::read_file(dir_ / "out.cal"), "old\n");
}

}  // namespace
