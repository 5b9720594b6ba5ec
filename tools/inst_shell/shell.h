// inst_shell [--sim [--sim-identity-differs WHAT]] CALFILE [COMMAND [ARG...]]...
//
// Reads CALFILE into instrument slot 0 and runs the commands given after it, or, when none is
// given, one command per line from `in` (blank lines and lines beginning with "#" are skipped).
// Every command prints one result line on `out`; the library's diagnostics go to the log sink
// (standard error). With --sim the instrument is the virtual one built from the calibration
// file, on the virtual clock (every wait takes no real time); without it the real serial ports
// and the CAN bus library are used.
//
// Exit status: 0 when every command succeeded, 1 when the file, the instrument or a command
// failed, 2 for a bad command line.
#pragma once

#include <cstdio>

namespace inst_shell {

extern const char kUsage[];

int run(int argc, char** argv, std::FILE* in, std::FILE* out);

}  // namespace inst_shell
