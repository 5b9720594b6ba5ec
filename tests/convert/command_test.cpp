// The sdf_to_dat command line: arguments, existence checks, messages and exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "tests/convert/run_command.h"
#include "tests/support/test_support.h"

namespace {

using convtest::run;
using convtest::converting;
using convtest::run_result;
using convtest::success;
using convtest::unable;
using vptest::read_file;
using vptest::TempDir;
using vptest::write_file;
namespace fs = std::filesystem;

const std::string usage_text =
    "\nUsage:  sdf_to_dat [options] input output\n"
    "\tinput  = existing SDF data file\n"
    "\toutput = Vell binary data file to create\n"
    "\n\tOptions:\n"
    "\t\t-f\twrites output even if file already exists\n";

// A small ASCII SDF file with a complete trailer: 3 x 2 points.
const std::string good_sdf =
    "aBCR-1.0\n"
    "ManufacID = test\n"
    "CreateDate = 020319951120\n"
    "NumPoints = 3\n"
    "NumProfiles = 2\n"
    "Xscale = 1e-6\n"
    "Yscale = 1e-6\n"
    "Zscale = 1e-9\n"
    "Zresolution = 1e-9\n"
    "DataType = ULONGINT\n"
    "*\n"
    "1 2 3\n"
    "4 5 6\n"
    "*\n"
    "intf_scale_factor=0.5\n"
    "obliquity_factor=1\n"
    "wavelength_in=8.192e-06\n"
    "num_aperture=0.3\n"
    "lateral_res=1e-06\n"
    "camera_width=0\n"
    "camera_height=0\n"
    "phase_res=0\n"
    "*\n";

class Command : public ::testing::Test {
protected:
    void SetUp() override
    {
        in = dir.str("in.sdf");
        out = dir.str("out.dat");
        write_file(in, good_sdf);
    }
    run_result go(const std::vector<std::string>& args) { return run(args, scratch.path()); }
    void expect_usage(const run_result& r)
    {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage_text);
        EXPECT_EQ(r.out, "");
    }

    TempDir dir;
    TempDir scratch;
    std::string in;
    std::string out;
};

TEST_F(Command, TooFewArgumentsPrintTheUsageText)
{
    expect_usage(go({}));
    expect_usage(go({in}));
    expect_usage(go({"-f"}));
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Command, ThirdPositionalArgumentPrintsTheUsageText)
{
    expect_usage(go({in, out, dir.str("third.dat")}));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(dir / "third.dat"));
}

TEST_F(Command, UnknownOptionsPrintTheUsageText)
{
    expect_usage(go({"-x", in, out}));
    expect_usage(go({in, out, "-x"}));
    expect_usage(go({"-", in, out}));
    expect_usage(go({"-F", in, out}));  // case matters
    // A file name that begins with "-" is an option.
    write_file(dir / "-out.dat", "x");
    expect_usage(go({in, "-out.dat"}));
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Command, OptionWithOnlyOnePositionalArgumentIsRejected)
{
    expect_usage(go({"-f", in}));
    expect_usage(go({in, "-f"}));
    EXPECT_EQ(read_file(in), good_sdf);
}

TEST_F(Command, SuccessfulRunPrintsExactlyTwoLines)
{
    run_result r = go({in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, converting(in, out) + success(in, out));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fs::file_size(out), 834u + 24u);
}

TEST_F(Command, OptionBeforeOrAfterTheNamesGivesTheSameRun)
{
    write_file(out, "old");
    run_result before = go({"-f", in, out});
    std::string first = read_file(out);
    write_file(out, "old");
    run_result after = go({in, out, "-f"});
    run_result between = go({in, "-f", out});
    EXPECT_EQ(before.status, 0);
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(between.status, 0);
    EXPECT_EQ(before.err, after.err);
    EXPECT_EQ(before.err, between.err);
    EXPECT_EQ(first, read_file(out));
    EXPECT_EQ(first.size(), 834u + 24u);
}

