// The console's commands: one table of rows, each a name, the words it takes and what it does.
// A command answers with one result line "<name>: <what happened>" on the session's output, or
// "<name>: FAILED - <why, in words> (<error name>)"; the library's own diagnostics go to the log
// sink (standard error).
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct SysInfo;

namespace inst_shell {

struct session {
    int slot = 0;
    SysInfo* info = nullptr;
    std::FILE* out = stdout;
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
    // Runs the command; on success `said` holds what happened.
    int32_t (*run)(session& s, const words& args, std::string* said);
};

std::span<const command_row> command_table();
const command_row* find_command(std::string_view name);

// Splits words into commands: a command name, then the words it takes. False with the
// offending word in `bad` when a word is not a command.
bool split_commands(const words& all, std::vector<words>* commands, std::string* bad);

// Runs one command (name and arguments) and prints its result line. Returns its code.
int32_t run_command(session& s, const words& command);

// A failure in words a service engineer understands.
std::string error_words(int32_t code);

// The help text: one line per command.
std::string commands_help();

}  // namespace inst_shell
