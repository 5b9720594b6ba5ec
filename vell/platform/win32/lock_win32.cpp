// Win32 process lock: a named mutex in the machine-wide namespace.
#include <windows.h>
#include <sddl.h>

#include <string>

#include "vell/platform/lock.h"
#include "vell/platform/os.h"

namespace os {

namespace {

// Every user may wait on the mutex and release it; nobody but its creator may change its
// security. Without a descriptor of its own the mutex would get the creator's default one,
// which shuts out the processes of other users.
constexpr const wchar_t* shared_mutex_sddl = L"D:(A;;0x00100001;;;WD)";  // SYNCHRONIZE | MUTEX_MODIFY_STATE

HANDLE open_shared_mutex(const std::wstring& name)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(shared_mutex_sddl, SDDL_REVISION_1, &sd, nullptr))
        sa.lpSecurityDescriptor = sd;
    HANDLE h = ::CreateMutexExW(&sa, name.c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    DWORD err = ::GetLastError();
    if (sd != nullptr)
        ::LocalFree(sd);
    ::SetLastError(err);
    return h;
}

}  // namespace

bool process_lock::open(const char* name, int* sys_error)
{
    close();
    fs::path wide;
    if (name == nullptr || *name == '\0' || !native_path(name, wide)) {
        if (sys_error)
            *sys_error = ERROR_INVALID_PARAMETER;
        return false;
    }
    // A backslash would name a namespace of its own: it becomes '_' like the other odd
    // characters of the POSIX lock file's name.
    std::wstring full = L"Global\\" + wide.wstring();
    for (std::size_t i = 7; i < full.size(); ++i)
        if (full[i] == L'\\')
            full[i] = L'_';
    HANDLE h = open_shared_mutex(full);
    if (h == nullptr) {
        if (sys_error)
            *sys_error = static_cast<int>(::GetLastError());
        return false;
    }
    handle_ = h;
    name_ = name;
    return true;
}

bool process_lock::is_open() const { return handle_ != nullptr; }

int process_lock::try_acquire(bool* abandoned)
{
    DWORD r = ::WaitForSingleObject(static_cast<HANDLE>(handle_), 0);
    switch (r) {
    case WAIT_OBJECT_0:
        return 1;
    case WAIT_ABANDONED:
        if (abandoned)
            *abandoned = true;
        return 1;
    case WAIT_TIMEOUT:
        return 0;
    default:
        return -1;
    }
}

bool process_lock::release()
{
    if (!held_ || handle_ == nullptr)
        return false;
    held_ = false;
    return ::ReleaseMutex(static_cast<HANDLE>(handle_)) != 0;
}

void process_lock::close()
{
    if (held_)
        release();
    if (handle_ != nullptr) {
        ::CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
    name_.clear();
}

}  // namespace os
