// LCDMI configuration file: reader reports, the record, the dump and the slot's configuration load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/posinstr/lcdmi.h"
#include "tests/support/test_support.h"

namespace {

const char* const good_file =
    "# LCDMI set-up\r\n"
    "VERSION: 3\r\n"
    "\r\n"
    "Channel 2 0 1 1 3 7 3 -2.5 Left\r\n"
    "  channel 1 0 0 0 0 0 0 1.0 X   trailing words are ignored\r\n"
    "Channel 3 1 0 1 2 5 1 99 Rightlabel\r\n"
    "DiagOpts 1 3 33 256\r\n"
    "AvgChannels 1 3\r\n";

const char* const good_dump =
    "LCDMI configuration:\r\n"
    "  Diag Opts     = 1 3\r\n"
    "  Prim Chan ID  = 2\r\n"
    "Channel 1:\r\n"
    "  Chan ID       = 1\r\n"
    "  Disabled      = 0\r\n"
    "  Output Type   = 0\r\n"
    "  Polarity      = 0\r\n"
    "  Resolution    = 0\r\n"
    "  Filt Cut Freq = 0\r\n"
    "  Nom Data Rate = 0\r\n"
    "  Scale Factor  = 1\r\n"
    "  Label         = \"X\"\r\n"
    "Channel 2:\r\n"
    "  Chan ID       = 2\r\n"
    "  Disabled      = 0\r\n"
    "  Output Type   = 1\r\n"
    "  Polarity      = 1\r\n"
    "  Resolution    = 3\r\n"
    "  Filt Cut Freq = 7\r\n"
    "  Nom Data Rate = 3\r\n"
    "  Scale Factor  = -2.5\r\n"
    "  Label         = \"Left\"\r\n"
    "Channel 3:\r\n"
    "  Chan ID       = 3\r\n"
    "  Disabled      = 1\r\n"
    "  Output Type   = 0\r\n"
    "  Polarity      = 1\r\n"
    "  Resolution    = 2\r\n"
    "  Filt Cut Freq = 5\r\n"
    "  Nom Data Rate = 1\r\n"
    "  Scale Factor  = 99\r\n"
    "  Label         = \"Rightlabel\"\r\n";

std::string dump(const lcdmi_config& c, std::size_t size = 1000)
{
    std::vector<char> buf(size + 1, '\x7f');
    std::size_t n = lcdmi_dump_config(c, buf.data(), size);
    EXPECT_EQ(buf[size], '\x7f');  // nothing beyond the given size
    if (size == 0)
        return {};
    EXPECT_EQ(std::strlen(buf.data()), n);
    return std::string(buf.data(), n);
}

TEST(LcdmiConfig, ReadsTheRecordAndDumpsItByteExact)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "lcdmi.cfg", good_file);
    lcdmi_config c;
    std::string report = "old";
    ASSERT_EQ(lcdmi_read_config(dir.str("lcdmi.cfg").c_str(), &c, &report), NO_ERROR) << report;
    EXPECT_EQ(report, "");
    EXPECT_EQ(c.diag_opts, 0x5u);  // 33 and 256 are accepted and set no bit
    EXPECT_EQ(c.avg_given, 1);
    EXPECT_EQ(c.chan[0].average, 1);
    EXPECT_EQ(c.chan[1].average, 0);
    EXPECT_EQ(c.chan[2].average, 1);
    EXPECT_EQ(dump(c), good_dump);
}

TEST(LcdmiConfig, RecordDetails)
{
    struct row {
        const char* body;  // after the Version line
        int32_t prim;
        uint32_t diag;
        int avg1;
    } rows[] = {
        // Channels 2 and then 1 enabled: 2 is primary.
        {"Channel 2 0 0 0 0 0 0 1 a\nChannel 1 0 0 0 0 0 0 1 b\n", 2, 0, 0},
        // Channel 2 disabled by a later line: not primary any more.
        {"Channel 2 0 0 0 0 0 0 1 a\nChannel 1 0 0 0 0 0 0 1 b\nChannel 2 1 0 0 0 0 0 0 1 a\n", 1, 0, 0},
        {"Channel 3 1 0 0 0 0 0 1 a\n", 0, 0, 0},
        // A list ends at the first word that is not an integer of 0..256.
        {"DiagOpts 2 x 3\nDiagOpts 32 300 1\n", 0, 0x80000002u, 0},
        // The average flag outlives a later line for the channel.
        {"AvgChannels 1\nChannel 1 0 0 0 0 0 0 1 a\n", 1, 0, 1},
        {"# only comments after the version\n", 0, 0, 0},
    };
    vptest::TempDir dir;
    for (const row& r : rows) {
        vptest::write_file(dir / "c.cfg", std::string("Version 2\n") + r.body);
        lcdmi_config c;
        c.prim_chan = 77;
        std::string report;
        ASSERT_EQ(lcdmi_read_config(dir.str("c.cfg").c_str(), &c, &report), NO_ERROR) << r.body << report;
        EXPECT_EQ(c.prim_chan, r.prim) << r.body;
        EXPECT_EQ(c.diag_opts, r.diag) << r.body;
        EXPECT_EQ(c.chan[0].average, r.avg1) << r.body;
    }
    // No Version line at all is fine in a file of comments only.
    vptest::write_file(dir / "c.cfg", "# nothing\n\n");
    lcdmi_config c;
    EXPECT_EQ(lcdmi_read_config(dir.str("c.cfg").c_str(), &c, nullptr), NO_ERROR);
}

