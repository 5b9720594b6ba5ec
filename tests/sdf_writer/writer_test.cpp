// The SDF writer: every line of the file, the data section, the trailer, the failures, and the
// creation date.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/sdf_writer.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using vptest::TempDir;

#ifdef _WIN32
const std::string eol = "\r\n";
#else
const std::string eol = "\n";
#endif

// A header record as the dataset's users make one: all zero, format from the contents.
std::unique_ptr<dat_header> new_header()
{
    auto h = std::make_unique<dat_header>();
    std::memset(h.get(), 0, sizeof(dat_header));
    EXPECT_EQ(dat_header_create(h.get()), NO_ERROR);
    h->intf_scale_factor = 0.5f;
    h->obliquity_factor = 1.0f;
    h->wavelength_in = 8192.0f * 1e-9f;
    h->lateral_res = 2.5e-6f;
    return h;
}

struct phase_data {
    std::vector<int32_t> values;
    phase_map map{};

    phase_data(int16_t width, int16_t height, std::vector<int32_t> v) : values(std::move(v))
    {
        values.resize(static_cast<std::size_t>(width) * height);
        map.count = static_cast<uint32_t>(values.size());
        map.width = width;
        map.height = height;
        map.data = values.data();
    }
};

std::vector<std::string> split_lines(const std::string& text, const std::string& line_end = eol)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(line_end, start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            lines.back() += "<no line end>";
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + line_end.size();
    }
    return lines;
}

std::string mod_date_of(std::time_t when)
{
    std::tm tm{};
    EXPECT_TRUE(os::local_time(when, tm));
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%04d%02d%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min);
    return text;
}

// Writes the header and phase data, and gives the file's lines; the times around the write
// give the ModDate values that can appear.
struct written {
    int32_t rc = -1;
    std::string bytes;
    std::vector<std::string> lines;
    std::set<std::string> now_dates;
};

written write(const TempDir& dir, const dat_header& header, const phase_map& phase, const char* name = "out.sdf")
{
    written w;
    w.now_dates.insert(mod_date_of(std::time(nullptr)));
    w.rc = sdf_write_file(dir.str(name).c_str(), &header, nullptr, &phase);
    w.now_dates.insert(mod_date_of(std::time(nullptr)));
    w.bytes = vptest::read_file(dir / name);
    w.lines = split_lines(w.bytes);
    return w;
}

// Index of the first data line (after the header's "*").
constexpr std::size_t data_line = 14;

std::string g10(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%12.10g", v);
    return text;
}

TEST(SdfWriter, HeaderLinesAreExact)
{
    TempDir dir;
    auto h = new_header();
    h->swinfo.vers = {9, 5, 2};
    std::memcpy(h->swinfo.date, "Mar 02 11:20:00 1995          ", 30);
    phase_data p(3, 2, {1, 2, 3, 4, 5, 6});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    ASSERT_GT(w.lines.size(), data_line);
    EXPECT_EQ(w.lines[0], "aBCR-1.0");
    EXPECT_EQ(w.lines[1], "ManufacID = TN9.5.2");
    EXPECT_EQ(w.lines[2], "CreateDate = 020319951120");
    ASSERT_EQ(w.lines[3].substr(0, 10), "ModDate = ");
    EXPECT_EQ(w.now_dates.count(w.lines[3].substr(10)), 1u) << w.lines[3];
    EXPECT_EQ(w.lines[4], "NumPoints = 3");
    EXPECT_EQ(w.lines[5], "NumProfiles = 2");
    EXPECT_EQ(w.lines[6], "Xscale = 2.499999937e-06");
    EXPECT_EQ(w.lines[7], "Yscale = 2.499999937e-06");
    // 0.5 x 1 x (8192 x 1e-9 in single precision) / 4096: 1e-9 in single precision.
    EXPECT_EQ(w.lines[8], "Zscale = 9.999999717e-10");
    EXPECT_EQ(w.lines[9], "Zresolution = 9.999999717e-10");
    EXPECT_EQ(w.lines[10], "Compression = 0");
    EXPECT_EQ(w.lines[11], "DataType = 2");
    EXPECT_EQ(w.lines[12], "CheckType = 0");
    EXPECT_EQ(w.lines[13], "*");
    EXPECT_EQ(w.lines[14], "1 2 3 4 5 6 ");
    EXPECT_EQ(w.lines[15], "*");
    EXPECT_EQ(w.lines[16], "Data Offset = 0");
}

