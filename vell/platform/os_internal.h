// Helpers shared by the OS layer's implementations. Not for use outside platform/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

bool wide_units(const char* path, std::u16string& units);
// Appends the UTF-8 bytes of one code point (at most U+10FFFF).
void append_utf8(std::string& out, uint32_t code_point);
bool utf16_to_utf8(std::u16string_view units, std::string& out);
bool utf8_to_utf16(std::string_view text, std::u16string& out);

}  // namespace os