TEST_F(Command, MissingInput)
{
    std::string missing = dir.str("missing.sdf");
    run_result r = go({missing, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, unable(missing, out) + "\t\"" + missing + "\" does not exist\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(out));

    // The output is not touched, even with -f.
    write_file(out, "keep");
    r = go({"-f", missing, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(read_file(out), "keep");
}

#ifndef _WIN32
// POSIX names are bytes: names that begin with FF FE, the mark of the library's wide path form,
// are still the user's files and are converted under exactly those names.
TEST_F(Command, NamesBeginningWithTheWideMarkAreOrdinaryFiles)
{
    const std::string in_name = "\xFF\xFEin.sdf";
    const std::string out_name = "\xFF\xFEout.dat";
    write_file(dir.path() / in_name, good_sdf);
    run_result r = run({in_name, out_name}, scratch.path(), dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, converting(in_name, out_name) + success(in_name, out_name));
    EXPECT_EQ(read_file(dir.path() / out_name).size(), 834u + 24u);

    // The existence checks look at the same files.
    r = run({in_name, out_name}, scratch.path(), dir.path());
    EXPECT_EQ(r.status, 3);
    r = run({"\xFF\xFEmissing.sdf", "\xFF\xFEother.dat"}, scratch.path(), dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(dir.path() / "\xFF\xFEother.dat"));
}
#endif

TEST_F(Command, DirectoryInputCountsAsMissing)
{
    std::string sub = dir.str("sub.sdf");
    fs::create_directory(sub);
    run_result r = go({sub, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, unable(sub, out) + "\t\"" + sub + "\" does not exist\n");
}

TEST_F(Command, ExistingOutputNeedsTheOverwriteOption)
{
    write_file(out, "precious");
    run_result r = go({in, out});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, unable(in, out) + "\t\"" + out + "\" already exists\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(out), "precious");

    r = go({"-f", in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, converting(in, out) + success(in, out));
    EXPECT_EQ(fs::file_size(out), 834u + 24u);

    // Any option that begins with "-f" sets the flag.
    write_file(out, "precious");
    r = go({"-fxyz", in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fs::file_size(out), 834u + 24u);
}

TEST_F(Command, ReaderFailuresPrintThreeLines)
{
    // A trailer without its required fields.
    std::string bare = dir.str("bare.sdf");
    write_file(bare, good_sdf.substr(0, good_sdf.find("intf_scale_factor")) + "phase_res=0\n*\n");
    run_result r = go({bare, out});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "Missing required fields.\n");
    EXPECT_EQ(r.err, converting(bare, out) + unable(bare, out) + "\tthere was an error reading the file \"" +
                         bare + "\"\n\tERR_CORRUPT_DATA_FILE\n");
    EXPECT_FALSE(fs::exists(out));

    // A file cut inside its data: the trailer, read from where the data stopped, is missing.
    std::string cut = dir.str("cut.sdf");
    write_file(cut, good_sdf.substr(0, good_sdf.find("4 5")));
    r = go({cut, out});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "Missing required fields.\n");
    EXPECT_EQ(r.err, converting(cut, out) + unable(cut, out) + "\tthere was an error reading the file \"" + cut +
                         "\"\n\tERR_CORRUPT_DATA_FILE\n");

    // Different X and Y scales.
    std::string scales = dir.str("scales.sdf");
    std::string text = good_sdf;
    text.replace(text.find("Yscale = 1e-6"), 13, "Yscale = 2e-6");
    write_file(scales, text);
    r = go({scales, out});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, converting(scales, out) + unable(scales, out) + "\tthere was an error reading the file \"" +
                         scales + "\"\n\tERR_BAD_PARAM\n");

    // An empty file is read as the binary form and ends early.
    std::string empty = dir.str("empty.sdf");
    write_file(empty, "");
    r = go({empty, out});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, converting(empty, out) + unable(empty, out) + "\tthere was an error reading the file \"" +
                         empty + "\"\n\tERR_PREMATURE_EOF\n");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Command, WriterFailuresPrintThreeLines)
{
    std::string nowhere = dir.str("no/such/dir/out.dat");
    run_result r = go({in, nowhere});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, converting(in, nowhere) + unable(in, nowhere) + "\tthere was an error writing to the file \"" +
                         nowhere + "\"\n\tERR_CANT_CREATE_FILE\n");

    // An empty output name passes the existence check and cannot be created.
    r = go({in, ""});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, converting(in, "") + unable(in, "") +
                         "\tthere was an error writing to the file \"\"\n\tERR_CANT_CREATE_FILE\n");

    // A directory as output is not an existing file; the writer cannot create it.
    std::string sub = dir.str("sub.dat");
    fs::create_directory(sub);
    r = go({in, sub});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, converting(in, sub) + unable(in, sub) + "\tthere was an error writing to the file \"" + sub +
                         "\"\n\tERR_CANT_CREATE_FILE\n");
    EXPECT_TRUE(fs::is_directory(sub));

#ifndef _WIN32
    if (fs::exists("/dev/full")) {
        r = go({in, "/dev/full"});
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.err, converting(in, "/dev/full") + unable(in, "/dev/full") +
                             "\tthere was an error writing to the file \"/dev/full\"\n\tERR_CANT_WRITE_FILE\n");
    }