TEST(SdfWriter, PhaseUnitFollowsPhaseResolutionInSinglePrecision)
{
    TempDir dir;
    auto h = new_header();
    h->phase_res = 1;  // R = 32768
    phase_data p(1, 1, {0});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    EXPECT_EQ(w.lines[8], "Zscale = 1.249999965e-10");
    EXPECT_EQ(w.lines[9], "Zresolution = 1.249999965e-10");

    // The product S x O x W and the division are single precision, in this order.
    h->phase_res = 0;
    h->intf_scale_factor = 0.3f;
    h->obliquity_factor = 0.7f;
    h->wavelength_in = 6.328e-7f;
    w = write(dir, *h, p.map);
    float u = 0.3f * 0.7f;
    u = u * 6.328e-7f;
    u = u / 4096.0f;
    EXPECT_EQ(w.lines[8], "Zscale = " + g10(u));
    EXPECT_NE(g10(u), g10(0.3 * 0.7 * static_cast<double>(6.328e-7f) / 4096.0));
}

TEST(SdfWriter, NegativeMinimumBecomesTheDataOffset)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(4, 1, {-5, 0, 7, DAT_INVALID_PHASE});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    ASSERT_GT(w.lines.size(), data_line + 3);
    EXPECT_EQ(w.lines[data_line], "0 5 12 4294967295 ");
    EXPECT_EQ(w.lines[data_line + 1], "*");
    EXPECT_EQ(w.lines[data_line + 2], "Data Offset = -5");
}

TEST(SdfWriter, PositiveValuesAreWrittenUnchanged)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(2, 2, {3, 2147483647 - 8, 1, 0});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    EXPECT_EQ(w.lines[data_line], "3 2147483639 1 0 ");
    EXPECT_EQ(w.lines[data_line + 2], "Data Offset = 0");
}

TEST(SdfWriter, EveryValueAboveTheLargestValidOneIsInvalid)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(5, 1, {DAT_PHASE_MAX_VALID, 0x7FFFFFF8, 0x7FFFFFF9, 0x7FFFFFFF, INT32_MIN});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    // 0x7FFFFFF7 - INT32_MIN = 4294967287; the minimum itself becomes 0.
    EXPECT_EQ(w.lines[data_line], "4294967287 4294967295 4294967295 4294967295 0 ");
    EXPECT_EQ(w.lines[data_line + 2], "Data Offset = -2147483648");
}

