// The fast reading paths against a plain reading of the same files: the ASCII form with lines
// and numbers cut at every block boundary of the reader's buffer, binary items straddling
// block boundaries, every item of the one- and two-byte types, and one dataset written in both
// forms. The plain reader below takes each file apart with the C library, value by value.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vell/datafile/datafile.h"
#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/sdf/input.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/sdf_writer.h"
#include "tests/support/test_support.h"

namespace {

// ---- the reader under test --------------------------------------------------------------------

struct read_out {
    int32_t rc = -1;
    std::vector<int32_t> values;
    std::array<uint8_t, DAT_HEADER_PACKED_SIZE> header{};
};

// Reads the file with the reader's input cut into blocks of `block` bytes (0: the default),
// on one thread, or with the text data split over `threads` threads as soon as a buffer holds
// `least` bytes.
read_out read_with_block(const std::string& path, std::size_t block, unsigned threads = 1, std::size_t least = 0)
{
    dat_header h{};
    intensity_map im{};
    phase_map pm{};
    read_out r;
    testing::internal::CaptureStdout();
    r.rc = sdf::read_file_in_blocks(path.c_str(), &h, &im, &pm, nullptr, block, threads, least);
    testing::internal::GetCapturedStdout();
    if (r.rc == NO_ERROR) {
        r.values.assign(pm.data, pm.data + pm.count);
        dat_header_pack(h, r.header);
    }
    u_free(pm.data);
    return r;
}

// Block sizes that put every boundary at every offset of lines and numbers of a few dozen
// characters, a few around powers of two, and the default. A number must fit a block: the
// smallest here holds the longest number of the tests (25 characters) and its separator.
std::vector<std::size_t> block_sizes()
{
    std::vector<std::size_t> sizes;
    for (std::size_t b = 26; b <= 90; ++b)
        sizes.push_back(b);
    for (std::size_t b : {127, 128, 129, 1000, 4095, 4096, 4097, 65536})
        sizes.push_back(b);
    sizes.push_back(0);
    return sizes;
}

// ---- the plain reader ---------------------------------------------------------------------------

constexpr double no_fit_low = -2147483649.0;
constexpr double no_fit_high = 2147483640.0;

// A text number read as the C library of the platform's home system reads an unsigned long
// of 32 bits: sign, digits; a magnitude beyond 32 bits gives 4294967295.
bool plain_ulong(const std::string& token, uint32_t& out)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
        negative = token[i++] == '-';
    if (i == token.size() || token.find_first_not_of("0123456789", i) != std::string::npos)
        return false;
    errno = 0;
    unsigned long long m = std::strtoull(token.c_str() + i, nullptr, 10);
    if (errno == ERANGE || m > 0xFFFFFFFFull)
        out = 0xFFFFFFFFu;
    else
        out = negative ? 0u - static_cast<uint32_t>(m) : static_cast<uint32_t>(m);
    return true;
}

// The value of a "key = value" line among the file's lines (the first one), as a double.
double line_value(const std::vector<std::string>& lines, const std::string& key, std::size_t from = 0)
{
    for (std::size_t i = from; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.compare(0, key.size(), key) == 0 && l.size() > key.size() &&
            (l[key.size()] == ' ' || l[key.size()] == '=')) {
            std::size_t v = l.find_first_not_of(" =", key.size());
            return std::strtod(l.c_str() + v, nullptr);
        }
    }
    ADD_FAILURE() << "no line " << key;
    return 0;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos)
            lf = text.size();
        std::string l = text.substr(start, lf - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
        start = lf + 1;
    }
    return lines;
}

// Whether the lines from `from` on hold a complete trailer: the eight required keys, then a
// "*" line.
bool complete_trailer(const std::vector<std::string>& lines, std::size_t from)
{
    static const char* const required[] = {"intf_scale_factor", "obliquity_factor", "wavelength_in",
                                           "num_aperture",      "lateral_res",      "camera_width",
                                           "camera_height",     "phase_res"};
    int count = 0;
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (!lines[i].empty() && lines[i][0] == '*')
            return count == 8;
        for (const char* k : required) {
            std::string key = k;
            if (lines[i].compare(0, key.size(), key) == 0 && lines[i].size() > key.size() &&
                (lines[i][key.size()] == ' ' || lines[i][key.size()] == '='))
                ++count;
        }
    }
    return false;
}

