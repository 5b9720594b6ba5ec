#include <cctype>
#include <string>

#include "vell/platform/dynlib.h"

namespace os {

#ifndef _WIN32
namespace {

bool ends_with_nocase(std::string_view text, std::string_view tail)
{
    if (text.size() < tail.size())
        return false;
    text.remove_prefix(text.size() - tail.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(tail[i])))
            return false;
    return true;
}

}  // namespace
#endif

std::string native_library_name(std::string_view name)
{
#ifdef _WIN32
    return std::string(name);
#else
    std::size_t slash = name.find_last_of('/');
    std::string_view dir = slash == std::string_view::npos ? std::string_view() : name.substr(0, slash + 1);
    std::string_view file = slash == std::string_view::npos ? name : name.substr(slash + 1);
    if (file.empty())
        return std::string(name);
    if (ends_with_nocase(file, ".so") || file.find(".so.") != std::string_view::npos)
        return std::string(name);
    if (ends_with_nocase(file, ".dll"))
        file.remove_suffix(4);
    std::string out(dir);
    if (file.substr(0, 3) != "lib")
        out += "lib";
    out += file;
    out += ".so";
    return out;
#endif
}

library::library(library&& other) noexcept
    : handle_(other.handle_), file_(std::move(other.file_)), error_text_(std::move(other.error_text_))
{
    other.handle_ = nullptr;
}

library& library::operator=(library&& other) noexcept
{
    if (this != &other) {
        unload();
        handle_ = other.handle_;
        file_ = std::move(other.file_);
        error_text_ = std::move(other.error_text_);
        other.handle_ = nullptr;
    }
    return *this;
}

}  // namespace os