TEST(SdfWriter, TenValuesToALine)
{
    TempDir dir;
    auto h = new_header();
    std::vector<int32_t> v(20);
    for (int i = 0; i < 20; ++i)
        v[i] = i * 100;
    phase_data p(5, 4, v);
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    EXPECT_EQ(w.lines[data_line], "0 100 200 300 400 500 600 700 800 900 ");
    EXPECT_EQ(w.lines[data_line + 1], "1000 1100 1200 1300 1400 1500 1600 1700 1800 1900 ");
    EXPECT_EQ(w.lines[data_line + 2], "*");

    // Eleven values: the last line holds one value and its own line end.
    phase_data q(11, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    w = write(dir, *h, q.map);
    EXPECT_EQ(w.lines[data_line], "1 2 3 4 5 6 7 8 9 10 ");
    EXPECT_EQ(w.lines[data_line + 1], "11 ");
    EXPECT_EQ(w.lines[data_line + 2], "*");

    // Rows do not start new lines: a 3 x 4 map is ten values and two.
    phase_data r(3, 4, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    w = write(dir, *h, r.map);
    EXPECT_EQ(w.lines[data_line], "0 1 2 3 4 5 6 7 8 9 ");
    EXPECT_EQ(w.lines[data_line + 1], "10 11 ");
}

TEST(SdfWriter, DecimalDigitsOfEveryMagnitude)
{
    TempDir dir;
    auto h = new_header();
    std::vector<int32_t> v;
    for (int64_t p10 = 1; p10 <= 1000000000; p10 *= 10) {
        v.push_back(static_cast<int32_t>(p10 - 1));
        v.push_back(static_cast<int32_t>(p10));
    }
    v.push_back(2147483639);
    phase_data p(static_cast<int16_t>(v.size()), 1, v);
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    std::string expected;
    for (std::size_t i = 0; i < v.size(); ++i) {
        expected += std::to_string(v[i]) + " ";
        if (i % 10 == 9 || i + 1 == v.size())
            expected += eol;
    }
    std::size_t start = w.bytes.find("*" + eol) + 1 + eol.size();
    EXPECT_EQ(w.bytes.substr(start, expected.size()), expected);
}

TEST(SdfWriter, TrailerFollowsTheDataOffsetAndEndsTheFile)
{
    TempDir dir;
    auto h = new_header();
    h->time_stamp = 123456;
    std::strcpy(h->comment, "a comment");
    h->sys_serial2 = 70000;
    phase_data p(2, 1, {-1, 1});
    p.map.org_x = 3;
    h->cn_org_x = 3;
    h->cn_width = 2;
    h->cn_height = 1;
    h->cn_n_bytes = 8;
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    // The trailer lines are exactly those of sdf_write_trailer, then "*" ends the file.
    fs::path tp = dir / "trailer.txt";
    std::FILE* t = os::open_file(tp, "wb");
    ASSERT_NE(t, nullptr);
    sdf_write_trailer(t, h.get());
    std::fclose(t);
    // The trailer writer's own line ends are line feeds; the file has its text line ends.
    std::vector<std::string> trailer = split_lines(vptest::read_file(tp), "\n");
    ASSERT_EQ(trailer.size(), 95u);
    ASSERT_EQ(w.lines.size(), data_line + 3 + 95 + 1);
    EXPECT_EQ(w.lines[data_line + 2], "Data Offset = -1");
    for (std::size_t i = 0; i < trailer.size(); ++i)
        EXPECT_EQ(w.lines[data_line + 3 + i], trailer[i]);
    EXPECT_EQ(w.lines.back(), "*");
    EXPECT_EQ(w.bytes.substr(w.bytes.size() - 1 - eol.size()), "*" + eol);
    EXPECT_EQ(w.lines[data_line + 3], "magic_number=2283471727");
    EXPECT_NE(std::find(w.lines.begin(), w.lines.end(), "time_stamp=123456"), w.lines.end());
    EXPECT_NE(std::find(w.lines.begin(), w.lines.end(), "comment=\"a comment\""), w.lines.end());
    EXPECT_NE(std::find(w.lines.begin(), w.lines.end(), "sys_serial2=70000"), w.lines.end());
}

TEST(SdfWriter, LineEndsAreThoseOfATextFile)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(2, 1, {-1, 1});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    std::size_t lf = 0, crlf = 0;
    for (std::size_t i = 0; i < w.bytes.size(); ++i) {
        if (w.bytes[i] == '\n') {
            ++lf;
            if (i > 0 && w.bytes[i - 1] == '\r')
                ++crlf;
        }
    }
    EXPECT_EQ(lf, w.lines.size());
#ifdef _WIN32
    EXPECT_EQ(crlf, lf);
#else
    EXPECT_EQ(crlf, 0u);
    EXPECT_EQ(w.bytes.find('\r'), std::string::npos);
#endif
}

TEST(SdfWriter, NanIsWrittenAsQnan)
{
    TempDir dir;
    auto h = new_header();
    h->magnification = std::nanf("");
    h->coords.z_rot = -std::nanf("");
    h->lateral_res = std::nanf("");
    phase_data p(1, 1, {0});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    EXPECT_EQ(w.lines[6], "Xscale =      1.#QNAN");
    EXPECT_NE(std::find(w.lines.begin(), w.lines.end(), "magnification=     1.#QNAN"), w.lines.end());
    EXPECT_NE(std::find(w.lines.begin(), w.lines.end(), "coords.z_rot=     1.#QNAN"), w.lines.end());
    EXPECT_NE(std::find(w.lines.begin(), w.lines.end(), "lateral_res=     1.#QNAN"), w.lines.end());

    // A phase unit that is NaN too.
    h->wavelength_in = std::nanf("");
    w = write(dir, *h, p.map);
    EXPECT_EQ(w.lines[8], "Zscale =      1.#QNAN");
    EXPECT_EQ(w.lines[9], "Zresolution =      1.#QNAN");
}

TEST(SdfWriter, ReplacesAnExistingFileAndTakesWidePaths)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(1, 1, {42});
    vptest::write_file(dir / "out.sdf", std::string(100000, 'x'));
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    EXPECT_EQ(w.lines[0], "aBCR-1.0");
    EXPECT_EQ(w.lines[data_line], "42 ");

    std::string name = "d\xC3\xA4tei \xE2\x82\xAC.sdf";  // "datei" with a-umlaut, euro sign
    std::string wide = os::make_wide_path(os::utf8_of(dir.path() / fs::u8path(name)));
    ASSERT_EQ(sdf_write_file(wide.data(), h.get(), nullptr, &p.map), NO_ERROR);
    std::string bytes = vptest::read_file(dir.path() / fs::u8path(name));
    EXPECT_EQ(bytes.substr(0, 8 + eol.size()), "aBCR-1.0" + eol);
    EXPECT_NE(bytes.find("*" + eol + "42 " + eol + "*" + eol), std::string::npos);
}

