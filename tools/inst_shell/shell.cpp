// The instrument console's session: see shell.h.
#include "tools/inst_shell/shell.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vell/acquisition/acq.h"
#include "vell/calfile/calfile.h"
#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_library.h"
#include "vell/instrument/agc_host.h"
#include "vell/instrument/sleep_mode.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/board.h"
#include "tools/inst_shell/commands.h"
#include "tools/inst_shell/virtual_instrument.h"

namespace inst_shell {

const char kUsage[] =
    "usage: inst_shell [--sim [--sim-identity-differs WHAT] [--sim-missing-node N]...] CALFILE\n"
    "                  [CALFILE...] [COMMAND [ARG...]]...\n"
    "  Reads the system calibration file CALFILE and runs the commands on its instrument, those\n"
    "  given after the file or, when there are none, one per line from standard input.\n"
    "  Each command prints one result line; the library's messages go to standard error.\n"
    "  Several instruments: every word before the first command is a calibration file, read\n"
    "  into instrument 0, 1, ... (at most 4; at most one CAN instrument, as the CAN bus library\n"
    "  reaches one bridge). The commands address instrument 0 until \"use N\" chooses another;\n"
    "  each result line then begins with the instrument's number, \"[1] light: ...\".\n"
    "  A command that talks to the instrument (reset, status, light, ramps load, start and\n"
    "  wait, gain start) answers \"FAILED - the instrument is not switched on\" until it is on.\n"
    "  --sim   run against the virtual instruments built from the files (no hardware, no waiting)\n"
    "  --sim-identity-differs WHAT   the virtual serial boards' EEPROM reports another\n"
    "          system, board, camera, light, serial or date than their file\n"
    "  --sim-missing-node N   leave CAN node N (1 to 127) out of the virtual CAN network\n"
    "commands:\n";

namespace {

struct options {
    bool sim = false;
    sim_options sim_opts;
    std::vector<std::string> calfiles;  // by slot
    std::vector<words> commands;        // from the command line
};

int usage()
{
    std::fputs(kUsage, stderr);
    std::fputs(commands_help().c_str(), stderr);
    return 2;
}

bool parse(int argc, char** argv, options* o)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        if (std::strcmp(argv[i], "--sim") == 0) {
            o->sim = true;
        } else if (std::strcmp(argv[i], "--sim-identity-differs") == 0 && i + 1 < argc) {
            if (!identity_field_from(argv[++i], &o->sim_opts.differs))
                return false;
        } else if (std::strcmp(argv[i], "--sim-missing-node") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long node = std::strtol(argv[++i], &end, 0);
            if (end == argv[i] || *end != '\0' || node < 1 || node > 127)
                return false;
            o->sim_opts.missing_nodes.push_back(static_cast<uint8_t>(node));
        } else {
            return false;
        }
    }
    if ((o->sim_opts.differs != identity_field::none || !o->sim_opts.missing_nodes.empty()) && !o->sim)
        return false;
    // The calibration files: every word up to the first command name (a file named like a
    // command is given with its directory, "./on").
    for (; i < argc && (o->calfiles.empty() || find_command(argv[i]) == nullptr); ++i) {
        if (argv[i][0] == '\0')
            return false;
        o->calfiles.push_back(argv[i]);
    }
    if (o->calfiles.empty())
        return false;
    if (o->calfiles.size() > std::size_t(SB_NUM_SLOTS)) {
        std::fprintf(stderr, "inst_shell: at most %d calibration files, one per instrument slot\n", SB_NUM_SLOTS);
        return false;
    }
    const words rest(argv + i, argv + argc);
    std::string bad;
    if (!split_commands(rest, &o->commands, &bad)) {
        std::fprintf(stderr, "inst_shell: \"%s\" is not a command\n", bad.c_str());
        return false;
    }
    return true;
}

