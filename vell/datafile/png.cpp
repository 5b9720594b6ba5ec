#include "vell/datafile/png.h"

#include <array>
#include <cstdio>

#include "vell/platform/byte_order.h"
#include "vell/platform/atomic_file.h"
#include "vell/platform/errors.h"
#include "vell/platform/os.h"

namespace {

constexpr std::array<uint32_t, 256> crc_table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}();

// Largest payload of one stored deflate block.
constexpr std::size_t stored_max = 65535;
// PNG keeps sizes and chunk lengths below 2^31.
constexpr uint64_t png_limit = 0x7FFFFFFFu;

void put_be32(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t b[4];
    dat_bytes::store_be32(b, v);
    out.insert(out.end(), b, b + 4);
}

void put_chunk(std::vector<uint8_t>& out, const char type[4], std::span<const uint8_t> data)
{
    put_be32(out, static_cast<uint32_t>(data.size()));
    std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, png_crc32(std::span<const uint8_t>(out.data() + start, out.size() - start)));
}

}  // namespace

uint32_t png_crc32(std::span<const uint8_t> bytes, uint32_t crc)
{
    uint32_t c = crc ^ 0xFFFFFFFFu;
    for (uint8_t b : bytes)
        c = crc_table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

uint32_t png_adler32(std::span<const uint8_t> bytes, uint32_t adler)
{
    constexpr uint32_t mod = 65521;
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    std::size_t i = 0;
    while (i < bytes.size()) {
        // 5552 bytes keep the sums below 2^32 before the reduction (zlib's NMAX).
        std::size_t end = std::min(bytes.size(), i + 5552);
        for (; i < end; ++i) {
            a += bytes[i];
            b += a;
        }
        a %= mod;
        b %= mod;
    }
    return (b << 16) | a;
}

std::vector<uint8_t> png_encode_rgb(uint32_t width, uint32_t height, std::span<const uint8_t> rgb)
{
    if (width == 0 || height == 0 || width > png_limit || height > png_limit)
        return {};
    uint64_t row = uint64_t{width} * 3;
    if (rgb.size() != row * height)
        return {};
    uint64_t raw_size = (row + 1) * height;  // each row starts with its filter byte (0: none)
    uint64_t blocks = (raw_size + stored_max - 1) / stored_max;
    uint64_t zlib_size = 2 + raw_size + 5 * blocks + 4;
    if (zlib_size > png_limit)
        return {};

    std::vector<uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(raw_size));
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        auto first = rgb.begin() + static_cast<std::ptrdiff_t>(row * y);
        raw.insert(raw.end(), first, first + static_cast<std::ptrdiff_t>(row));
    }

    std::vector<uint8_t> zlib;
    zlib.reserve(static_cast<std::size_t>(zlib_size));
    zlib.push_back(0x78);  // deflate, 32 KiB window
    zlib.push_back(0x01);  // no dictionary, fastest; (0x78 << 8 | 0x01) % 31 == 0
    for (std::size_t at = 0; at < raw.size(); at += stored_max) {
        std::size_t n = std::min(stored_max, raw.size() - at);
        bool last = at + n == raw.size();
        zlib.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
        zlib.push_back(static_cast<uint8_t>(n));
        zlib.push_back(static_cast<uint8_t>(n >> 8));
        zlib.push_back(static_cast<uint8_t>(~n));
        zlib.push_back(static_cast<uint8_t>(~n >> 8));
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                    raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    put_be32(zlib, png_adler32(raw));

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::array<uint8_t, 13> ihdr{};
    dat_bytes::store_be32(ihdr.data(), width);
    dat_bytes::store_be32(ihdr.data() + 4, height);
    ihdr[8] = 8;   // bits per sample
    ihdr[9] = 2;   // colour type: RGB
    ihdr[10] = 0;  // compression: deflate
    ihdr[11] = 0;  // filter method 0
    ihdr[12] = 0;  // no interlace
    put_chunk(png, "IHDR", ihdr);
    put_chunk(png, "IDAT", zlib);
    put_chunk(png, "IEND", {});
    return png;
}

int32_t png_write_file(const char* path, std::span<const uint8_t> bytes)
{
    os::fs::path target;
    os::atomic_file file;
    if (path == nullptr || !os::native_path(path, target) || !file.open(target))
        return ERR_CANT_CREATE_FILE;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        return ERR_CANT_WRITE_FILE;
    if (!file.commit())
        return ERR_CANT_WRITE_FILE;
    return NO_ERROR;
}
