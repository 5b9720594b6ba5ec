// Runs a built program of the project through the system's command interpreter and captures its
// exit status and what it printed.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "tests/support/test_support.h"

namespace vptest {

struct program_result {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// The path of a built program as the command interpreter wants it. A cross-built test run
// under Wine gets the build tree's POSIX path: drive Z: is the root there.
inline std::string program_path(const std::string& built)
{
#ifdef _WIN32
    std::string path = built;
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
#else
    return built;
#endif
}

// One argument quoted for the command interpreter.
inline std::string shell_quoted(const std::string& arg)
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

// Runs `program` (a built program's path) with `args`, the rest of the command line already
// quoted, in `cwd` when it is given. Standard output and error go to files in `scratch`; the
// CR LF line ends of the Windows console streams come back as LF.
inline program_result run_program(const std::string& program, const std::string& args,
                                  const std::filesystem::path& scratch, const std::filesystem::path& cwd = {})
{
    std::filesystem::path out = scratch / "stdout.txt";
    std::filesystem::path err = scratch / "stderr.txt";
    std::string cmd = shell_quoted(program_path(program));
    if (!args.empty())
        cmd += " " + args;
    cmd += " >" + shell_quoted(out.string()) + " 2>" + shell_quoted(err.string());
    if (!cwd.empty())
        cmd = "cd " + shell_quoted(cwd.string()) + " && " + cmd;
#ifdef _WIN32
    cmd = "\"" + cmd + "\"";  // cmd.exe strips one pair of outer quotes
#endif
    int raw = std::system(cmd.c_str());
    program_result r;
#ifdef _WIN32
    r.status = raw;
#else
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    r.out = read_file(out);
    r.err = read_file(err);
#ifdef _WIN32
    for (std::string* s : {&r.out, &r.err}) {
        std::string lf;
        for (std::size_t i = 0; i < s->size(); ++i)
            if (!((*s)[i] == '\r' && i + 1 < s->size() && (*s)[i + 1] == '\n'))
                lf += (*s)[i];
        *s = lf;
    }
#endif
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

}  // namespace vptest
