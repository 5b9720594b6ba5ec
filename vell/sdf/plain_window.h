// Classification of the SDF text data 64 characters at a time (the reader's fast path).
#pragma once

#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "vell/sdf/numbers.h"

namespace sdf::num {

// The 64 characters at p as bits (bit i for p[i]): which are digits, and whether every one is a
// digit, a blank or a line feed (the characters of the blank and line feed classes).
#if defined(__SSE2__) || defined(_M_X64)
#define SDF_PLAIN_WINDOW_SSE2 1
inline bool plain_window(const char* p, uint64_t& digits)
{
    // Sixteen characters a step; the signed comparisons leave out every byte above 0x7F.
    const __m128i below_0 = _mm_set1_epi8('0' - 1);
    const __m128i above_9 = _mm_set1_epi8('9' + 1);
    const __m128i below_tab = _mm_set1_epi8('\t' - 1);
    const __m128i above_cr = _mm_set1_epi8('\r' + 1);
    const __m128i blank = _mm_set1_epi8(' ');
    digits = 0;
    unsigned plain = 0xFFFF;
    for (int j = 0; j < 4; ++j) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
        __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, below_0), _mm_cmplt_epi8(v, above_9));
        __m128i control = _mm_and_si128(_mm_cmpgt_epi8(v, below_tab), _mm_cmplt_epi8(v, above_cr));
        __m128i separator = _mm_or_si128(control, _mm_cmpeq_epi8(v, blank));
        plain &= static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(digit, separator)));
        digits |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(digit))} << (16 * j);
    }
    return plain == 0xFFFF;
}

// The values of two runs of one to eight digits at once. Each word holds its run's characters
// from its first byte on (as load_eight reads them), `shift` is 8 x (8 - length) for each.
inline void two_runs(uint64_t a, unsigned shift_a, uint64_t b, unsigned shift_b, int32_t* out)
{
    // The digits' values moved to the top of each word, the first at the top's start: what
    // lies after a run is shifted out, zeros come in before it.
    constexpr uint64_t zeros = 0x3030303030303030u;
    __m128i v = _mm_set_epi64x(static_cast<long long>((b - zeros) << shift_b),
                               static_cast<long long>((a - zeros) << shift_a));
    // Pairs of digits, then quadruples, then the eight: each step the earlier part times the
    // power of ten of the later part's length.
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    v = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(v, low_bytes), _mm_set1_epi16(10)), _mm_srli_epi16(v, 8));
    v = _mm_madd_epi16(v, _mm_set1_epi32(0x00010064));  // low half x 100 + high half
    v = _mm_add_epi64(_mm_mul_epu32(v, _mm_set1_epi64x(10000)), _mm_srli_epi64(v, 32));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi32(v, 0x08));
}
#endif

// The same with word arithmetic, on every target (the one in use where SSE2 is missing).
inline bool plain_window_words(const char* p, uint64_t& digits)
{
    constexpr uint64_t high = 0x8080808080808080u;
    constexpr uint64_t low = 0x7F7F7F7F7F7F7F7Fu;
    digits = 0;
    uint64_t plain = high;
    for (int j = 0; j < 8; ++j) {
        uint64_t w = load_eight(p + 8 * j);
        // Per byte, without carries between bytes: comparisons of the low seven bits.
        uint64_t low7 = w & low;
        uint64_t ascii = ~w & high;
        uint64_t digit = ascii & (low7 + 0x5050505050505050u) & ~(low7 + 0x4646464646464646u);  // '0'-'9'
        uint64_t controls = (low7 + 0x7777777777777777u) & ~(low7 + 0x7272727272727272u);      // 0x09-0x0D
        uint64_t blank = ~((low7 ^ 0x2020202020202020u) + low);                                // ' '
        plain &= digit | (ascii & (controls | blank));
        // The high bits gathered into eight bits.
        digits |= ((((digit >> 7) & 0x0101010101010101u) * 0x0102040810204080u) >> 56) << (8 * j);
    }
    return plain == high;
}

#ifndef SDF_PLAIN_WINDOW_SSE2
inline bool plain_window(const char* p, uint64_t& digits) { return plain_window_words(p, digits); }
#endif

}  // namespace sdf::num