// An ASCII file of ULONGINT text data with a trailer: the phase counts it gives, or the
// error that the data section gives (a failing data section keeps its code when the trailer,
// read from the next line on, is complete; otherwise the required fields are missing). Only what the tests' files contain is understood: the
// header up to "*", numbers separated by blanks, tabs and line ends, ";" comments, the "*"
// line, then the trailer's phase unit keys and data offset.
read_out plain_ascii(const std::string& text)
{
    read_out r;
    std::vector<std::string> lines = split_lines(text);
    std::size_t i = 0;
    while (lines[i].empty() || lines[i][0] != '*')
        ++i;
    double zscale = line_value(lines, "Zscale");
    std::vector<uint32_t> raw;
    for (++i; i < lines.size() && (lines[i].empty() || lines[i][0] != '*'); ++i) {
        std::string l = lines[i].substr(0, lines[i].find(';'));
        std::size_t p = 0;
        for (;;) {
            p = l.find_first_not_of(" \t\r\v\f", p);
            if (p == std::string::npos)
                break;
            std::size_t q = l.find_first_of(" \t\r\v\f", p);
            std::string token = l.substr(p, q == std::string::npos ? std::string::npos : q - p);
            uint32_t v;
            if (!plain_ulong(token, v)) {
                r.rc = complete_trailer(lines, i + 1) ? ERR_PREMATURE_EOF : ERR_CORRUPT_DATA_FILE;
                return r;
            }
            raw.push_back(v);
            p = q == std::string::npos ? l.size() : q;
        }
    }
    if (i == lines.size()) {
        r.rc = ERR_CORRUPT_DATA_FILE;  // no "*" line: the trailer is missing
        return r;
    }
    auto offset = static_cast<int32_t>(line_value(lines, "Data Offset", i));
    float s = static_cast<float>(line_value(lines, "intf_scale_factor", i));
    float o = static_cast<float>(line_value(lines, "obliquity_factor", i));
    float w = static_cast<float>(line_value(lines, "wavelength_in", i));
    double res = line_value(lines, "phase_res", i) == 0 ? 4096.0 : 32768.0;
    float sow = s * o;
    sow = sow * w;
    char unit_text[64];
    std::snprintf(unit_text, sizeof unit_text, "%.10g", static_cast<double>(sow) / res);
    double f = zscale / std::strtod(unit_text, nullptr);
    for (uint32_t v : raw) {
        if (v == 0xFFFFFFFFu) {
            r.values.push_back(DAT_INVALID_PHASE);
            continue;
        }
        auto sum = static_cast<int32_t>(v + static_cast<uint32_t>(offset));
        double p = sum * f;
        double rounded = p >= 0 ? p + 0.5 : p - 0.5;
        if (!(rounded > no_fit_low && rounded < no_fit_high)) {
            r.rc = ERR_FP_OVERFLOW;
            return r;
        }
        r.values.push_back(static_cast<int32_t>(rounded));
    }
    r.rc = NO_ERROR;
    return r;
}

// ---- files --------------------------------------------------------------------------------------

