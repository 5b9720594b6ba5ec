// Win32 implementation of the OS layer.
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "vell/platform/os.h"
#include "vell/platform/os_internal.h"

namespace os {

namespace {

std::wstring from_code_page(std::string_view text, UINT code_page)
{
    if (text.empty())
        return {};
    int n = ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
    return w;
}

std::string to_utf8(std::wstring_view w)
{
    if (w.empty())
        return {};
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace

bool native_path(const char* path, fs::path& out)
{
    if (path == nullptr)
        return false;
    if (!is_wide_path(path)) {
        out = fs::path(from_code_page(path, CP_ACP));
        return true;
    }
    std::u16string units;
    std::string check;
    if (!wide_units(path, units) || !utf16_to_utf8(units, check))
        return false;
    out = fs::path(std::wstring(units.begin(), units.end()));
    return true;
}

std::string utf8_of(const fs::path& path) { return to_utf8(path.native()); }

bool narrow_path(const fs::path& path, std::string& out)
{
    const std::wstring& w = path.native();
    out.clear();
    if (w.empty())
        return true;
    // A character without an ANSI form would come out as '?' or a look-alike: another path.
    UINT code_page = ::GetACP();
    DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used_default_ptr = code_page == CP_UTF8 ? nullptr : &used_default;
    int n = ::WideCharToMultiByte(code_page, flags, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                                  used_default_ptr);
    if (n <= 0 || used_default)
        return false;
    out.assign(static_cast<std::size_t>(n), '\0');
    n = ::WideCharToMultiByte(code_page, flags, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                              used_default_ptr);
    if (n <= 0 || used_default) {
        out.clear();
        return false;
    }
    return true;
}

fs::path fold_case(const fs::path& path)
{
    std::wstring w = path.native();
    if (!w.empty())
        ::CharLowerBuffW(w.data(), static_cast<DWORD>(w.size()));
    return fs::path(w);
}

std::FILE* open_file(const fs::path& path, const char* mode)
{
    std::wstring wmode(mode, mode + std::strlen(mode));
    return ::_wfopen(path.c_str(), wmode.c_str());
}

bool stamp_of(const fs::path& path, u_file_stamp& out)
{
    HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    if (!ok)
        return false;
    auto join = [](DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; };
    out.device = info.dwVolumeSerialNumber;
    out.file = join(info.nFileIndexHigh, info.nFileIndexLow);
    out.created_or_changed = static_cast<int64_t>(join(info.ftCreationTime.dwHighDateTime, info.ftCreationTime.dwLowDateTime));
    out.modified = static_cast<int64_t>(join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
    out.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    return true;
}

std::FILE* create_temp_file(const fs::path& dir, std::string_view prefix, fs::path& created, fs::path* refused)
{
    if (refused)
        refused->clear();
    fs::path base = dir.empty() ? fs::path(L".") : dir;
    std::wstring wprefix = from_code_page(prefix, CP_UTF8);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[32];
        std::swprintf(suffix, 32, L"%06lx%02x", static_cast<unsigned long>(::GetTickCount() ^ ::GetCurrentProcessId()) & 0xFFFFFF,
                      attempt);
        fs::path candidate = base / (wprefix + suffix);
        HANDLE h = ::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_EXISTS)
                continue;
            if (refused)
                *refused = candidate;
            return nullptr;
        }
        ::CloseHandle(h);
        std::FILE* f = ::_wfopen(candidate.c_str(), L"wb");
        if (f == nullptr) {
            ::DeleteFileW(candidate.c_str());
            if (refused)
                *refused = candidate;
            return nullptr;
        }
        created = candidate;
        return f;
    }
    return nullptr;
}

bool flush_to_disk(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    return h != INVALID_HANDLE_VALUE && ::FlushFileBuffers(h) != 0;
}

bool read_at(std::FILE* file, uint64_t offset, void* buffer, std::size_t size, std::size_t& got)
{
    got = 0;
    auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (h == INVALID_HANDLE_VALUE)
        return false;
    auto* out = static_cast<char*>(buffer);
    while (got < size) {
        // The offset travels in the OVERLAPPED record; the handle is synchronous, so the call
        // returns when the bytes are there.
        uint64_t at = offset + got;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - got, DWORD{1} << 30));
        DWORD n = 0;
        if (!::ReadFile(h, out + got, want, &n, &where)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    return true;
}

bool replace_file(const fs::path& from, const fs::path& to, int* sys_error)
{
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return true;
    if (sys_error)
        *sys_error = static_cast<int>(::GetLastError());
    return false;
}

bool copy_file(const fs::path& from, const fs::path& to, int* sys_error)
{
    if (::CopyFileW(from.c_str(), to.c_str(), FALSE))
        return true;
    if (sys_error)
        *sys_error = static_cast<int>(::GetLastError());
    return false;
}

void adopt_file_mode(const fs::path&, const fs::path&) {}

std::optional<std::string> get_env(const char* name)
{
    std::wstring wname = from_code_page(name, CP_UTF8);
    DWORD n = ::GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (n == 0)
        return std::nullopt;
    std::wstring v(n, L'\0');
    n = ::GetEnvironmentVariableW(wname.c_str(), v.data(), n);
    v.resize(n);
    return to_utf8(v);
}

bool set_env(const char* name, const char* value)
{
    std::wstring wname = from_code_page(name, CP_UTF8);
    if (wname.empty() || wname.find(L'=') != std::wstring::npos)
        return false;
    std::wstring wvalue = value ? from_code_page(value, CP_UTF8) : std::wstring();
    // The runtime library's copy first (what getenv answers, here and in loaded libraries that
    // share the runtime; it cannot hold an empty value, so "" removes it there), then the
    // process's own block (what GetEnvironmentVariable and child processes see).
    std::wstring assignment = wname + L"=" + wvalue;
    ::_wputenv(assignment.c_str());
    return ::SetEnvironmentVariableW(wname.c_str(), value ? wvalue.c_str() : nullptr) != 0;
}

std::string program_path()
{
    std::vector<wchar_t> buf(32768);
    DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size())
        return {};
    return to_utf8(std::wstring_view(buf.data(), n));
}

bool computer_name(std::string& name)
{
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(buf, &n) || n == 0)
        return false;
    name = to_utf8(std::wstring_view(buf, n));
    return true;
}

bool local_time(std::time_t when, std::tm& out) { return ::localtime_s(&out, &when) == 0; }

int last_error() { return static_cast<int>(::GetLastError()); }

void sleep_real_ms(uint32_t ms) { ::Sleep(ms); }

uint64_t monotonic_ms() { return ::GetTickCount64(); }

// Large pages need a privilege and an allocation of their own on Windows: nothing to advise.
void advise_large_pages(void* block, std::size_t size)
{
    (void)block;
    (void)size;
}

}  // namespace os
