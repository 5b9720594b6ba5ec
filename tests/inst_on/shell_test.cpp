// The console end to end against the virtual serial board: command words or lines in, result
// lines out, exit status.
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "vell/calfile/calfile.h"
#include "vell/can/can_agc.h"
#include "vell/instrument/sleep_mode.h"
#include "vell/platform/dirs.h"
#include "vell/platform/thread.h"
#include "vell/ramps/ramp_set.h"
#include "vell/instrument/ramp_slots.h"
#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/ramps/ramp_file.h"
#include "tests/inst_on/inst_on_fixture.h"
#include "tests/inst_on/run_shell.h"
#include "tools/inst_shell/commands.h"
#include "tools/inst_shell/shell.h"
#include "tools/inst_shell/virtual_instrument.h"

namespace {

// The bundled examples, by a path the platform takes as absolute (on Windows one with its drive).
std::string example(const char* name)
{
    return (std::filesystem::absolute(VP_EXAMPLES_DIR) / name).string();
}
const std::string kSerialCal = example("hxi_serial_board.cal");
const std::string kCanCal = example("model23_can.cal");

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
        return insttest::run_shell(std::move(args), input, &output);
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

// ---------------------------------------------------------------------------------------------
// An instrument that is not on.

struct not_on_case {
    const char* what;
    std::vector<std::string> args;  // options and files
    std::string input;              // the commands, one per line
    int status;
    std::string lines;  // after the file's and the virtual instrument's lines
};

const std::string kSerialNotOn = "FAILED - the instrument is not switched on (ERR_SERIAL_NOT_OPEN)\n";
const std::string kCanNotOn = "FAILED - the instrument is not switched on (ERR_CAN_NOT_CONNECTED)\n";

TEST_F(Shell, AnInstrumentThatIsNotOnSaysSo)
{
    const not_on_case cases[] = {
        {"never switched on: nothing that talks to it runs",
         {"--sim", kSerialCal},
         "light\nlight 25\nlight level\nlight wait\nreset\nstatus\nramps load 0\nramps start 0\nramps wait\n"
         "gain start 5\n",
         1,
         "light: " + kSerialNotOn + "light: " + kSerialNotOn + "light: " + kSerialNotOn + "light: " + kSerialNotOn +
             "reset: " + kSerialNotOn + "status: " + kSerialNotOn + "ramps: " + kSerialNotOn + "ramps: " +
             kSerialNotOn + "ramps: " + kSerialNotOn + "gain: " + kSerialNotOn},
        {"never switched on: what needs no instrument answers",
         {"--sim", kSerialCal},
         "events\nsleep status\ngain\ngain stop\nuse\noff\n",
         0,
         "events: no events waiting\n"
         "sleep: this instrument has no sleep mode\n"
         "gain: this instrument has no automatic gain control\n"
         "gain: this instrument has no automatic gain control\n"
         "use: instrument 0, " +
             kSerialCal +
             ": HXI serial 100234, HXI board on COM2, XC77CE camera on a Matrox frame grabber; it is not on\n"
             "off: instrument is off\n"},
        {"a failed on leaves it off: no light level that was never read",
         {"--sim", "--sim-identity-differs", "light", kSerialCal},
         "on\nlight\nreset\n",
         1,
         "on: FAILED - the calibration file does not fit the instrument (see the messages above) "
         "(ERR_SB_INST_CONFIG)\nlight: " +
             kSerialNotOn + "reset: " + kSerialNotOn},
        {"a CAN instrument that is off: reset says so, not a hardware failure",
         {"--sim", kCanCal},
         "reset\nstatus\nlight 50\n",
         1,
         "reset: " + kCanNotOn + "status: " + kCanNotOn + "light: " + kCanNotOn},
        {"a CAN bring-up that stopped at a missing node",
         {"--sim", "--sim-missing-node", "61", kCanCal},
         "on\nlight\nstatus\n",
         1,
         "on: FAILED - failed (ERR_CAN_LED_ERROR)\nlight: " + kCanNotOn + "status: " + kCanNotOn},
    };
    for (const not_on_case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run(c.args, c.input), c.status);
        // The lines after the file's and the virtual instrument's.
        std::size_t start = output.find('\n', output.find("virtual instrument: "));
        ASSERT_NE(start, std::string::npos) << output;
        EXPECT_EQ(output.substr(start + 1), c.lines);
    }
}