TEST(LcdmiConfig, ErrorReportsNameTheLineInError)
{
    const std::string chan = "Channel 1 0 0 0 0 0 0 1.0 X";
    struct row {
        std::string file;
        std::string detail_and_line;
    } rows[] = {
        {"# c\r\n" + chan + "\r\n", "The first non-comment line must be a Version statement.\r\nError in line 2:\r\n  " + chan + "\r\n"},
        {"Version 4\n", "This program requires a version 2 or 3 configuration file.\r\nError in line 1:\r\n  Version 4\r\n"},
        {"Version\n", "Missing number.\nExpected 'version number' an integer value in the range [0,99]\nError in line 1:\r\n  Version\r\n"},
        {"Version 3\nChannel 1 0 0 0 4 0 0 1.0 X\n",
         "Number out of range.\nExpected 'resolution' an integer value in the range [0,3]\n"
         "Error in line 2:\r\n  Channel 1 0 0 0 4 0 0 1.0 X\r\n"},
        {"Version 3\nChannel 1 0 0 0 0 0 0 1.0 ABCDEFGHIJK\n",
         "String longer than maximum of 10 characters.\nExpected label, a string of up to 10 characters\n"
         "Error in line 2:\r\n  Channel 1 0 0 0 0 0 0 1.0 ABCDEFGHIJK\r\n"},
        {"Version 3\nChannel 4 0 0 0 0 0 0 1.0 X\n",
         "Number out of range.\nExpected 'channel ID' an integer value in the range [1,3]\n"
         "Error in line 2:\r\n  Channel 4 0 0 0 0 0 0 1.0 X\r\n"},
        {"Version 3\nChannel 1 0 0 0 0 0 0 nan X\n",
         "Not a number.\nExpected 'scale factor' a floating point value in the range [-99,99]\n"
         "Error in line 2:\r\n  Channel 1 0 0 0 0 0 0 nan X\r\n"},
        {"Version 3\nAvgChannels 1 4\n", "Invalid channel number 4.\r\nError in line 2:\r\n  AvgChannels 1 4\r\n"},
        {"Version 3\nAvgChannels 0\n", "Invalid channel number 0.\r\nError in line 2:\r\n  AvgChannels 0\r\n"},
        {"Version 3\n%s%n%x 1\n", "Unrecognized token \"%s%n%x\"\r\nError in line 2:\r\n  %s%n%x 1\r\n"},
        {"Version 3\n" + std::string(50, 'T') + "\n",
         "Unrecognized token \"" + std::string(40, 'T') + "\"\r\nError in line 2:\r\n  " + std::string(50, 'T') + "\r\n"},
        {"Version 3\n# 1\n\n#\n" + std::string(120, 'x') + "\nChannel\n",
         "Line longer than 100 characters\r\nError in line 5\r\n"},
    };
    vptest::TempDir dir;
    const std::string path = dir.str("a%s%n.cfg");
    for (const row& r : rows) {
        vptest::write_file(path, r.file);
        lcdmi_config c;
        std::string report;
        EXPECT_EQ(lcdmi_read_config(path.c_str(), &c, &report), ERR_LCDMI_CONFIG) << r.file;
        EXPECT_EQ(report, "Error reading LCDMI configuration file \"" + path + "\"\r\n" + r.detail_and_line) << r.file;
    }
}

TEST(LcdmiConfig, RefusesBadArgumentsAndMissingFiles)
{
    vptest::TempDir dir;
    lcdmi_config c;
    std::string report = "old";
    EXPECT_EQ(lcdmi_read_config(nullptr, &c, &report), ERR_INVALID_PARAM);
    EXPECT_EQ(report, "");
    EXPECT_EQ(lcdmi_read_config("", &c, &report), ERR_INVALID_PARAM);
    EXPECT_EQ(lcdmi_read_config(dir.str("x").c_str(), nullptr, &report), ERR_INVALID_PARAM);
    const std::string missing = dir.str("none.cfg");
    EXPECT_EQ(lcdmi_read_config(missing.c_str(), &c, &report), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(report, "Cannot open LCDMI configuration file \"" + missing + "\"\r\n");
    EXPECT_EQ(lcdmi_read_config(dir.path().string().c_str(), &c, &report), ERR_CANT_OPEN_FILE);
}

TEST(LcdmiConfig, SmallDumpBuffersEndOnAWholePiece)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "lcdmi.cfg", good_file);
    lcdmi_config c;
    ASSERT_EQ(lcdmi_read_config(dir.str("lcdmi.cfg").c_str(), &c, nullptr), NO_ERROR);
    const std::string full = good_dump;
    // Where the pieces end: after every line, and after "=", " 1" and " 3" of the options line.
    std::vector<std::size_t> ends = {0};
    for (std::size_t p = full.find("\r\n"); p != std::string::npos; p = full.find("\r\n", p + 2))
        ends.push_back(p + 2);
    const std::size_t opts = full.find("  Diag Opts     =");
    ends.push_back(opts + 17);
    ends.push_back(opts + 19);
    ends.push_back(opts + 21);
    std::sort(ends.begin(), ends.end());
    for (std::size_t size = 0; size <= full.size() + 2; ++size) {
        std::string got = dump(c, size);
        std::size_t expect = 0;
        for (std::size_t e : ends)
            if (e < size)
                expect = e;
        EXPECT_EQ(got, full.substr(0, expect)) << size;
    }
    // A record with no option set shows 0.
    lcdmi_config empty;
    EXPECT_EQ(dump(empty).substr(0, 64), "LCDMI configuration:\r\n  Diag Opts     = 0\r\n  Prim Chan ID  = 0\r\n");
}

