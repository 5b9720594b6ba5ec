// The calfile_check command, run as a separate program.
#include <gtest/gtest.h>

#include <string>

#include "vell/platform/version.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

#ifndef CALFILE_CHECK_PATH
#error "CALFILE_CHECK_PATH must name the built calfile_check program"
#endif

namespace {

using run_result = vptest::program_result;

class CalfileCheckTest : public ::testing::Test {
protected:
    // Runs calfile_check with `args` (already quoted as needed) in the temporary directory.
    run_result run(const std::string& args) { return vptest::run_program(CALFILE_CHECK_PATH, args, dir_.path()); }
    std::string file(const std::string& name, const std::string& text)
    {
        std::string path = dir_.str(name);
        vptest::write_file(path, text);
        return "\"" + path + "\"";
    }
    vptest::TempDir dir_;
};

const std::string kGood = "Model09 12 05 12345\nVersion Matrox 0 None\nCamera Type XC77CE\nLight HeNe 0.6328\n";

TEST_F(CalfileCheckTest, GoodFilePrintsNoError)
{
    run_result r = run(file("good.cal", kGood));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "NO_ERROR\n");
    EXPECT_NE(r.err.find("Reading system calibration file: \""), std::string::npos) << r.err;
}

TEST_F(CalfileCheckTest, BadFilePrintsTheResultAndTheDiagnostics)
{
    run_result r = run(file("bad.cal", kGood + "Zoom 256\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_SB_CALFILE_INVALID\n");
    EXPECT_NE(r.err.find("256 out of range [0,255]\nError in line 5.\n"), std::string::npos) << r.err;

    r = run(file("empty.cal", ""));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_SB_CALFILE_INCOMPLETE\n");
    EXPECT_NE(r.err.find("Missing system type info.\n"), std::string::npos);
}

TEST_F(CalfileCheckTest, HelpAndVersionAnswerOnStandardOutput)
{
    run_result r = run("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: calfile_check [-w OUT] FILE\n", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    r = run("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("calfile_check ") + VP_VERSION + "\n");
    // Anything else that begins with "--" is still a bad command line.
    r = run("--helpme");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
}

TEST_F(CalfileCheckTest, MissingFile)
{
    run_result r = run("\"" + dir_.str("none.cal") + "\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_CANT_READ_FILE\n");
    EXPECT_NE(r.err.find("Cannot access file."), std::string::npos);
}

TEST_F(CalfileCheckTest, BadCommandLinesPrintTheUsage)
{
    std::string good = file("good.cal", kGood);
    const std::string cases[] = {"", "-w", "-w out.cal", "-x " + good, good + " " + good,
                                 "-w a.cal -w b.cal " + good, "-w \"\" " + good};
    for (const std::string& args : cases) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.err.rfind("usage: calfile_check [-w OUT] FILE\n", 0), 0u) << args << ": " << r.err;
    }
}

TEST_F(CalfileCheckTest, WriteAfterAGoodRead)
{
    std::string out = dir_.str("out.cal");
    run_result r = run("-w \"" + out + "\" " + file("good.cal", kGood));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "NO_ERROR\nNO_ERROR\n");
    EXPECT_TRUE(std::filesystem::exists(out));
}

TEST_F(CalfileCheckTest, NoWriteAfterAFailedRead)
{
    std::string out = dir_.str("out.cal");
    run_result r = run(file("bad.cal", "Zoom 999\n") + " -w \"" + out + "\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_SB_CALFILE_INVALID\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