void put_le(std::string& s, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

template <class T>
uint64_t bits_of(T v)
{
    uint64_t b = 0;
    std::memcpy(&b, &v, sizeof v);
    return b;
}

// A binary file: the 81-byte header, then the items as given (little-endian bytes).
std::string binary_file(int width, int height, uint8_t type, double zscale, double zres, const std::string& items)
{
    std::string s = "bBCR-1.0";
    s += std::string("TN1.2.3\0\0\0", 10);
    s += "020319951120";
    s += "020319951120";
    put_le(s, static_cast<uint64_t>(width), 2);
    put_le(s, static_cast<uint64_t>(height), 2);
    put_le(s, bits_of(1e-6), 8);
    put_le(s, bits_of(1e-6), 8);
    put_le(s, bits_of(zscale), 8);
    put_le(s, bits_of(zres), 8);
    s.push_back(0);
    s.push_back(static_cast<char>(type));
    s.push_back(0);
    return s + items;
}

constexpr int type_size[8] = {1, 2, 4, 4, 1, 2, 4, 8};

// The plain binary reading: each item decoded on its own, v x Zscale / u + 0.5 truncated.
read_out plain_binary(uint8_t type, double zscale, double zres, const std::string& items)
{
    read_out r;
    float so = 0.5f * 1.0f;
    float w = static_cast<float>(8192.0 * zres);
    double u = static_cast<double>(so) * static_cast<double>(w) / 4096.0;
    int size = type_size[type];
    for (std::size_t at = 0; at + size <= items.size(); at += size) {
        uint64_t b = 0;
        for (int k = 0; k < size; ++k)
            b |= uint64_t{static_cast<unsigned char>(items[at + k])} << (8 * k);
        double v = 0;
        bool invalid = false;
        switch (type) {
        case SDF_UCHAR: v = static_cast<double>(b); invalid = b == 255; break;
        case SDF_UINTEGER: v = static_cast<double>(b); invalid = b == 65535; break;
        case SDF_ULONGINT: v = static_cast<double>(b); invalid = b == 0xFFFFFFFFu; break;
        case SDF_CHAR: v = static_cast<int8_t>(b); invalid = v == 127; break;
        case SDF_INTEGER: v = static_cast<int16_t>(b); invalid = v == 32767; break;
        case SDF_LONGINT: v = static_cast<int32_t>(b); invalid = v == 2147483647; break;
        case SDF_FLOAT: {
            float x;
            auto b32 = static_cast<uint32_t>(b);
            std::memcpy(&x, &b32, 4);
            v = x;
            invalid = std::isnan(x) || x == 3.40282347e38f;
            break;
        }
        case SDF_DOUBLE:
            std::memcpy(&v, &b, 8);
            invalid = std::isnan(v) || v == 1.7976931348623157e308;
            break;
        }
        if (invalid) {
            r.values.push_back(DAT_INVALID_PHASE);
            continue;
        }
        double x = v * zscale / u + 0.5;
        if (!(x > no_fit_low && x < no_fit_high)) {
            r.rc = ERR_FP_OVERFLOW;
            r.values.clear();
            return r;
        }
        r.values.push_back(static_cast<int32_t>(x));
    }
    r.rc = NO_ERROR;
    return r;
}

void expect_same(const read_out& got, const read_out& want, const std::string& what)
{
    ASSERT_EQ(got.rc, want.rc) << what;
    if (want.rc != NO_ERROR)
        return;
    ASSERT_EQ(got.values.size(), want.values.size()) << what;
    for (std::size_t i = 0; i < want.values.size(); ++i)
        ASSERT_EQ(got.values[i], want.values[i]) << what << ", point " << i;
}

// Runs the reader over the file at every block size, on one thread and in rounds on several;
// each read must match `want` and give the same header as the read with the default block.
void expect_at_every_block(const vptest::TempDir& dir, const std::string& bytes, const read_out& want)
{
    vptest::write_file(dir / "in.sdf", bytes);
    std::string path = dir.str("in.sdf");
    read_out reference = read_with_block(path, 0);
    expect_same(reference, want, "default block");
    for (std::size_t b : block_sizes()) {
        // One thread; three with rounds of 3 x 64 bytes; at some sizes five with rounds of
        // 5 x 4 bytes, so that the last rounds before the end of a file have fewer parts than
        // threads.
        for (unsigned threads : {1u, 3u, 5u}) {
            if (threads == 5 && b % 16 != 0)
                continue;
            read_out got = read_with_block(path, b, threads, threads == 5 ? 1 : 16);
            std::string what = "block " + std::to_string(b) + ", " + std::to_string(threads) + " threads";
            expect_same(got, want, what);
            if (want.rc == NO_ERROR) {
                ASSERT_EQ(got.header, reference.header) << what;
            }
        }
    }
}

std::string ascii_head(int width, int height, const std::string& zscale)
{
    return "aBCR-1.0\nManufacID = TN1.2.3\nCreateDate = 020319951120\nModDate = 020319951120\n"
           "NumPoints = " + std::to_string(width) + "\nNumProfiles = " + std::to_string(height) +
           "\nXscale = 1e-06\nYscale = 1e-06\nZscale = " + zscale + "\nZresolution = " + zscale +
           "\nCompression = 0\nDataType = ULONGINT\nCheckType = 0\n*\n";
}

// Required keys with the unit 0.5 x 1 x 0.5 / 4096 = 2^-14.
std::string ascii_trailer(int32_t offset)
{
    return "*\nData Offset = " + std::to_string(offset) +
           "\nintf_scale_factor=         0.5\nwavelength_in=         0.5\nnum_aperture=        0.25\n"
           "obliquity_factor=           1\nlateral_res=       1e-06\ncamera_width=640\ncamera_height=480\n"
           "phase_res=0\n*\n";
}

// Numbers of every length from 1 to 24 characters with and without leading zeros and signs,
// and 4294967295, separated in all the ways the data section allows.
std::vector<std::string> assorted_tokens(std::mt19937& rng, std::size_t n)
{
    static const char* const separators[] = {" ", " ", " ", "  ", "\t", " \n", "\n", "\r\n", " ; note 12 x\n", "\n\n"};
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        std::string t;
        int kind = static_cast<int>(rng() % 10);
        if (kind == 0) {
            t = "4294967295";
        } else if (kind == 1) {
            t = std::string(rng() % 12, '0') + std::to_string(rng() % 100000);  // leading zeros
        } else {
            // Ten digits stay below 2^31 (the map's range); more clamp to 4294967295.
            int digits = 1 + static_cast<int>(rng() % 24);
            t.push_back(static_cast<char>(digits == 10 ? '1' : '1' + rng() % 9));
            for (int d = 1; d < digits; ++d)
                t.push_back(static_cast<char>('0' + rng() % 10));
        }
        if (rng() % 16 == 0)
            t.insert(0, 1, rng() % 2 ? '-' : '+');
        out.push_back(t + separators[rng() % 10]);
    }
    return out;
}