TEST(SdfWriter, RejectsMissingOrInconsistentPhaseData)
{
    TempDir dir;
    auto h = new_header();
    std::string path = dir.str("out.sdf");
    EXPECT_EQ(sdf_write_file(path.c_str(), h.get(), nullptr, nullptr), ERR_INVALID_PARAM);
    phase_map empty{};
    EXPECT_EQ(sdf_write_file(path.c_str(), h.get(), nullptr, &empty), ERR_INVALID_PARAM);
    phase_data p(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(sdf_write_file(path.c_str(), nullptr, nullptr, &p.map), ERR_INVALID_PARAM);
    // More points than the map holds, or a geometry that is not a grid.
    p.map.count = 3;
    EXPECT_EQ(sdf_write_file(path.c_str(), h.get(), nullptr, &p.map), ERR_INVALID_PARAM);
    p.map.count = 4;
    p.map.width = 0;
    EXPECT_EQ(sdf_write_file(path.c_str(), h.get(), nullptr, &p.map), ERR_INVALID_PARAM);
    p.map.width = -2;
    p.map.height = -2;
    EXPECT_EQ(sdf_write_file(path.c_str(), h.get(), nullptr, &p.map), ERR_INVALID_PARAM);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SdfWriter, CannotCreate)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(1, 1, {1});
    EXPECT_EQ(sdf_write_file(dir.str("missing/out.sdf").c_str(), h.get(), nullptr, &p.map), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(sdf_write_file(dir.path().string().c_str(), h.get(), nullptr, &p.map), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(sdf_write_file(nullptr, h.get(), nullptr, &p.map), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(sdf_write_file("", h.get(), nullptr, &p.map), ERR_CANT_CREATE_FILE);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

void* failing_alloc(std::size_t) { return nullptr; }

TEST(SdfWriter, OutOfMemoryLeavesTheOldFile)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(1, 1, {1});
    vptest::write_file(dir / "out.sdf", "old");
    u_hooks.alloc = failing_alloc;
    int32_t rc = sdf_write_file(dir.str("out.sdf").c_str(), h.get(), nullptr, &p.map);
    u_hooks_reset();
    EXPECT_EQ(rc, ERR_NO_MEM);
    EXPECT_EQ(vptest::read_file(dir / "out.sdf"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(SdfDate, CreateDateFromTheDatasetDateText)
{
    char buffer[SDF_CREATE_DATE_SIZE];
    EXPECT_STREQ(sdf_create_date("Mar 02 11:20:00 1995          ", buffer), "020319951120");
    EXPECT_EQ(sdf_create_date("Dec 31 23:59:00 1999", buffer), buffer);
    EXPECT_STREQ(buffer, "311219992359");
    EXPECT_STREQ(sdf_create_date("3/2\\95 10:30 PM", buffer), "020319952230");
    // Parts that the text does not give are printed as -1.
    EXPECT_STREQ(sdf_create_date("Mar 1995", buffer), "-1031995-1-1");
    EXPECT_STREQ(sdf_create_date("                              ", buffer), "-1-1-001-1-1");
    EXPECT_STREQ(sdf_create_date("9:05", buffer), "-1-1-0010905");
    EXPECT_EQ(sdf_create_date("Mar 02 11:20:00 1995", nullptr), nullptr);
}

TEST(SdfDate, EmptyDateTextGivesTheCurrentLocalTime)
{
    char buffer[SDF_CREATE_DATE_SIZE];
    std::set<std::string> allowed;
    allowed.insert(mod_date_of(std::time(nullptr)));
    sdf_create_date("", buffer);
    std::string empty_text = buffer;
    sdf_create_date(nullptr, buffer);
    std::string null_text = buffer;
    allowed.insert(mod_date_of(std::time(nullptr)));
    EXPECT_EQ(allowed.count(empty_text), 1u) << empty_text;
    EXPECT_EQ(allowed.count(null_text), 1u) << null_text;
    EXPECT_EQ(empty_text.size(), 12u);
}

TEST(SdfDate, RoundTripWithTheReadersDateText)
{
    // The reader's swinfo.date text of a CreateDate gives that CreateDate back.
    char buffer[SDF_CREATE_DATE_SIZE];
    const char* dates[] = {"020319951120", "311219992359", "010120000000", "290220241305", "150719690417"};
    for (const char* d : dates) {
        std::string text(sdf_date_text(d), 30);
        EXPECT_STREQ(sdf_create_date(text.c_str(), buffer), d) << text;
    }
}

TEST(SdfDate, DateFieldWithoutTerminatorIsReadWithinTheField)
{
    // swinfo.date filled to all 30 characters, followed by more text in the record: the
    // creation date comes from the 30 characters only.
    TempDir dir;
    auto h = new_header();
    std::memcpy(h->swinfo.date, "Mar 02 11:20:00 1995         7", 30);
    static_assert(offsetof(dat_header, swinfo.date) + 30 == offsetof(dat_header, swinfo.vers));
    h->swinfo.vers = {0x3232, 0x3232, 0};  // "2222" right behind the date
    phase_data p(1, 1, {1});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    // The "7" after the year, with the day known, is a two-digit year: 2007.
    EXPECT_EQ(w.lines[2], "CreateDate = 020320071120");
}

TEST(SdfWriter, EmptyDateTakesTheCurrentTime)
{
    TempDir dir;
    auto h = new_header();
    phase_data p(1, 1, {1});
    written w = write(dir, *h, p.map);
    ASSERT_EQ(w.rc, NO_ERROR);
    ASSERT_EQ(w.lines[2].substr(0, 13), "CreateDate = ");
    EXPECT_EQ(w.now_dates.count(w.lines[2].substr(13)), 1u) << w.lines[2];
}

#ifndef _WIN32
}  // namespace
#include <csignal>
#include <sys/resource.h>
namespace {

// Files of this process cannot grow beyond `limit` bytes while it lives (writes beyond fail
// with EFBIG instead of raising SIGXFSZ).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit r = saved_;
        r.rlim_cur = limit;
        ok_ = setrlimit(RLIMIT_FSIZE, &r) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, saved_handler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    void (*saved_handler_)(int) = nullptr;
    bool ok_ = false;
};

TEST(SdfWriter, WriteFailureAnywhereLeavesTheOldFile)
{
    TempDir dir;
    auto h = new_header();
    std::strcpy(h->comment, "trailer text");
    // More than one buffer of data text, so that the data go out in several writes.
    std::vector<int32_t> v(300 * 400);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<int32_t>(i * 2654435761u) - 5;
    phase_data p(300, 400, v);
    written full = write(dir, *h, p.map, "full.sdf");
    ASSERT_EQ(full.rc, NO_ERROR);
    const std::size_t size = full.bytes.size();
    ASSERT_GT(size, (std::size_t{1} << 20) + 8192);
    const std::size_t data_start = full.bytes.find("*" + eol) + 1 + eol.size();
    const std::size_t trailer_start = full.bytes.find("magic_number=");
    ASSERT_NE(trailer_start, std::string::npos);

    const std::size_t limits[] = {0, 5, data_start - 3, data_start + 10, (std::size_t{1} << 20) + 7,
                                  trailer_start - 20, trailer_start + 500, size - 3, size - 1};
    for (std::size_t limit : limits) {
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        vptest::write_file(dir / "out.sdf", "old contents");
        int32_t rc;
        {
            FileSizeLimit guard(limit);
            ASSERT_TRUE(guard.ok());
            rc = sdf_write_file(dir.str("out.sdf").c_str(), h.get(), nullptr, &p.map);
        }
        EXPECT_EQ(rc, ERR_CANT_WRITE_FILE);
        EXPECT_EQ(vptest::read_file(dir / "out.sdf"), "old contents");
        // No temporary file is left behind.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    }

    // The limit at exactly the file's size lets the write through.
    {
        FileSizeLimit guard(size);
        ASSERT_TRUE(guard.ok());
        EXPECT_EQ(sdf_write_file(dir.str("out.sdf").c_str(), h.get(), nullptr, &p.map), NO_ERROR);
    }
    EXPECT_EQ(vptest::read_file(dir / "out.sdf").size(), size);
}

TEST(SdfWriter, DeviceThatRefusesWritesFails)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    auto h = new_header();
    phase_data p(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(sdf_write_file("/dev/full", h.get(), nullptr, &p.map), ERR_CANT_WRITE_FILE);
}
#endif  // _WIN32

}  // namespace
