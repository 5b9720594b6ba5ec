// sdf_to_dat on files whose names and folders hold Cyrillic, accented, CJK letters and characters
// beyond the Basic Multilingual Plane: the conversion, the existence checks, the replacement of
// an existing output, and the names in the messages (UTF-8 when redirected, the real characters
// in a Windows console).
#ifdef _WIN32
// Pseudo consoles came with Windows 10 1809.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000006
#endif
#include <windows.h>

#include <process.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/convert/run_command.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using convtest::converting;
using convtest::run_result;
using convtest::success;
using convtest::unable;
using vptest::read_file;
using vptest::TempDir;

// "Проба", "поверхность", "результат", "ёж": Cyrillic, outside the Western ANSI code pages.
const std::string proba = "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB1\xD0\xB0";
const std::string surface = "\xD0\xBF\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD1\x85\xD0\xBD\xD0\xBE\xD1\x81\xD1\x82\xD1\x8C";
const std::string result = "\xD1\x80\xD0\xB5\xD0\xB7\xD1\x83\xD0\xBB\xD1\x8C\xD1\x82\xD0\xB0\xD1\x82";
const std::string yozh = "\xD1\x91\xD0\xB6";
// "çàéüñ", accented Latin letters.
const std::string accents = "\xC3\xA7\xC3\xA0\xC3\xA9\xC3\xBC\xC3\xB1";
// "表面" and U+1F600 (a surrogate pair in UTF-16).
const std::string cjk = "\xE8\xA1\xA8\xE9\x9D\xA2";
const std::string grin = "\xF0\x9F\x98\x80";

std::string example(const std::string& name) { return read_file(fs::path(VP_EXAMPLES_DIR) / (name + ".sdf")); }

#ifdef _WIN32

fs::path program()
{
    std::string path = SDF_TO_DAT_PATH;
    // A cross-built test run under Wine gets the build tree's POSIX path: drive Z: is the root.
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    return fs::path(path).make_preferred();
}

std::wstring wide(const std::string& utf8) { return fs::u8path(utf8).wstring(); }

std::wstring command_line(const std::vector<std::string>& args)
{
    std::wstring line = L"\"" + program().wstring() + L"\"";
    for (const std::string& a : args)
        line += L" \"" + wide(a) + L"\"";
    return line;
}

// Lines end in CR LF in a redirected stream; the comparisons below take LF.
std::string lf_lines(const std::string& s, bool& every_lf_after_cr)
{
    std::string lf;
    every_lf_after_cr = true;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            every_lf_after_cr = false;
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            lf += s[i];
    }
    return lf;
}

#endif

// Runs the command with UTF-8 arguments, its output redirected to files in `scratch`.
run_result run_utf8(const std::vector<std::string>& args, const fs::path& scratch)
{
#ifdef _WIN32
    fs::path out = scratch / "stdout.txt";
    fs::path err = scratch / "stderr.txt";
    std::wstring cmd = command_line(args) + L" >\"" + out.wstring() + L"\" 2>\"" + err.wstring() + L"\"";
    cmd = L"\"" + cmd + L"\"";  // cmd.exe strips one pair of outer quotes
    run_result r;
    r.status = ::_wsystem(cmd.c_str());
    bool crlf_out = true;
    bool crlf_err = true;
    r.out = lf_lines(read_file(out), crlf_out);
    r.err = lf_lines(read_file(err), crlf_err);
    EXPECT_TRUE(crlf_out && crlf_err) << "every line of a redirected stream ends in CR LF";
    fs::remove(out);
    fs::remove(err);
    return r;
#else
    return convtest::run(args, scratch);
#endif
}

