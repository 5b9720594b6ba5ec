// Every prefix of a valid file: a file cut anywhere is refused with a clear code, never read
// as a shorter success -- except where the cut only drops the end of a trailer that is
// already complete, and then the result is the whole file's.
#include <gtest/gtest.h>

#include <string>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

bool same_result(const outcome& a, const outcome& b)
{
    return a.values == b.values && std::memcmp(&a.header, &b.header, sizeof a.header) == 0;
}

TEST(Prefixes, AsciiFileOfEveryTypeCutAnywhere)
{
    for (int t = 0; t < 8; ++t) {
        std::string file = ascii_file(t);
        outcome whole = read_sdf(file);
        ASSERT_EQ(whole.rc, NO_ERROR) << type_names[t];
        ASSERT_TRUE(sane(whole));
        // Before the key of the last required line is whole, the trailer cannot be complete.
        std::size_t last_key = file.rfind("phase_res") + std::string("phase_res").size();
        for (std::size_t n = 0; n < file.size(); ++n) {
            outcome o = read_sdf(file.substr(0, n));
            ASSERT_TRUE(sane(o)) << type_names[t] << " cut at " << n;
            if (n < last_key) {
                ASSERT_NE(o.rc, NO_ERROR) << type_names[t] << " cut at " << n;
            }
            if (o.rc == NO_ERROR) {
                ASSERT_TRUE(same_result(o, whole)) << type_names[t] << " cut at " << n;
            }
        }
    }
}

TEST(Prefixes, AsciiCutsGiveTheExpectedCodes)
{
    std::string file = ascii_file(SDF_ULONGINT);
    std::size_t data = file.find("*\n") + 2;      // first data line
    std::size_t trailer_at = file.find("\n*\n", data) + 3;
    // Inside the header: the header never ends.
    EXPECT_EQ(read_sdf(file.substr(0, data - 2)).rc, ERR_PREMATURE_EOF);
    // Inside the data: the data end early, and the trailer, read from where they stopped,
    // finds nothing.
    for (std::size_t n = data; n < trailer_at - 2; ++n) {
        outcome o = read_sdf(file.substr(0, n));
        EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE) << n;
        EXPECT_EQ(o.out, "Missing required fields.\n") << n;
    }
    // Inside the trailer: required fields are missing.
    for (std::size_t n = trailer_at; n < file.rfind("phase_res"); ++n) {
        outcome o = read_sdf(file.substr(0, n));
        EXPECT_EQ(o.rc, ERR_CORRUPT_DATA_FILE) << n;
        EXPECT_EQ(o.out, "Missing required fields.\n") << n;
    }
    // The last line complete but no "*" after it: the trailer ended early.
    EXPECT_EQ(read_sdf(file.substr(0, file.size() - 2)).rc, ERR_CORRUPT_DATA_FILE);
    // Only the final line feed missing: complete.
    EXPECT_EQ(read_sdf(file.substr(0, file.size() - 1)).rc, NO_ERROR);
}

TEST(Prefixes, BinaryFileOfEveryTypeCutAnywhere)
{
    for (int t = 0; t < 8; ++t) {
        std::string file = binary_file(t);
        ASSERT_EQ(file.size(), 81 + 6 * type_size[t]);
        outcome whole = read_sdf(file);
        ASSERT_EQ(whole.rc, NO_ERROR) << type_names[t];
        ASSERT_TRUE(sane(whole));
        EXPECT_EQ(whole.values, (std::vector<int32_t>{1, 2, 3, 4, 5, 6})) << type_names[t];
        for (std::size_t n = 0; n < file.size(); ++n) {
            outcome o = read_sdf(file.substr(0, n));
            ASSERT_EQ(o.rc, ERR_PREMATURE_EOF) << type_names[t] << " cut at " << n;
            ASSERT_TRUE(sane(o));
        }
    }
}

}  // namespace