// ---- tests --------------------------------------------------------------------------------------

TEST(AsciiBlocks, AssortedNumbersAndSeparatorsAtEveryBlockBoundary)
{
    vptest::TempDir dir;
    std::mt19937 rng(2024);
    const int width = 37, height = 11;
    std::vector<std::string> tokens = assorted_tokens(rng, width * height);
    std::string data;
    for (const std::string& t : tokens)
        data += t;
    data += "\n";
    // f = 1 (Zscale equals the unit): every number converts. f = 3: the largest leave the
    // map's range, which both readings report.
    std::string bytes = ascii_head(width, height, "6.103515625e-05") + data + ascii_trailer(-7);
    read_out want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, NO_ERROR);
    expect_at_every_block(dir, bytes, want);
    bytes = ascii_head(width, height, "0.00018310546875") + data + ascii_trailer(-7);
    want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, ERR_FP_OVERFLOW);
    expect_at_every_block(dir, bytes, want);
}

TEST(AsciiBlocks, LargeFileInRoundsOnSeveralThreads)
{
    // Rounds of the default sizes and of smaller ones, with what sends a round's part back to
    // the one-by-one reading in places: a comment line, signs, a line of 40 000 blanks,
    // carriage returns. Every reading gives the plain reading's values.
    vptest::TempDir dir;
    std::mt19937 rng(99);
    const int width = 1000, height = 900;
    std::string data;
    for (int i = 0; i < width * height; ++i) {
        std::string t = std::to_string(rng() % 100000000);
        if (i % 50000 == 7)
            t.insert(0, 1, '+');
        data += t;
        if (i % 200000 == 100)
            data += " ; a note\n";
        else if (i == 450000)
            data += std::string(40000, ' ') + "\n";
        else
            data += (i + 1) % 10 == 0 ? (i % 3 == 0 ? "\r\n" : "\n") : " ";
    }
    const std::string bytes = ascii_head(width, height, "6.103515625e-05") + data + "\n" + ascii_trailer(3);
    const read_out want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, NO_ERROR);
    vptest::write_file(dir / "in.sdf", bytes);
    const std::string path = dir.str("in.sdf");
    for (unsigned threads : {1u, 2u, 3u}) {
        for (std::size_t least : {std::size_t{0}, std::size_t{100000}}) {
            for (std::size_t block : {std::size_t{0}, std::size_t{65536}}) {
                expect_same(read_with_block(path, block, threads, least), want,
                            std::to_string(threads) + " threads, least " + std::to_string(least) + ", block " +
                                std::to_string(block));
            }
        }
    }
}

TEST(AsciiBlocks, SmallNumbersWithinTheMapRange)
{
    // Nine digits at most, so every point converts: the comparison covers the values, not
    // only the outcome.
    vptest::TempDir dir;
    std::mt19937 rng(7);
    const int width = 23, height = 17;
    std::string data;
    for (int i = 0; i < width * height; ++i) {
        int digits = 1 + static_cast<int>(rng() % 9);
        std::string t = std::to_string(rng() % 9 + 1);
        for (int d = 1; d < digits; ++d)
            t.push_back(static_cast<char>('0' + rng() % 10));
        if (i % 29 == 0)
            t = "4294967295";
        data += t + ((i + 1) % 10 == 0 ? "\n" : i % 7 == 0 ? "\t" : " ");
    }
    data += "\n";
    std::string bytes = ascii_head(width, height, "0.0001220703125") + data + ascii_trailer(-1000);
    read_out want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, NO_ERROR);
    expect_at_every_block(dir, bytes, want);
}

