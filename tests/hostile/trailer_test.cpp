// Trailers that lack a required key, or give a required floating key no number.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "vell/sdf/trailer.h"
#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

std::string file_with(const std::string& trailer_text) { return ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer_text; }

TEST(Trailer, EachRequiredKeyMissingInTurn)
{
    for (int skip = 0; skip < 8; ++skip) {
        outcome o = read_sdf(file_with(trailer(0, "", skip)));
        EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE) << required_lines[skip];
        EXPECT_EQ(o.out, "Missing required fields.\n") << required_lines[skip];
        EXPECT_FALSE(o.had_data);
    }
}

TEST(Trailer, EachRequiredKeyMissingButAnotherTwiceCountsEight)
{
    for (int skip = 0; skip < 8; ++skip) {
        std::string twice = std::string(required_lines[(skip + 1) % 8]) + "\n";
        outcome o = read_sdf(file_with(trailer(0, twice, skip)));
        // The field of the missing key keeps the reader's default, which gives the same unit.
        EXPECT_EQ(o.rc, NO_ERROR) << required_lines[skip];
        EXPECT_TRUE(sane(o));
        EXPECT_EQ(o.values, (std::vector<int32_t>{1, 2, 3, 4, 5, 6})) << required_lines[skip];
    }
}

TEST(Trailer, EveryRequiredFloatingKeyAsQNaNIsMissing)
{
    for (const char* key : {"intf_scale_factor", "wavelength_in", "num_aperture", "obliquity_factor", "lateral_res"}) {
        for (const char* nan : {"1.#QNAN", "#NAN", "-1.#QNAN0"}) {
            std::string t = trailer();
            std::size_t at = t.find(std::string(key) + "=");
            std::size_t end = t.find('\n', at);
            t.replace(at, end - at, std::string(key) + "=" + nan);
            outcome o = read_sdf(file_with(t));
            EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE) << key << " " << nan;
            EXPECT_EQ(o.out, "Missing required fields.\n");
        }
    }
}

// Every floating key of the trailer with a NaN or an infinity: the field keeps that value, or,
// for the fields of the phase unit, the unit is not a number and the read fails.
TEST(Trailer, NaNAndInfinitiesInEveryFloatingKey)
{
    const std::string unit_keys[] = {"intf_scale_factor", "wavelength_in", "obliquity_factor"};
    int tried = 0;
    for (const sdf::trailer_key& k : sdf::trailer_keys()) {
        if (k.field == nullptr || k.field->type != dat_type::f32)
            continue;
        std::string key(k.key);
        bool unit = std::find(std::begin(unit_keys), std::end(unit_keys), key) != std::end(unit_keys);
        for (const char* value : {"#QNAN", "nan", "inf", "-inf", "1e39", "-1e39", "1e999"}) {
            ++tried;
            std::string line = key + "=" + value;
            std::string t = trailer();
            std::size_t at = t.find(key + "=");
            if (at != std::string::npos && k.required)
                t.replace(at, t.find('\n', at) - at, line);  // in place of the required line
            else
                t = trailer(0, line + "\n");
            outcome o = read_sdf(file_with(t));
            ASSERT_TRUE(sane(o)) << line;
            bool qnan = value[0] == '#';
            if (qnan && k.required) {
                EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE) << line;
            } else if (unit) {
                EXPECT_EQ(o.rc, ERR_FP_OVERFLOW) << line;  // the phase unit is not finite
            } else {
                ASSERT_EQ(o.rc, NO_ERROR) << line;
                float f = dat_field_get_float(&o.header, *k.field);
                if (qnan || value[1] == 'a')
                    EXPECT_TRUE(std::isnan(f)) << line;
                else
                    EXPECT_TRUE(std::isinf(f) && (value[0] == '-') == (f < 0)) << line << " gave " << f;
                EXPECT_TRUE(converts(o)) << line;
            }
        }
    }
    EXPECT_EQ(tried, 39 * 7);  // all the floating keys of the trailer
}

TEST(Trailer, EndsWithoutItsStarLine)
{
    std::string t = trailer();
    t.resize(t.size() - 2);  // the last required line ends with its line feed, no "*"
    EXPECT_EQ(read_sdf(file_with(t)).rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(read_sdf(file_with("")).rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(read_sdf(file_with("*\n")).rc, ERR_CORRUPT_DATA_FILE);
}

}  // namespace
