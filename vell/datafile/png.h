// A small PNG encoder for 8-bit RGB pictures: the image data go into stored (uncompressed)
// deflate blocks, so the encoder needs nothing but CRC-32 and Adler-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// CRC-32 (the polynomial of PNG and zlib), continued from `crc` (0 to start).
uint32_t png_crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);
// Adler-32 of zlib, continued from `adler` (1 to start).
uint32_t png_adler32(std::span<const uint8_t> bytes, uint32_t adler = 1);

// The PNG file of a width x height picture given as rows of RGB triples, top row first
// (rgb holds width x height x 3 bytes). Empty when the size is 0, too large for PNG, or rgb
// has the wrong length.
std::vector<uint8_t> png_encode_rgb(uint32_t width, uint32_t height, std::span<const uint8_t> rgb);

// Writes the bytes to `path` (platform path convention) through a temporary file that replaces
// the target only after a complete write. ERR_CANT_CREATE_FILE or ERR_CANT_WRITE_FILE.
int32_t png_write_file(const char* path, std::span<const uint8_t> bytes);
