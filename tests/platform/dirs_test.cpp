#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

using vptest::LogCapture;
using vptest::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr char sep = os::path_separator;
const char* const dir_variables[] = {"RV_INSTALL_DIR", "RV_CONFIG_DIR", "RV_RAMPS_DIR"};

// Joins parts with the platform's separator.
std::string J(std::initializer_list<std::string_view> parts)
{
    std::string out;
    bool first = true;
    for (auto p : parts) {
        if (!first)
            out.push_back(sep);
        out.append(p);
        first = false;
    }
    return out;
}

// What the program path becomes where file names ignore case.
std::string as_cached(std::string text)
{
#ifdef _WIN32
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
    return text;
}

std::string str_or_null(const char* p) { return p ? std::string(p) : std::string("(null)"); }

void set_env(const char* name, const std::string& value) { ASSERT_TRUE(os::set_env(name, value.c_str())); }

// Every test starts with the directory variables unset and the caches empty, and leaves the
// environment, the current directory, the hooks and the caches as it found them.
class Dirs : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* v : dir_variables) {
            saved_env_.push_back(os::get_env(v));
            os::set_env(v, nullptr);
        }
        saved_cwd_ = fs::current_path();
        saved_sink_ = u_log_sink;
        u_log_sink = u_log_none;  // tests that look at the lines capture them
        u_hooks_reset();
        fake_program(J({tmp_.path().string(), "apps", "bin", "conv.exe"}));
    }
    void TearDown() override
    {
        fs::current_path(saved_cwd_);
        for (std::size_t i = 0; i < saved_env_.size(); ++i)
            os::set_env(dir_variables[i], saved_env_[i] ? saved_env_[i]->c_str() : nullptr);
        u_hooks_reset();
        u_dirs_reset_for_tests();
        u_log_sink = saved_sink_;
    }

    // Forgets the caches; the program path is then `path` and the computer is "LAB7".
    void fake_program(const std::string& path)
    {
        program_ = path;
        u_dirs_test_system fake{program_.c_str(), "LAB7", false};
        u_dirs_reset_for_tests(&fake);
    }

    // The temporary tree's text as the caches hold it (lower case on Windows).
    std::string T(std::initializer_list<std::string_view> parts = {}) const
    {
        std::string out = as_cached(tmp_.path().string());
        for (auto p : parts) {
            out.push_back(sep);
            out.append(p);
        }
        return out;
    }

    void make_dirs(const std::string& text) { ASSERT_TRUE(fs::create_directories(fs::path(text))) << text; }

    // Creates a directory under the temporary tree whose path text is exactly `length`
    // characters long; empty when the system refuses so long a path.
    std::string long_dir(std::size_t length)
    {
        std::string text = tmp_.path().string();
        if (text.size() + 2 > length)
            return {};
        while (text.size() < length) {
            std::size_t rest = length - text.size();
            std::size_t part = rest <= 101 ? rest - 1 : (rest - 100 == 1 ? 98 : 99);
            if (part == 0)
                return {};
            text.push_back(sep);
            text.append(part, 'd');
        }
        std::error_code ec;
        fs::create_directories(fs::path(text), ec);
        if (ec || os::kind_of(fs::path(text)) != os::file_kind::directory)
            return {};
        return text;
    }

    TempDir tmp_;
    std::string program_;
    std::vector<std::optional<std::string>> saved_env_;
    fs::path saved_cwd_;
    u_log_fn saved_sink_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Program path

TEST_F(Dirs, ModulePathOfTheRealProgramIsThisTestExecutable)
{
    u_dirs_reset_for_tests();
    const char* p = u_module_path();
    ASSERT_NE(p, nullptr);
    fs::path native;
    ASSERT_TRUE(os::native_path(p, native));
    EXPECT_EQ(os::kind_of(native), os::file_kind::regular) << p;
    EXPECT_EQ(native.filename().string().rfind("platform_tests", 0), 0u) << p;
    EXPECT_EQ(std::string(p), as_cached(p));
    EXPECT_EQ(u_module_path(), p) << "served from the cache";
}

TEST_F(Dirs, ModulePathKeepsItsCaseOnlyWhereCaseMatters)
{
    fake_program(J({"C:", "Apps", "Bin", "Conv.EXE"}));
#ifdef _WIN32
    EXPECT_STREQ(u_module_path(), "c:\\apps\\bin\\conv.exe");
#else
    EXPECT_STREQ(u_module_path(), "C:/Apps/Bin/Conv.EXE");
#endif
}

