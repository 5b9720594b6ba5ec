// Runs a built program of the project (through the shell on POSIX, directly on Windows) and
// captures its exit status and what it printed.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
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

#ifdef _WIN32
// Windows: the program is started directly, its standard streams on the output files and NUL.
// (Through cmd.exe, Wine now and then answered 9009, "not recognized", for a program that is
// there.) The command line is UTF-8; the exit code, or -1 when the program did not start.
inline int run_command_line(const std::string& line, const std::filesystem::path& out,
                            const std::filesystem::path& err, const std::filesystem::path& cwd)
{
    std::wstring wide(static_cast<std::size_t>(
                          MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0)),
                      L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), static_cast<int>(wide.size()));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const wchar_t* path, bool write) {
        return CreateFileW(path, write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = open(L"NUL", false);
    si.hStdOutput = open(out.wstring().c_str(), true);
    si.hStdError = open(err.wstring().c_str(), true);
    PROCESS_INFORMATION pi{};
    const std::wstring dir = cwd.wstring();
    const bool started = si.hStdOutput != INVALID_HANDLE_VALUE && si.hStdError != INVALID_HANDLE_VALUE &&
                         CreateProcessW(nullptr, wide.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        dir.empty() ? nullptr : dir.c_str(), &si, &pi);
    DWORD code = static_cast<DWORD>(-1);
    if (started) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    return started ? static_cast<int>(code) : -1;
}
#endif

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
    program_result r;
#ifdef _WIN32
    r.status = run_command_line(cmd, out, err, cwd);
#else
    cmd += " >" + shell_quoted(out.string()) + " 2>" + shell_quoted(err.string());
    if (!cwd.empty())
        cmd = "cd " + shell_quoted(cwd.string()) + " && " + cmd;
    int raw = std::system(cmd.c_str());
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