words split_line(const std::string& line)
{
    words out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

// One line from `in`. The virtual clock stands still while the console waits for input: a
// script's next command meets every instrument as the last one left it, whatever the real time
// between the lines, and background work (the gain thread, a moving wheel) goes on only while a
// command waits (`pause S`). The stall watch is off meanwhile, as a user may take any time.
bool read_line(std::FILE* in, std::string* line)
{
    const bool held = u_vclock_active() && u_vclock_enrolled();
    const uint32_t stall_limit = held ? u_vclock_set_stall_limit(0) : 0;
    line->clear();
    char buf[512];
    bool any = false;
    while (std::fgets(buf, sizeof buf, in) != nullptr) {
        any = true;
        *line += buf;
        if (!line->empty() && line->back() == '\n')
            break;
    }
    if (held)
        u_vclock_set_stall_limit(stall_limit);
    return any;
}

std::string describe_file(const SysInfo& info, const std::string& path)
{
    std::string text = path + ": " + sb_sys_type_name(info.sysType) + " serial " +
                       std::to_string(info.serialNum) + ", " + sb_board_type_name(info.instrBdType) + " board";
    if (info.instrBdType == BD_CAN && info.canInfo) {
        char mac[24];
        const uint8_t* m = info.canInfo->macAddress;
        std::snprintf(mac, sizeof mac, "%02X %02X %02X %02X %02X %02X", m[0], m[1], m[2], m[3], m[4], m[5]);
        text += std::string(" (CAN bridge MAC address ") + mac + ")";
    } else if (info.instrComm.is_set()) {
        text += std::string(" on ") + info.instrComm.c_str();
    }
    return text + ", " + sb_camera_type_name(info.cameraType) + " camera on a " + sb_fg_type_name(info.fgType) +
           " frame grabber";
}

void line(std::FILE* out, const std::string& what, const std::string& text)
{
    std::fprintf(out, "%s: %s\n", what.c_str(), text.c_str());
    std::fflush(out);
}

void failed(std::FILE* out, const std::string& what, const std::string& why, int32_t rc)
{
    std::fprintf(out, "%s: FAILED - %s (%s)\n", what.c_str(), why.c_str(), u_err_name(rc));
    std::fflush(out);
}

// Runs the commands of the session; the exit status.
int run_commands(session& s, const options& o, std::FILE* in)
{
    int status = 0;
    if (!o.commands.empty()) {
        for (const words& c : o.commands)
            if (run_command(s, c) != NO_ERROR)
                status = 1;
        return status;
    }
    std::string text;
    while (read_line(in, &text)) {
        const words w = split_line(text);
        if (w.empty() || w[0][0] == '#')
            continue;
        if (run_command(s, w) != NO_ERROR)
            status = 1;
    }
    return status;
}

// What the session leaves behind: the gain thread stopped, the board links closed, the
// sleep-mode service stopped, the acquisition and CAN bus libraries unbound. The instruments
// themselves are left as the commands left them.
void close_session(int held)
{
    can_agc_stop_thread();
    can_agc_set_host(nullptr);
    for (int slot = 0; slot < held; ++slot) {
        ur_board* b = ur_board_slot(slot);
        if (b != nullptr && b->link.handle != SIO_INVALID_HANDLE)
            ur_closeUZ(b);
    }
    sleep_mode_stop();
    release_virtual_camera();
    can_bus_unload();
}

// Binds the real acquisition library when it is present (the camera is opened at its first
// use) and says so on standard error when it is not: grab and gain start then fail with that
// reason.
void bind_camera(session& s)
{
    if (acq_mgropen(ACQ_INI_FILE) == NO_ERROR) {
        s.camera_bound = true;
        inst_agc_use_acquisition();
        return;
    }
    s.no_camera = std::string("no acquisition library (") + ACQ_LIBRARY + ") is present";
    u_log_sink("inst_shell: %s: no camera, so grab and gain start cannot work\n", s.no_camera.c_str());
}

// The --sim options that concern one instrument of the session: with instruments of both kinds,
// an EEPROM identity that differs is the serial boards' and the missing nodes are the CAN
// instrument's; an option that fits no instrument of the session stays, and its build refuses it.
sim_options sim_options_for(const sim_options& all, const SysInfo& info, bool any_serial, bool any_can)
{
    sim_options o = all;
    if (info.instrBdType == BD_CAN && any_serial)
        o.differs = identity_field::none;
    if (info.instrBdType != BD_CAN && any_can)
        o.missing_nodes.clear();
    return o;
}

std::string describe_virtual(const SysInfo& info, const sim_options& o)
{
    if (info.instrBdType == BD_CAN) {
        const uint8_t* m = info.canInfo->macAddress;  // build() refuses a record without one
        std::string text = u_format("ready: CAN bridge %2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X with the nodes of a %s",
                                    m[0], m[1], m[2], m[3], m[4], m[5], sb_sys_type_name(info.sysType));
        for (size_t i = 0; i < o.missing_nodes.size(); ++i)
            text += (i == 0 ? ", but without node " : ", ") + std::to_string(o.missing_nodes[i]);
        return text;
    }
    return o.differs == identity_field::none
               ? "ready, with the identity of the calibration file"
               : "ready, with an EEPROM identity that differs from the calibration file";
}

// Reads every calibration file into its slot; false after the failure line. At most one CAN
// instrument: the CAN bus library reaches one bridge per process.
bool read_files(session& s, const options& o)
{
    int can_slot = -1;
    for (int slot = 0; slot < int(o.calfiles.size()); ++slot) {
        const std::string what = instrument_tag(s, slot) + "calibration file";
        const std::string& path = o.calfiles[std::size_t(slot)];
        const int32_t rc = sb_readCal(slot, path.c_str());
        if (rc != NO_ERROR) {
            failed(s.out, what, "cannot use " + path + " (see the messages above)", rc);
            return false;
        }
        const SysInfo& info = *sysinfo_slot(slot);
        if (info.instrBdType == BD_CAN && can_slot >= 0) {
            failed(s.out, what,
                   path + " describes a second CAN instrument; the console reaches one CAN bridge, that of instrument " +
                       std::to_string(can_slot),
                   ERR_CAN_NOT_AVAIL);
            return false;
        }
        if (info.instrBdType == BD_CAN)
            can_slot = slot;
        s.instruments[std::size_t(slot)] = describe_file(info, path);
        line(s.out, what, s.instruments[std::size_t(slot)]);
    }
    return true;
}

// Builds the virtual instruments (--sim) or loads the CAN bus library for a CAN instrument;
// false after the failure line.
bool make_instruments(session& s, const options& o, std::vector<std::unique_ptr<virtual_instrument>>* virt)
{
    const int held = int(s.instruments.size());
    bool any_can = false;
    bool any_serial = false;
    for (int slot = 0; slot < held; ++slot)
        (sysinfo_slot(slot)->instrBdType == BD_CAN ? any_can : any_serial) = true;
    if (!o.sim) {
        bind_camera(s);
        if (!any_can)
            return true;
        const int32_t rc = can_bus_load();
        if (rc != NO_ERROR)
            failed(s.out, "CAN bus library", "cannot load " + std::string(CAN_LIBRARY), rc);
        return rc == NO_ERROR;
    }
    for (int slot = 0; slot < held; ++slot) {
        const SysInfo& info = *sysinfo_slot(slot);
        const std::string what = instrument_tag(s, slot) + "virtual instrument";
        const sim_options options = sim_options_for(o.sim_opts, info, any_serial, any_can);
        std::string why;
        virt->push_back(std::make_unique<virtual_instrument>());
        const int32_t rc = virt->back()->build(info, options, &why);
        if (rc != NO_ERROR) {
            failed(s.out, what, why, rc);
            return false;
        }
        line(s.out, what, describe_virtual(info, options));
    }
    use_virtual_camera(virt);
    s.camera_bound = true;
    return true;
}

int run_session(const options& o, std::FILE* in, std::FILE* out)
{
    session s;
    s.out = out;
    s.instruments.resize(o.calfiles.size());
    if (!read_files(s, o))
        return 1;
    s.slot = 0;
    s.info = sysinfo_slot(0);
    std::vector<std::unique_ptr<virtual_instrument>> virt;
    int status = 1;
    if (make_instruments(s, o, &virt))
        status = run_commands(s, o, in);
    close_session(int(s.instruments.size()));
    return status;
}

}  // namespace

int run(int argc, char** argv, std::FILE* in, std::FILE* out)
{
    options o;
    if (!parse(argc, argv, &o))
        return usage();
    // Under --sim every wait runs on the virtual clock, unless the host already runs one.
    const bool own_clock = o.sim && !u_vclock_active();
    if (own_clock)
        u_vclock_start(0);
    const int status = run_session(o, in, out);
    if (own_clock)
        u_vclock_stop();
    return status;
}

}  // namespace inst_shell
