#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "vell/platform/dynlib.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

namespace {

#ifdef _WIN32
constexpr int missing_library_error = 126;  // ERROR_MOD_NOT_FOUND
constexpr int missing_entry_error = 127;    // ERROR_PROC_NOT_FOUND
#else
constexpr int missing_library_error = ENOENT;
constexpr int missing_entry_error = ENOENT;
#endif

// The probe library that the build places next to this test program.
constexpr const char* probe = "vp_dynlib_probe.dll";

}  // namespace

TEST(LibraryNames, PlatformNamesMapToTheNativeFile)
{
#ifdef _WIN32
    EXPECT_EQ(os::native_library_name("MotionWrapperInterface.dll"), "MotionWrapperInterface.dll");
    EXPECT_EQ(os::native_library_name("TnAcq.dll"), "TnAcq.dll");
#else
    EXPECT_EQ(os::native_library_name("MotionWrapperInterface.dll"), "libMotionWrapperInterface.so");
    EXPECT_EQ(os::native_library_name("TnAcq.dll"), "libTnAcq.so");
    EXPECT_EQ(os::native_library_name("VellCANopen.DLL"), "libVellCANopen.so");
    EXPECT_EQ(os::native_library_name("PComm32"), "libPComm32.so");
    EXPECT_EQ(os::native_library_name("libfoo.dll"), "libfoo.so");
    EXPECT_EQ(os::native_library_name("libfoo.so"), "libfoo.so");
    EXPECT_EQ(os::native_library_name("libfoo.so.2"), "libfoo.so.2");
    EXPECT_EQ(os::native_library_name("/opt/vell/bin/TnAcq.dll"), "/opt/vell/bin/libTnAcq.so");
    EXPECT_EQ(os::native_library_name("dir.dll/x"), "dir.dll/libx.so");
    EXPECT_EQ(os::native_library_name("dir/"), "dir/");
#endif
}

TEST(Library, LoadsByPlatformNameFromBesideTheProgram)
{
    os::library lib;
    int err = -1;
    ASSERT_TRUE(lib.load(probe, &err)) << err << " " << lib.error_text();
    EXPECT_TRUE(lib.loaded());
    std::string file = lib.file();
    std::string native = os::native_library_name(probe);
    ASSERT_GE(file.size(), native.size());
    EXPECT_EQ(file.substr(file.size() - native.size()), native);

    auto answer = reinterpret_cast<int (*)()>(lib.symbol("vp_probe_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    auto add = reinterpret_cast<int (*)(int, int)>(lib.symbol("vp_probe_add", &err));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
}

TEST(Library, MissingEntryPointGivesTheSystemNumber)
{
    os::library lib;
    ASSERT_TRUE(lib.load(probe));
    int err = 0;
    EXPECT_EQ(lib.symbol("vp_probe_absent", &err), nullptr);
    EXPECT_EQ(err, missing_entry_error);
    EXPECT_EQ(lib.symbol("vp_probe_add_", &err), nullptr);  // no prefix matching
    EXPECT_EQ(lib.symbol(nullptr, &err), nullptr);
}

TEST(Library, MissingLibraryGivesTheSystemNumber)
{
    os::library lib;
    int err = 0;
    EXPECT_FALSE(lib.load("vp_no_such_library.dll", &err));
    EXPECT_EQ(err, missing_library_error);
    EXPECT_FALSE(lib.loaded());
    EXPECT_FALSE(lib.load("", &err));
    EXPECT_NE(err, 0);
    EXPECT_FALSE(lib.load(nullptr, &err));
    EXPECT_EQ(lib.symbol("vp_probe_answer", &err), nullptr);
}

// A library planted in the current directory is not picked up by a bare name; named with its
// directory part, relative to the current directory, it is loaded from there.
TEST(Library, TheCurrentDirectoryIsSearchedOnlyWhenNamed)
{
    namespace fs = vptest::fs;
    fs::path original = fs::path(os::program_path()).parent_path() / os::native_library_name(probe);
    vptest::TempDir dir;
    fs::copy_file(original, dir.path() / os::native_library_name("vp_planted_probe.dll"));
    fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    os::library bare, named;
    int err = 0;
    bool bare_loaded = bare.load("vp_planted_probe.dll", &err);
    bool named_loaded = named.load("./vp_planted_probe.dll");
    bool named_answers = named_loaded && named.symbol("vp_probe_answer") != nullptr;
    bare.unload();
    named.unload();
    fs::current_path(saved);
    EXPECT_FALSE(bare_loaded);
    EXPECT_EQ(err, missing_library_error);
    EXPECT_TRUE(named_loaded) << named.error_text();
    EXPECT_TRUE(named_answers);
}

TEST(Library, FileThatIsNoLibraryIsRefused)
{
    vptest::TempDir dir;
    std::string platform_name = (dir.path() / "junk.dll").string();
    vptest::write_file(vptest::fs::path(os::native_library_name(platform_name)), "this is not a library\n");
    os::library lib;
    int err = 0;
    EXPECT_FALSE(lib.load(platform_name.c_str(), &err));
    EXPECT_NE(err, 0);
    EXPECT_FALSE(lib.error_text().empty());
    EXPECT_FALSE(lib.loaded());
}

TEST(Library, UnloadAndMove)
{
    os::library lib;
    ASSERT_TRUE(lib.load(probe));
    os::library moved(std::move(lib));
    EXPECT_FALSE(lib.loaded());
    ASSERT_TRUE(moved.loaded());
    EXPECT_NE(moved.symbol("vp_probe_answer"), nullptr);
    os::library assigned;
    assigned = std::move(moved);
    EXPECT_FALSE(moved.loaded());
    EXPECT_NE(assigned.symbol("vp_probe_answer"), nullptr);
    assigned.unload();
    EXPECT_FALSE(assigned.loaded());
    EXPECT_TRUE(assigned.file().empty());
    EXPECT_EQ(assigned.symbol("vp_probe_answer"), nullptr);
    // A failed load leaves nothing loaded, even after a good one.
    ASSERT_TRUE(assigned.load(probe));
    EXPECT_FALSE(assigned.load("vp_no_such_library.dll"));
    EXPECT_FALSE(assigned.loaded());
}
