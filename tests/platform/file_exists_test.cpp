#include <gtest/gtest.h>

#include "vell/platform/files.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(UFileExists, OnlyRegularFilesExist)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "a.sdf", "x");
    vptest::write_file(dir / "empty.sdf", "");
    fs::create_directory(dir / "sub");
    EXPECT_TRUE(u_file_exists(dir.str("a.sdf").c_str()));
    EXPECT_TRUE(u_file_exists(dir.str("empty.sdf").c_str()));
    EXPECT_FALSE(u_file_exists(dir.str("missing.sdf").c_str()));
    EXPECT_FALSE(u_file_exists(dir.str("sub").c_str()));
    EXPECT_FALSE(u_file_exists(dir.str("a.sdf/below").c_str()));
    EXPECT_FALSE(u_file_exists(""));
    EXPECT_FALSE(u_file_exists(nullptr));
#ifndef _WIN32
    EXPECT_FALSE(u_file_exists("/dev/null"));
#endif
}

TEST(UFileExists, WidePathsAreQueriedInTheirWideForm)
{
    vptest::TempDir dir;
    std::string name = "wide_\xC3\xA9\xE2\x82\xAC.sdf";
    vptest::write_file(dir / name, "x");
    std::string wide = os::make_wide_path(dir.str(name));
    EXPECT_TRUE(u_file_exists(wide.data()));
    std::string missing = os::make_wide_path(dir.str("nope.sdf"));
    EXPECT_FALSE(u_file_exists(missing.data()));
    // Big-endian byte-order mark: still a wide path, never taken as a narrow name.
    std::string be = wide;
    be[0] = '\xFE';
    be[1] = '\xFF';
    EXPECT_TRUE(u_file_exists(be.data()));
    std::string unpaired("\xFF\xFE\x00\xD8\x00\x00", 6);
    EXPECT_FALSE(u_file_exists(unpaired.data()));
}

}  // namespace
