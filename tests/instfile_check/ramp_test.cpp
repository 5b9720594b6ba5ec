// instfile_check's ramp kinds, run as a separate program: a ramp data file with its dump and a
// ramp configuration file in the writer's form, each with a file that fails.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace {

// A SWLI ramp header (big-endian words up to byte 168, little-endian after) and two samples.
std::string ramp_file_bytes()
{
    std::string b(328, '\0');
    auto be = [&](int first, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[static_cast<std::size_t>(first - 1 + i)] = static_cast<char>(v >> (24 - 8 * i));
    };
    be(1, 0x52414D51);  // RAMQ
    be(9, 12345);        // pztID
    be(17, 2);           // nPoints
    be(41, 0x41C80000);  // cameraRate 25.0
    be(85, 'b');         // polar
    b[168] = 0x00, b[169] = 0x00, b[170] = static_cast<char>(0x80), b[171] = 0x3E;  // fringesPerFrame 0.25, LE
    b += std::string("\x01\x02\xFF\xFE", 4);
    return b;
}

TEST(InstfileCheckRamp, RampDataFileIsShownAsItsDump)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "d10.b12345", ramp_file_bytes());
    vptest::program_result r =
        vptest::run_program(INSTFILE_CHECK_PATH, "ramp " + vptest::shell_quoted(dir.str("d10.b12345")), dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("NO_ERROR\n#   1-  4  magicNumber        = 1380011345\n", 0), 0u) << r.out;
    for (const char* line : {"#   9- 12  pztID              = 12345\n", "#  41- 44  cameraRate         = 25\n",
                             "#  85- 88  polar              = b\n", "# 169-172  fringesPerFrame    = 0.25\n",
                             "# sizeof rr_ramp_hdr_t = 328\n258\n65534\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;

    std::string short_file = ramp_file_bytes();
    short_file.resize(329);
    vptest::write_file(dir / "short", short_file);
    r = vptest::run_program(INSTFILE_CHECK_PATH, "ramp " + vptest::shell_quoted(dir.str("short")), dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_CORRUPT_RAMP_FILE\n");
}

TEST(InstfileCheckRamp, ConfigurationIsShownInTheWritersForm)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "rampcfg.txt",
                       "# ramps\nSWLI d10s81c25.b12345 10.2 25 0 0 0.25 81 0 1\nPMIX bad\nBTW2 d.b7 10 30 0 1 0.25 81 20 1.02 1\n");
    const std::string path = dir.str("rampcfg.txt");
    vptest::program_result r = vptest::run_program(INSTFILE_CHECK_PATH, "rampcfg " + vptest::shell_quoted(path), dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error reading ramp config file \"" + path +
                         "\"\nInvalid RampType value (field 1) in line 3:\n  PMIX bad\n"
                         "Allowed RampType values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index in the "
                         "range [1,4]\n"
                         "Accepted 2 of 3 ramp specs in ramp config file \"" + path + "\"\n");
    const std::string tail = "#\n# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H\n"
                             "\n SWLI d10s81c25.b12345        10.20  25.00  0  0 0.250  81.0000   0.00 1.00000 0\n"
                             "\n BTW2 d.b7                    10.00  30.00  0  1 0.250  81.0000  20.00 1.02000 1\n";
    EXPECT_EQ(r.out.rfind("NO_ERROR\n# Tessaron Ramp Configuration File\n#\n", 0), 0u) << r.out;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

    vptest::write_file(dir / "empty.txt", "# nothing\n");
    r = vptest::run_program(INSTFILE_CHECK_PATH, "rampcfg " + vptest::shell_quoted(dir.str("empty.txt")), dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERR_CORRUPT_RAMP_CFG_FILE\n");
    EXPECT_EQ(r.err.rfind("No acceptable ramp specs in ramp config file \"", 0), 0u) << r.err;
}

}  // namespace
