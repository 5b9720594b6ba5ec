// POSIX side of the command-line services: texts pass through unchanged.
#include <unistd.h>

#include "vell/platform/console.h"
#include "vell/platform/os.h"

namespace os {

std::string path_text_of_utf8(std::string_view utf8)
{
    // A file name is any bytes here. One that begins with the byte-order bytes of the wide form
    // would be taken as a wide path and read as UTF-16 past its end; "./" in front names the
    // same file (such a name is always relative) and keeps it a narrow path.
    std::string text(utf8);
    if (is_wide_path(text.c_str()))
        text.insert(0, "./");
    return text;
}

bool is_console(std::FILE* stream)
{
    if (stream == nullptr)
        return false;
    int fd = ::fileno(stream);
    return fd >= 0 && ::isatty(fd) == 1;
}

bool write_text(std::FILE* stream, std::string_view utf8)
{
    if (stream == nullptr)
        return false;
    bool ok = std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
    return std::fflush(stream) == 0 && ok;
}

}  // namespace os
