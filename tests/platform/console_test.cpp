// The command-line services: UTF-8 arguments, path texts of UTF-8 names, text on streams and on
// a Windows console.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#endif

#include "vell/platform/console.h"
#include "vell/platform/files.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

using vptest::TempDir;

namespace {

// "Привет" and "é": outside the ASCII range, two bytes a character in UTF-8.
const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
const std::string e_acute = "\xC3\xA9";
// U+1F600, outside the Basic Multilingual Plane: a surrogate pair in UTF-16.
const std::string grin = "\xF0\x9F\x98\x80";

#ifdef _WIN32
std::string units_le(std::initializer_list<uint16_t> units)
{
    std::string s;
    for (uint16_t u : units) {
        s.push_back(static_cast<char>(u & 0xFF));
        s.push_back(static_cast<char>(u >> 8));
    }
    return s;
}
#endif

std::FILE* open_for_test(const os::fs::path& path, const char* mode) { return os::open_file(path, mode); }

}  // namespace

TEST(ConsoleText, FileStreamGetsTheUtf8Bytes)
{
    TempDir dir;
    os::fs::path text_path = dir / "text.txt";
    std::FILE* f = open_for_test(text_path, "w");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(os::is_console(f));
    EXPECT_TRUE(os::write_text(f, "\"" + privet + e_acute + grin + "\"\n"));
    EXPECT_TRUE(os::write_text(f, ""));
    EXPECT_TRUE(os::write_text(f, "tab\tend\n"));
    std::fclose(f);
#ifdef _WIN32
    // A Windows text stream writes each line feed as CR LF, as every console program's output.
    EXPECT_EQ(vptest::read_file(text_path), "\"" + privet + e_acute + grin + "\"\r\ntab\tend\r\n");
#else
    EXPECT_EQ(vptest::read_file(text_path), "\"" + privet + e_acute + grin + "\"\ntab\tend\n");
#endif

    // A binary stream keeps every byte on every system.
    os::fs::path binary_path = dir / "binary.txt";
    f = open_for_test(binary_path, "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(os::write_text(f, privet + "\n" + std::string("\0\x01\xFF", 3)));
    std::fclose(f);
    EXPECT_EQ(vptest::read_file(binary_path), privet + "\n" + std::string("\0\x01\xFF", 3));
}

TEST(ConsoleText, NoStreamIsRefused)
{
    EXPECT_FALSE(os::write_text(nullptr, "x"));
    EXPECT_FALSE(os::is_console(nullptr));
}

TEST(ConsoleText, WriteIsFlushedAtOnce)
{
    TempDir dir;
    os::fs::path path = dir / "flushed.txt";
    std::FILE* f = open_for_test(path, "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::setvbuf(f, nullptr, _IOFBF, 1 << 16), 0);
    EXPECT_TRUE(os::write_text(f, privet));
    // Read while the stream is still open: nothing may wait in its buffer.
    EXPECT_EQ(vptest::read_file(path), privet);
    std::fclose(f);
}

TEST(PathTextOfUtf8, NamesTheSameFileAsTheUtf8Name)
{
    TempDir dir;
    std::string name = os::utf8_of(dir.path()) + "/" + privet + " caf" + e_acute + " " + grin + ".sdf";
    std::string text = os::path_text_of_utf8(name);
#ifdef _WIN32
    // The wide form: byte-order bytes, UTF-16LE units, a zero unit.
    ASSERT_TRUE(os::is_wide_path(text.c_str()));
    EXPECT_EQ(text, os::make_wide_path(name));
    std::string tail = units_le({0x0020, 0xD83D, 0xDE00, '.', 's', 'd', 'f', 0});
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
#else
    EXPECT_EQ(text, name);
#endif
    os::fs::path native;
    ASSERT_TRUE(os::native_path(text.c_str(), native));
    EXPECT_FALSE(u_file_exists(text.c_str()));
    std::FILE* f = os::open_file(native, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("x", f);
    std::fclose(f);
    EXPECT_TRUE(u_file_exists(text.c_str()));
    EXPECT_EQ(vptest::read_file(os::path_of_utf8(name)), "x");
}

TEST(PathTextOfUtf8, PlainAndEmptyNames)
{
#ifdef _WIN32
    EXPECT_EQ(os::path_text_of_utf8("a.dat"), std::string("\xFF\xFE", 2) + units_le({'a', '.', 'd', 'a', 't', 0}));
    // An empty name stays empty: it names no file.
    std::string empty = os::path_text_of_utf8("");
    EXPECT_EQ(empty, std::string("\xFF\xFE\0\0", 4));
    EXPECT_FALSE(u_file_exists(empty.c_str()));
    // A text that is not UTF-8 came from the ANSI side and stays a narrow path.
    EXPECT_EQ(os::path_text_of_utf8("caf\xE9.sdf"), "caf\xE9.sdf");
#else
    EXPECT_EQ(os::path_text_of_utf8("a.dat"), "a.dat");
    EXPECT_EQ(os::path_text_of_utf8(""), "");
    EXPECT_EQ(os::path_text_of_utf8("caf\xE9.sdf"), "caf\xE9.sdf");
#endif
}

#ifndef _WIN32
TEST(PathTextOfUtf8, NameBeginningWithTheWideMarkStaysNarrow)
{
    // Bytes FF FE (or FE FF) then "ab.sdf": an ordinary, if odd, POSIX file name. Taken as a
    // wide path it would be read two bytes at a time past its terminator.
    for (const char* mark : {"\xFF\xFE", "\xFE\xFF"}) {
        std::string name = std::string(mark) + "ab.sdf";
        std::string text = os::path_text_of_utf8(name);
        EXPECT_EQ(text, "./" + name);
        EXPECT_FALSE(os::is_wide_path(text.c_str()));
        os::fs::path native;
        ASSERT_TRUE(os::native_path(text.c_str(), native));
        EXPECT_EQ(native, os::fs::path("./" + name));
    }
}
#endif

#ifdef _WIN32

TEST(Utf8Arguments, WideArgumentsBecomeUtf8)
{
    std::wstring a0 = L"C:\\tools\\sdf_to_dat.exe";
    std::wstring a1 = L"\x041F\x0440\x0438\x0432\x0435\x0442 caf\x00E9.sdf";
    std::wstring a2 = L"\xD83D\xDE00.dat";
    std::wstring a3 = L"";
    std::vector<wchar_t*> argv = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    std::vector<std::string> args = os::utf8_arguments(4, argv.data());
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], "C:\\tools\\sdf_to_dat.exe");
    EXPECT_EQ(args[1], privet + " caf" + e_acute + ".sdf");
    EXPECT_EQ(args[2], grin + ".dat");
    EXPECT_EQ(args[3], "");
}

TEST(Utf8Arguments, LoneSurrogatesBecomeReplacementCharacters)
{
    std::wstring high = L"a\xD83D" L"b";
    std::wstring low = L"\xDE00";
    std::wstring last = L"z\xD83D";
    std::vector<wchar_t*> argv = {high.data(), low.data(), last.data(), nullptr};
    std::vector<std::string> args = os::utf8_arguments(3, argv.data());
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[0], "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(args[1], "\xEF\xBF\xBD");
    EXPECT_EQ(args[2], "z\xEF\xBF\xBD");
    EXPECT_TRUE(os::utf8_arguments(0, nullptr).empty());
}

namespace {

// A screen buffer of the process's console (made for the test when there is none), read back
// character by character. It is never made the active one: whatever the console shows stays.
constexpr short console_width = 200;
constexpr short console_rows = 60;

class OwnConsole {
public:
    OwnConsole()
    {
        allocated_ = ::AllocConsole() != 0;  // fails when the process has a console already
        buffer_ = ::CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
        if (buffer_ == INVALID_HANDLE_VALUE)
            buffer_ = nullptr;
        if (buffer_ != nullptr && !::SetConsoleScreenBufferSize(buffer_, COORD{console_width, console_rows})) {
            ::CloseHandle(buffer_);
            buffer_ = nullptr;
        }
    }
    ~OwnConsole()
    {
        if (buffer_ != nullptr && !handed_over_)
            ::CloseHandle(buffer_);
        if (allocated_)
            ::FreeConsole();
    }
    OwnConsole(const OwnConsole&) = delete;
    OwnConsole& operator=(const OwnConsole&) = delete;

    // A C stream on the screen buffer, which then owns the handle.
    std::FILE* stream()
    {
        int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(buffer_), 0);
        if (fd < 0)
            return nullptr;
        handed_over_ = true;
        return ::_fdopen(fd, "w");
    }
    HANDLE buffer() const { return buffer_; }

    // Row `row` of the screen buffer without its trailing blanks, as UTF-8.
    std::string row(short row) const
    {
        std::wstring w(console_width, L' ');
        DWORD read = 0;
        if (!::ReadConsoleOutputCharacterW(buffer_, w.data(), console_width, COORD{0, row}, &read))
            return "<unreadable>";
        w.resize(read);
        while (!w.empty() && w.back() == L' ')
            w.pop_back();
        return os::utf8_of(os::fs::path(w));
    }

private:
    bool allocated_ = false;
    bool handed_over_ = false;
    HANDLE buffer_ = nullptr;
};

}  // namespace

