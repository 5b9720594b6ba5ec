// Single-byte corruptions at every offset of small files of both forms: each read is refused
// with a clear code or succeeds with a sane dataset that the writer then stores completely.
#include <gtest/gtest.h>

#include <string>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

void corrupt_everywhere(const std::string& file, const std::string& replacements, const char* what)
{
    int successes = 0;
    for (std::size_t at = 0; at < file.size(); ++at) {
        for (char c : replacements) {
            if (file[at] == c)
                continue;
            std::string bad = file;
            bad[at] = c;
            outcome o = read_sdf(bad);
            ASSERT_TRUE(sane(o)) << what << ": byte " << at << " set to " << int(static_cast<unsigned char>(c));
            if (o.rc == NO_ERROR) {
                ++successes;
                ASSERT_TRUE(converts(o)) << what << ": byte " << at << " set to "
                                         << int(static_cast<unsigned char>(c));
            }
        }
    }
    // Some corruptions (in a comment, a digit of a value) leave a readable file.
    EXPECT_GT(successes, 0) << what;
}

TEST(Corruption, EveryByteOfAnAsciiFile)
{
    const std::string replacements("\0\xff\n\r*=;- 9x\".e", 15);
    corrupt_everywhere(ascii_file(SDF_ULONGINT), replacements, "ULONGINT text");
    corrupt_everywhere(ascii_file(SDF_DOUBLE), replacements, "DOUBLE text");
}

TEST(Corruption, EveryByteOfABinaryFileWithEveryValue)
{
    // Bytes that matter to the binary header: zero, the ends of each sign, the letter "a" (ASCII
    // form), the data type codes 0 to 8, and the high bytes of doubles (NaN, infinity, huge).
    const std::string bytes("\0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x7f\x80\xff\xfe\x7e\x40" "aA\xf0\x3f", 20);
    corrupt_everywhere(binary_file(SDF_INTEGER), bytes, "INTEGER binary");
    corrupt_everywhere(binary_file(SDF_DOUBLE), std::string("\0\x01\x7f\x80\xff\x07\x08\x40", 8), "DOUBLE binary");
}

}  // namespace