TEST_F(Dirs, ModulePathIsEmptyNotNullWhenTheSystemSaysNothing)
{
    LogCapture log;
    fake_program("");
    ASSERT_NE(u_module_path(), nullptr);
    EXPECT_STREQ(u_module_path(), "");
    EXPECT_EQ(u_install_dir(), nullptr);
    EXPECT_EQ(u_config_dir(), nullptr);
    EXPECT_EQ(u_ramps_dir(), nullptr);
    EXPECT_EQ(log.str(), "");
}

TEST_F(Dirs, ModulePathLongerThanTheCacheIsRefusedNotCut)
{
    std::string head = J({"c:", "apps", "bin", ""});
    std::string at_limit = head + std::string(260 - head.size(), 'p');
    ASSERT_EQ(at_limit.size(), 260u);
    {
        LogCapture log;
        fake_program(at_limit);
        EXPECT_EQ(u_module_path(), at_limit);
        EXPECT_STREQ(u_install_dir(), J({"c:", "apps"}).c_str());
    }
    {
        LogCapture log;
        fake_program(at_limit + "p");
        EXPECT_STREQ(u_module_path(), "");
        EXPECT_EQ(u_install_dir(), nullptr);
        EXPECT_EQ(log.str(), "u_module_path: the program path is longer than 260 characters; no program path\n");
    }
}

// ---------------------------------------------------------------------------------------------
// Install directory

TEST_F(Dirs, InstallDirFromTheVariableIsUsedUnchangedAndNotLogged)
{
    LogCapture log;
    std::string value = J({"no such place", "Vell", ""});  // trailing separator kept as given
    set_env("RV_INSTALL_DIR", value);
    EXPECT_STREQ(str_or_null(u_install_dir()).c_str(), value.c_str());
    EXPECT_EQ(log.str(), "");
}

TEST_F(Dirs, InstallDirDropsTheFileNameAndTheProgramsDirectory)
{
    LogCapture log;
    fake_program(J({"c:", "apps", "bin", "conv.exe"}));
    EXPECT_EQ(str_or_null(u_install_dir()), J({"c:", "apps"}));
    EXPECT_EQ(log.str(), "Install directory: " + J({"c:", "apps"}) + "\n");
    log.clear();
    EXPECT_EQ(str_or_null(u_install_dir()), J({"c:", "apps"}));
    EXPECT_EQ(log.str(), "") << "logged by the first call only";
}

TEST_F(Dirs, InstallDirOfAProgramAtTheDriveRootIsTheDrive)
{
    LogCapture log;
    fake_program(J({"c:", "conv.exe"}));
    EXPECT_EQ(str_or_null(u_install_dir()), "c:");
    EXPECT_EQ(log.str(), "Install directory: c:\n");
}

TEST_F(Dirs, InstallDirCutsTheProgramsDirectoryOnlyAboveThreeCharacters)
{
    // What remains after the file name: 3 characters are kept, 4 are cut once more.
    fake_program(J({"", "ab", "conv"}));
    EXPECT_EQ(str_or_null(u_install_dir()), J({"", "ab"}));
    fake_program(J({"", "abc", "conv"}));
    LogCapture log;
    EXPECT_EQ(u_install_dir(), nullptr) << "nothing remains: no install directory";
    EXPECT_EQ(log.str(), "");
    fake_program(J({"x:", "abc", "conv"}));
    EXPECT_EQ(str_or_null(u_install_dir()), "x:");
}

TEST_F(Dirs, InstallDirFollowsTheRealProgram)
{
    u_dirs_reset_for_tests();
    std::string program = u_module_path();
    std::string expected = program.substr(0, program.rfind(sep));
    expected = expected.substr(0, expected.rfind(sep));
    EXPECT_EQ(str_or_null(u_install_dir()), expected);
}

TEST_F(Dirs, InstallDirIsAbsentWhenTheProgramPathHasNoDirectory)
{
    LogCapture log;
    fake_program("conv.exe");
    EXPECT_EQ(u_install_dir(), nullptr);
    EXPECT_EQ(u_config_dir(), nullptr);
    EXPECT_EQ(log.str(), "");
}

