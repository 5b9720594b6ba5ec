// instfile_check ftp and pifoc, run as a separate program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace {

struct tool_case {
    const char* kind;
    std::string content;
    int status;
    std::string out;
    std::vector<std::string> err_parts;  // in this order in standard error
};

TEST(InstfileCheckFtpPifoc, ReadsTheFileAndShowsWhatWasRead)
{
    const std::string heading = "## Tessaron FTP Materials File - Format 1\n";
    const std::vector<tool_case> cases = {
        {"ftp",
         heading + "# metals\n\"Aluminum\"  023.000000  085.000000  00.035766  0 0 0 0  # 606\n'Gold' 0.25 ? * 1 -1 0.5 6\n",
         0, "NO_ERROR\n-1 # metals\n0 \"Aluminum\" 23 85 0.035766 0 0 0 0 # 606\n1 \"Gold\" 0.25 ? ? 1 -1 0.5 6\n",
         {"Reading FTP materials file \""}},
        {"ftp", heading + "\"Steel\" 2 3 7 0 0 0 0\n", 1, "ERR_FTP_CORRUPT_MATLS_FILE\n",
         {"Error(s) reading FTP materials file:\n\tInvalid PCOR value \"7\" (field 4)\n\tError in line 2:\n",
          "No acceptable material specs found\n"}},
        {"pifoc", "# pifoc 1\n3600 1000000000 -2\n", 0, "NO_ERROR\n3600 1000000000 -2\n",
         {"Pifoc info file is ", "te = 3600  t1 = 1000000000  leakage = -2 (-8.95861e-07 uA)\n"}},
        {"pifoc", "5000 4000\n", 1, "ERR_PARAM_OUT_OF_RANGE\n",
         {"xr_load_pifoc_info: unreasonable te or t1 value\nte  = 5000\nt1  = 4000\nnow = "}},
        {"pifoc", "", 1, "ERR_CANT_READ_FILE\n", {"xr_load_pifoc_info: empty file "}},
    };
    vptest::TempDir dir;
    for (const tool_case& c : cases) {
        vptest::write_file(dir.str("f.txt"), c.content);
        const std::string args = std::string(c.kind) + " " + vptest::shell_quoted(dir.str("f.txt"));
        vptest::program_result r = vptest::run_program(INSTFILE_CHECK_PATH, args, dir.path());
        EXPECT_EQ(r.status, c.status) << args << "\n" << c.content;
        EXPECT_EQ(r.out, c.out) << c.content;
        std::size_t at = 0;
        for (const std::string& part : c.err_parts) {
            std::size_t p = r.err.find(part, at);
            EXPECT_NE(p, std::string::npos) << part << "\nin:\n" << r.err;
            at = p == std::string::npos ? at : p + part.size();
        }
    }
}

TEST(InstfileCheckFtpPifoc, AMissingFileIsReportedAsTheReaderReportsIt)
{
    vptest::TempDir dir;
    const std::string path = dir.str("absent.txt");
    vptest::program_result r = vptest::run_program(INSTFILE_CHECK_PATH, "ftp " + vptest::shell_quoted(path), dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_CANT_OPEN_FILE\n");
    EXPECT_EQ(r.err, "Cannot open FTP materials file \"" + path + "\"\n");
    r = vptest::run_program(INSTFILE_CHECK_PATH, "pifoc " + vptest::shell_quoted(path), dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_CANT_OPEN_FILE\n");
    EXPECT_EQ(r.err, "Cannot open pifoc info file " + path + "\n");
}

}  // namespace
