// Win32 loadable libraries (LoadLibraryExW with the safe search order).
#include <windows.h>

#include <string>
#include <vector>

#include "vell/platform/dynlib.h"
#include "vell/platform/os.h"

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
    // Never the current directory or PATH: a bare name comes from the program's directory, the
    // system directory or a directory added with AddDllDirectory; a name with a directory part
    // is made absolute and loaded from there, its own dependencies found beside it first.
    DWORD flags = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (native_form.has_parent_path() || native_form.has_root_path()) {
        std::error_code ec;
        fs::path absolute = fs::absolute(native_form, ec);
        if (!ec)
            native_form = absolute;
        flags |= LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
    }
    // No error box for a missing or broken library, on this thread only: the caller reports it.
    DWORD previous = 0;
    BOOL mode_set = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    HMODULE h = ::LoadLibraryExW(native_form.c_str(), nullptr, flags);
    DWORD err = ::GetLastError();
    if (mode_set)
        ::SetThreadErrorMode(previous, nullptr);
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

bool library::file_version(uint64_t* version) const
{
    if (handle_ == nullptr || version == nullptr)
        return false;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(reinterpret_cast<HMODULE>(handle_), path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return false;
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768)
            return false;
        path.resize(path.size() * 2);
    }
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return false;
    std::vector<unsigned char> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT info_size = 0;
    if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) || info == nullptr ||
        info_size < sizeof(VS_FIXEDFILEINFO))
        return false;
    *version = (static_cast<uint64_t>(info->dwFileVersionMS) << 32) | info->dwFileVersionLS;
    return true;
}

}  // namespace os