// ---------------------------------------------------------------------------------------------
// Two instruments in one console.

// A PMI ramp of n samples for the scanner of serial number `pzt`.
void write_pmi_ramp(const std::string& path, int32_t pzt, int32_t n)
{
    rr_ramp_hdr_t h{};
    h.rampType = RR_PMI;
    h.pztID = pzt;
    h.nPoints = n;
    h.sampleClkFreq = 2;
    h.updateRate = 65536 - 2000;
    h.cameraRate = 100;
    h.trigStartAddr = n / 10;
    h.trigEndAddr = n - n / 10;
    h.offset = 50 * (n / 3);
    h.scanDir = 1;
    h.nBuckets = 5;
    h.fringesPerFrame = 0.25f;
    h.rampGainDflt = 1000;
    h.rampTriple[0] = 1, h.rampTriple[1] = 0.5f, h.rampTriple[2] = 0.25f;
    std::vector<uint16_t> samples(n);
    for (int32_t i = 0; i < n; ++i)
        samples[std::size_t(i)] = uint16_t(50 * i);
    ASSERT_EQ(rr_write_ramp_file(path.c_str(), &h, samples.data()), NO_ERROR);
}

// The answers of a session by instrument: each result line with its "[N] " taken off, with the
// indented lines printed before it (ramp lists, events), less the "use" lines. One instrument:
// all under 0.
std::map<int, std::string> by_instrument(const std::string& output)
{
    std::map<int, std::string> out;
    std::istringstream in(output);
    std::string line;
    std::string pending;
    while (std::getline(in, line)) {
        if (line.rfind("  ", 0) == 0) {
            pending += line + "\n";
            continue;
        }
        int n = 0;
        if (line.size() > 4 && line[0] == '[' && line[2] == ']' && line[3] == ' ') {
            n = line[1] - '0';
            line = line.substr(4);
        }
        if (line.rfind("use: ", 0) != 0)
            out[n] += pending + line + "\n";
        pending.clear();
    }
    return out;
}

class TwoInstruments : public Shell {
protected:
    void SetUp() override
    {
        Shell::SetUp();
        ASSERT_TRUE(os::set_env("RV_RAMPS_DIR", ramps_.path().string().c_str()));
        u_dirs_reset_for_tests();
        // One ramp for each instrument's scanner (the file's serial number); the CAN ramp node
        // takes ramps of 16384 samples.
        write_pmi_ramp(ramps_.str("p5.p100234"), 100234, 400);
        write_pmi_ramp(ramps_.str("p5.p204518"), 204518, 16384);
    }
    void TearDown() override
    {
        os::set_env("RV_RAMPS_DIR", nullptr);
        u_dirs_reset_for_tests();
        Shell::TearDown();
    }
    vptest::TempDir ramps_;
};

// What each instrument is asked, step by step (a ramp's start and wait in one step, so that
// the wait measures that ramp alone).
const std::vector<std::string> kSteps = {"on",           "status",       "light %s",    "light",
                                         "ramps build", "ramps load 0", "ramps start 0\nramps wait",
                                         "gain",         "sleep status"};

std::string step(const std::string& text, const char* level)
{
    const std::size_t at = text.find("%s");
    return at == std::string::npos ? text : text.substr(0, at) + level + text.substr(at + 2);
}

