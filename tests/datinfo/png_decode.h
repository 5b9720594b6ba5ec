// A PNG reader for the tests, written apart from the encoder: chunk CRCs checked bit by bit,
// the zlib stream's stored blocks and its Adler-32 checked, 8-bit RGB rows without filters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pngtest {

struct image {
    std::string error;  // empty when the file decoded
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;

    // Red, green and blue of the pixel at column x, row y (top row 0).
    std::vector<int> at(uint32_t x, uint32_t y) const
    {
        std::size_t i = (std::size_t{y} * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

inline uint32_t be32(const std::string& s, std::size_t at)
{
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint32_t(uint8_t(s[at + 3]));
}

inline uint32_t crc32_bitwise(const std::string& bytes)
{
    uint32_t c = 0xFFFFFFFFu;
    for (char ch : bytes) {
        c ^= uint8_t(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

inline image decode(const std::string& png)
{
    image img;
    auto bad = [&](const std::string& why) {
        img.error = why;
        return img;
    };
    if (png.compare(0, 8, std::string("\x89PNG\r\n\x1A\n", 8)) != 0)
        return bad("signature");
    std::string zlib;
    bool header = false, end = false;
    std::size_t at = 8;
    while (!end) {
        if (at + 12 > png.size())
            return bad("chunk past the end");
        uint32_t len = be32(png, at);
        if (len > png.size() - at - 12)
            return bad("chunk length");
        std::string type = png.substr(at + 4, 4);
        std::string body = png.substr(at + 8, len);
        if (crc32_bitwise(type + body) != be32(png, at + 8 + len))
            return bad("CRC of " + type);
        if (type == "IHDR") {
            if (len != 13 || body.substr(8) != std::string("\x08\x02\x00\x00\x00", 5))
                return bad("IHDR is not 8-bit RGB");
            img.width = be32(body, 0);
            img.height = be32(body, 4);
            header = true;
        } else if (type == "IDAT") {
            zlib += body;
        } else if (type == "IEND") {
            end = true;
        }
        at += 12 + len;
    }
    if (!header || at != png.size())
        return bad("chunk sequence");
    if (zlib.size() < 6 || uint8_t(zlib[0]) != 0x78 || ((uint8_t(zlib[0]) << 8) | uint8_t(zlib[1])) % 31 != 0)
        return bad("zlib header");
    std::string raw;
    std::size_t p = 2;
    for (bool last = false; !last;) {
        if (p + 5 > zlib.size())
            return bad("deflate block header");
        uint8_t head = uint8_t(zlib[p]);
        if ((head & 6) != 0)
            return bad("not a stored block");
        last = head & 1;
        uint32_t n = uint8_t(zlib[p + 1]) | uint8_t(zlib[p + 2]) << 8;
        uint32_t nn = uint8_t(zlib[p + 3]) | uint8_t(zlib[p + 4]) << 8;
        if ((n ^ nn) != 0xFFFF || p + 5 + n > zlib.size())
            return bad("stored block length");
        raw += zlib.substr(p + 5, n);
        p += 5 + n;
    }
    if (p + 4 != zlib.size())
        return bad("bytes after the deflate stream");
    uint32_t a = 1, b = 0;
    for (char c : raw) {
        a = (a + uint8_t(c)) % 65521;
        b = (b + a) % 65521;
    }
    if (((b << 16) | a) != be32(zlib, p))
        return bad("Adler-32");
    std::size_t row = std::size_t{img.width} * 3;
    if (raw.size() != (row + 1) * img.height)
        return bad("image data length");
    for (uint32_t y = 0; y < img.height; ++y) {
        if (raw[y * (row + 1)] != 0)
            return bad("row filter");
        img.rgb.insert(img.rgb.end(), raw.begin() + y * (row + 1) + 1, raw.begin() + (y + 1) * (row + 1));
    }
    return img;
}

}  // namespace pngtest