TEST_F(Dirs, InstallDirVariableIsReadOncePerProcess)
{
    set_env("RV_INSTALL_DIR", J({"", "first"}));
    EXPECT_EQ(str_or_null(u_install_dir()), J({"", "first"}));
    set_env("RV_INSTALL_DIR", J({"", "second"}));
    EXPECT_EQ(str_or_null(u_install_dir()), J({"", "first"}));
    u_dirs_reset_for_tests();
    EXPECT_EQ(str_or_null(u_install_dir()), J({"", "second"}));
}

TEST_F(Dirs, InstallDirFirstCallThatFindsNothingIsNotRetried)
{
    fake_program("");
    EXPECT_EQ(u_install_dir(), nullptr);
    set_env("RV_INSTALL_DIR", J({"", "later"}));
    EXPECT_EQ(u_install_dir(), nullptr);
}

TEST_F(Dirs, InstallDirEmptyVariableCountsAsUnset)
{
    set_env("RV_INSTALL_DIR", "");
    EXPECT_EQ(str_or_null(u_install_dir()), T({"apps"}));
}

TEST_F(Dirs, InstallDirVariableLongerThanTheCacheIsRefused)
{
    std::string at_limit = J({"", std::string(259, 'i')});
    set_env("RV_INSTALL_DIR", at_limit);
    EXPECT_EQ(str_or_null(u_install_dir()), at_limit);

    u_dirs_reset_for_tests();
    LogCapture log;
    set_env("RV_INSTALL_DIR", at_limit + "i");
    EXPECT_EQ(u_install_dir(), nullptr) << "not the program's directory either";
    EXPECT_EQ(log.str(), "u_install_dir: RV_INSTALL_DIR is longer than 260 characters; no install directory\n");
}

TEST_F(Dirs, EmptyVariablesCountAsUnset)
{
    make_dirs(T({"apps", "cfg"}));
    set_env("RV_CONFIG_DIR", "");
    set_env("RV_RAMPS_DIR", "");
    EXPECT_EQ(str_or_null(u_config_dir()), T({"apps", "cfg"}));
    EXPECT_EQ(str_or_null(u_ramps_dir()), T({"apps", "cfg", "ramps"}));
}

TEST_F(Dirs, PathsTheNarrowConventionCannotWriteAreRefused)
{
    // U+65E5 has no form in single-byte code pages; where the narrow convention is UTF-8
    // (POSIX, or Windows set to UTF-8) every path can be written and there is nothing to refuse.
    const std::string sun = "\xE6\x97\xA5";
    std::string probe;
    if (os::narrow_path(os::path_of_utf8(sun), probe))
        GTEST_SKIP() << "the narrow convention writes every character here";
    LogCapture log;
    fake_program(J({"c:", sun, "bin", "conv.exe"}));
    EXPECT_STREQ(u_module_path(), "");
    EXPECT_EQ(u_install_dir(), nullptr);
    set_env("RV_CONFIG_DIR", J({"c:", sun}));
    EXPECT_EQ(u_config_dir(), nullptr);
    EXPECT_EQ(log.str(),
              "u_module_path: the program path cannot be written in the system's code page; no program path\n"
              "u_config_dir: RV_CONFIG_DIR cannot be written in the system's code page; no configuration directory\n");
}

TEST(OsPathText, NarrowPathIsTheTextNativePathReads)
{
    for (std::string text : {J({"c:", "Apps", "cfg"}), J({"", "opt", "vell dir", "x.cal"}), std::string("rel")}) {
        fs::path native;
        ASSERT_TRUE(os::native_path(text.c_str(), native));
        std::string back;
        ASSERT_TRUE(os::narrow_path(native, back));
        EXPECT_EQ(back, text);
    }
    std::string empty;
    EXPECT_TRUE(os::narrow_path(fs::path(), empty));
    EXPECT_EQ(empty, "");
}

TEST(OsPathText, FoldCaseLowersOnlyWhereNamesIgnoreCase)
{
    std::string folded;
    ASSERT_TRUE(os::narrow_path(os::fold_case(fs::path(J({"C:", "Apps", "CONV.exe"}))), folded));
#ifdef _WIN32
    EXPECT_EQ(folded, "c:\\apps\\conv.exe");
#else
    EXPECT_EQ(folded, "C:/Apps/CONV.exe");
#endif
}

// ---------------------------------------------------------------------------------------------
// Configuration directory

