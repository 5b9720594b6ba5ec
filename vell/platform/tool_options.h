// The options every tool of the platform answers, beside its own command line.
#pragma once

// When the command line is exactly "--help" or "--version", prints the usage text or
// "<name> <version>" on standard output and returns 0, the tool's exit status. Otherwise
// returns -1 and the tool reads its command line as usual.
int u_tool_standard_options(int argc, char** argv, const char* name, const char* usage);
