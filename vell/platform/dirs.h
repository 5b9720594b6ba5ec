// Platform directories: the install directory, the configuration directory and the ramp
// directory; the configuration-file lookup; the computer name and the per-computer file name.
//
// Every answer is worked out by the first call of its operation and then served from a
// process-wide cache until the process ends (the environment is read once). A first call that
// finds nothing is not retried. Results point into the caches: the caller neither frees nor
// changes them. Nothing here is safe for concurrent first calls.
//
// Path texts follow the platform's narrow convention (platform/os.h) with os::path_separator
// between directories and no trailing separator. A directory text longer than
// U_DIR_MAX_PATH characters is never shortened: it is refused (the directory counts as absent)
// and one diagnostic line says so.
#pragma once

#include <cstdint>

// Longest directory or program path held by the caches, terminator not counted.
constexpr int U_DIR_MAX_PATH = 260;
// Longest computer name, terminator not counted.
constexpr int U_COMPUTER_NAME_MAX = 15;

// Full path of the running program, lower-cased on Windows (whose file names ignore case),
// unchanged on POSIX. Never null; empty when the system does not supply it.
const char* u_module_path();

// RV_INSTALL_DIR when set (unchanged); otherwise the program path without its file name and,
// when what remains is longer than 3 characters, without the program's own directory as well
// (c:\apps\bin\conv.exe gives c:\apps). Null when there is none.
const char* u_install_dir();

// RV_CONFIG_DIR when set (unchecked); otherwise the install directory's "cfg" subdirectory when
// that is a directory, else the install directory itself. Null when there is none.
const char* u_config_dir();

// RV_RAMPS_DIR when set (unchecked); otherwise the configuration directory's "ramps"
// subdirectory, created (one level) when missing. Null when there is no configuration directory.
const char* u_ramps_dir();

// Finds a configuration file by name. An absolute name (one that begins with a backslash or
// os::path_separator, with "." and one of them, or with a letter and a colon; on Windows the
// separator is the backslash) is taken as it is; any other name is looked
// for first in the current directory (as "." + separator + name) and then in the configuration
// directory. On success the path of the existing regular file found is stored in *path and 0 is
// returned; the path stays valid until the next lookup that returns a path or fails.
// Errors: ERR_CANT_READ_FILE (not found), ERR_CANT_OPEN_FILE (not in the current directory and
// there is no configuration directory), ERR_NO_MEM, ERR_INVALID_PARAM (path is null).
// A null or empty name returns 0 at once and leaves *path and the previous result untouched.
// Writes no message.
int32_t u_find_config_file(const char* name, const char** path);

// Copies the computer's network name (at most U_COMPUTER_NAME_MAX characters; on POSIX the host
// name up to its first dot) into buffer, when one is given: at most length bytes including the
// terminator, so the copy is always terminated. Returns 0 when the system supplied the name and
// 1 when it did not (the name is then empty).
int u_computer_name(char* buffer, int length);

// The per-computer file name: the computer name, a dot and the digit n (0 to 9), e.g. LAB7.1.
// The first call with a digit fixes the result; later calls return it whatever n they pass. An n
// outside 0 to 9 gives an empty name (and a diagnostic line) and fixes nothing.
const char* u_host_file_name(int n);

// For tests only: what stands in for the system's answers after u_dirs_reset_for_tests.
struct u_dirs_test_system {
    const char* program_path;   // the running program's path (UTF-8); null: ask the system
    const char* computer_name;  // the computer's name (UTF-8); null: ask the system
    bool no_computer_name;      // the system supplies no computer name
};

// For tests only: forgets every cache (directories, program path, computer name, per-computer
// file name) and releases the last found configuration file, so that the next calls read the
// environment and ask the system anew; with `fake`, its answers stand in for the system's.
void u_dirs_reset_for_tests(const u_dirs_test_system* fake = nullptr);
