// Files whose names and folders hold non-Latin letters, reached through the wide path convention:
// existence, creation, replacement of an existing file, copies and temporary files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vell/platform/atomic_file.h"
#include "vell/platform/files.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

using vptest::TempDir;

namespace {

namespace fs = std::filesystem;

// "Проба", "данные" and "Ёжик": Cyrillic, outside the Western ANSI code pages.
const std::string proba = "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB1\xD0\xB0";
const std::string dannye = "\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5";
const std::string yozhik = "\xD0\x81\xD0\xB6\xD0\xB8\xD0\xBA";
// "çàéüñ", accented Latin letters.
const std::string accents = "\xC3\xA7\xC3\xA0\xC3\xA9\xC3\xBC\xC3\xB1";
// "表面" and U+1F600 (a surrogate pair in UTF-16).
const std::string cjk = "\xE8\xA1\xA8\xE9\x9D\xA2";
const std::string grin = "\xF0\x9F\x98\x80";

// A folder "Проба çàéüñ" in a fresh temporary directory, with its wide path text.
class WidePaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_utf8 = os::utf8_of(tmp.path()) + "/" + proba + " " + accents;
        ASSERT_TRUE(os::native_path(wide(folder_utf8).c_str(), folder));
        ASSERT_TRUE(os::make_dir(folder));
        ASSERT_EQ(os::kind_of(folder), os::file_kind::directory);
    }

    static std::string wide(const std::string& utf8) { return os::make_wide_path(utf8); }
    std::string wide_in_folder(const std::string& name) const { return wide(folder_utf8 + "/" + name); }
    fs::path native_in_folder(const std::string& name) const
    {
        fs::path p;
        EXPECT_TRUE(os::native_path(wide_in_folder(name).c_str(), p));
        return p;
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(os::utf8_of(e.path().filename()));
        return names;
    }

    TempDir tmp;
    std::string folder_utf8;
    fs::path folder;
};

void put(const fs::path& path, const std::string& bytes)
{
    std::FILE* f = os::open_file(path, "wb");
    ASSERT_NE(f, nullptr) << os::utf8_of(path);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

}  // namespace

TEST_F(WidePaths, NativeNameIsTheUnicodeName)
{
    // The folder appears under its real name, not as bytes of some code page.
    std::string listed;
    for (const auto& e : fs::directory_iterator(tmp.path()))
        listed = os::utf8_of(e.path().filename());
    EXPECT_EQ(listed, proba + " " + accents);
    EXPECT_EQ(os::utf8_of(native_in_folder(yozhik + ".sdf").filename()), yozhik + ".sdf");
}

TEST_F(WidePaths, ExistenceOfFilesAndFolders)
{
    for (const std::string& name : {dannye + ".sdf", yozhik + accents + ".dat", cjk + grin + ".sdf"}) {
        std::string w = wide_in_folder(name);
        EXPECT_FALSE(u_file_exists(w.c_str())) << name;
        put(native_in_folder(name), "data");
        EXPECT_TRUE(u_file_exists(w.c_str())) << name;
        uint64_t size = 0;
        ASSERT_TRUE(os::file_size(native_in_folder(name), size));
        EXPECT_EQ(size, 4u);
    }
    // A folder is not a file, under any name.
    EXPECT_FALSE(u_file_exists(wide(folder_utf8).c_str()));
    // The narrow form of a name names the same file on POSIX only, where narrow texts are UTF-8.
#ifndef _WIN32
    EXPECT_TRUE(u_file_exists((folder_utf8 + "/" + dannye + ".sdf").c_str()));
#endif
}

TEST_F(WidePaths, AtomicWriteReplacesAnExistingFile)
{
    fs::path target = native_in_folder(dannye + " " + accents + ".dat");
    put(target, "old contents, longer than the new ones");
    os::atomic_file f;
    ASSERT_TRUE(f.open(target));
    std::fputs("new", f.get());
    // Until the commit the old file stays whole, and the temporary file sits beside it.
    EXPECT_EQ(vptest::read_file(target), "old contents, longer than the new ones");
    EXPECT_EQ(entries().size(), 2u);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(vptest::read_file(target), "new");
    EXPECT_EQ(entries(), std::vector<std::string>{dannye + " " + accents + ".dat"});
}

