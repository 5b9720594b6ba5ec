// Runs the built sdf_to_dat with chosen arguments and captures its output and exit status.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "tests/support/test_support.h"

namespace convtest {

namespace fs = std::filesystem;

struct run_result {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string quoted(const std::string& arg)
{
#ifdef _WIN32
    return "\"" + arg + "\"";
#else
    std::string q = "'";
    for (char c : arg) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
#endif
}

// Runs the command with `args` after the program name; its output goes to files in `scratch`.
// With `cwd`, the command runs in that folder.
inline run_result run(const std::vector<std::string>& args, const fs::path& scratch, const fs::path& cwd = {})
{
    fs::path out = scratch / "stdout.txt";
    fs::path err = scratch / "stderr.txt";
    std::string cmd = quoted(SDF_TO_DAT_PATH);
    for (const std::string& a : args)
        cmd += " " + quoted(a);
    cmd += " >" + quoted(out.string()) + " 2>" + quoted(err.string());
    if (!cwd.empty())
        cmd = "cd " + quoted(cwd.string()) + " && " + cmd;
#ifdef _WIN32
    cmd = "\"" + cmd + "\"";  // cmd.exe strips one pair of outer quotes
#endif
    int raw = std::system(cmd.c_str());
    run_result r;
#ifdef _WIN32
    r.status = raw;
#else
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    r.out = vptest::read_file(out);
    r.err = vptest::read_file(err);
#ifdef _WIN32
    // The console streams are text streams there: each line feed comes out as CR LF.
    for (std::string* s : {&r.out, &r.err}) {
        std::string lf;
        for (std::size_t i = 0; i < s->size(); ++i)
            if (!((*s)[i] == '\r' && i + 1 < s->size() && (*s)[i + 1] == '\n'))
                lf += (*s)[i];
        *s = lf;
    }
#endif
    fs::remove(out);
    fs::remove(err);
    return r;
}

}  // namespace convtest
