// instfile_check lcdmi and bpix, run as a separate program.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace {

struct checked {
    const char* kind;
    std::string file;
    int status;
    std::string out;
    std::string err;  // after the "Error reading ..." line, when the status is 1
};

TEST(InstfileCheckLcdmiBpix, ReadersResultsAndShownForms)
{
    const checked rows[] = {
        {"lcdmi",
         "Version 2\nChannel 1 0 0 1 3 7 3 1.25 Lbl\nDiagOpts 2\n",
         0,
         "NO_ERROR\n"
         "LCDMI configuration:\r\n"
         "  Diag Opts     = 2\r\n"
         "  Prim Chan ID  = 1\r\n"
         "Channel 1:\r\n"
         "  Chan ID       = 1\r\n"
         "  Disabled      = 0\r\n"
         "  Output Type   = 0\r\n"
         "  Polarity      = 1\r\n"
         "  Resolution    = 3\r\n"
         "  Filt Cut Freq = 7\r\n"
         "  Nom Data Rate = 3\r\n"
         "  Scale Factor  = 1.25\r\n"
         "  Label         = \"Lbl\"\r\n"
         "Channel 2:\r\n"
         "  Chan ID       = 0\r\n"
         "  Disabled      = 0\r\n"
         "  Output Type   = 0\r\n"
         "  Polarity      = 0\r\n"
         "  Resolution    = 0\r\n"
         "  Filt Cut Freq = 0\r\n"
         "  Nom Data Rate = 0\r\n"
         "  Scale Factor  = 0\r\n"
         "  Label         = \"\"\r\n"
         "Channel 3:\r\n"
         "  Chan ID       = 0\r\n"
         "  Disabled      = 0\r\n"
         "  Output Type   = 0\r\n"
         "  Polarity      = 0\r\n"
         "  Resolution    = 0\r\n"
         "  Filt Cut Freq = 0\r\n"
         "  Nom Data Rate = 0\r\n"
         "  Scale Factor  = 0\r\n"
         "  Label         = \"\"\r\n",
         ""},
        {"lcdmi", "Version 3\nChannel 1 0 0 0 4 0 0 1.0 X\n", 1, "ERR_LCDMI_CONFIG\n",
         "Number out of range.\nExpected 'resolution' an integer value in the range [0,3]\n"
         "Error in line 2:\r\n  Channel 1 0 0 0 4 0 0 1.0 X\r\n"},
        {"bpix", "# cam\n[ 0 0 640 480 30\n10 20\n10 20\n[1 0 64 48 12.5\n", 0,
         "NO_ERROR\n[ 0 0 640 480 30\n10 20\n10 20\n[ 1 0 64 48 12.5\n", ""},
        {"bpix", "[ 0 0 640 480 30\n640 0\n", 1, "ERR_CB_FILE_INVALID\n",
         "Number out of range.\nExpected 'coord x' an integer value in the range [0,639]\nError in line 2:\r\n  640 0\n"},
        {"bpix", "# nothing\n", 0, "NO_ERROR\n", ""},
    };
    vptest::TempDir dir;
    const std::string file = dir.str("in%s.txt");
    for (const checked& r : rows) {
        vptest::write_file(file, r.file);
        vptest::program_result p =
            vptest::run_program(INSTFILE_CHECK_PATH, std::string(r.kind) + " " + vptest::shell_quoted(file), dir.path());
        EXPECT_EQ(p.status, r.status) << r.file;
        EXPECT_EQ(p.out, r.out) << r.file;
        const std::string heading = std::string(r.kind) == "lcdmi" ? "Error reading LCDMI configuration file \""
                                                                   : "Error reading bad pixel file \"";
        EXPECT_EQ(p.err, r.status == 0 ? std::string() : heading + file + "\"\r\n" + r.err) << r.file;
    }
    for (const char* kind : {"lcdmi", "bpix"}) {
        vptest::program_result p =
            vptest::run_program(INSTFILE_CHECK_PATH, std::string(kind) + " " + vptest::shell_quoted(dir.str("none")), dir.path());
        EXPECT_EQ(p.status, 1) << kind;
        EXPECT_EQ(p.out, "ERR_CANT_OPEN_FILE\n") << kind;
        EXPECT_NE(p.err.find(dir.str("none")), std::string::npos) << p.err;
    }
}

}  // namespace
