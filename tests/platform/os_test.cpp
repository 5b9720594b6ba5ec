#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <cstring>
#include <optional>
#include <string>

#include "vell/platform/atomic_file.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

using vptest::TempDir;

namespace {

std::string wide_bytes(std::initializer_list<uint16_t> units, bool big_endian_bom = false)
{
    std::string s = big_endian_bom ? std::string("\xFE\xFF", 2) : std::string("\xFF\xFE", 2);
    for (uint16_t u : units) {
        s.push_back(static_cast<char>(u & 0xFF));
        s.push_back(static_cast<char>(u >> 8));
    }
    s.append(2, '\0');
    return s;
}

}  // namespace

TEST(PathConvention, NarrowPathIsTakenAsIs)
{
    os::fs::path p;
    ASSERT_TRUE(os::native_path("some/file.sdf", p));
    EXPECT_EQ(p, os::fs::path("some/file.sdf"));
    EXPECT_FALSE(os::native_path(nullptr, p));
}

TEST(PathConvention, WidePathInEitherByteOrderMark)
{
    // "Жa" — the units are little-endian whatever order the two marker bytes have.
    for (bool be : {false, true}) {
        std::string w = wide_bytes({0x0416, 'a'}, be);
        ASSERT_TRUE(os::is_wide_path(w.data()));
        os::fs::path p;
        ASSERT_TRUE(os::native_path(w.data(), p));
        EXPECT_EQ(os::utf8_of(p), "\xD0\x96" "a");
    }
}

TEST(PathConvention, SurrogatePairsAndIllFormedWidePaths)
{
    os::fs::path p;
    std::string pair = wide_bytes({0xD83D, 0xDE00});
    ASSERT_TRUE(os::native_path(pair.data(), p));
    EXPECT_EQ(os::utf8_of(p), "\xF0\x9F\x98\x80");

    std::string lone_high = wide_bytes({'a', 0xD83D});
    EXPECT_FALSE(os::native_path(lone_high.data(), p));
    std::string lone_low = wide_bytes({0xDE00, 'b'});
    EXPECT_FALSE(os::native_path(lone_low.data(), p));

    // No zero unit within the bound: refused, never read past the buffer.
    std::string endless(2 + 2 * (os::max_wide_path_units + 1), 'a');
    endless[0] = '\xFF';
    endless[1] = '\xFE';
    endless.append(2, '\0');
    EXPECT_FALSE(os::native_path(endless.data(), p));
}

TEST(PathConvention, MakeWidePathRoundTrips)
{
    std::string w = os::make_wide_path("d\xC3\xA9j\xC3\xA0/\xD0\xA4.sdf");
    ASSERT_TRUE(os::is_wide_path(w.data()));
    os::fs::path p;
    ASSERT_TRUE(os::native_path(w.data(), p));
    EXPECT_EQ(os::utf8_of(p), "d\xC3\xA9j\xC3\xA0/\xD0\xA4.sdf");
}

TEST(FileKinds, RegularDirectoryAndMissing)
{
    TempDir dir;
    vptest::write_file(dir / "f", "x");
    EXPECT_EQ(os::kind_of(dir / "f"), os::file_kind::regular);
    EXPECT_EQ(os::kind_of(dir.path()), os::file_kind::directory);
    EXPECT_EQ(os::kind_of(dir / "none"), os::file_kind::none);
    uint64_t size = 0;
    EXPECT_TRUE(os::file_size(dir / "f", size));
    EXPECT_EQ(size, 1u);
}

TEST(ReadAt, ReadsByPositionWhereverTheStreamStands)
{
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes.push_back(static_cast<char>(i * 13 + 1));
    vptest::write_file(dir / "f", bytes);
    std::FILE* f = os::open_file(dir / "f", "rb");
    ASSERT_NE(f, nullptr);
    char first[10];
    ASSERT_EQ(std::fread(first, 1, sizeof first, f), sizeof first);
    // offset, size asked -> bytes read: inside, up to the end, across it, at it, beyond it.
    const struct {
        uint64_t offset;
        std::size_t size;
        std::size_t got;
    } cases[] = {{0, 300, 300}, {17, 100, 100}, {250, 50, 50}, {250, 80, 50}, {300, 5, 0}, {1000, 5, 0}, {5, 0, 0}};
    for (const auto& c : cases) {
        std::string out(c.size + 1, '#');
        std::size_t got = 99;
        EXPECT_TRUE(os::read_at(f, c.offset, out.data(), c.size, got)) << c.offset << "+" << c.size;
        ASSERT_EQ(got, c.got) << c.offset << "+" << c.size;
        EXPECT_EQ(out.substr(0, got), bytes.substr(std::min<std::size_t>(c.offset, 300), got));
        EXPECT_EQ(out[got], '#') << "nothing written past what was read";
    }
    std::fclose(f);
}

