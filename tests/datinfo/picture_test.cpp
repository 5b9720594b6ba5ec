// Height statistics against a direct computation, the picture of a phase map (scale, grey,
// reduction of large maps) and the PNG encoder read back by the tests' own decoder (which
// checks the CRC-32 and Adler-32 bit by bit).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "vell/datafile/phase_picture.h"
#include "vell/datafile/phase_stats.h"
#include "vell/datafile/png.h"
#include "tests/datinfo/png_decode.h"

namespace {

struct owned_map {
    std::vector<int32_t> values;
    phase_map map{};
    owned_map(int16_t w, int16_t h, std::vector<int32_t> v) : values(std::move(v))
    {
        map.width = w;
        map.height = h;
        map.count = static_cast<uint32_t>(values.size());
        map.data = values.data();
    }
};

TEST(PhaseStats, AgreeWithADirectComputation)
{
    std::mt19937 rng(35);
    for (int round = 0; round < 200; ++round) {
        int16_t w = static_cast<int16_t>(1 + rng() % 40), h = static_cast<int16_t>(1 + rng() % 40);
        std::vector<int32_t> v(std::size_t(w) * h);
        int invalid_share = round % 5 == 4 ? 100 : static_cast<int>(rng() % 50);
        for (int32_t& x : v) {
            if (static_cast<int>(rng() % 100) < invalid_share)
                x = round % 2 ? DAT_INVALID_PHASE : static_cast<int32_t>(0x7FFFFFF8 + rng() % 8);
            else
                x = round % 3 == 0 ? static_cast<int32_t>(rng()) : static_cast<int32_t>(rng() % 20001) - 10000;
        }
        owned_map m(w, h, v);
        dat_phase_stats s = dat_phase_statistics(m.map);

        long double sum = 0, sq = 0;
        std::vector<int32_t> good;
        for (int32_t x : v)
            if (x < 0x7FFFFFF8)
                good.push_back(x), sum += x;
        ASSERT_EQ(s.points, v.size());
        ASSERT_EQ(s.valid, good.size());
        if (good.empty()) {
            EXPECT_EQ(s.min, 0);
            EXPECT_EQ(s.rms, 0.0);
            continue;
        }
        long double mean = sum / good.size();
        for (int32_t x : good)
            sq += (x - mean) * (x - mean);
        EXPECT_EQ(s.min, *std::min_element(good.begin(), good.end()));
        EXPECT_EQ(s.max, *std::max_element(good.begin(), good.end()));
        EXPECT_NEAR(s.mean, double(mean), 1e-9 * (1 + std::fabs(double(mean))));
        double rms = double(std::sqrt(sq / good.size()));
        EXPECT_NEAR(s.rms, rms, 1e-9 * (1 + rms));
    }
}

std::vector<int> colour(double t)
{
    uint8_t c[3];
    dat_scale_colour(t, c);
    return {c[0], c[1], c[2]};
}

std::vector<int> pixel(const dat_picture& p, uint32_t x, uint32_t y)
{
    std::size_t i = (std::size_t{y} * p.width + x) * 3;
    return {p.rgb[i], p.rgb[i + 1], p.rgb[i + 2]};
}

const std::vector<int> grey = {128, 128, 128};
const std::vector<int> lowest = {0x44, 0x01, 0x54};
const std::vector<int> highest = {0xFD, 0xE7, 0x25};

TEST(PhasePicture, OnePixelPerPointBetweenMinimumAndMaximum)
{
    const int32_t bad = DAT_INVALID_PHASE;
    owned_map m(3, 2, {-50, 0, bad, 50, 0x7FFFFFFF, 25});
    dat_picture p = dat_phase_picture(m.map, dat_phase_statistics(m.map));
    ASSERT_EQ(p.width, 3u);
    ASSERT_EQ(p.height, 2u);
    EXPECT_EQ(p.factor, 1u);
    EXPECT_EQ(pixel(p, 0, 0), lowest);
    EXPECT_EQ(pixel(p, 0, 0), colour(-3));  // the scale's ends hold outside it
    EXPECT_EQ(pixel(p, 1, 0), colour(0.5));
    EXPECT_EQ(pixel(p, 2, 0), grey);
    EXPECT_EQ(pixel(p, 0, 1), highest);
    EXPECT_EQ(pixel(p, 0, 1), colour(7));
    EXPECT_EQ(pixel(p, 1, 1), grey);
    EXPECT_EQ(pixel(p, 2, 1), colour(0.75));

    owned_map flat(2, 1, {7, 7});
    p = dat_phase_picture(flat.map, dat_phase_statistics(flat.map));
    EXPECT_EQ(pixel(p, 0, 0), colour(0.5));
    EXPECT_TRUE(dat_phase_picture(phase_map{}, dat_phase_stats{}).rgb.empty());
}

TEST(PhasePicture, LargeMapsAreReducedByAveraging)
{
    struct row {
        int16_t w, h;
        uint32_t factor, pw, ph;
    };
    for (const row& t : {row{1024, 3, 1, 1024, 3}, row{1025, 3, 2, 513, 2}, row{5, 2100, 3, 2, 700},
                         row{3000, 3000, 3, 1000, 1000}}) {
        std::vector<int32_t> v(std::size_t(t.w) * t.h);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<int32_t>(i % t.w);  // height = column
        owned_map m(t.w, t.h, v);
        dat_picture p = dat_phase_picture(m.map, dat_phase_statistics(m.map));
        EXPECT_EQ(p.factor, t.factor) << t.w << "x" << t.h;
        EXPECT_EQ(p.width, t.pw) << t.w << "x" << t.h;
        EXPECT_EQ(p.height, t.ph) << t.w << "x" << t.h;
        EXPECT_EQ(p.rgb.size(), std::size_t{p.width} * p.height * 3);
    }

    // Squares of 2 x 2 points: their mean, invalid points left out, an all-invalid square grey.
    const int32_t bad = DAT_INVALID_PHASE;
    std::vector<int32_t> v(std::size_t(1026) * 2, 0);
    auto at = [&](int x, int y) -> int32_t& { return v[std::size_t(y) * 1026 + x]; };
    at(0, 0) = 0, at(1, 0) = 100, at(0, 1) = 50, at(1, 1) = bad;  // mean 50
    at(2, 0) = at(3, 0) = at(2, 1) = at(3, 1) = bad;
    at(1024, 0) = 200, at(1025, 0) = 0, at(1024, 1) = 200, at(1025, 1) = 0;  // mean 100
    owned_map m(1026, 2, v);
    dat_picture p = dat_phase_picture(m.map, dat_phase_statistics(m.map));
    ASSERT_EQ(p.factor, 2u);
    ASSERT_EQ(p.width, 513u);
    EXPECT_EQ(pixel(p, 0, 0), colour(0.25));
    EXPECT_EQ(pixel(p, 1, 0), grey);
    EXPECT_EQ(pixel(p, 2, 0), colour(0));
    EXPECT_EQ(pixel(p, 512, 0), colour(0.5));
}

TEST(Png, PicturesDecodeToTheirPixels)
{
    std::mt19937 rng(7);
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{1, 1}, {24, 16}, {200, 120}, {1024, 100}}) {
        std::vector<uint8_t> rgb(std::size_t{w} * h * 3);
        for (uint8_t& c : rgb)
            c = static_cast<uint8_t>(rng());
        std::vector<uint8_t> png = png_encode_rgb(w, h, rgb);
        pngtest::image img = pngtest::decode(std::string(png.begin(), png.end()));
        ASSERT_EQ(img.error, "") << w << "x" << h;
        EXPECT_EQ(img.width, w);
        EXPECT_EQ(img.height, h);
        EXPECT_EQ(img.rgb, rgb) << w << "x" << h;
    }
    EXPECT_TRUE(png_encode_rgb(0, 5, {}).empty());
    EXPECT_TRUE(png_encode_rgb(2, 2, std::vector<uint8_t>(11)).empty());
}

}  // namespace