TEST(AsciiBlocks, PlainTextWithDigitRunsOfEveryLength)
{
    // Only digits, blanks, tabs and line ends, as the reader takes them 64 characters at a
    // time: runs of 1 to 90 digits (leading zeros keep the values small) start and end at
    // every offset of those windows; separators of one to three characters.
    vptest::TempDir dir;
    std::mt19937 rng(64);
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "  ", " \n"};
    const int width = 47, height = 23;
    std::string data;
    for (int i = 0; i < width * height; ++i) {
        std::string value = std::to_string(rng() % 100000);
        auto digits = static_cast<std::size_t>(1 + (i * 7 + static_cast<int>(rng() % 5)) % 90);
        std::string run = digits > value.size() ? std::string(digits - value.size(), '0') + value
                                                : value.substr(value.size() - digits);
        data += run + separators[rng() % 6];
    }
    data += "\n";
    std::string bytes = ascii_head(width, height, "6.103515625e-05") + data + ascii_trailer(-3);
    read_out want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, NO_ERROR);
    // Blocks from one that just holds the longest run and its separator.
    vptest::write_file(dir / "plain.sdf", bytes);
    for (std::size_t b = 92; b <= 240; ++b)
        expect_same(read_with_block(dir.str("plain.sdf"), b), want, "block " + std::to_string(b));
    for (std::size_t b : {std::size_t{4096}, std::size_t{4097}, std::size_t{0}})
        expect_same(read_with_block(dir.str("plain.sdf"), b), want, "block " + std::to_string(b));
}

TEST(AsciiBlocks, SumsAtTheEdgesOfTheMapRange)
{
    // Zscale equal to the unit (f = 1, as in the platform's own files) and twice the unit:
    // sums up to 0x7FFFFFF7 are points, 0x7FFFFFF8 and above do not fit; "-2" wraps to -2.
    vptest::TempDir dir;
    struct edge {
        const char* numbers;
        int32_t offset;
    };
    for (const char* zscale : {"6.103515625e-05", "0.0001220703125"}) {
        for (edge c : {edge{"2147483639 0 4294967294 4294967295", 0}, edge{"2147483640 1 2 3", 0},
                       edge{"2147483630 1 2 3", 9}, edge{"2147483630 1 2 3", 10},
                       edge{"0 1 2 2147483647", -2147483647 - 1}, edge{"1073741823 5 6 7", 0},
                       edge{"1073741824 5 6 7", 0}}) {
            std::string bytes = ascii_head(4, 1, zscale) + c.numbers + "\n" + ascii_trailer(c.offset);
            SCOPED_TRACE(std::string(zscale) + ": " + c.numbers + " offset " + std::to_string(c.offset));
            expect_at_every_block(dir, bytes, plain_ascii(bytes));
        }
    }
    // The plain reading agrees on what fits.
    EXPECT_EQ(plain_ascii(ascii_head(4, 1, "6.103515625e-05") + "2147483639 0 0 0\n" + ascii_trailer(0)).rc, NO_ERROR);
    EXPECT_EQ(plain_ascii(ascii_head(4, 1, "6.103515625e-05") + "2147483640 0 0 0\n" + ascii_trailer(0)).rc,
              ERR_FP_OVERFLOW);
}

TEST(AsciiBlocks, ATokenThatIsNotANumberAtEveryBlockBoundary)
{
    vptest::TempDir dir;
    for (const char* bad : {"12345678x", "123456789012a", "1-2", "--5", "+", "-", "1.5", "99999999999999999999z"}) {
        std::string data;
        for (int i = 0; i < 40; ++i)
            data += std::to_string(1000000 + i * 7919) + (i == 25 ? std::string(" ") + bad : "") + " ";
        // The trailer follows the failing line without the data's "*" line: it is read from
        // the line after the failure and is complete, so the data's code is the result.
        std::string bytes = ascii_head(41, 1, "6.103515625e-05") + data + "\n" + ascii_trailer(0).substr(2);
        read_out want;
        want.rc = ERR_PREMATURE_EOF;
        ASSERT_EQ(plain_ascii(bytes).rc, ERR_PREMATURE_EOF) << bad;
        SCOPED_TRACE(bad);
        expect_at_every_block(dir, bytes, want);
        // With that line, the trailer meets it first: the fields are missing.
        bytes = ascii_head(41, 1, "6.103515625e-05") + data + "\n" + ascii_trailer(0);
        want.rc = ERR_CORRUPT_DATA_FILE;
        ASSERT_EQ(plain_ascii(bytes).rc, ERR_CORRUPT_DATA_FILE) << bad;
        expect_at_every_block(dir, bytes, want);
    }
}