class LcdmiSlot : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysinfo_reset_all_slots();
    }
    void TearDown() override
    {
        sysinfo_reset_all_slots();
    }
    SysInfo& slot(const char* device, const std::string& config)
    {
        SysInfo& s = *sysinfo_slot(1);
        s.posInstrType = POS_LCDMI;
        if (device != nullptr)
            s.posInstrName[0].assign(device);
        if (!config.empty())
            s.posInstrName[1].assign(config);
        return s;
    }
    vptest::TempDir dir;
};

TEST_F(LcdmiSlot, LoadsTheNamedConfigurationIntoTheSlot)
{
    vptest::write_file(dir / "lcdmi.cfg", good_file);
    slot("LCDMI2", dir.str("lcdmi.cfg"));
    vptest::LogCapture log;
    ASSERT_EQ(pi_lcdmi_load_config(1), NO_ERROR);
    EXPECT_EQ(log.str(), "");
    const pi_lcdmi_state* st = pi_lcdmi_slot(1);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->board, 2);
    EXPECT_TRUE(st->has_config);
    EXPECT_EQ(dump(st->config), good_dump);
    EXPECT_EQ(pi_lcdmi_slot(0), nullptr);
    EXPECT_EQ(pi_lcdmi_slot(4), nullptr);
}

TEST_F(LcdmiSlot, FailuresAreLoggedAndLeaveNoState)
{
    vptest::write_file(dir / "bad%s.cfg", "Version 3\nBogus%n\n");
    const std::string bad = dir.str("bad%s.cfg");
    struct row {
        const char* device;
        std::string config;
        int32_t rc;
        std::string log;
    } rows[] = {
        {"LCDMI", "", ERR_INVALID_PARAM, "\"LCDMI\" does not end with a digit\r\nError opening LCDMI: ERR_INVALID_PARAM\r\n"},
        {nullptr, "", ERR_INVALID_PARAM, "\"\" does not end with a digit\r\nError opening LCDMI: ERR_INVALID_PARAM\r\n"},
        {"LCDMI1", bad, ERR_LCDMI_CONFIG,
         "Error reading LCDMI configuration file \"" + bad + "\"\r\nUnrecognized token \"Bogus%n\"\r\n" +
             "Error in line 2:\r\n  Bogus%n\r\nError opening LCDMI: ERR_LCDMI_CONFIG\r\n"},
        {"LCDMI1", dir.str("missing.cfg"), ERR_CANT_READ_FILE, "Error opening LCDMI: ERR_CANT_READ_FILE\r\n"},
    };
    for (const row& r : rows) {
        // A good load first: a failed one must not leave it behind.
        vptest::write_file(dir / "ok.cfg", good_file);
        slot("LCDMI3", dir.str("ok.cfg"));
        ASSERT_EQ(pi_lcdmi_load_config(1), NO_ERROR);
        sysinfo_reset_all_slots();
        slot(r.device, r.config);
        vptest::LogCapture log;
        EXPECT_EQ(pi_lcdmi_load_config(1), r.rc) << r.log;
        EXPECT_EQ(log.str(), r.log);
        EXPECT_EQ(pi_lcdmi_slot(1), nullptr);
    }
    // Only an LCDMI instrument of a real slot.
    sysinfo_reset_all_slots();
    vptest::LogCapture log;
    EXPECT_EQ(pi_lcdmi_load_config(1), ERR_INVALID_PARAM);
    EXPECT_EQ(pi_lcdmi_load_config(7), ERR_INVALID_PARAM);
    EXPECT_EQ(log.str(), "Error opening LCDMI: ERR_INVALID_PARAM\r\nError opening LCDMI: ERR_INVALID_PARAM\r\n");
    // Without a configuration file name the board alone is kept.
    slot("dmi0", "");
    EXPECT_EQ(pi_lcdmi_load_config(1), NO_ERROR);
    ASSERT_NE(pi_lcdmi_slot(1), nullptr);
    EXPECT_EQ(pi_lcdmi_slot(1)->board, 0);
    EXPECT_FALSE(pi_lcdmi_slot(1)->has_config);
}

}  // namespace