TEST(FileKinds, NonLatinNamesThroughTheWideConvention)
{
    TempDir dir;
    std::string name = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 caf\xC3\xA9.txt";  // "Привет café.txt"
    os::fs::path native;
    std::string wide = os::make_wide_path(os::utf8_of(dir.path()) + "/" + name);
    ASSERT_TRUE(os::native_path(wide.data(), native));
    std::FILE* f = os::open_file(native, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("hello", f);
    std::fclose(f);
    EXPECT_EQ(os::kind_of(native), os::file_kind::regular);
    EXPECT_EQ(vptest::read_file(native), "hello");
}

TEST(AtomicFile, CommitReplacesTargetAndLeavesNoTemporary)
{
    TempDir dir;
    vptest::write_file(dir / "out", "old contents");
    os::atomic_file f;
    ASSERT_TRUE(f.open(dir / "out"));
    std::fputs("new", f.get());
    EXPECT_EQ(vptest::read_file(dir / "out"), "old contents");
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(vptest::read_file(dir / "out"), "new");
    int entries = 0;
    for (auto& e : os::fs::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(AtomicFile, AbandonKeepsTheOldFile)
{
    TempDir dir;
    vptest::write_file(dir / "out", "old contents");
    {
        os::atomic_file f;
        ASSERT_TRUE(f.open(dir / "out"));
        std::fputs("partial", f.get());
    }  // destroyed without commit
    EXPECT_EQ(vptest::read_file(dir / "out"), "old contents");
    int entries = 0;
    for (auto& e : os::fs::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(AtomicFile, RefusesMissingFolderAndDirectoryTarget)
{
    TempDir dir;
    os::atomic_file f;
    EXPECT_FALSE(f.open(dir / "missing" / "out"));
    EXPECT_FALSE(f.open(dir.path()));
    EXPECT_FALSE(f.open(os::fs::path()));
}

TEST(Environment, SetGetAndUnset)
{
    ASSERT_TRUE(os::set_env("VP_OS_TEST_VAR", "value \xC3\xA9"));
    auto v = os::get_env("VP_OS_TEST_VAR");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, "value \xC3\xA9");
    // The runtime's getenv (what a loaded library asks) sees the same.
    ASSERT_TRUE(os::set_env("VP_OS_TEST_VAR", "plain"));
    const char* seen = std::getenv("VP_OS_TEST_VAR");
    ASSERT_NE(seen, nullptr);
    EXPECT_STREQ(seen, "plain");
    ASSERT_TRUE(os::set_env("VP_OS_TEST_VAR", ""));
    EXPECT_EQ(os::get_env("VP_OS_TEST_VAR"), std::optional<std::string>(""));
    ASSERT_TRUE(os::set_env("VP_OS_TEST_VAR", nullptr));
    EXPECT_FALSE(os::get_env("VP_OS_TEST_VAR").has_value());
    EXPECT_EQ(std::getenv("VP_OS_TEST_VAR"), nullptr);
    EXPECT_FALSE(os::set_env("", "x"));
    EXPECT_FALSE(os::set_env("VP_OS=TEST", "x"));
}

TEST(ProgramPath, NamesThisTestProgram)
{
    std::string p = os::program_path();
    EXPECT_NE(p.find("platform_tests"), std::string::npos) << p;
}

TEST(AtomicFile, NewFileGetsOrdinaryPermissionsAndKeepsExistingOnes)
{
    TempDir dir;
    vptest::write_file(dir / "plain", "x");  // how a file created the ordinary way looks
    os::atomic_file f;
    ASSERT_TRUE(f.open(dir / "made"));
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(os::fs::status(dir / "made").permissions(), os::fs::status(dir / "plain").permissions());

#ifndef _WIN32
    os::fs::permissions(dir / "plain", os::fs::perms::owner_read | os::fs::perms::owner_write | os::fs::perms::group_read);
    ASSERT_TRUE(f.open(dir / "plain"));
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(os::fs::status(dir / "plain").permissions(),
              os::fs::perms::owner_read | os::fs::perms::owner_write | os::fs::perms::group_read);
#endif
}

namespace {

// A symbolic link as the target: the file it points to is replaced (also through a chain of
// links, and a dangling link creates its file); the links stay, and no temporary file is left.
TEST(AtomicFile, FollowsSymbolicLinks)
{
    TempDir dir;
    vptest::write_file(dir / "real", "old");
    std::error_code ec;
    os::fs::create_symlink("real", dir / "link", ec);
    if (ec)
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    os::fs::create_symlink(dir / "link", dir / "link2");
    os::fs::create_symlink("missing", dir / "dangling");
    for (const char* name : {"link", "link2", "dangling"}) {
        os::atomic_file f;
        ASSERT_TRUE(f.open(dir / name)) << name;
        std::fputs(name, f.get());
        ASSERT_TRUE(f.commit()) << name;
        EXPECT_TRUE(os::fs::is_symlink(os::fs::symlink_status(dir / name))) << name;
        EXPECT_EQ(vptest::read_file(dir / name), name);
    }
    EXPECT_EQ(vptest::read_file(dir / "real"), "link2");
    EXPECT_EQ(vptest::read_file(dir / "missing"), "dangling");
    EXPECT_EQ(std::distance(os::fs::directory_iterator(dir.path()), os::fs::directory_iterator()), 5);
    // A loop of links is refused.
    os::fs::create_symlink("loop_b", dir / "loop_a");
    os::fs::create_symlink("loop_a", dir / "loop_b");
    os::atomic_file f;
    EXPECT_FALSE(f.open(dir / "loop_a"));
}

}  // namespace