TEST_F(Dirs, ConfigDirVariableIsUsedUncheckedAndTheInstallDirIsNotWorkedOut)
{
    LogCapture log;
    std::string missing = J({tmp_.path().string(), "does", "not", "exist"});
    set_env("RV_CONFIG_DIR", missing);
    EXPECT_EQ(str_or_null(u_config_dir()), missing);
    EXPECT_EQ(log.str(), "") << "no install directory line";
    // The install directory's first call is still to come: it sees a variable set now.
    set_env("RV_INSTALL_DIR", J({"", "set", "later"}));
    EXPECT_EQ(str_or_null(u_install_dir()), J({"", "set", "later"}));
}

TEST_F(Dirs, ConfigDirIsTheInstallDirWhenItHasNoCfg)
{
    make_dirs(T({"apps", "bin"}));
    EXPECT_EQ(str_or_null(u_config_dir()), T({"apps"}));
}

TEST_F(Dirs, ConfigDirIsTheCfgSubdirectoryWhenThereIsOne)
{
    make_dirs(T({"apps", "cfg"}));
    EXPECT_EQ(str_or_null(u_config_dir()), T({"apps", "cfg"}));
}

TEST_F(Dirs, ConfigDirIgnoresACfgThatIsNotADirectory)
{
    make_dirs(T({"apps"}));
    vptest::write_file(fs::path(T({"apps", "cfg"})), "not a directory\n");
    EXPECT_EQ(str_or_null(u_config_dir()), T({"apps"}));
}

TEST_F(Dirs, ConfigDirWithAnInstallDirThatDoesNotExistIsTheInstallDir)
{
    fake_program(J({"", "nowhere", "bin", "conv"}));
    EXPECT_EQ(str_or_null(u_config_dir()), J({"", "nowhere"}));
}

TEST_F(Dirs, ConfigDirIsAbsentWithoutAnInstallDir)
{
    fake_program("");
    EXPECT_EQ(u_config_dir(), nullptr);
}

TEST_F(Dirs, ConfigDirIsWorkedOutOnce)
{
    make_dirs(T({"apps", "bin"}));
    EXPECT_EQ(str_or_null(u_config_dir()), T({"apps"}));
    make_dirs(T({"apps", "cfg"}));
    set_env("RV_CONFIG_DIR", J({"", "late"}));
    EXPECT_EQ(str_or_null(u_config_dir()), T({"apps"}));
    u_dirs_reset_for_tests();
    EXPECT_EQ(str_or_null(u_config_dir()), J({"", "late"}));
}

TEST_F(Dirs, ConfigDirVariableLongerThanTheCacheIsRefused)
{
    make_dirs(T({"apps", "cfg"}));
    LogCapture log;
    set_env("RV_CONFIG_DIR", J({"", std::string(260, 'c')}));
    EXPECT_EQ(u_config_dir(), nullptr) << "not the install directory's cfg either";
    EXPECT_EQ(u_ramps_dir(), nullptr);
    EXPECT_EQ(log.str(), "u_config_dir: RV_CONFIG_DIR is longer than 260 characters; no configuration directory\n");
}

TEST_F(Dirs, ConfigDirWhoseCfgPathIsTooLongIsRefusedNotReplaced)
{
    std::string install = long_dir(258);
    if (install.empty())
        GTEST_SKIP() << "the system refuses paths of this length";
    set_env("RV_INSTALL_DIR", install);
    // Without cfg the install directory is the answer: nothing longer is needed.
    {
        LogCapture log;
        EXPECT_EQ(str_or_null(u_config_dir()), install);
        EXPECT_EQ(log.str(), "");
    }
    make_dirs(install + sep + "cfg");
    u_dirs_reset_for_tests();
    LogCapture log;
    EXPECT_EQ(u_config_dir(), nullptr);
    EXPECT_EQ(log.str(), "u_config_dir: \"" + install + sep +
                             "cfg\" is longer than 260 characters; no configuration directory\n");
}

// ---------------------------------------------------------------------------------------------
// Ramp directory

TEST_F(Dirs, RampsDirVariableIsUsedUncheckedAndNotCreated)
{
    std::string missing = J({tmp_.path().string(), "r"});
    set_env("RV_RAMPS_DIR", missing);
    EXPECT_EQ(str_or_null(u_ramps_dir()), missing);
    EXPECT_EQ(os::kind_of(fs::path(missing)), os::file_kind::none);
}