TEST(ConsoleText, ConsoleShowsEveryCharacterWhateverItsCodePage)
{
    OwnConsole console;
    if (console.buffer() == nullptr)
        GTEST_SKIP() << "no console can be created here";
    std::FILE* f = console.stream();
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(os::is_console(f));
    // A code page that has neither Cyrillic nor accented letters: the bytes would be garbled.
    UINT saved = ::GetConsoleOutputCP();
    ::SetConsoleOutputCP(437);
    std::fputs("C runtime first, ", f);  // still in the stream's buffer
    EXPECT_TRUE(os::write_text(f, "\"" + privet + " caf" + e_acute + "\"\n"));
    EXPECT_TRUE(os::write_text(f, "next\tline\n"));
    ::SetConsoleOutputCP(saved);
    EXPECT_EQ(console.row(0), "C runtime first, \"" + privet + " caf" + e_acute + "\"");
    EXPECT_EQ(console.row(1).substr(0, 4), "next");
    EXPECT_NE(console.row(1).find("line"), std::string::npos);
    EXPECT_EQ(console.row(2), "");
    std::fclose(f);
}

TEST(ConsoleText, LongTextGoesOutWhole)
{
    OwnConsole console;
    if (console.buffer() == nullptr)
        GTEST_SKIP() << "no console can be created here";
    std::FILE* f = console.stream();
    ASSERT_NE(f, nullptr);
    // 50 full rows: more characters than the console takes in one piece.
    std::string text;
    std::string expect_row;
    for (int i = 0; i < console_width / 2; ++i)
        expect_row += privet.substr(0, 2) + "x";  // two characters
    for (int r = 0; r < 50; ++r)
        text += expect_row;
    EXPECT_TRUE(os::write_text(f, text));
    EXPECT_EQ(console.row(0), expect_row);
    EXPECT_EQ(console.row(49), expect_row);
    EXPECT_EQ(console.row(50), "");
    std::fclose(f);
}

#endif  // _WIN32