TEST(AsciiBlocks, NarrowTypesCheckTheirRangeInPlainText)
{
    // Runs of up to eight digits in plain text take their value at once: each type's largest
    // value is its invalid point, one more lies outside it, wherever it stands in the windows.
    vptest::TempDir dir;
    struct narrow {
        const char* name;
        int32_t high;
    };
    for (narrow t : {narrow{"UCHAR", 255}, narrow{"CHAR", 127}, narrow{"UINTEGER", 65535}, narrow{"INTEGER", 32767},
                     narrow{"LONGINT", 2147483647}}) {
        const int n = 60;
        for (int at : {0, 9, 31, 59}) {
            for (int32_t extra : {0, 1}) {
                std::string data;
                read_out want;
                want.rc = extra == 0 || t.high == 2147483647 ? NO_ERROR : ERR_CORRUPT_DATA_FILE;
                for (int i = 0; i < n; ++i) {
                    int32_t v = i == at ? t.high + (t.high == 2147483647 ? 0 : extra) : (i * 37) % (t.high / 2);
                    data += std::to_string(v) + (i % 10 == 9 ? "\n" : " ");
                    want.values.push_back(v == t.high ? DAT_INVALID_PHASE : v);
                }
                std::string bytes = ascii_head(n, 1, "6.103515625e-05") + data + ascii_trailer(0);
                bytes.replace(bytes.find("ULONGINT"), 8, t.name);
                SCOPED_TRACE(std::string(t.name) + " at " + std::to_string(at) + " + " + std::to_string(extra));
                vptest::write_file(dir / "narrow.sdf", bytes);
                for (std::size_t b : {std::size_t{0}, std::size_t{29}, std::size_t{97}})
                    expect_same(read_with_block(dir.str("narrow.sdf"), b, 3, 16), want, "block " + std::to_string(b));
            }
        }
    }
}

TEST(AsciiBlocks, WriterFilesReadBackAtEveryBlockBoundary)
{
    // As the platform's SDF writer lays a file out: ten values a line, offset by the minimum.
    vptest::TempDir dir;
    std::mt19937 rng(99);
    const int width = 61, height = 9;
    std::vector<int32_t> values(width * height);
    for (std::size_t i = 0; i < values.size(); ++i) {
        int64_t span = int64_t{1} << (rng() % 31);
        values[i] = i % 13 == 0 ? DAT_INVALID_PHASE : static_cast<int32_t>(static_cast<int64_t>(rng() % span) - span / 2);
    }
    dat_header h;
    dat_header_create(&h);
    h.intf_scale_factor = 0.5f;
    h.obliquity_factor = 1.0f;
    h.wavelength_in = 6.328e-7f;
    h.num_aperture = 0.3f;
    h.lateral_res = 1e-6f;
    h.phase_res = 1;
    h.camera_width = 640;
    h.camera_height = 480;
    phase_map pm{};
    pm.width = width;
    pm.height = height;
    pm.count = static_cast<uint32_t>(values.size());
    pm.data = values.data();
    ASSERT_EQ(sdf_write_file(dir.str("w.sdf").c_str(), &h, nullptr, &pm), NO_ERROR);
    std::string bytes = vptest::read_file(dir / "w.sdf");
    read_out want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, NO_ERROR);
    ASSERT_EQ(want.values, values);  // the plain reading itself gives the dataset back
    expect_at_every_block(dir, bytes, want);
}