TEST_F(Dirs, RampsDirIsCreatedByTheFirstCall)
{
    make_dirs(T({"apps", "cfg"}));
    ASSERT_EQ(os::kind_of(fs::path(T({"apps", "cfg", "ramps"}))), os::file_kind::none);
    EXPECT_EQ(str_or_null(u_ramps_dir()), T({"apps", "cfg", "ramps"}));
    EXPECT_EQ(os::kind_of(fs::path(T({"apps", "cfg", "ramps"}))), os::file_kind::directory);
}

TEST_F(Dirs, RampsDirThatExistsIsKeptWithItsFiles)
{
    make_dirs(T({"apps", "ramps"}));
    vptest::write_file(fs::path(T({"apps", "ramps", "r1.ramp"})), "ramp");
    EXPECT_EQ(str_or_null(u_ramps_dir()), T({"apps", "ramps"}));
    EXPECT_EQ(vptest::read_file(fs::path(T({"apps", "ramps", "r1.ramp"}))), "ramp");
}

TEST_F(Dirs, RampsDirIsAbsentWithoutAConfigDir)
{
    fake_program("");
    EXPECT_EQ(u_ramps_dir(), nullptr);
}

TEST_F(Dirs, RampsDirIsThePathEvenWhenItCannotBeCreated)
{
    // The configuration directory itself is missing: one level is not enough.
    std::string config = J({tmp_.path().string(), "missing"});
    set_env("RV_CONFIG_DIR", config);
    LogCapture log;
    EXPECT_EQ(str_or_null(u_ramps_dir()), J({config, "ramps"}));
    EXPECT_EQ(os::kind_of(fs::path(config)), os::file_kind::none);
    EXPECT_EQ(log.str(), "");
}

TEST_F(Dirs, RampsDirThatIsAFileIsLeftAlone)
{
    make_dirs(T({"apps", "cfg"}));
    vptest::write_file(fs::path(T({"apps", "cfg", "ramps"})), "a file");
    EXPECT_EQ(str_or_null(u_ramps_dir()), T({"apps", "cfg", "ramps"}));
    EXPECT_EQ(vptest::read_file(fs::path(T({"apps", "cfg", "ramps"}))), "a file");
}

TEST_F(Dirs, RampsDirVariableIsReadOnce)
{
    set_env("RV_RAMPS_DIR", J({"", "one"}));
    EXPECT_EQ(str_or_null(u_ramps_dir()), J({"", "one"}));
    set_env("RV_RAMPS_DIR", J({"", "two"}));
    EXPECT_EQ(str_or_null(u_ramps_dir()), J({"", "one"}));
    u_dirs_reset_for_tests();
    EXPECT_EQ(str_or_null(u_ramps_dir()), J({"", "two"}));
}

TEST_F(Dirs, RampsDirWhosePathIsTooLongIsRefusedAndNotCreated)
{
    std::string config = long_dir(256);
    if (config.empty())
        GTEST_SKIP() << "the system refuses paths of this length";
    set_env("RV_CONFIG_DIR", config);
    LogCapture log;
    EXPECT_EQ(u_ramps_dir(), nullptr);
    EXPECT_EQ(log.str(), "u_ramps_dir: \"" + config + sep + "ramps\" is longer than 260 characters; no ramp directory\n");
    EXPECT_EQ(os::kind_of(fs::path(config + sep + "ramps")), os::file_kind::none);
}

// ---------------------------------------------------------------------------------------------
// Configuration-file lookup

class FindConfigFile : public Dirs {
protected:
    void SetUp() override
    {
        Dirs::SetUp();
        make_dirs(T({"apps", "cfg"}));
        make_dirs(T({"work"}));
        fs::current_path(fs::path(T({"work"})));
    }
    void put(const std::string& where, const std::string& content) { vptest::write_file(fs::path(where), content); }
};

const char* const untouched = "untouched";

TEST_F(FindConfigFile, EmptyOrNullNameGivesZeroAndNoPath)
{
    LogCapture log;
    const char* path = untouched;
    EXPECT_EQ(u_find_config_file("", &path), NO_ERROR);
    EXPECT_EQ(path, untouched);
    EXPECT_EQ(u_find_config_file(nullptr, &path), NO_ERROR);
    EXPECT_EQ(path, untouched);
    EXPECT_EQ(log.str(), "");
}

TEST_F(FindConfigFile, CurrentDirectoryComesFirst)
{
    put(T({"work", "sys.cal"}), "current");
    put(T({"apps", "cfg", "sys.cal"}), "config");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file("sys.cal", &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), J({".", "sys.cal"}));
    EXPECT_EQ(vptest::read_file(fs::path(path)), "current");
}

