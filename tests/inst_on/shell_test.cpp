// The console end to end against the virtual serial board: command words or lines in, result
// lines out, exit status.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "tests/inst_on/inst_on_fixture.h"
#include "tools/inst_shell/commands.h"
#include "tools/inst_shell/shell.h"

namespace {

// The bundled examples, by a path the platform takes as absolute (on Windows one with its drive).
std::string example(const char* name)
{
    return (std::filesystem::absolute(VP_EXAMPLES_DIR) / name).string();
}
const std::string kSerialCal = example("hxi_serial_board.cal");
const std::string kCanCal = example("model23_can.cal");

std::string slurp(std::FILE* f)
{
    std::rewind(f);
    std::string s;
    char buf[256];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// An HXI light-level row that keeps its level in memory and settles at once, standing in for
// the board link's light commands.
uint16_t g_level = 0;
int32_t mem_set(SysInfo&, uint16_t level)
{
    g_level = level;
    return NO_ERROR;
}
int32_t mem_read(SysInfo&, uint16_t* level)
{
    *level = g_level;
    return NO_ERROR;
}
int32_t mem_stable(SysInfo&, bool* settled)
{
    *settled = true;
    return NO_ERROR;
}

class Shell : public insttest::PowerOn {
protected:
    int run(std::vector<std::string> args, const std::string& input = "")
    {
        std::vector<char*> argv{const_cast<char*>("inst_shell")};
        for (std::string& a : args)
            argv.push_back(a.data());
        std::FILE* in = std::tmpfile();
        std::FILE* out = std::tmpfile();
        std::fputs(input.c_str(), in);
        std::rewind(in);
        const int status = inst_shell::run(int(argv.size()), argv.data(), in, out);
        output = slurp(out);
        std::fclose(in);
        std::fclose(out);
        return status;
    }
    std::string output;
};

const std::string kFileLine = "calibration file: " + kSerialCal +
                              ": HXI serial 100234, HXI board on COM2, XC77CE camera on a Matrox frame "
                              "grabber\nvirtual instrument: ready, with the identity of the calibration file\n";
const char kOnLine[] =
    "on: instrument is on (HXI board on COM2, software version 20; identity matches the calibration file)\n";

struct shell_case {
    const char* what;
    std::vector<std::string> args;  // after the calibration file
    const char* input;
    int status;
    std::string lines;  // after the file's and the virtual instrument's lines
};

const shell_case cases[] = {
    {"a session on the command line",
     {"on", "status", "light", "25", "light", "wait", "events", "sleep", "status", "off", "status"},
     "",
     1,
     std::string(kOnLine) +
         "status: instrument answers and reports no fault; it is on\n"
         "light: light level 122 (24.8 % of the range 10..159, 0 % is the top), manual control\n"
         "light: light has settled after 250 ms; light level 122 (24.8 % of the range 10..159, 0 % is the top), manual "
         "control\n"
         "events: no events waiting\n"
         "sleep: this instrument has no sleep mode\n"
         "off: instrument is off\n"
         "status: FAILED - the instrument is not switched on (ERR_SERIAL_NOT_OPEN)\n"},
    {"one command per line, comments and blank lines skipped",
     {},
     "# a script\n\non\n  light level 40  \nlight percent 100\nlight level\nlight mode 7\nlight bright\nfly\noff\n",
     1,
     std::string(kOnLine) +
         "light: light level 40 (79.9 % of the range 10..159, 0 % is the top), manual control\n"
         "light: light level 10 (100.0 % of the range 10..159, 0 % is the top), manual control\n"
         "light: light level 10 (100.0 % of the range 10..159, 0 % is the top), manual control\n"
         "light: FAILED - not understood (see help) (ERR_INVALID_PARAM)\n"
         "light: FAILED - not understood (see help) (ERR_INVALID_PARAM)\n"
         "fly: FAILED - not understood (see help) (ERR_INVALID_PARAM)\n"
         "off: instrument is off\n"},
    {"all well", {"on", "reset", "off"}, "", 0,
     std::string(kOnLine) +
         "reset: instrument was reset and is on again; instrument is on (HXI board on COM2, software version 20; "
         "identity matches the calibration file)\n"
         "off: instrument is off\n"},
};

TEST_F(Shell, CommandsInResultLinesOut)
{
    for (const shell_case& c : cases) {
        SCOPED_TRACE(c.what);
        ac_llc_board_ops row = *ac_llc_board(BD_HXI);
        row.set = mem_set;
        row.read = mem_read;
        row.stable = mem_stable;
        ASSERT_TRUE(ac_llc_set_board(BD_HXI, row));
        std::vector<std::string> args{"--sim", kSerialCal};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const uint64_t t0 = u_now_ms();
        EXPECT_EQ(run(args, c.input), c.status);
        EXPECT_EQ(output, kFileLine + c.lines);
        EXPECT_LT(u_now_ms() - t0, 1000u);  // virtual time: the light wait's one poll
    }
}

TEST_F(Shell, IdentityThatDiffersIsReportedInWords)
{
    EXPECT_EQ(run({"--sim", "--sim-identity-differs", "light", kSerialCal, "on"}), 1);
    EXPECT_NE(output.find("virtual instrument: ready, with an EEPROM identity that differs from the calibration "
                          "file\non: FAILED - the calibration file does not fit the instrument (see the messages "
                          "above) (ERR_SB_INST_CONFIG)\n"),
              std::string::npos)
        << output;
    EXPECT_NE(logged().find("Light type mismatch\nCal file says HeNe, instrument EEPROM says Diode\n"),
              std::string::npos);
}

TEST_F(Shell, RefusalsBeforeAnyCommand)
{
    struct row {
        std::vector<std::string> args;
        int status;
        const char* output_part;
    } rows[] = {
        {{}, 2, ""},
        {{"--sim"}, 2, ""},
        {{"--sim-identity-differs", "serial", kSerialCal}, 2, ""},  // only with --sim
        {{"--sim", "--sim-identity-differs", "colour", kSerialCal}, 2, ""},
        {{"--simulate", kSerialCal}, 2, ""},
        {{"--sim", kSerialCal, "on", "fly"}, 2, ""},  // nothing runs
        {{"--sim", example("no_such.cal"), "on"}, 1, "calibration file: FAILED - cannot use "},
        {{"--sim", "--sim-identity-differs", "serial", kCanCal, "on"},
         1,
         "virtual instrument: FAILED - a CAN instrument keeps no EEPROM identity that could differ"},
        {{"--sim", "--sim-missing-node", "61", kSerialCal, "on"},
         1,
         "virtual instrument: FAILED - a serial-board instrument has no CAN nodes to leave out"},
        {{"--sim-missing-node", "61", kCanCal, "on"}, 2, ""},  // only with --sim
        {{"--sim", "--sim-missing-node", "128", kCanCal, "on"}, 2, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args.empty() ? "" : r.args.back());
        EXPECT_EQ(run(r.args), r.status);
        if (r.output_part[0] == '\0')
            EXPECT_EQ(output, "");
        else
            EXPECT_NE(output.find(r.output_part), std::string::npos) << output;
    }
}

TEST_F(Shell, CommandWordsSplitIntoCommands)
{
    std::vector<inst_shell::words> commands;
    std::string bad;
    ASSERT_TRUE(inst_shell::split_commands({"on", "light", "50", "light", "mode", "1", "sleep", "status", "status",
                                            "light", "light", "wait", "off"},
                                           &commands, &bad));
    const std::vector<inst_shell::words> expect{{"on"},          {"light", "50"}, {"light", "mode", "1"},
                                                {"sleep", "status"}, {"status"},      {"light"},
                                                {"light", "wait"}, {"off"}};
    EXPECT_EQ(commands, expect);
    EXPECT_FALSE(inst_shell::split_commands({"on", "50"}, &commands, &bad));
    EXPECT_EQ(bad, "50");
}

}  // namespace
