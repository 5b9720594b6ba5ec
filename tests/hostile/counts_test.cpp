// Counts that the file cannot back: negative, huge, or far more points than the file holds.
// The reader fails fast, without asking for the claimed map.
#include <gtest/gtest.h>

#include <string>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

std::string with_counts(const std::string& points, const std::string& profiles, const std::string& values = "1 2 3\n4 5 6\n")
{
    ascii_head h;
    h.points = points;
    h.profiles = profiles;
    return h.text() + values + "*\n" + trailer();
}

TEST(Counts, NegativeAndHugeAsciiCounts)
{
    for (const char* bad : {"-1", "-3", "4294967295", "99999999999999999999", "32768", "65536", "2147483648"}) {
        EXPECT_EQ(read_sdf(with_counts(bad, "2")).rc, ERR_DATASET_DIM_TOO_LARGE) << bad;
        EXPECT_EQ(read_sdf(with_counts("3", bad)).rc, ERR_DATASET_DIM_TOO_LARGE) << bad;
    }
    // -4294967293 wraps to 3, as the C library's unsigned conversion does.
    outcome o = read_sdf(with_counts("-4294967293", "2"));
    EXPECT_EQ(o.rc, NO_ERROR);
    EXPECT_TRUE(sane(o));
}

TEST(Counts, ZeroOrMissingCounts)
{
    EXPECT_EQ(read_sdf(with_counts("0", "2")).rc, ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(read_sdf(with_counts("3", "0")).rc, ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(read_sdf(with_counts("x", "2")).rc, ERR_PARAM_OUT_OF_RANGE);
}

TEST(Counts, FewerOrMoreNumbersThanPoints)
{
    EXPECT_EQ(read_sdf(with_counts("3", "2", "1 2 3\n4 5\n")).rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(read_sdf(with_counts("3", "2", "1 2 3\n4 5 6 7\n")).rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(read_sdf(with_counts("3", "2", "\n*\n")).rc, ERR_CORRUPT_DATA_FILE);  // no number at all
    // Too few numbers and no trailer after the "*": the missing fields are reported.
    ascii_head h;
    outcome o = read_sdf(h.text() + "1 2\n*");
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(o.out, "Missing required fields.\n");
}

TEST(Counts, AsciiHeaderClaimingTheLargestGridTakesNoMapOfThatSize)
{
    alloc_watch watch;
    std::string file = with_counts("32767", "32767");
    outcome o = read_sdf(file);
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);  // too few numbers
    // No more points than the file could hold: a digit and a separator each.
    EXPECT_LE(watch.largest_hooked(), 4 * (file.size() / 2 + 1));
    EXPECT_LT(watch.largest_new(), std::size_t{1} << 16);
}

TEST(Counts, BinaryHeaderClaimingTheLargestGridFailsFastWithoutTheMap)
{
    for (int t = 0; t < 8; ++t) {
        binary_head h;
        h.type = static_cast<uint8_t>(t);
        h.points = 32767;
        h.profiles = 32767;
        alloc_watch watch;
        outcome o = read_sdf(h.bytes() + std::string(4096, '\x01'));
        EXPECT_EQ(o.rc, ERR_PREMATURE_EOF) << type_names[t];
        EXPECT_EQ(watch.largest_hooked(), 0u) << type_names[t];
        EXPECT_LT(watch.largest_new(), std::size_t{1} << 16) << type_names[t];
    }
    binary_head h;
    h.points = 65535;
    EXPECT_EQ(read_sdf(h.bytes() + binary_values(SDF_INTEGER)).rc, ERR_DATASET_DIM_TOO_LARGE);
    h.points = 0;
    EXPECT_EQ(read_sdf(h.bytes()).rc, ERR_PARAM_OUT_OF_RANGE);
}

TEST(Counts, BinaryFileOneValueShortFailsBeforeTheMap)
{
    binary_head h;
    h.points = 100;
    h.profiles = 100;
    alloc_watch watch;
    outcome o = read_sdf(h.bytes() + binary_values(SDF_INTEGER, 9999));
    EXPECT_EQ(o.rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(watch.largest_hooked(), 0u);
}

TEST(Counts, TheMapNeverExceedsFourBytesPerFileByte)
{
    // Just enough text for the fast check to pass: the map is asked for, and it is at most
    // twice the file (four bytes for the two bytes each point needs at least).
    std::string values;
    for (int i = 0; i < 999999; ++i)
        values += "1 ";
    std::string file = with_counts("1000", "1000", values + "\n");
    alloc_watch watch;
    outcome o = read_sdf(file);
    EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE);  // one point short
    EXPECT_TRUE(sane(o));
    EXPECT_LE(watch.largest_hooked(), 4 * file.size());
}

TEST(Counts, TrailerGeometryThatDisagreesWithTheData)
{
    for (const char* line : {"cn_width=-3", "cn_width=4", "cn_height=32767", "cn_n_bytes=-24", "cn_n_bytes=2147483647",
                             "cn_n_bytes=25", "cn_n_bytes=0"}) {
        outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, std::string(line) + "\n"));
        EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE) << line;
        EXPECT_TRUE(sane(o)) << line;
    }
    // Restated as it is, the geometry is accepted; the origin moves with the trailer.
    outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" +
                         trailer(0, "cn_width=3\ncn_height=2\ncn_n_bytes=24\ncn_org_x=-32768\ncn_org_y=9\n"));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.phase.org_x, -32768);
    EXPECT_EQ(o.phase.org_y, 9);
    EXPECT_TRUE(converts(o));
}

TEST(Counts, DataOffsetsAtTheEndsOfTheRange)
{
    for (const char* off : {"2147483647", "-2147483648", "99999999999", "-99999999999"}) {
        std::string t = trailer();
        t.replace(t.find("= 0"), 3, std::string("= ") + off);
        outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + t);
        EXPECT_TRUE(sane(o)) << off;
        if (o.rc == NO_ERROR) {
            EXPECT_TRUE(converts(o)) << off;
        } else {
            EXPECT_EQ(o.rc, ERR_FP_OVERFLOW) << off;
        }
    }
}

TEST(Counts, MagicNumberAndSizesFromTheTrailer)
{
    for (const char* line : {"magic_number=0", "magic_number=4294967295", "header_size=-1", "header_format=-7",
                             "magic_number=2283471729"}) {
        outcome o = read_sdf(ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer(0, std::string(line) + "\n"));
        ASSERT_EQ(o.rc, NO_ERROR) << line;
        EXPECT_TRUE(converts(o)) << line;
    }
}

}  // namespace

namespace {

using namespace hostile;

// 0x7FFFFFF7 is the largest valid phase value; from 0x7FFFFFF8 on a point would read as
// invalid, so such a height is an overflow -- whether it comes from the value or the offset.
TEST(Counts, LargestValidPhaseValue)
{
    auto read_with = [](const std::string& value, int32_t offset) {
        ascii_head h;
        h.points = "1";
        h.profiles = "1";
        return read_sdf(h.text() + value + "\n*\n" + trailer(offset));
    };
    outcome o = read_with("2147483639", 0);
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.values, std::vector<int32_t>{DAT_PHASE_MAX_VALID});
    o = read_with("2147483638", 1);
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.values, std::vector<int32_t>{DAT_PHASE_MAX_VALID});
    EXPECT_EQ(read_with("2147483640", 0).rc, ERR_FP_OVERFLOW);
    EXPECT_EQ(read_with("2147483638", 2).rc, ERR_FP_OVERFLOW);
    // The most negative value is valid.
    o = read_with("2147483648", 0);
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.values, std::vector<int32_t>{INT32_MIN});
}

}  // namespace
