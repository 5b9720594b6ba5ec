// Win32 process lock: a named mutex.
#include <windows.h>

#include <string>

#include "platform/lock.h"
#include "platform/os.h"

namespace os {

bool process_lock::open(const char* name, int* sys_error)
{
    close();
    fs::path wide;
    if (name == nullptr || *name == '\0' || !native_path(name, wide)) {
        if (sys_error)
            *sys_error = ERROR_INVALID_PARAMETER;
        return false;
    }
    HANDLE h = ::CreateMutexW(nullptr, FALSE, wide.c_str());
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