TEST_F(FindConfigFile, ConfigDirectoryComesSecond)
{
    put(T({"apps", "cfg", "sys.cal"}), "config");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file("sys.cal", &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), T({"apps", "cfg", "sys.cal"}));
    EXPECT_EQ(vptest::read_file(fs::path(path)), "config");
}

TEST_F(FindConfigFile, NameWithSubdirectoryIsFoundBelowTheConfigDirectory)
{
    make_dirs(T({"apps", "cfg", "HXI"}));
    put(T({"apps", "cfg", "HXI", "ZoomCal.txt"}), "zoom");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file(J({"HXI", "ZoomCal.txt"}).c_str(), &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), T({"apps", "cfg", "HXI", "ZoomCal.txt"}));
}

TEST_F(FindConfigFile, DirectoryOfThatNameIsNotAFile)
{
    make_dirs(T({"work", "sys.cal"}));
    put(T({"apps", "cfg", "sys.cal"}), "config");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file("sys.cal", &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), T({"apps", "cfg", "sys.cal"}));
}

TEST_F(FindConfigFile, MissingEverywhereIsCantReadAndWritesNothing)
{
    LogCapture log;
    const char* path = untouched;
    EXPECT_EQ(u_find_config_file("sys.cal", &path), ERR_CANT_READ_FILE);
    EXPECT_EQ(path, untouched);
    EXPECT_EQ(log.str(), "Install directory: " + T({"apps"}) + "\n") << "only the install directory's own line";
}

TEST_F(FindConfigFile, WithoutAConfigDirectoryIsCantOpen)
{
    fake_program("");
    LogCapture log;
    const char* path = untouched;
    EXPECT_EQ(u_find_config_file("sys.cal", &path), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(path, untouched);
    put(T({"work", "sys.cal"}), "current");
    EXPECT_EQ(u_find_config_file("sys.cal", &path), NO_ERROR) << "the current directory still counts";
    EXPECT_EQ(str_or_null(path), J({".", "sys.cal"}));
    EXPECT_EQ(log.str(), "");
}

TEST_F(FindConfigFile, AbsoluteNameIsTakenAsItIs)
{
    std::string name = tmp_.path().string() + sep + "abs.cal";
    put(name, "absolute");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file(name.c_str(), &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), name);
    EXPECT_NE(path, name.c_str()) << "a copy owned by the lookup";
}

TEST_F(FindConfigFile, AbsoluteNameThatDoesNotExistIsCantReadWithoutSearching)
{
    put(T({"apps", "cfg", "abs.cal"}), "config");
    put(T({"work", "abs.cal"}), "current");
    const char* path = untouched;
    std::string name = tmp_.path().string() + sep + "missing" + sep + "abs.cal";
    EXPECT_EQ(u_find_config_file(name.c_str(), &path), ERR_CANT_READ_FILE);
    EXPECT_EQ(path, untouched);
}

TEST_F(FindConfigFile, DotSeparatorNameIsLookedForOnlyInTheCurrentDirectory)
{
    put(T({"apps", "cfg", "only.cal"}), "config");
    const char* path = untouched;
    std::string name = J({".", "only.cal"});
    EXPECT_EQ(u_find_config_file(name.c_str(), &path), ERR_CANT_READ_FILE);
    EXPECT_EQ(path, untouched);
    put(T({"work", "only.cal"}), "current");
    ASSERT_EQ(u_find_config_file(name.c_str(), &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), name);
}

TEST_F(FindConfigFile, DriveLetterNameIsAbsolute)
{
    const char* path = untouched;
    EXPECT_EQ(u_find_config_file("q:nosuch.cal", &path), ERR_CANT_READ_FILE);
    EXPECT_EQ(u_find_config_file("Q:\\nosuch.cal", &path), ERR_CANT_READ_FILE);
    EXPECT_EQ(path, untouched);
#ifndef _WIN32
    // Where such names can be files, the configuration directory is still not searched.
    put(T({"apps", "cfg", "q:x.cal"}), "config");
    put(T({"apps", "cfg", "\\x.cal"}), "config");
    EXPECT_EQ(u_find_config_file("q:x.cal", &path), ERR_CANT_READ_FILE);
    EXPECT_EQ(u_find_config_file("\\x.cal", &path), ERR_CANT_READ_FILE);
    put(T({"work", "q:x.cal"}), "current");
    ASSERT_EQ(u_find_config_file("q:x.cal", &path), NO_ERROR);
    EXPECT_STREQ(path, "q:x.cal");
#endif
}

