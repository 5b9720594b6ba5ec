// The parts of the OS layer that are the same on every system.
#include <cstring>

#include "vell/platform/os.h"
#include "vell/platform/os_internal.h"

namespace os {

namespace {

uint16_t unit_at(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void append_unit(std::string& out, uint16_t unit)
{
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
}

}  // namespace

bool is_wide_path(const char* path)
{
    if (path == nullptr)
        return false;
    auto* p = reinterpret_cast<const unsigned char*>(path);
    return (p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF);
}

// Reads the UTF-16LE units of a wide path after its byte-order bytes, up to the zero unit
// that ends it. False when no zero unit comes within the bound.
bool wide_units(const char* path, std::u16string& units)
{
    auto* p = reinterpret_cast<const unsigned char*>(path) + 2;
    units.clear();
    for (std::size_t i = 0; i <= max_wide_path_units; ++i, p += 2) {
        uint16_t unit = unit_at(p);
        if (unit == 0)
            return true;
        units.push_back(static_cast<char16_t>(unit));
    }
    return false;
}

void append_utf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool utf16_to_utf8(std::u16string_view units, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        append_utf8(out, c);
    }
    return true;
}

bool utf8_to_utf16(std::string_view text, std::u16string& out)
{
    out.clear();
    auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        uint32_t c = p[i];
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > n)
            return false;
        if (len > 1)
            c &= 0xFF >> (len + 1);
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += len;
    }
    return true;
}

std::string make_wide_path(std::string_view utf8)
{
    std::u16string units;
    if (!utf8_to_utf16(utf8, units))
        units.clear();
    std::string out = "\xFF\xFE";
    for (char16_t u : units)
        append_unit(out, static_cast<uint16_t>(u));
    append_unit(out, 0);
    return out;
}

fs::path path_of_utf8(std::string_view utf8)
{
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

file_kind kind_of(const fs::path& path)
{
    std::error_code ec;
    auto st = fs::status(path, ec);
    if (ec)
        return file_kind::none;
    switch (st.type()) {
    case fs::file_type::regular: return file_kind::regular;
    case fs::file_type::directory: return file_kind::directory;
    case fs::file_type::not_found:
    case fs::file_type::none: return file_kind::none;
    default: return file_kind::other;
    }
}

bool file_size(const fs::path& path, uint64_t& size)
{
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    if (ec)
        return false;
    size = n;
    return true;
}

bool remove_file(const fs::path& path)
{
    std::error_code ec;
    return fs::remove(path, ec) && !ec;
}

bool make_dir(const fs::path& path)
{
    std::error_code ec;
    return fs::create_directory(path, ec) && !ec;
}

fs::path temp_dir()
{
    std::error_code ec;
    auto dir = fs::temp_directory_path(ec);
    return ec ? fs::path(".") : dir;
}

}  // namespace os