TEST(AsciiBlocks, AMapLargerThanTheDefaultBlock)
{
    // 512 x 512 points of six and seven digits: about 2 MB of text, two boundaries of the
    // default 1 MiB block and hundreds of 4 KiB ones.
    vptest::TempDir dir;
    const int size = 512;
    std::string data;
    uint32_t x = 12345;
    for (int i = 0; i < size * size; ++i) {
        x = x * 1103515245u + 12345u;
        data += std::to_string(100000 + (x >> 8) % 9000000) + ((i + 1) % 10 == 0 ? "\n" : " ");
    }
    data += "\n";
    std::string bytes = ascii_head(size, size, "6.103515625e-05") + data + ascii_trailer(-4000000);
    vptest::write_file(dir / "big.sdf", bytes);
    read_out want = plain_ascii(bytes);
    ASSERT_EQ(want.rc, NO_ERROR);
    for (std::size_t b : {std::size_t{0}, std::size_t{4096}, std::size_t{4099}})
        expect_same(read_with_block(dir.str("big.sdf"), b), want, "block " + std::to_string(b));
    // Split over threads: by default (a buffer of 4 MiB a thread), and in small buffers.
    for (unsigned threads : {2u, 3u, 8u}) {
        expect_same(read_with_block(dir.str("big.sdf"), 0, threads), want, std::to_string(threads) + " threads");
        expect_same(read_with_block(dir.str("big.sdf"), 4099, threads, 1000), want,
                    std::to_string(threads) + " threads, block 4099");
    }
}

// Items of every type with random bits, the type's invalid value and values near the edges.
std::string random_items(uint8_t type, std::mt19937_64& rng, std::size_t n)
{
    std::string items;
    int size = type_size[type];
    for (std::size_t i = 0; i < n; ++i) {
        uint64_t b = rng();
        if (type == SDF_FLOAT)
            b = bits_of(static_cast<float>(static_cast<int64_t>(b % 2000001) - 1000000) / 7.0f);
        if (type == SDF_DOUBLE)
            b = bits_of(static_cast<double>(static_cast<int64_t>(b % 2000001) - 1000000) / 7.0);
        if (i % 17 == 0) {
            static const uint64_t invalid[8] = {255, 65535, 0xFFFFFFFFu, 0, 127, 32767, 2147483647, 0};
            b = type == SDF_FLOAT    ? bits_of(3.40282347e38f)
                : type == SDF_DOUBLE ? bits_of(1.7976931348623157e308)
                                     : invalid[type];
        }
        put_le(items, b, size);
    }
    return items;
}

TEST(BinaryBlocks, EveryTypeWithItemsStraddlingBlockBoundaries)
{
    vptest::TempDir dir;
    std::mt19937_64 rng(5);
    const int width = 29, height = 13;
    for (uint8_t type = 0; type < 8; ++type) {
        // A scale that keeps 32-bit items inside the map's range.
        double zres = 0x1p-20;
        double zscale = type_size[type] == 4 && type != SDF_FLOAT ? 0x1p-22 : 0x1p-20 * 1.37;
        std::string items = random_items(type, rng, width * height);
        std::string bytes = binary_file(width, height, type, zscale, zres, items);
        read_out want = plain_binary(type, zscale, zres, items);
        ASSERT_EQ(want.rc, NO_ERROR) << int{type};
        SCOPED_TRACE("type " + std::to_string(type));
        expect_at_every_block(dir, bytes, want);
    }
}

TEST(BinaryBlocks, EveryItemOfTheOneAndTwoByteTypes)
{
    // 256 or 65536 points hold every item once (in a scrambled order): the reader takes them
    // from its table of results. One point fewer and it converts them one by one.
    vptest::TempDir dir;
    std::mt19937 rng(11);
    for (uint8_t type : {SDF_UCHAR, SDF_CHAR, SDF_UINTEGER, SDF_INTEGER}) {
        int bits = 8 * type_size[type];
        std::vector<uint32_t> order(std::size_t{1} << bits);
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<uint32_t>(i);
        std::shuffle(order.begin(), order.end(), rng);
        int side = bits == 8 ? 16 : 256;
        for (int width : {side, side - 1}) {
            int height = width == side ? side : side;
            std::size_t n = static_cast<std::size_t>(width) * height;
            std::string items;
            for (std::size_t i = 0; i < n; ++i)
                put_le(items, order[i], type_size[type]);
            for (double zscale : {0x1p-20 * 3.3, -0x1p-20 / 7.0, 0.37e-9}) {
                std::string bytes = binary_file(width, height, type, zscale, 0x1p-20, items);
                read_out want = plain_binary(type, zscale, 0x1p-20, items);
                ASSERT_EQ(want.rc, NO_ERROR);
                vptest::write_file(dir / "all.sdf", bytes);
                expect_same(read_with_block(dir.str("all.sdf"), 0), want,
                            "type " + std::to_string(type) + " width " + std::to_string(width));
                expect_same(read_with_block(dir.str("all.sdf"), 101), want, "block 101");
                expect_same(read_with_block(dir.str("all.sdf"), 0, 3, 16), want, "three threads");
            }
        }
    }
}

