// Win32 side of the command-line services: wide arguments, wide path texts, console output.
#include <windows.h>

#include <io.h>

#include <algorithm>

#include "vell/platform/console.h"
#include "vell/platform/os.h"
#include "vell/platform/os_internal.h"

namespace os {

namespace {

// UTF-16 to UTF-8, a lone surrogate replaced by U+FFFD.
std::string utf8_of_units(const wchar_t* w)
{
    std::string out;
    for (std::size_t i = 0; w[i] != 0; ++i) {
        uint32_t c = static_cast<uint16_t>(w[i]);
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t next = static_cast<uint16_t>(w[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

HANDLE handle_of(std::FILE* stream)
{
    int fd = ::_fileno(stream);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// A console answers GetConsoleMode; the NUL device, also a character device, does not. A console
// handle opened for writing only (as "2>CONOUT$" in a command interpreter opens it) cannot answer
// GetConsoleMode, but takes an empty wide write, which other devices refuse.
bool is_console_handle(HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_CHAR)
        return false;
    DWORD mode = 0;
    if (::GetConsoleMode(h, &mode))
        return true;
    DWORD written = 0;
    return ::WriteConsoleW(h, L"", 0, &written, nullptr) != 0;
}

// Longest piece handed to WriteConsoleW at once (older consoles refuse large writes).
constexpr std::size_t console_chunk_units = 8192;

bool write_console(HANDLE h, std::string_view utf8)
{
    std::wstring w;
    if (!utf8.empty()) {
        // Bytes that are not UTF-8 show as U+FFFD.
        int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        if (n <= 0)
            return false;
        w.assign(static_cast<std::size_t>(n), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    }
    const wchar_t* p = w.data();
    std::size_t left = w.size();
    while (left > 0) {
        std::size_t chunk = std::min(left, console_chunk_units);
        // Never split a surrogate pair between two writes.
        if (chunk < left && p[chunk - 1] >= 0xD800 && p[chunk - 1] <= 0xDBFF)
            --chunk;
        DWORD written = 0;
        if (!::WriteConsoleW(h, p, static_cast<DWORD>(chunk), &written, nullptr) || written == 0)
            return false;
        p += written;
        left -= written;
    }
    return true;
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i)
        args.push_back(utf8_of_units(argv[i]));
    return args;
}

int run_with_utf8_arguments(int argc, wchar_t** argv, int (*run)(int, char**))
{
    std::vector<std::string> args = utf8_arguments(argc, argv);
    std::vector<char*> ptrs;
    for (std::string& a : args)
        ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    return run(static_cast<int>(args.size()), ptrs.data());
}

std::string path_text_of_utf8(std::string_view utf8)
{
    // A text that is not UTF-8 came from the ANSI side: it stays a narrow path.
    std::u16string units;
    if (!utf8_to_utf16(utf8, units))
        return std::string(utf8);
    return make_wide_path(utf8);
}

bool is_console(std::FILE* stream) { return stream != nullptr && is_console_handle(handle_of(stream)); }

bool write_text(std::FILE* stream, std::string_view utf8)
{
    if (stream == nullptr)
        return false;
    HANDLE h = handle_of(stream);
    if (is_console_handle(h)) {
        // What the C stream still holds goes out first.
        std::fflush(stream);
        return write_console(h, utf8);
    }
    bool ok = std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
    return std::fflush(stream) == 0 && ok;
}

}  // namespace os
