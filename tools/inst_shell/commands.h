// The console's commands: one table of rows, each a name, the words it takes, whether it needs
// the instrument on and what it does. A command answers with one result line
// "<name>: <what happened>" on the session's output, or "<name>: FAILED - <why, in words>
// (<error name>)"; the library's own diagnostics go to the log sink (standard error). When the
// session holds more than one instrument, every result line begins with the number of the
// instrument it concerns, "[1] light: ...".
//
// A command that talks to the instrument (reset, status, light, ramps load/start/wait, gain
// start) runs only on an instrument that is on, that is whose last on or reset went through
// (SysInfo::instrOn); on any other it sends nothing and answers "<name>: FAILED - the
// instrument is not switched on (<error>)", the error being the one its closed link gives
// (ERR_SERIAL_NOT_OPEN, ERR_CAN_NOT_CONNECTED). on, off, events, sleep status, gain stop and
// the ramp set's build and list need no instrument on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct SysInfo;

namespace inst_shell {

// The instruments of a session sit in slots 0, 1, ...; one of them is addressed at a time.
struct session {
    int slot = 0;             // the instrument the commands address
    SysInfo* info = nullptr;  // its record
    std::FILE* out = stdout;
    // What each slot holds: its calibration file's line ("<path>: HXI serial ..."), by slot.
    std::vector<std::string> instruments;
    // Whether an acquisition library is bound (the real one, or the virtual one under --sim),
    // and, when none is, why in words.
    bool camera_bound = false;
    std::string no_camera;
};

using words = std::vector<std::string>;

struct command_row {
    const char* name;
    const char* usage;  // the command with its arguments, for the help text
    const char* help;
    // How many words after the name the command can take, and the keywords among them (numbers
    // are always taken); used to split a command line of many commands.
    int max_args;
    std::span<const char* const> keywords;
    // Whether the instrument must be on: always, never, or only when the first argument is
    // one of on_words.
    enum class on_rule { never, always, for_words } needs_on;
    std::span<const char* const> on_words;
    // Runs the command; on success `said` holds what happened, on failure (when not empty) why.
    int32_t (*run)(session& s, const words& args, std::string* said);
    // Whether its one argument may be any word (a file name), not only a keyword or number.
    bool takes_any_word;
};

std::span<const command_row> command_table();
const command_row* find_command(std::string_view name);

// Splits words into commands: a command name, then the words it takes. False with the
// offending word in `bad` when a word is not a command.
bool split_commands(const words& all, std::vector<words>* commands, std::string* bad);

// Whether the command (name and arguments) must wait for the instrument to be on.
bool needs_instrument_on(const words& command);

// Runs one command (name and arguments) on the addressed instrument and prints its result line.
// Returns its code (a refusal for an instrument that is not on included).
int32_t run_command(session& s, const words& command);

// A failure in words a service engineer understands.
std::string error_words(int32_t code);

// The tag of a result line: "[N] " for instrument N when the session holds more than one
// instrument, else nothing.
std::string instrument_tag(const session& s, int slot);

// The help text: one line per command.
std::string commands_help();

}  // namespace inst_shell
