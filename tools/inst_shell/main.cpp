// The instrument console: see shell.h.
#include <cstdio>
#include <string>

#include "vell/platform/tool_options.h"
#include "tools/inst_shell/commands.h"
#include "tools/inst_shell/shell.h"

int main(int argc, char** argv)
{
    const std::string usage = inst_shell::kUsage + inst_shell::commands_help();
    if (int status = u_tool_standard_options(argc, argv, "inst_shell", usage.c_str()); status >= 0)
        return status;
    return inst_shell::run(argc, argv, stdin, stdout);
}