// The serial-board instrument in slot 0, the CAN instrument in slot 1: nothing of the CAN side
// falls back to slot 0's record.
TEST_F(TwoInstruments, EachAnswersAsIfAlone)
{
    // Alone, each in slot 0.
    std::string can_script, serial_script;
    for (const std::string& text : kSteps) {
        can_script += step(text, "50") + "\n";
        serial_script += step(text, "25") + "\n";
    }
    ASSERT_EQ(run({"--sim", kCanCal}, can_script + "off\n"), 0) << output << logged();
    const std::string can_alone = by_instrument(output)[0];
    ASSERT_EQ(run({"--sim", kSerialCal}, serial_script + "off\n"), 0) << output << logged();
    const std::string serial_alone = by_instrument(output)[0];
    EXPECT_NE(can_alone.find("ramps: ramp 0 started\nramps: the ramp has ended (waited 500 ms)\n"), std::string::npos)
        << can_alone;
    EXPECT_NE(serial_alone.find("ramps: ramp 0 started\nramps: the ramp has ended (waited 200 ms)\n"),
              std::string::npos)
        << serial_alone;

    // Together, step by step in turn, then off in either order: each instrument's answers are
    // those it gives alone.
    std::string together;
    for (const std::string& text : kSteps)
        together += "use 1\n" + step(text, "50") + "\nuse 0\n" + step(text, "25") + "\n";
    const std::string off0 = "use 0\noff\n", off1 = "use 1\noff\n";
    for (const std::string& ends : {off0 + off1, off1 + off0}) {
        SCOPED_TRACE(ends);
        EXPECT_EQ(run({"--sim", kSerialCal, kCanCal}, together + ends), 0) << output << logged();
        std::map<int, std::string> answers = by_instrument(output);
        ASSERT_EQ(answers.size(), 2u) << output;
        EXPECT_EQ(answers[1], can_alone);
        EXPECT_EQ(answers[0], serial_alone);
    }
}

// The same two instruments, each driven from a platform thread of its own at the same time
// (virtual time advances only while both wait), then switched off in either order: each thread
// sees what it sees with the other instrument idle. The suite runs under ThreadSanitizer.
TEST_F(TwoInstruments, EachOnAThreadOfItsOwn)
{
    ASSERT_EQ(sb_readCal(0, kSerialCal.c_str()), NO_ERROR) << logged();
    ASSERT_EQ(sb_readCal(1, kCanCal.c_str()), NO_ERROR) << logged();
    inst_shell::virtual_instrument serial_sim, can_sim;
    std::string why;
    ASSERT_EQ(serial_sim.build(*sysinfo_slot(0), {}, &why), NO_ERROR) << why;
    ASSERT_EQ(can_sim.build(*sysinfo_slot(1), {}, &why), NO_ERROR) << why;

    // Power-on, status, light, ramps and the services' verdicts of one instrument, in words.
    auto drive = [](int slot, uint16_t level) {
        SysInfo* si = sysinfo_slot(slot);
        std::string out;
        auto note = [&out](const char* what, int32_t rc) { out += std::string(what) + " " + u_err_name(rc) + "\n"; };
        note("on", inst_on(slot));
        note("status", inst_status(slot));
        note("light", ac_llc_set_level(si, level));
        uint16_t now = 0;
        note("level", ac_llc_get_level(si, &now));
        out += std::to_string(now) + "\n";
        note("ramps", rr_get_ramp_info(si));
        note("load", rr_load_ramp(si, 0));
        const uint64_t t0 = u_now_ms();
        note("start", rr_ramp_start_index(si, 0));
        note("wait", rr_ramp_wait(si, 5));
        out += "played " + std::to_string(u_now_ms() - t0) + " ms\n";
        out += "sleep " + std::to_string(sleep_mode_applies(si)) + " gain " + std::to_string(can_agc_applies(si));
        return out;
    };
    const std::string serial_alone = drive(0, 60);
    ASSERT_EQ(inst_off(0), NO_ERROR);
    const std::string can_alone = drive(1, 900);
    ASSERT_EQ(inst_off(1), NO_ERROR);
    const std::string all_good = "on NO_ERROR\nstatus NO_ERROR\nlight NO_ERROR\nlevel NO_ERROR\n%d\nramps NO_ERROR\n"
                                 "load NO_ERROR\nstart NO_ERROR\nwait NO_ERROR\nplayed %d ms\nsleep 0 gain 0";
    EXPECT_EQ(serial_alone, u_format(all_good.c_str(), 60, 200));
    EXPECT_EQ(can_alone, u_format(all_good.c_str(), 900, 500));

    for (const bool serial_first : {true, false}) {
        SCOPED_TRACE(serial_first ? "serial off first" : "CAN off first");
        std::string serial_seen, can_seen;
        u_handle a = nullptr, b = nullptr;
        ASSERT_EQ(u_thread_start([&] { serial_seen = drive(0, 60); return int32_t{NO_ERROR}; }, &a), NO_ERROR);
        ASSERT_EQ(u_thread_start([&] { can_seen = drive(1, 900); return int32_t{NO_ERROR}; }, &b), NO_ERROR);
        u_thread_join(a, U_INFINITE);
        u_thread_join(b, U_INFINITE);
        u_close_handle(a);
        u_close_handle(b);
        EXPECT_EQ(serial_seen, serial_alone);
        EXPECT_EQ(can_seen, can_alone);
        // The first off leaves the other instrument on and answering.
        const int first = serial_first ? 0 : 1;
        EXPECT_EQ(inst_off(first), NO_ERROR) << logged();
        EXPECT_EQ(sysinfo_slot(first)->instrOn, 0);
        EXPECT_EQ(sysinfo_slot(1 - first)->instrOn, 1);
        EXPECT_EQ(inst_status(1 - first), NO_ERROR) << logged();
        EXPECT_EQ(inst_off(1 - first), NO_ERROR) << logged();
    }
}

