// Runs the built sdf_to_dat with chosen arguments and captures its output and exit status; the
// texts of its messages.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace convtest {

namespace fs = std::filesystem;

using run_result = vptest::program_result;

// Runs the command with `args` after the program name; its output goes to files in `scratch`.
// With `cwd`, the command runs in that folder.
inline run_result run(const std::vector<std::string>& args, const fs::path& scratch, const fs::path& cwd = {})
{
    std::string line;
    for (const std::string& a : args)
        line += (line.empty() ? "" : " ") + vptest::shell_quoted(a);
    return vptest::run_program(SDF_TO_DAT_PATH, line, scratch, cwd);
}

inline std::string unable(const std::string& in, const std::string& out)
{
    return "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n";
}
inline std::string converting(const std::string& in, const std::string& out)
{
    return "Converting \"" + in + "\" to \"" + out + "\"\n";
}
inline std::string success(const std::string& in, const std::string& out)
{
    return "Conversion from \"" + in + "\" to \"" + out + "\" successful\n";
}

}  // namespace convtest