TEST_F(WidePaths, AtomicWriteCreatesANewFile)
{
    fs::path target = native_in_folder(cjk + grin + ".dat");
    os::atomic_file f;
    ASSERT_TRUE(f.open(target));
    std::fputs("made", f.get());
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(vptest::read_file(target), "made");
    EXPECT_TRUE(u_file_exists(wide_in_folder(cjk + grin + ".dat").c_str()));
    EXPECT_EQ(entries().size(), 1u);
}

TEST_F(WidePaths, TemporaryFileIsNamedAfterItsTarget)
{
    // The temporary file's name starts with "." and the target's name, written in the same
    // letters (not as the bytes of their UTF-8 form taken for characters).
    fs::path target = native_in_folder(yozhik + ".dat");
    os::atomic_file f;
    ASSERT_TRUE(f.open(target));
    std::vector<std::string> names = entries();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("." + yozhik + ".dat.", 0), 0u) << names[0];
    f.abandon();
    EXPECT_TRUE(entries().empty());

    // A long name is cut for the prefix; the cut leaves whole characters.
    std::string long_name;
    for (int i = 0; i < 30; ++i)
        long_name += yozhik.substr(0, 2) + "x";  // two characters, three bytes
    fs::path long_target = native_in_folder(long_name + ".dat");
    ASSERT_TRUE(f.open(long_target));
    names = entries();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0][0], '.');
    std::u16string units;
    EXPECT_NO_THROW(units = os::path_of_utf8(names[0]).u16string());
    EXPECT_EQ(units.find(u'\uFFFD'), std::u16string::npos) << names[0];
    EXPECT_EQ(names[0].rfind("." + long_name.substr(0, 39), 0), 0u) << names[0];
    f.abandon();
}

TEST_F(WidePaths, CopyAndReplaceBetweenNonLatinNames)
{
    fs::path a = native_in_folder(proba + ".sdf");
    fs::path b = native_in_folder(accents + ".sdf");
    fs::path c = native_in_folder(cjk + ".sdf");
    put(a, "first");
    put(b, "second");
    ASSERT_TRUE(os::copy_file(a, c));
    EXPECT_EQ(vptest::read_file(c), "first");
    ASSERT_TRUE(os::copy_file(b, c));  // over an existing file
    EXPECT_EQ(vptest::read_file(c), "second");
    ASSERT_TRUE(os::replace_file(a, c));  // rename over an existing file
    EXPECT_EQ(vptest::read_file(c), "first");
    EXPECT_EQ(os::kind_of(a), os::file_kind::none);
    EXPECT_TRUE(os::remove_file(b));
    EXPECT_EQ(entries(), std::vector<std::string>{cjk + ".sdf"});
}

TEST_F(WidePaths, TemporaryFileInANonLatinFolder)
{
    fs::path created;
    std::FILE* f = os::create_temp_file(folder, dannye + "_", created);
    ASSERT_NE(f, nullptr);
    std::fputs("temp", f);
    std::fclose(f);
    EXPECT_EQ(created.parent_path(), folder);
    std::string name = os::utf8_of(created.filename());
    EXPECT_EQ(name.rfind(dannye + "_", 0), 0u) << name;
    EXPECT_EQ(vptest::read_file(created), "temp");
    EXPECT_TRUE(os::remove_file(created));
}

TEST_F(WidePaths, NestedNonLatinFolders)
{
    std::string inner = folder_utf8 + "/" + cjk;
    fs::path inner_native;
    ASSERT_TRUE(os::native_path(wide(inner).c_str(), inner_native));
    ASSERT_TRUE(os::make_dir(inner_native));
    fs::path file;
    ASSERT_TRUE(os::native_path(wide(inner + "/" + yozhik + grin).c_str(), file));
    put(file, "deep");
    EXPECT_TRUE(u_file_exists(wide(inner + "/" + yozhik + grin).c_str()));
    EXPECT_EQ(vptest::read_file(file), "deep");
}