// A folder "Проба çàéüñ" holding the bundled examples under non-Latin names, and their
// conversions under plain names for reference.
class WideNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = os_utf8(dir.path()) + "/" + proba + " " + accents;
        ASSERT_TRUE(fs::create_directory(fs::u8path(folder)));
        for (const char* name : {"surface_ascii", "surface_binary"}) {
            std::string plain_in = dir.str(std::string(name) + ".sdf");
            std::string plain_out = dir.str(std::string(name) + ".dat");
            vptest::write_file(plain_in, example(name));
            run_result r = run_utf8({plain_in, plain_out}, scratch.path());
            ASSERT_EQ(r.status, 0) << r.err;
            reference.push_back(read_file(plain_out));
            ASSERT_EQ(reference.back().size(), 834u + 24u * 16u * 4u);
        }
    }
    static std::string os_utf8(const fs::path& p)
    {
        std::u8string u = p.u8string();
        return std::string(u.begin(), u.end());
    }
    std::string in_folder(const std::string& name) const { return folder + "/" + name; }
    void put(const std::string& utf8_path, const std::string& bytes) const
    {
        vptest::write_file(fs::u8path(utf8_path), bytes);
    }
    std::string get(const std::string& utf8_path) const { return read_file(fs::u8path(utf8_path)); }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(fs::u8path(folder)))
            names.push_back(os_utf8(e.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }
    run_result go(const std::vector<std::string>& args) { return run_utf8(args, scratch.path()); }

    TempDir dir;
    TempDir scratch;
    std::string folder;
    std::vector<std::string> reference;  // conversions of the two examples, ASCII then binary
};

}  // namespace

