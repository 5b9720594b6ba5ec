// inst_shell [--sim [--sim-identity-differs WHAT] [--sim-missing-node N]...] CALFILE [CALFILE...]
//            [COMMAND [ARG...]]...
//
// Reads each CALFILE into its instrument slot (the first into slot 0, the next into slot 1, up to
// SB_NUM_SLOTS; every word before the first command name is a calibration file) and runs the
// commands given after them, or, when none is given, one command per line from `in` (blank lines
// and lines beginning with "#" are skipped). The commands address instrument 0 until `use N`
// chooses another. Every command prints one result line on `out`, which begins with "[N] " for
// instrument N when the session holds more than one; the library's diagnostics go to the log
// sink (standard error). With --sim each instrument is the virtual one built from its
// calibration file, on the virtual clock (every wait takes no real time); without it the real
// serial ports and the CAN bus library are used. The CAN bus library reaches one CAN bridge per
// process, so a session holds at most one CAN instrument.
//
// Exit status: 0 when every command succeeded, 1 when a file, an instrument or a command failed
// (a command refused for an instrument that is not on included), 2 for a bad command line.
#pragma once

#include <cstdio>

namespace inst_shell {

extern const char kUsage[];

int run(int argc, char** argv, std::FILE* in, std::FILE* out);

}  // namespace inst_shell