TEST_F(FindConfigFile, NullOutParameterIsInvalidParam)
{
    put(T({"work", "sys.cal"}), "current");
    EXPECT_EQ(u_find_config_file("sys.cal", nullptr), ERR_INVALID_PARAM);
}

// Allocation hooks that count, and can refuse.
struct CountingHooks {
    static inline int allocs = 0;
    static inline std::vector<void*> released;
    static inline bool refuse = false;
    static void* alloc(std::size_t n)
    {
        if (refuse)
            return nullptr;
        ++allocs;
        return std::malloc(n);
    }
    static void release(void* p)
    {
        released.push_back(p);
        std::free(p);
    }
    static void install()
    {
        allocs = 0;
        released.clear();
        refuse = false;
        u_hooks.alloc = alloc;
        u_hooks.release = release;
    }
};

TEST_F(FindConfigFile, NextLookupReleasesThePreviousPath)
{
    CountingHooks::install();
    put(T({"work", "a.cal"}), "a");
    const char* first = nullptr;
    ASSERT_EQ(u_find_config_file("a.cal", &first), NO_ERROR);
    EXPECT_EQ(CountingHooks::allocs, 1);
    EXPECT_TRUE(CountingHooks::released.empty());

    const char* second = untouched;
    EXPECT_EQ(u_find_config_file("b.cal", &second), ERR_CANT_READ_FILE);
    ASSERT_EQ(CountingHooks::released.size(), 1u);
    EXPECT_EQ(CountingHooks::released[0], first);
    EXPECT_EQ(second, untouched);
    EXPECT_EQ(u_find_config_file("c.cal", &second), ERR_CANT_READ_FILE);
    EXPECT_EQ(CountingHooks::released.size(), 1u) << "nothing left to release";
}

TEST_F(FindConfigFile, PathIsReleasedThroughTheHooksThatMadeIt)
{
    CountingHooks::install();
    put(T({"work", "a.cal"}), "a");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file("a.cal", &path), NO_ERROR);
    u_hooks_reset();
    EXPECT_EQ(u_find_config_file("a.cal", &path), NO_ERROR);
    ASSERT_EQ(CountingHooks::released.size(), 1u);
    EXPECT_EQ(CountingHooks::allocs, 1) << "the second path came from the standard allocator";
    u_dirs_reset_for_tests();  // releases the second path through the standard hooks
    EXPECT_EQ(CountingHooks::released.size(), 1u);
}

TEST_F(FindConfigFile, EmptyNameKeepsThePreviousPathValid)
{
    CountingHooks::install();
    put(T({"work", "a.cal"}), "a");
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file("a.cal", &path), NO_ERROR);
    const char* held = path;
    EXPECT_EQ(u_find_config_file("", &path), NO_ERROR);
    EXPECT_EQ(path, held);
    EXPECT_TRUE(CountingHooks::released.empty());
    EXPECT_EQ(str_or_null(path), J({".", "a.cal"}));
}

TEST_F(FindConfigFile, AllocationFailureIsNoMem)
{
    put(T({"work", "a.cal"}), "a");
    CountingHooks::install();
    CountingHooks::refuse = true;
    const char* path = untouched;
    EXPECT_EQ(u_find_config_file("a.cal", &path), ERR_NO_MEM);
    EXPECT_EQ(path, untouched);
    CountingHooks::refuse = false;
    EXPECT_EQ(u_find_config_file("a.cal", &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), J({".", "a.cal"}));
}

TEST_F(FindConfigFile, PathLongerThanTheDirectoryCachesIsFoundWhole)
{
    set_env("RV_CONFIG_DIR", T({"apps", "cfg"}));
    std::string name(200, 'n');
    std::string deep = J({name, name});
    std::error_code ec;
    fs::create_directories(fs::path(T({"apps", "cfg", name})), ec);
    if (!ec)
        put(T({"apps", "cfg", name, name}), "deep");
    if (ec || os::kind_of(fs::path(T({"apps", "cfg", name, name}))) != os::file_kind::regular)
        GTEST_SKIP() << "the system refuses paths of this length";
    const char* path = nullptr;
    ASSERT_EQ(u_find_config_file(deep.c_str(), &path), NO_ERROR);
    EXPECT_EQ(str_or_null(path), T({"apps", "cfg", name, name}));
}

