// Runs the instrument console in this process with a command line and standard input, and
// returns its exit status and what it wrote to standard output.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/inst_shell/shell.h"

namespace insttest {

inline int run_shell(std::vector<std::string> args, const std::string& input, std::string* output)
{
    std::vector<char*> argv{const_cast<char*>("inst_shell")};
    for (std::string& a : args)
        argv.push_back(a.data());
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    const int status = inst_shell::run(int(argv.size()), argv.data(), in, out);
    *output = vptest::read_stream(out);
    std::fclose(in);
    std::fclose(out);
    return status;
}

}  // namespace insttest
