// A ramp data file built byte by byte for the ramp tests: every header word at its offset in its
// own byte order, then the samples most significant byte first.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

namespace ramptest {

struct ramp_bytes {
    std::string b = std::string(328, '\0');

    ramp_bytes& be(int first, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            b[static_cast<std::size_t>(first - 1 + i)] = static_cast<char>(v >> (24 - 8 * i));
        return *this;
    }
    ramp_bytes& le(int first, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            b[static_cast<std::size_t>(first - 1 + i)] = static_cast<char>(v >> (8 * i));
        return *this;
    }
    ramp_bytes& bef(int first, float v) { return be(first, std::bit_cast<uint32_t>(v)); }
    ramp_bytes& lef(int first, float v) { return le(first, std::bit_cast<uint32_t>(v)); }
    ramp_bytes& sample(uint16_t v)
    {
        b += static_cast<char>(v >> 8);
        b += static_cast<char>(v);
        return *this;
    }
};

// A BTW ramp with a distinct value in every word, non-zero spare bytes and three samples.
inline ramp_bytes full_ramp()
{
    ramp_bytes r;
    r.be(1, 0x52414D51).be(5, 17).be(9, 12345).be(13, 7).be(17, 3);
    r.be(21, 101).be(25, 102).be(29, 103).be(33, 104);
    r.bef(37, 4.0f).bef(41, 25.0f).be(45, 64536).be(49, 1).bef(53, 81.0f).be(57, 1).be(61, 2).be(65, 2048);
    r.bef(69, 1.5f).bef(73, 2.5f).bef(77, 3.5f).bef(81, 10.5f).be(85, 'b').be(89, 32768).be(93, 64);
    r.bef(97, 0.5f).bef(101, 0.25f).bef(105, 12.5f).be(109, 800).be(113, 525).be(117, 1).be(121, 1).be(125, 8);
    r.be(129, 2).be(133, 3).be(137, static_cast<uint32_t>(-4));
    r.be(141, static_cast<uint32_t>(-100)).be(145, 200).be(149, 300).be(153, 400).be(157, 500);
    r.bef(161, 0.98f).be(165, 0xDEADBEEF);
    r.lef(169, 0.75f).lef(173, 20.0f).le(177, 2).le(181, 0x11223344).le(185, 1).le(189, 0x55667788).le(193, 0x99AABBCC);
    for (int i = 197; i <= 328; ++i)
        r.b[static_cast<std::size_t>(i - 1)] = static_cast<char>(i);
    r.sample(0x0102).sample(0xFFFE).sample(0x8000);
    return r;
}

}  // namespace ramptest