TEST_F(Shell, SeveralInstrumentsOnTheCommandLine)
{
    struct row {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string output;  // exact, or (ending in "...") its beginning
    } rows[] = {
        {"the commands address instrument 0 until use",
         {"--sim", kSerialCal, kCanCal, "on", "use", "1", "light", "use", "2"},
         1,
         "[0] " + kFileLine.substr(0, kFileLine.find('\n') + 1) + "[1] calibration file: " + kCanCal +
             ": Model23 serial 204518, CAN board (CAN bridge MAC address 00 50 C2 12 34 56), PIA1000 camera on a "
             "GigE frame grabber\n[0] virtual instrument: ready, with the identity of the calibration file\n"
             "[1] virtual instrument: ready: CAN bridge 00:50:C2:12:34:56 with the nodes of a Model23\n[0] " +
             kOnLine + "[1] use: instrument 1, " + kCanCal +
             ": Model23 serial 204518, CAN board (CAN bridge MAC address 00 50 C2 12 34 56), PIA1000 camera on a "
             "GigE frame grabber; it is not on\n[1] light: " +
             kCanNotOn + "[1] use: FAILED - there is no instrument 2; this session holds instruments 0 to 1 "
             "(ERR_PARAM_OUT_OF_RANGE)\n"},
        {"one CAN bridge per console",
         {"--sim", kCanCal, kSerialCal, kCanCal, "on"},
         1,
         "[0] calibration file: " + kCanCal + "...[2] calibration file: FAILED - " + kCanCal +
             " describes a second CAN instrument; the console reaches one CAN bridge, that of instrument 0 "
             "(ERR_CAN_NOT_AVAIL)\n"},
        {"with both kinds, the identity option is the serial board's",
         {"--sim", "--sim-identity-differs", "serial", kCanCal, kSerialCal},
         0,
         "...[0] virtual instrument: ready: CAN bridge 00:50:C2:12:34:56 with the nodes of a Model23\n"
         "[1] virtual instrument: ready, with an EEPROM identity that differs from the calibration file\n"},
        {"one slot each, four at most", {"--sim", kSerialCal, kSerialCal, kSerialCal, kSerialCal, kSerialCal}, 2, ""},
        {"a file that is no file", {"--sim", kSerialCal, "fly", "on"}, 1, "...[1] calibration file: FAILED - cannot use fly"},
        {"one instrument: no use of another", {"--sim", kSerialCal, "use", "1"}, 1,
         "...use: FAILED - there is no instrument 1; this session holds instrument 0 (ERR_PARAM_OUT_OF_RANGE)\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(run(r.args), r.status);
        const std::string& want = r.output;
        const std::size_t dots = want.find("...");
        if (dots == std::string::npos) {
            EXPECT_EQ(output, want);
        } else {  // the part before "..." begins the output, the part after is in it
            EXPECT_EQ(output.substr(0, dots), want.substr(0, dots));
            EXPECT_NE(output.find(want.substr(dots + 3)), std::string::npos) << output;
        }
    }
}

}  // namespace
