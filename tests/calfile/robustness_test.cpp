// The reader on hostile input: NUL bytes, overlong words, unterminated constructs, every prefix
// of a file, every byte value.
#include <random>
#include <string>

#include "tests/calfile/reader_fixture.h"

namespace {

using caltest::kBase;
using caltest::ReaderTest;

bool known_code(int32_t rc) { return rc >= 0 && rc <= 462; }

// A file that uses every kind of construct the scanner knows.
const std::string kRich =
    "# Vell System Calibration File\n"
    "InstrName              \"Quoted name with blanks\"\n"
    "Model24                12  05  12345  R\n"
    "Version                Matrox  1  CAN\n"
    "MacAddress             00  1A  2B  3C  4D  5E\n"
    "Camera Type            Custom  1\n"
    "Camera File            a.dat  NULL  c.dat\n"
    "Camera BPixels         [1,2] [3,4] [5,6]\n"
    "Light LED              [0.5,0.1]  0.6  0.7\n"
    "LLC Range              1  2  3  4\n"
    "LLC Target             100\n"
    "NomMag                 1  2  5\n"
    "SysMag                 1.1  2.2  5.5\n"
    "Camera Trans           1  -5  6\n"
    "FTPDisper              0  1.5  -1.5  0.25\n"
    "FTPTemperature         0:00:30:00   1.00\n"
    "PidVals_X Fast         1  2  3  4  1  6  0.1  0.2  0.3  0.4\n"
    "DynWaveGen             1  2  96\n"
    "HxiEncZoomStdMags      1  2  3\n"
    "wmComm                 COM5\n"
    "wmMonOPD               1.5\n"
    "wmTuneRange            1  2\n"
    "SleepTimeout           1:02:03";

TEST_F(ReaderTest, RichFileReads)
{
    ASSERT_EQ(read(kRich), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().sleepTimeout, 3723);
    EXPECT_EQ(slot().badPixels[2][1], 6);
}

TEST_F(ReaderTest, EveryPrefixOfAFileIsReadSafely)
{
    vptest::LogCapture quiet;
    for (std::size_t n = 0; n <= kRich.size(); ++n) {
        int32_t rc = sb_readCal_bytes(0, std::string_view(kRich).substr(0, n), "prefix");
        ASSERT_TRUE(known_code(rc)) << n << ": " << rc;
    }
    // The same through a real file for a few cut points inside constructs.
    for (const char* cut : {"\"Quoted name", "[3,", "0:00:", "Fast  1  2"}) {
        std::size_t at = kRich.find(cut) + std::string(cut).size();
        int32_t rc = read(kRich.substr(0, at));
        EXPECT_TRUE(known_code(rc)) << cut;
        EXPECT_NE(rc, NO_ERROR) << cut;
    }
}

TEST_F(ReaderTest, FileEndingInsideAConstructEndsWithEof)
{
    EXPECT_EQ(read(kBase + "InstrName \"open"), ERR_EOF);
    EXPECT_EQ(read(kBase + "Camera Bad [1,"), ERR_EOF);
    EXPECT_EQ(read(kBase + "SleepTimeout 1:"), ERR_EOF);
    EXPECT_EQ(read(kBase + "Light Diode [1,"), ERR_EOF);
    EXPECT_EQ(read(kBase + "PidVals_A 1 2 3"), ERR_EOF);
    EXPECT_EQ(read(kBase + "Model09 1 1"), ERR_EOF);
    EXPECT_EQ(read(kBase + "MacAddress 1 2"), ERR_EOF);
    // Where a keyword is required the end of the file is a syntax error of the line.
    EXPECT_EQ(read(kBase + "LLC"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(read(kBase + "Camera Bad [1,2"), ERR_EOF);
}

TEST_F(ReaderTest, NulBytesSeparateWordsLikeBlanks)
{
    std::string text = kBase + std::string("Zoom\0\0 3\nInstrName a\0b\n", 24);
    ASSERT_EQ(read(text), NO_ERROR) << log_.str();
    EXPECT_EQ(slot().zoom, 3);
    EXPECT_STREQ(slot().instrName.c_str(), "a");
    // A line of NUL bytes only is an empty line.
    ASSERT_EQ(read(kBase + std::string(5, '\0') + "\nUnit 2\n"), NO_ERROR);
    EXPECT_EQ(slot().unit, 2);
}

TEST_F(ReaderTest, OverlongWordsAreCutNotOverrun)
{
    std::string word(5000, 'x');
    EXPECT_EQ(read(kBase + word + "\n"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(messages(), header() + "Unrecognized token \"" + std::string(81, 'x') + "\"\n");
    ASSERT_EQ(read(kBase + "InstrName \"" + std::string(300, 'n') + "\"\nZoom 1\n"), NO_ERROR);
    EXPECT_EQ(slot().instrName.view(), std::string(81, 'n'));
    EXPECT_EQ(slot().zoom, 1);
    // A keyword that runs on past the limit is cut there.
    EXPECT_EQ(read(kBase + "InstrName" + std::string(100, 'z') + "\n"), ERR_SB_CALFILE_SYNTAX);
}

TEST_F(ReaderTest, VeryLongLinesAndManyLines)
{
    std::string text = kBase + "Zoom 1" + std::string(1 << 20, ' ') + "tail\n";
    for (int i = 0; i < 20000; ++i)
        text += "# comment line\n";
    text += "Unit 6\n";
    ASSERT_EQ(read(text), NO_ERROR);
    EXPECT_EQ(slot().unit, 6);
    EXPECT_EQ(read(text + "Unit 9\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_NE(messages().find("Error in line 20005."), std::string::npos) << messages();
}

// A file up to the size limit reads; one byte more is refused before anything of it is read,
// from a file as from memory.
TEST_F(ReaderTest, FileBeyondTheSizeLimitIsRefused)
{
    std::string text = kBase + "Unit 3\n";
    text.append(CALFILE_MAX_BYTES - text.size() - 1, '#');
    text += '\n';
    ASSERT_EQ(text.size(), CALFILE_MAX_BYTES);
    EXPECT_EQ(read(text), NO_ERROR) << messages();
    EXPECT_EQ(slot().unit, 3);

    text += '\n';
    EXPECT_EQ(read(text), ERR_CANT_READ_FILE);
    EXPECT_EQ(messages(), header() + "File is larger than 4194304 bytes.\n");
    EXPECT_EQ(slot().unit, 0);
    log_.clear();
    EXPECT_EQ(sb_readCal_bytes(1, text, "big.cal"), ERR_CANT_READ_FILE);
    EXPECT_EQ(log_.str(), "Error(s) reading system calibration file \"big.cal\":\nFile is larger than 4194304 bytes.\n");
}

TEST_F(ReaderTest, EveryByteValueIsReadSafely)
{
    vptest::LogCapture quiet;
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    EXPECT_TRUE(known_code(sb_readCal_bytes(0, all, "bytes")));
    std::mt19937 rng(12345);
    std::string words[] = {"Camera", "Bad", "[", "]", ",", ":", "\"", "1", "-2.5e3", "\n", " ", "#",
                           "LLC", "Range", "Light", "HeNe", "+", "\r", std::string(1, '\0'), "SleepTimeout",
                           "NomMag", "FTPDisper", "PidVals_A", "DynWaveGen", "Model24", "Version", "CAN"};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i)
            text += words[rng() % (sizeof(words) / sizeof(words[0]))] + (rng() % 3 ? " " : "");
        ASSERT_TRUE(known_code(sb_readCal_bytes(0, text, "random"))) << text;
        std::string line = "+" + text.substr(0, text.find('\0'));
        ASSERT_TRUE(known_code(sb_readCal(1, line.c_str()))) << line;
    }
}

}  // namespace
