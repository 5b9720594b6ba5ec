// The instrument console: see shell.h.
#include <cstdio>

#include "platform/tool_options.h"
#include "tools/inst_shell/shell.h"

int main(int argc, char** argv)
{
    if (int status = u_tool_standard_options(argc, argv, "inst_shell", inst_shell::kUsage); status >= 0)
        return status;
    return inst_shell::run(argc, argv, stdin, stdout);
}
