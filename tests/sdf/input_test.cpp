// The block-buffered input of the SDF readers, with blocks small enough that lines, line ends
// and reads cross block boundaries everywhere.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vell/sdf/input.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/trailer.h"
#include "tests/support/test_support.h"

namespace {

struct line_t {
    std::string text;
    bool ended;
    bool operator==(const line_t&) const = default;
};

// The lines of a file read as a stream, or (positioned) by reads at their place in the file.
std::vector<line_t> all_lines(const std::string& content, std::size_t block, bool positioned = false)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "f", content);
    std::FILE* f = std::fopen(dir.str("f").c_str(), "rb");
    EXPECT_NE(f, nullptr);
    sdf::input in(f, true, block, positioned);
    std::vector<line_t> lines;
    std::string_view text;
    bool ended;
    while (in.line(text, ended))
        lines.push_back({std::string(text), ended});
    EXPECT_EQ(in.position(), content.size());
    EXPECT_FALSE(in.failed());
    return lines;
}

TEST(SdfInput, LinesAtEveryBlockSize)
{
    const std::string content = "first\r\nsecond\n\n" + std::string(100, 'L') + "\r\n\rcr inside\r\nlast\r";
    const std::vector<line_t> expect = {
        {"first", true}, {"second", true}, {"", true}, {std::string(100, 'L'), true},
        {"\rcr inside", true}, {"last\r", false},
    };
    for (bool positioned : {false, true}) {
        for (std::size_t block : {16, 17, 18, 19, 20, 31, 64, 101, 102, 103, 4096})
            EXPECT_EQ(all_lines(content, block, positioned), expect) << "block " << block << ", " << positioned;
    }
}

TEST(SdfInput, CarriageReturnsAtTheEndOfAFullBlock)
{
    // A long line made of carriage returns, then the CR LF of its end on a block boundary.
    for (std::size_t block : {16, 17, 32}) {
        std::string content = std::string(block - 1, 'x') + "\r\n" + std::string(3 * block, '\r') + "\n" +
                              std::string(block, '\r');
        auto lines = all_lines(content, block);
        ASSERT_EQ(lines.size(), 3u) << block;
        EXPECT_EQ(lines[0], (line_t{std::string(block - 1, 'x'), true}));
        EXPECT_EQ(lines[1], (line_t{std::string(3 * block - 1, '\r'), true}));
        EXPECT_EQ(lines[2], (line_t{std::string(block, '\r'), false}));
    }
}

TEST(SdfInput, EmptyStreamAndLastLineWithoutLineFeed)
{
    EXPECT_TRUE(all_lines("", 16).empty());
    EXPECT_EQ(all_lines("\n", 16), (std::vector<line_t>{{"", true}}));
    EXPECT_EQ(all_lines("abc", 16), (std::vector<line_t>{{"abc", false}}));
}

TEST(SdfInput, ReadsAndFillsAcrossBlocks)
{
    std::string content;
    for (int i = 0; i < 1000; ++i)
        content.push_back(static_cast<char>(i * 7));
    vptest::TempDir dir;
    vptest::write_file(dir / "f", content);
    std::FILE* f = std::fopen(dir.str("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    sdf::input in(f, true, 64);
    char buf[100];
    ASSERT_EQ(in.read(buf, 81), 81u);
    EXPECT_EQ(std::string(buf, 81), content.substr(0, 81));
    ASSERT_TRUE(in.fill(8));
    EXPECT_GE(in.available(), 8u);
    EXPECT_EQ(std::string(in.begin(), 8), content.substr(81, 8));
    in.consume(8);
    EXPECT_EQ(in.position(), 89u);
    std::string rest;
    std::size_t n;
    while ((n = in.read(buf, sizeof buf)) > 0)
        rest.append(buf, n);
    EXPECT_EQ(rest, content.substr(89));
    EXPECT_FALSE(in.fill(1));
}

TEST(SdfInput, PositionedInputGoesOnWhereItIsSent)
{
    std::string content;
    for (int i = 0; i < 40; ++i)
        content += "line " + std::to_string(i) + "\n";
    vptest::TempDir dir;
    vptest::write_file(dir / "f", content);
    std::FILE* f = std::fopen(dir.str("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    sdf::input in(f, true, 32, true);
    std::string_view text;
    bool ended;
    ASSERT_TRUE(in.line(text, ended));
    EXPECT_EQ(text, "line 0");
    // Back, forward and to the end: the buffered bytes are dropped, the reading goes on there.
    for (std::size_t at : {content.find("line 7"), std::size_t{0}, content.find("line 39"), content.size()}) {
        in.seek(at);
        EXPECT_EQ(in.position(), at);
        std::string rest;
        while (in.line(text, ended))
            rest += std::string(text) + "\n";
        EXPECT_EQ(rest, content.substr(at)) << at;
        EXPECT_FALSE(in.failed());
    }
}

TEST(SdfInput, TrailerReadFromSmallBlocks)
{
    std::string text = "Data Offset = -9\r\n"
                       "intf_scale_factor=0.5\nobliquity_factor=1\nwavelength_in=0.5\nnum_aperture=0.25\n"
                       "lateral_res=1e-06\ncamera_width=640\ncamera_height=480\nphase_res=0\n"
                       "comment=\"" + std::string(200, 'c') + "\"\n*\nafter\n";
    vptest::TempDir dir;
    vptest::write_file(dir / "f", text);
    std::FILE* f = std::fopen(dir.str("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    sdf::input in(f, true, 16);
    dat_header h{};
    int32_t offset = 0;
    EXPECT_EQ(sdf::read_trailer(in, &h, &offset), 0);
    EXPECT_EQ(offset, -9);
    EXPECT_EQ(h.camera_width, 640);
    EXPECT_EQ(std::string(h.comment, 82), std::string(82, 'c'));
    std::string_view line;
    bool ended;
    ASSERT_TRUE(in.line(line, ended));
    EXPECT_EQ(line, "after");
}

TEST(SdfTrailerKeys, EveryKeyHasItsFieldAndEveryWrittenKeyIsRead)
{
    for (const auto& k : sdf::trailer_keys()) {
        if (k.key == "Data Offset") {
            EXPECT_EQ(k.field, nullptr);
            continue;
        }
        ASSERT_NE(k.field, nullptr) << k.key;
        EXPECT_EQ(std::string_view(k.field->key), k.key);
    }
    // Every written key is read back, except sys_serial.
    dat_header h{};
    std::string text;
    sdf::trailer_lines(h, text, "\n");
    std::size_t lines = 0;
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1, ++lines) {
        std::string_view w = std::string_view(text).substr(at, text.find('=', at) - at);
        bool found = false;
        for (const auto& k : sdf::trailer_keys())
            found = found || k.key == w;
        EXPECT_EQ(found, w != "sys_serial") << w;
    }
    EXPECT_EQ(lines, 95u);
}

}  // namespace
