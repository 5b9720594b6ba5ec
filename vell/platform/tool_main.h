// The entry point of a command-line tool that takes file names: VP_TOOL_MAIN(run) defines main
// to call run(argc, argv). On Windows it is wmain (link with -municode), whose wide command line
// is handed on in UTF-8, so that file names outside the ANSI code page come through.
#pragma once

#ifdef _WIN32
#include "vell/platform/console.h"
#define VP_TOOL_MAIN(run) \
    int wmain(int argc, wchar_t** argv) { return os::run_with_utf8_arguments(argc, argv, run); }
#else
#define VP_TOOL_MAIN(run) \
    int main(int argc, char** argv) { return run(argc, argv); }
#endif
