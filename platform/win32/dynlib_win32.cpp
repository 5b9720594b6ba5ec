// Win32 loadable libraries (LoadLibrary).
#include <windows.h>

#include <string>

#include "platform/dynlib.h"
#include "platform/os.h"

namespace os {

namespace {

std::string message_of(DWORD code)
{
    wchar_t* text = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n != 0 && text != nullptr) {
        while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n'))
            --n;
        out = utf8_of(fs::path(std::wstring(text, n)));
    }
    if (text != nullptr)
        ::LocalFree(text);
    return out;
}

}  // namespace

bool library::load(const char* name, int* sys_error)
{
    unload();
    error_text_.clear();
    fs::path native_form;
    if (name == nullptr || *name == '\0' || !native_path(name, native_form)) {
        if (sys_error)
            *sys_error = ERROR_INVALID_PARAMETER;
        return false;
    }
    // No error box for a missing or broken library: the caller reports it.
    UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE h = ::LoadLibraryW(native_form.c_str());
    DWORD err = ::GetLastError();
    ::SetErrorMode(previous);
    if (h == nullptr) {
        error_text_ = message_of(err);
        if (sys_error)
            *sys_error = static_cast<int>(err);
        return false;
    }
    handle_ = reinterpret_cast<void*>(h);
    file_ = utf8_of(native_form);
    return true;
}

proc library::symbol(const char* name, int* sys_error) const
{
    if (handle_ == nullptr || name == nullptr) {
        if (sys_error)
            *sys_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    FARPROC p = ::GetProcAddress(reinterpret_cast<HMODULE>(handle_), name);
    if (p == nullptr) {
        DWORD err = ::GetLastError();
        error_text_ = message_of(err);
        if (sys_error)
            *sys_error = static_cast<int>(err);
        return nullptr;
    }
    return reinterpret_cast<proc>(p);
}

void library::unload()
{
    if (handle_ != nullptr) {
        ::FreeLibrary(reinterpret_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
    file_.clear();
}

}  // namespace os