#endif
}

TEST_F(Command, BundledExamplesConvert)
{
    for (const char* name : {"surface_ascii", "surface_binary"}) {
        std::string src = std::string(VP_EXAMPLES_DIR) + "/" + name + ".sdf";
        std::string dst = dir.str(std::string(name) + ".dat");
        run_result r = go({src, dst});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.err, converting(src, dst) + success(src, dst));
        EXPECT_EQ(r.out, "");
        std::string data = read_file(dst);
        ASSERT_EQ(data.size(), 834u + 24u * 16u * 4u) << name;
        EXPECT_EQ(data.substr(0, 4), std::string("\x88\x1B\x03\x6F", 4));
        EXPECT_EQ(data.substr(834, 4), std::string("\x7F\xFF\xFF\xF8", 4));  // corner outside the aperture
    }
}

}  // namespace

namespace {

// Replacing an existing output with -f: a symbolic link is followed (its file is replaced, the
// link stays), the replaced file keeps its permission bits, and no temporary file is left.
TEST_F(Command, OverwriteFollowsALinkAndKeepsThePermissions)
{
    std::string real = dir.str("real.dat");
    write_file(real, "precious");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::error_code ec;
    fs::create_symlink("real.dat", out, ec);  // relative, as users make them
    if (ec)
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    run_result r = go({"-f", in, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(out)));
    EXPECT_EQ(fs::file_size(real), 834u + 24u);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names.size(), 3u);  // in.sdf, out.dat, real.dat
}

// An existing output that the user may not write is refused as a plain open would refuse it,
// although its folder is writable; the file stays as it was. Run as another user when the
// tests run with administrator rights (which may write any file).
TEST_F(Command, ReadOnlyOutputInAWritableFolderIsRefused)
{
    write_file(out, "precious");
    fs::permissions(out, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::string prefix;
    if (std::FILE* probe = std::fopen(out.c_str(), "r+b")) {
        std::fclose(probe);
#ifdef _WIN32
        GTEST_SKIP() << "read-only files are writable here";
#else
        if (!fs::exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "read-only files are writable here and there is no other user to run as";
        prefix = "--reuid=65534 --regid=65534 --clear-groups " + vptest::shell_quoted(SDF_TO_DAT_PATH) + " ";
        fs::permissions(dir.path(), fs::perms::all);
        fs::permissions(in, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#endif
    }
    std::string args = "-f " + vptest::shell_quoted(in) + " " + vptest::shell_quoted(out);
    run_result r = prefix.empty() ? go({"-f", in, out})
                                  : vptest::run_program("/usr/bin/setpriv", prefix + args, scratch.path());
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, converting(in, out) + unable(in, out) + "\tthere was an error writing to the file \"" + out +
                         "\"\n\tERR_CANT_CREATE_FILE\n");
    EXPECT_EQ(read_file(out), "precious");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

}  // namespace
