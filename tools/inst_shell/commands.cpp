// The console's command table: see commands.h.
#include "tools/inst_shell/commands.h"

#include <charconv>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vell/acquisition/acq_service.h"
#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_events.h"
#include "vell/datafile/png.h"
#include "vell/instrument/inst_on.h"
#include "vell/instrument/llc.h"
#include "vell/instrument/ramp_slots.h"
#include "vell/instrument/sleep_mode.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_set.h"
#include "vell/serial/board.h"
#include "vell/serial/devctl.h"

namespace inst_shell {

namespace {

bool parse_int(const std::string& word, int32_t* value)
{
    const char* end = word.data() + word.size();
    auto [p, ec] = std::from_chars(word.data(), end, *value);
    return ec == std::errc() && p == end;
}

bool parse_real(const std::string& word, double* value)
{
    if (word.empty())
        return false;
    char* end = nullptr;
    *value = std::strtod(word.c_str(), &end);
    return end == word.c_str() + word.size() && std::isfinite(*value);
}

bool is_number(const std::string& word)
{
    double v = 0;
    return parse_real(word, &v);
}

// ---------------------------------------------------------------------------------------------
// Descriptions.

std::string describe_on(const SysInfo& info)
{
    if (info.instrBdType == BD_CAN) {
        if (info.canInfo) {
            const uint8_t* ip = info.canInfo->ipAddress;
            return u_format("instrument is on (CAN bridge at %u.%u.%u.%u, firmware %u.%u)", ip[0], ip[1], ip[2], ip[3],
                            info.canInfo->fwMajor, info.canInfo->fwMinor);
        }
        return "instrument is on";
    }
    if (ur_vocabulary(info.instrBdType, nullptr) != nullptr)
        return u_format("instrument is on (%s board on %s, software version %u; identity matches the calibration file)",
                        sb_board_type_name(info.instrBdType), info.instrComm.c_str(), info.instrBdSwVersion);
    return u_format("instrument is on (%s board)", sb_board_type_name(info.instrBdType));
}

std::string describe_level(SysInfo& info)
{
    const LightSlot& slot = info.currentLight();
    const LightRun& run = info.currentLightRun();
    uint16_t level = 0;
    ac_llc_get_level(&info, &level);
    float percent = 0;
    std::string text = u_format("light level %u", unsigned(level));
    if (ac_llc_get_percent(&info, &percent) == NO_ERROR)
        text += u_format(" (%.1f %% of the range %u..%u, 0 %% is the top)", double(percent), unsigned(slot.rangeLow),
                         unsigned(slot.rangeHigh));
    text += run.mode == 0 ? ", manual control" : u_format(", automatic control (mode %d)", int(run.mode));
    return text;
}

// ---------------------------------------------------------------------------------------------
// Commands.

int32_t cmd_on(session& s, const words&, std::string* said)
{
    const int32_t rc = inst_on(s.slot);
    if (rc == NO_ERROR)
        *said = describe_on(*s.info);
    return rc;
}

int32_t cmd_off(session& s, const words&, std::string* said)
{
    const int32_t rc = inst_off(s.slot);
    if (rc == NO_ERROR)
        *said = "instrument is off";
    return rc;
}

int32_t cmd_reset(session& s, const words&, std::string* said)
{
    const int32_t rc = inst_reset(s.slot);
    if (rc == NO_ERROR)
        *said = "instrument was reset and is on again; " + describe_on(*s.info);
    return rc;
}

int32_t cmd_status(session& s, const words&, std::string* said)
{
    const int32_t rc = inst_status(s.slot);  // only asked of an instrument that is on
    if (rc == NO_ERROR)
        *said = "instrument answers and reports no fault; it is on";
    return rc;
}

int32_t cmd_light(session& s, const words& args, std::string* said)
{
    SysInfo* info = s.info;
    const std::string what = args.empty() ? "" : args[0];
    const bool has_value = args.size() >= 2;
    int32_t rc = NO_ERROR;
    uint64_t started = u_now_ms();
    if (what.empty()) {
        // The level as last set or read; nothing is sent.
    } else if (what == "percent" || is_number(what)) {
        double p = 0;
        const std::string& number = what == "percent" ? (has_value ? args[1] : std::string()) : what;
        if (!parse_real(number, &p) || p < 0 || p > 100)
            return ERR_INVALID_PARAM;
        rc = ac_llc_set_percent(info, static_cast<float>(p), true);
    } else if (what == "level" && has_value) {
        int32_t level = 0;
        if (!parse_int(args[1], &level) || level < 0 || level > 65535)
            return ERR_INVALID_PARAM;
        rc = ac_llc_set_level(info, level);
    } else if (what == "level") {
        uint16_t level = 0;
        rc = ac_llc_read_level(info, &level);
    } else if (what == "mode" && has_value) {
        int32_t mode = 0;
        if (!parse_int(args[1], &mode))
            return ERR_INVALID_PARAM;
        rc = ac_llc_mode(info, mode);
    } else if (what == "wait" && !has_value) {
        rc = ac_llc_wait(info);
        if (rc == NO_ERROR) {
            *said = u_format("light has settled after %llu ms; ", static_cast<unsigned long long>(u_now_ms() - started));
            *said += describe_level(*info);
            return rc;
        }
    } else {
        return ERR_INVALID_PARAM;
    }
    if (rc == NO_ERROR)
        *said = describe_level(*info);
    return rc;
}

int32_t cmd_sleep(session& s, const words& args, std::string* said)
{
    if (args.size() != 1 || args[0] != "status")
        return ERR_INVALID_PARAM;
    if (!sleep_mode_applies(s.info)) {
        *said = "this instrument has no sleep mode";
        return NO_ERROR;
    }
    *said = u_format("the instrument goes to sleep after %u s without CAN activity; the sleep-mode service is %s",
                     unsigned(s.info->sleepTimeout), sleep_mode_running() ? "running" : "not running");
    return NO_ERROR;
}

// Prints and removes every queued CAN event and board report.
int32_t cmd_events(session& s, const words&, std::string* said)
{
    int count = 0;
    if (s.info->instrBdType == BD_CAN) {
        can_process_events(s.info);
        can_event_record e;
        while (can_take_event(&e)) {
            std::fprintf(s.out, "  emergency message: %d %d 0x%08X\n", e.emcy.first, e.emcy.second,
                         unsigned(e.emcy.word));
            ++count;
        }
        can_pd_event_record pd;
        while (can_take_pd_event(&pd)) {
            std::fprintf(s.out, "  event %d (COB-ID 0x%X, %u data bytes)\n", pd.code, unsigned(pd.cobId),
                         unsigned(pd.length));
            ++count;
        }
    }
    ur_board* b = ur_board_slot(s.slot);
    if (b != nullptr && b->link.handle != SIO_INVALID_HANDLE && dev_registered(b->link.handle)) {
        dev_entry entry;
        for (int i = 0; i < 100 && dev_data_read(2, &entry, false) == 2 && entry.handle == b->link.handle; ++i) {
            uint8_t report[UR_MAX_FRAME] = {};
            uint32_t n = 0;
            const int32_t rc = ur_readUZ(&b->link, report, sizeof report, UR_RESP_REPORT, &n);
            if (rc != NO_ERROR)
                return rc;
            if (n >= 2)
                std::fprintf(s.out, "  board report: code %u, value %u\n", unsigned(report[0]), unsigned(report[1]));
            ++count;
        }
    }
    *said = count == 0 ? "no events waiting" : u_format("%d event%s shown", count, count == 1 ? "" : "s");
    std::fflush(s.out);
    return NO_ERROR;
}

// The ramp set, one line per ramp on the session's output.
int32_t list_ramps(session& s, std::string* said)
{
    const rr_instr_ramps_t* set = rr_instr_ramps(s.info);
    if (set == nullptr || !set->haveSet)
        return ERR_NO_RAMP_INFO;
    for (std::size_t i = 0; i < set->ramps.size(); ++i) {
        const rr_ramp_t& r = set->ramps[i];
        std::fprintf(s.out, "  %3u  %-24s type %2d  %4d buckets  %8.3f um  %6d ms  %s\n", unsigned(i), r.name.c_str(),
                     int(r.hdr.rampType), int(r.hdr.nBuckets), double(r.hdr.scanLen), int(r.duration),
                     r.slot == 255 ? "not loaded" : u_format("in slot %u", unsigned(r.slot)).c_str());
    }
    *said = u_format("%u ramp%s in the set", unsigned(set->ramps.size()), set->ramps.size() == 1 ? "" : "s");
    return NO_ERROR;
}

int32_t cmd_ramps(session& s, const words& args, std::string* said)
{
    // Alone: the set as it stands, built first when there is none yet.
    const rr_instr_ramps_t* set = rr_instr_ramps(s.info);
    const std::string what = !args.empty() ? args[0] : set != nullptr && set->haveSet ? "list" : "build";
    int32_t n = 0;
    const bool has_number = args.size() == 2 && parse_int(args[1], &n);
    if (args.size() > (has_number ? 2u : 1u))
        return ERR_INVALID_PARAM;
    if (what == "build") {
        const int32_t rc = rr_get_ramp_info(s.info);
        return rc != NO_ERROR ? rc : list_ramps(s, said);
    }
    if (what == "list")
        return list_ramps(s, said);
    if (what == "wait") {
        const uint64_t started = u_now_ms();
        const int32_t rc = rr_ramp_wait(s.info, has_number ? n : 5);
        if (rc == NO_ERROR)
            *said = u_format("the ramp has ended (waited %llu ms)", static_cast<unsigned long long>(u_now_ms() - started));
        return rc;
    }
    if (!has_number)
        return ERR_INVALID_PARAM;
    if (what == "load") {
        const int32_t rc = rr_load_ramp(s.info, n);
        if (rc == NO_ERROR)
            *said = u_format("ramp %d is in slot %u of the instrument", int(n), unsigned(rr_instr_ramps(s.info)->ramps[n].slot));
        return rc;
    }
    if (what == "start") {
        const int32_t rc = rr_ramp_start_index(s.info, n);
        if (rc == NO_ERROR)
            *said = u_format("ramp %d started", int(n));
        return rc;
    }
    return ERR_INVALID_PARAM;
}

// The addressed instrument's camera, opened at its first use; false with the reason in words.
int32_t open_camera(session& s, std::string* said)
{
    if (!s.camera_bound) {
        *said = "no camera is set up: " + s.no_camera;
        return ERR_ACQ_MISSING_DLL;
    }
    const int32_t rc = acq_svc_open(s.info);
    if (rc != NO_ERROR)
        *said = "no camera is set up: the acquisition device could not be opened (see the messages above)";
    return rc;
}

// One frame as grey levels of 8 bits (deeper pixels scaled to 8 bits) in RGB triples, and its
// brightest level as the camera gives it.
std::vector<uint8_t> grey_rgb(const acq_frame_format& f, const std::vector<uint8_t>& frame, uint32_t* brightest)
{
    const std::size_t n = std::size_t(f.frame_width()) * std::size_t(f.frame_height());
    const uint32_t full = (1u << f.bit_depth) - 1u;
    std::vector<uint8_t> rgb(n * 3);
    *brightest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t v = frame[i];
        if (f.bytes_per_pixel == 2) {
            uint16_t w;
            std::memcpy(&w, frame.data() + 2 * i, 2);
            v = w;
        }
        v = std::min(v, full);
        *brightest = std::max(*brightest, v);
        const uint8_t g = uint8_t((v * 255u + full / 2) / full);
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = g;
    }
    return rgb;
}

int32_t cmd_grab(session& s, const words& args, std::string* said)
{
    if (args.size() != 1)
        return ERR_INVALID_PARAM;
    int32_t rc = open_camera(s, said);
    if (rc != NO_ERROR)
        return rc;
    acq_frame_format f;
    rc = acq_svc_frame_format(s.info, &f);
    std::vector<uint8_t> frame(f.frame_bytes());
    if (rc == NO_ERROR)
        rc = acq_svc_grab(s.info);
    if (rc == NO_ERROR)
        rc = acq_svc_copy(s.info, frame.data(), frame.size());
    if (rc != NO_ERROR) {
        *said = "no frame from the camera (see the messages above)";
        return rc;
    }
    uint32_t brightest = 0;
    const std::vector<uint8_t> rgb = grey_rgb(f, frame, &brightest);
    const std::vector<uint8_t> png = png_encode_rgb(uint32_t(f.frame_width()), uint32_t(f.frame_height()), rgb);
    rc = png.empty() ? ERR_INVALID_PARAM : png_write_file(args[0].c_str(), png);
    if (rc != NO_ERROR) {
        *said = "cannot write " + args[0];
        return rc;
    }
    *said = u_format("saved %s: %d x %d pixels, brightest level %u of %u", args[0].c_str(), int(f.frame_width()),
                     int(f.frame_height()), unsigned(brightest), unsigned((1u << f.bit_depth) - 1u));
    return NO_ERROR;
}

// Waits S seconds (virtual time under --sim): the gain thread and the instrument work meanwhile.
int32_t cmd_pause(session&, const words& args, std::string* said)
{
    double seconds = 0;
    if (args.size() != 1 || !parse_real(args[0], &seconds) || seconds < 0 || seconds > 86400)
        return ERR_INVALID_PARAM;
    const uint64_t started = u_now_ms();
    u_sleep_ms(uint32_t(std::lround(seconds * 1000.0)));
    *said = u_format("waited %llu ms", static_cast<unsigned long long>(u_now_ms() - started));
    return NO_ERROR;
}

int32_t cmd_gain(session& s, const words& args, std::string* said)
{
    int32_t rc = NO_ERROR;
    int32_t value = 0;
    const bool start = args.size() == 2 && args[0] == "start" && parse_int(args[1], &value);
    const bool stop = args.size() == 1 && args[0] == "stop";
    if (!start && !stop && !args.empty())
        return ERR_INVALID_PARAM;
    // The gain thread is one per process and belongs to the one instrument it applies to: an
    // instrument without gain control neither starts nor stops it.
    if (!can_agc_applies(s.info)) {
        *said = "this instrument has no automatic gain control";
        return NO_ERROR;
    }
    // The gain thread grabs its frames from the camera: without one it cannot run.
    if (start && (rc = open_camera(s, said)) != NO_ERROR)
        return rc;
    if (start)
        rc = can_agc_start(s.info, value);
    else if (stop)
        rc = can_agc_running() ? can_agc_stop_thread() : NO_ERROR;
    if (rc != NO_ERROR)
        return rc;
    if (can_agc_running())
        *said = u_format("automatic gain control is running with value %d", int(can_agc_current_value()));
    else
        *said = "automatic gain control is stopped";
    return NO_ERROR;
}

// Chooses the instrument the following commands address (alone: names the one addressed).
int32_t cmd_use(session& s, const words& args, std::string* said)
{
    int32_t n = s.slot;
    if (!args.empty() && !parse_int(args[0], &n))
        return ERR_INVALID_PARAM;
    const int32_t held = int32_t(s.instruments.size());
    SysInfo* info = n >= 0 && n < held ? sysinfo_slot(n) : nullptr;
    if (info == nullptr) {
        *said = held == 1 ? u_format("there is no instrument %d; this session holds instrument 0", int(n))
                          : u_format("there is no instrument %d; this session holds instruments 0 to %d", int(n),
                                     int(held - 1));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    s.slot = n;
    s.info = info;
    *said = u_format("instrument %d, %s; it is %s", int(n), s.instruments[std::size_t(n)].c_str(),
                     info->instrOn ? "on" : "not on");
    return NO_ERROR;
}

int32_t cmd_help(session&, const words&, std::string* said)
{
    *said = "commands:\n" + commands_help();
    if (!said->empty() && said->back() == '\n')
        said->pop_back();
    return NO_ERROR;
}

constexpr const char* light_words[] = {"percent", "level", "mode", "wait"};
constexpr const char* sleep_words[] = {"status"};
constexpr const char* ramp_words[] = {"build", "list", "load", "start", "wait"};
constexpr const char* ramp_on_words[] = {"load", "start", "wait"};
constexpr const char* gain_words[] = {"start", "stop"};
constexpr const char* gain_on_words[] = {"start"};

using on_rule = command_row::on_rule;

constexpr command_row rows[] = {
    {"on", "on", "switch the instrument on and check it against the calibration file", 0, {}, on_rule::never, {},
     cmd_on, false},
    {"off", "off", "switch the instrument off", 0, {}, on_rule::never, {}, cmd_off, false},
    {"reset", "reset", "reset the instrument and switch it on again", 0, {}, on_rule::always, {}, cmd_reset, false},
    {"status", "status", "ask the instrument whether it is well", 0, {}, on_rule::always, {}, cmd_status, false},
    {"light", "light [P | percent P | level [N] | mode M | wait]",
     "show the light level; set it in percent (0 = brightest) or as a level; read it; manual (0) or "
     "automatic (1, 2) control; wait until it has settled",
     2, light_words, on_rule::always, {}, cmd_light, false},
    {"sleep", "sleep status", "whether the instrument has a sleep mode and whether it is watched", 1, sleep_words,
     on_rule::never, {}, cmd_sleep, false},
    {"ramps", "ramps [build | list | load I | start I | wait [S]]",
     "build the ramp set from the ramp directory (alone: when there is none yet) and list it; load ramp I into the instrument; start it; wait "
     "up to S seconds (5) for it to end",
     2, ramp_words, on_rule::for_words, ramp_on_words, cmd_ramps, false},
    {"gain", "gain [start V | stop]", "automatic gain control: start it with value V, stop it, or show it", 2,
     gain_words, on_rule::for_words, gain_on_words, cmd_gain, false},
    {"grab", "grab FILE.png",
     "grab one frame from the camera and save it as a PNG picture (grey levels, deeper pixels scaled to 8 bits)", 1,
     {}, on_rule::never, {}, cmd_grab, true},
    {"pause", "pause S", "wait S seconds (on the virtual clock under --sim) while the instrument works", 1, {},
     on_rule::never, {}, cmd_pause, false},
    {"events", "events", "show and clear the events the instrument has sent", 0, {}, on_rule::never, {}, cmd_events, false},
    {"use", "use [N]",
     "address instrument N (0 = the first calibration file) with the commands that follow; alone: the one addressed",
     1, {}, on_rule::never, {}, cmd_use, false},
    {"help", "help", "this list", 0, {}, on_rule::never, {}, cmd_help, false},
};

struct error_text {
    int32_t code;
    const char* words;
};

constexpr error_text error_texts[] = {
    {ERR_SB_INST_CONFIG, "the calibration file does not fit the instrument (see the messages above)"},
    {ERR_UZ_COMM, "cannot open the instrument board's serial port"},
    {ERR_UZ_RECV_TIMEOUT, "the instrument board does not answer"},
    {ERR_UZ_RECV_FAILED, "the instrument board's answers are garbled or rejected"},
    {ERR_UZ_SEND_FAILED, "cannot send to the instrument board"},
    {ERR_SERIAL_NOT_OPEN, "the instrument is not switched on"},
    {ERR_WRONG_INSTR_BOARD, "not possible with this instrument board"},
    {ERR_WRONG_SYSTEM_TYPE, "not possible with this instrument model"},
    {ERR_NOT_IMPLEMENTED, "this build cannot do that yet"},
    {ERR_HW_FAIL, "the instrument hardware reports a failure"},
    {ERR_INST_POWER, "the instrument reports a power fault"},
    {ERR_CAN_NOT_AVAIL, "the CAN bus library is not available"},
    {ERR_CAN_FINDING_BRIDGE, "cannot reach the CAN bridge on the network"},
    {ERR_CAN_MACADDRESS_ERROR, "no CAN bridge with the calibration file's MAC address"},
    {ERR_CAN_BRIDGE_ERROR, "the CAN bridge reports an error"},
    {ERR_CAN_NODE_MISSING, "a CAN node the instrument needs is missing"},
    {ERR_INVALID_PARAM, "not understood (see help)"},
    {ERR_NO_RAMP_INFO, "no ramps: no ramp set, or no usable ramp in the ramp directory (RV_RAMPS_DIR)"},
    {ERR_INVALID_RAMP_INDEX, "there is no ramp with that number in the set"},
    {ERR_RAMP_LOAD, "the ramp could not be loaded into the instrument"},
    {ERR_RAMP_WAIT_TIMEOUT, "the ramp did not end in time"},
    {ERR_INTERNAL_RV, "the gain control thread did not stop"},
    {ERR_PARAM_OUT_OF_RANGE, "value out of range"},
    {ERR_ACQ_MISSING_DLL, "no camera is set up: no acquisition library is present"},
};

}  // namespace

std::span<const command_row> command_table() { return rows; }

const command_row* find_command(std::string_view name)
{
    for (const command_row& r : rows)
        if (name == r.name)
            return &r;
    return nullptr;
}

bool split_commands(const words& all, std::vector<words>* commands, std::string* bad)
{
    commands->clear();
    for (std::size_t i = 0; i < all.size();) {
        const command_row* row = find_command(all[i]);
        if (row == nullptr) {
            *bad = all[i];
            return false;
        }
        words command{all[i++]};
        while (i < all.size() && int(command.size()) <= row->max_args) {
            if (row->takes_any_word && command.size() == 1) {
                command.push_back(all[i++]);
                continue;
            }
            bool keyword = false;
            for (const char* k : row->keywords)
                keyword = keyword || all[i] == k;
            if (!keyword && !is_number(all[i]))
                break;
            command.push_back(all[i++]);
        }
        commands->push_back(std::move(command));
    }
    return true;
}

std::string error_words(int32_t code)
{
    for (const error_text& e : error_texts)
        if (e.code == code)
            return e.words;
    return "failed";
}

bool needs_instrument_on(const words& command)
{
    const command_row* row = command.empty() ? nullptr : find_command(command[0]);
    if (row == nullptr)
        return false;
    switch (row->needs_on) {
    case on_rule::never: return false;
    case on_rule::always: return true;
    case on_rule::for_words: break;
    }
    for (const char* w : row->on_words)
        if (command.size() >= 2 && command[1] == w)
            return true;
    return false;
}

std::string instrument_tag(const session& s, int slot)
{
    return s.instruments.size() > 1 ? u_format("[%d] ", slot) : std::string();
}

int32_t run_command(session& s, const words& command)
{
    const command_row* row = command.empty() ? nullptr : find_command(command[0]);
    int32_t rc = ERR_INVALID_PARAM;
    std::string said;
    if (row == nullptr || int(command.size()) - 1 > row->max_args) {
        // not understood
    } else if (needs_instrument_on(command) && !s.info->instrOn) {
        // Nothing is sent: the answer is the one the instrument's closed link would give.
        rc = s.info->instrBdType == BD_CAN ? ERR_CAN_NOT_CONNECTED : ERR_SERIAL_NOT_OPEN;
        said = "the instrument is not switched on";
    } else {
        rc = row->run(s, words(command.begin() + 1, command.end()), &said);
    }
    const std::string name = command.empty() ? std::string("?") : command[0];
    const std::string tag = instrument_tag(s, s.slot);
    if (rc == NO_ERROR)
        std::fprintf(s.out, "%s%s: %s\n", tag.c_str(), name.c_str(), said.c_str());
    else
        std::fprintf(s.out, "%s%s: FAILED - %s (%s)\n", tag.c_str(), name.c_str(),
                     said.empty() ? error_words(rc).c_str() : said.c_str(), u_err_name(rc));
    std::fflush(s.out);
    return rc;
}

std::string commands_help()
{
    std::string text;
    for (const command_row& r : rows)
        text += u_format("  %-52s %s\n", r.usage, r.help);
    return text;
}

}  // namespace inst_shell