TEST(BinaryBlocks, OverflowIsReportedByTheTableAndByEachItem)
{
    // Zscale large enough that the largest items leave the map's range.
    vptest::TempDir dir;
    for (uint8_t type : {SDF_UINTEGER, SDF_INTEGER, SDF_LONGINT, SDF_DOUBLE}) {
        for (int side : {256, 16}) {
            std::string items;
            for (int i = 0; i < side * side; ++i)
                put_le(items, i == side * side - 3 ? 30000 : 5, type_size[type]);
            if (type == SDF_DOUBLE) {
                items.clear();
                for (int i = 0; i < side * side; ++i)
                    put_le(items, bits_of(i == side * side - 3 ? 30000.0 : 5.0), 8);
            }
            std::string bytes = binary_file(side, side, type, 0x1p-20 * 100000.0, 0x1p-20, items);
            ASSERT_EQ(plain_binary(type, 0x1p-20 * 100000.0, 0x1p-20, items).rc, ERR_FP_OVERFLOW);
            vptest::write_file(dir / "over.sdf", bytes);
            EXPECT_EQ(read_with_block(dir.str("over.sdf"), 0).rc, ERR_FP_OVERFLOW) << int{type} << " " << side;
            EXPECT_EQ(read_with_block(dir.str("over.sdf"), 17).rc, ERR_FP_OVERFLOW) << int{type} << " " << side;
            // Each buffer converted by three threads: the point lies in the last one's stretch.
            EXPECT_EQ(read_with_block(dir.str("over.sdf"), 0, 3, 16).rc, ERR_FP_OVERFLOW) << int{type} << " " << side;
        }
    }
}

TEST(BothForms, OneDatasetWrittenInBothFormsConvertsToTheSamePhaseBlock)
{
    // Non-negative counts (the binary form truncates, the ASCII form rounds: they agree on
    // integers >= 0) with invalid points, in a unit that both forms give exactly (2^-20).
    vptest::TempDir dir;
    const int width = 300, height = 230;
    std::vector<int32_t> values(width * height);
    std::mt19937 rng(3);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = i % 97 == 5 ? DAT_INVALID_PHASE : static_cast<int32_t>(rng() % 2000000000u);

    dat_header h;
    dat_header_create(&h);
    h.intf_scale_factor = 0.5f;
    h.obliquity_factor = 1.0f;
    h.wavelength_in = 0x1p-7f;  // 0.5 x 2^-7 / 4096 = 2^-20
    h.num_aperture = 0.3f;
    h.lateral_res = 1e-6f;
    h.camera_width = 640;
    h.camera_height = 480;
    phase_map pm{};
    pm.width = width;
    pm.height = height;
    pm.count = static_cast<uint32_t>(values.size());
    pm.data = values.data();
    ASSERT_EQ(sdf_write_file(dir.str("a.sdf").c_str(), &h, nullptr, &pm), NO_ERROR);

    std::string items;
    for (int32_t v : values)
        put_le(items, static_cast<uint32_t>(v == DAT_INVALID_PHASE ? 2147483647 : v), 4);
    vptest::write_file(dir / "b.sdf", binary_file(width, height, SDF_LONGINT, 0x1p-20, 0x1p-20, items));

    for (const char* name : {"a", "b"}) {
        dat_header rh{};
        intensity_map im{};
        phase_map rp{};
        std::string in = dir.str(std::string(name) + ".sdf");
        ASSERT_EQ(sdf_read_file(in.c_str(), &rh, &im, &rp), NO_ERROR) << name;
        EXPECT_EQ(std::vector<int32_t>(rp.data, rp.data + rp.count), values) << name;
        std::string out = dir.str(std::string(name) + ".dat");
        ASSERT_EQ(dat_write_file(out.c_str(), &rh, &im, &rp), NO_ERROR) << name;
        u_free(rp.data);
    }
    std::string a = vptest::read_file(dir / "a.dat");
    std::string b = vptest::read_file(dir / "b.dat");
    ASSERT_EQ(a.size(), 834 + values.size() * 4);
    ASSERT_EQ(b.size(), a.size());
    EXPECT_EQ(a.substr(834), b.substr(834));
    for (std::size_t i = 0; i < values.size(); i += 1111) {
        auto v = static_cast<uint32_t>(values[i]);
        std::string be = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                          static_cast<char>(v)};
        EXPECT_EQ(a.substr(834 + 4 * i, 4), be) << i;
    }
}

}  // namespace