// ---------------------------------------------------------------------------------------------
// Computer name and per-computer file name

void fake_computer(const char* name, bool none = false)
{
    u_dirs_test_system fake{nullptr, name, none};
    u_dirs_reset_for_tests(&fake);
}

std::string name_of_computer(int* status = nullptr)
{
    char buf[U_COMPUTER_NAME_MAX + 1];
    std::memset(buf, 'x', sizeof buf);
    int s = u_computer_name(buf, sizeof buf);
    if (status)
        *status = s;
    return buf;
}

TEST_F(Dirs, ComputerNameComesFromTheSystem)
{
    u_dirs_reset_for_tests();
    std::string system;
    ASSERT_TRUE(os::computer_name(system));
    int status = -1;
    std::string name = name_of_computer(&status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(system.rfind(name, 0), 0u) << name << " is the start of " << system;
}

TEST_F(Dirs, ComputerNameIsCopiedWithItsStatus)
{
    fake_computer("LAB7");
    int status = -1;
    EXPECT_EQ(name_of_computer(&status), "LAB7");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(u_computer_name(nullptr, 0), 0) << "status without a buffer";
}

TEST_F(Dirs, ComputerNameIsAtMostFifteenCharacters)
{
    fake_computer("ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(name_of_computer(), "ABCDEFGHIJKLMNO");
    EXPECT_STREQ(u_host_file_name(3), "ABCDEFGHIJKLMNO.3");
#ifndef _WIN32
    // 15 bytes, so that a 16-byte buffer holds it; a cut never splits a character.
    fake_computer("ABCDEFGHIJKLM\xC3\xA9Z");
    EXPECT_EQ(name_of_computer(), "ABCDEFGHIJKLM\xC3\xA9");
    fake_computer("ABCDEFGHIJKLMN\xC3\xA9");
    EXPECT_EQ(name_of_computer(), "ABCDEFGHIJKLMN");
#endif
}

TEST_F(Dirs, ComputerNameLeavesOutTheDomain)
{
    fake_computer("lab7.example.com");
    EXPECT_EQ(name_of_computer(), "lab7");
    EXPECT_STREQ(u_host_file_name(0), "lab7.0");
}

TEST_F(Dirs, ComputerNameNotSuppliedIsStatusOneAndEmpty)
{
    fake_computer(nullptr, true);
    int status = -1;
    EXPECT_EQ(name_of_computer(&status), "");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(u_computer_name(nullptr, 0), 1);
    EXPECT_STREQ(u_host_file_name(2), ".2");
}

TEST_F(Dirs, ComputerNameCopyNeverPassesTheLength)
{
    fake_computer("LAB7");
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(u_computer_name(buf, 3), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("LA\0xxxxx", 8));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(u_computer_name(buf, 1), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("\0xxxxxxx", 8));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(u_computer_name(buf, 0), 0);
    EXPECT_EQ(u_computer_name(buf, -5), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), "xxxxxxxx");
    EXPECT_EQ(u_computer_name(buf, 5), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("LAB7\0xxx", 8));
}

TEST_F(Dirs, HostFileNameIsFixedByTheFirstCall)
{
    const char* first = u_host_file_name(1);
    EXPECT_STREQ(first, "LAB7.1");
    const char* second = u_host_file_name(2);
    EXPECT_STREQ(second, "LAB7.1");
    EXPECT_EQ(first, second);
    fake_computer("LAB7");
    EXPECT_STREQ(u_host_file_name(9), "LAB7.9") << "until the caches are forgotten";
}

TEST_F(Dirs, HostFileNameOutsideTheDigitsFixesNothing)
{
    LogCapture log;
    EXPECT_STREQ(u_host_file_name(10), "");
    EXPECT_STREQ(u_host_file_name(-1), "");
    EXPECT_EQ(log.str(),
              "u_host_file_name: 10 is not a digit from 0 to 9\n"
              "u_host_file_name: -1 is not a digit from 0 to 9\n");
    EXPECT_STREQ(u_host_file_name(0), "LAB7.0");
    EXPECT_STREQ(u_host_file_name(10), "LAB7.0");
}

TEST_F(Dirs, HostFileNameOfTheRealComputer)
{
    u_dirs_reset_for_tests();
    std::string name = name_of_computer();
    EXPECT_EQ(std::string(u_host_file_name(4)), name + ".4");
}

}  // namespace
