#include "vell/platform/tool_options.h"

#include <cstdio>
#include <cstring>

#include "vell/platform/version.h"

int u_tool_standard_options(int argc, char** argv, const char* name, const char* usage)
{
    if (argc != 2)
        return -1;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
    } else if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", name, VP_VERSION);
    } else {
        return -1;
    }
    std::fflush(stdout);
    return 0;
}
