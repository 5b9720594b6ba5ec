// POSIX side of the command-line services: texts pass through unchanged.
#include <unistd.h>

#include "platform/console.h"

namespace os {

std::string path_text_of_utf8(std::string_view utf8) { return std::string(utf8); }

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