TEST_F(WideNames, ConvertsFilesWhoseNameAndFolderAreNonLatin)
{
    const std::string in_names[] = {surface + "_" + yozh + ".sdf", accents + " " + cjk + ".sdf"};
    const std::string out_names[] = {result + "_" + accents + ".dat", cjk + grin + ".dat"};
    for (int k = 0; k < 2; ++k) {
        std::string in = in_folder(in_names[k]);
        std::string out = in_folder(out_names[k]);
        put(in, example(k == 0 ? "surface_ascii" : "surface_binary"));
        run_result r = go({in, out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, converting(in, out) + success(in, out));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(get(out), reference[k]) << out_names[k];
    }
}

TEST_F(WideNames, MissingNonLatinInputIsNamedInTheMessage)
{
    std::string in = in_folder(surface + grin + ".sdf");
    std::string out = in_folder(result + ".dat");
    run_result r = go({in, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, unable(in, out) + "\t\"" + in + "\" does not exist\n");
    EXPECT_TRUE(entries().empty());
    // A folder under a non-Latin name is no input either.
    r = go({folder, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, unable(folder, out) + "\t\"" + folder + "\" does not exist\n");
}

TEST_F(WideNames, ExistingNonLatinOutputIsKeptWithoutTheOptionAndReplacedWithIt)
{
    std::string in = in_folder(surface + ".sdf");
    std::string out = in_folder(result + " " + accents + ".dat");
    put(in, example("surface_ascii"));
    put(out, "an older file that must survive");

    run_result r = go({in, out});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, unable(in, out) + "\t\"" + out + "\" already exists\n");
    EXPECT_EQ(get(out), "an older file that must survive");

    r = go({"-f", in, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, converting(in, out) + success(in, out));
    EXPECT_EQ(get(out), reference[0]);
    // Replaced in place of the old file: no temporary file stays beside it.
    std::vector<std::string> expected = {surface + ".sdf", result + " " + accents + ".dat"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(), expected);

    // Once more over the file just written, the option after the names.
    put(in, example("surface_binary"));
    r = go({in, out, "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get(out), reference[1]);
}

TEST_F(WideNames, ReaderAndWriterFailuresNameTheFiles)
{
    std::string in = in_folder(yozh + ".sdf");
    std::string out = in_folder(result + ".dat");
    put(in, "aBCR-1.0\nNumPoints = x\n");
    run_result r = go({in, out});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind(converting(in, out) + unable(in, out) + "\tthere was an error reading the file \"" + in + "\"\n\t", 0), 0u)
        << r.err;
    EXPECT_FALSE(fs::exists(fs::u8path(out)));

    // An output in a folder that does not exist cannot be created.
    put(in, example("surface_ascii"));
    std::string nowhere = in_folder(cjk + "/" + result + ".dat");
    r = go({in, nowhere});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, converting(in, nowhere) + unable(in, nowhere) + "\tthere was an error writing to the file \"" +
                         nowhere + "\"\n\tERR_CANT_CREATE_FILE\n");
}

#ifdef _WIN32

namespace {

// A text without its blanks and tabs: a console shows them as cursor moves and spaces, which
// the comparisons do not follow.
std::string unspaced(const std::string& text)
{
    std::string s;
    for (char c : text)
        if (c != ' ' && c != '\t')
            s += c;
    return s;
}

// The text a console showed, as UTF-8 without blanks (see above): its control sequences
// (ESC [ parameters final-byte, and ESC ] ... BEL) and carriage returns taken out.
std::string visible_text(const std::string& raw)
{
    std::string shown;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\x1B' && i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() && !(raw[i] >= '@' && raw[i] <= '~'))
                ++i;
        } else if (c == '\x1B' && i + 1 < raw.size() && raw[i + 1] == ']') {
            while (i < raw.size() && raw[i] != '\a')
                ++i;
        } else if (c != '\r' && c != ' ' && c != '\t') {
            shown += c;
        }
    }
    return shown;
}

// Runs the command attached to a pseudo console and gives what the console showed once `last`
// (the text the command prints last) has appeared, or the console gave nothing more for a while.
// False when this system has no pseudo consoles.
bool run_in_console(const std::vector<std::string>& args, const std::string& last, std::string& shown,
                    DWORD& status)
{
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!::CreatePipe(&in_read, &in_write, nullptr, 0))
        return false;
    if (!::CreatePipe(&out_read, &out_write, nullptr, 0)) {
        ::CloseHandle(in_read);
        ::CloseHandle(in_write);
        return false;
    }
    HPCON console = nullptr;
    if (::CreatePseudoConsole(COORD{250, 30}, in_read, out_write, 0, &console) != S_OK) {
        for (HANDLE h : {in_read, in_write, out_read, out_write})
            ::CloseHandle(h);
        return false;
    }
    // The console renders its screen on its own time: the reader collects it as it comes.
    std::mutex lock;
    std::condition_variable more;
    std::string raw;
    std::thread reader([&] {
        char buf[4096];
        DWORD n = 0;
        while (::ReadFile(out_read, buf, sizeof buf, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> hold(lock);
            raw.append(buf, n);
            more.notify_all();
        }
    });

    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list_bytes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_bytes.data());
    bool ok = ::InitializeProcThreadAttributeList(list, 1, 0, &size) &&
              ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console, sizeof console,
                                          nullptr, nullptr);
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.lpAttributeList = list;
    // The command's streams are the console's own: the command interpreter opens them by name
    // (a child would otherwise get the test's redirected handles, or none).
    const wchar_t* comspec = ::_wgetenv(L"ComSpec");
    std::wstring shell = comspec != nullptr && *comspec != 0 ? comspec : L"cmd.exe";
    std::wstring line = L"\"" + shell + L"\" /c \"" + command_line(args) + L" <CONIN$ >CONOUT$ 2>CONOUT$\"";
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi{};
    ok = ok && ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT,
                                nullptr, nullptr, &si.StartupInfo, &pi);
    status = 0xFFFFFFFF;
    if (ok) {
        ::WaitForSingleObject(pi.hProcess, 60000);
        ::GetExitCodeProcess(pi.hProcess, &status);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        std::unique_lock<std::mutex> hold(lock);
        while (visible_text(raw).find(unspaced(last)) == std::string::npos)
            if (more.wait_for(hold, std::chrono::seconds(10)) == std::cv_status::timeout)
                break;
    }
    ::DeleteProcThreadAttributeList(list);
    ::ClosePseudoConsole(console);
    ::CloseHandle(out_write);
    ::CloseHandle(in_read);
    reader.join();
    ::CloseHandle(out_read);
    ::CloseHandle(in_write);
    EXPECT_TRUE(ok) << "the command could not be started";
    shown = visible_text(raw);
    return true;
}

}  // namespace

TEST_F(WideNames, ConsoleShowsTheNamesWhateverItsCodePage)
{
    std::string in = in_folder(surface + "_" + yozh + ".sdf");
    std::string out = in_folder(result + "_" + accents + ".dat");
    put(in, example("surface_ascii"));
    std::string shown;
    DWORD status = 0;
    if (!run_in_console({in, out}, success(in, out), shown, status))
        GTEST_SKIP() << "this system has no pseudo consoles";
    EXPECT_EQ(status, 0u);
    // The console's code page has none of these letters: the text came through its wide output.
    EXPECT_NE(shown.find(unspaced(converting(in, out))), std::string::npos) << shown;
    EXPECT_NE(shown.find(unspaced(success(in, out))), std::string::npos) << shown;
    EXPECT_EQ(get(out), reference[0]);

    // A failure, with the existing output named.
    std::string exists = unable(in, out) + "\t\"" + out + "\" already exists\n";
    if (!run_in_console({in, out}, exists, shown, status))
        GTEST_SKIP() << "this system has no pseudo consoles";
    EXPECT_EQ(status, 3u);
    EXPECT_NE(shown.find(unspaced(exists)), std::string::npos) << shown;
}

#endif  // _WIN32
