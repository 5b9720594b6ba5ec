// Explicit byte-order loads and stores for binary layouts: files, and the instrument links' frames.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace dat_bytes {

// The stores reverse the value in a register and store it whole, so that loops over many
// values become vector code.
inline void store_be16(uint8_t* p, uint16_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap16(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_be32(uint8_t* p, uint32_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_le16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void store_le32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t load_be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t load_be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint16_t load_le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline uint64_t load_le64(const uint8_t* p)
{
    return uint64_t{load_le32(p)} | (uint64_t{load_le32(p + 4)} << 32);
}

// Native-order values held in raw memory.
inline uint16_t native16(const void* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t native32(const void* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void set_native16(void* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void set_native32(void* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace dat_bytes
