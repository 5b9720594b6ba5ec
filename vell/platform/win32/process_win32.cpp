// Win32 child processes.
#include <windows.h>

#include <string>
#include <vector>

#include "vell/platform/os.h"
#include "vell/platform/process.h"

namespace os {

namespace {

// Quotes one argument the way the C runtime's command-line parser reads it back.
void append_quoted(std::wstring& line, const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring wide(const std::string& utf8) { return fs::u8path(utf8).wstring(); }

}  // namespace

bool child_process::spawn(const std::string& program, const std::vector<std::string>& args, int* sys_error)
{
    close();
    std::wstring app = wide(program);
    std::wstring line;
    append_quoted(line, app);
    for (const std::string& a : args) {
        line += L' ';
        append_quoted(line, wide(a));
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (sys_error)
            *sys_error = static_cast<int>(::GetLastError());
        return false;
    }
    ::CloseHandle(pi.hThread);
    handle_ = pi.hProcess;
    ended_ = false;
    status_ = 0;
    return true;
}

int child_process::poll(bool block, int* exit_status)
{
    if (ended_) {
        if (exit_status)
            *exit_status = status_;
        return 1;
    }
    if (handle_ == nullptr)
        return -1;
    DWORD r = ::WaitForSingleObject(static_cast<HANDLE>(handle_), block ? INFINITE : 0);
    if (r == WAIT_TIMEOUT)
        return 0;
    if (r != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    if (!::GetExitCodeProcess(static_cast<HANDLE>(handle_), &code))
        return -1;
    ended_ = true;
    status_ = static_cast<int>(code);
    if (exit_status)
        *exit_status = status_;
    return 1;
}

bool child_process::kill()
{
    if (handle_ == nullptr || ended_)
        return false;
    return ::TerminateProcess(static_cast<HANDLE>(handle_), 137) != 0;
}

bool child_process::running() const
{
    return handle_ != nullptr && !ended_ && ::WaitForSingleObject(static_cast<HANDLE>(handle_), 0) == WAIT_TIMEOUT;
}

void child_process::close()
{
    if (handle_ != nullptr) {
        ::CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
    ended_ = false;
    status_ = 0;
}

}  // namespace os
