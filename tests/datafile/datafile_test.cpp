#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vell/datafile/datafile.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using vptest::read_file;
using vptest::TempDir;
using vptest::write_file;

dat_header new_header()
{
    dat_header h;
    EXPECT_EQ(dat_header_create(&h), NO_ERROR);
    return h;
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }

uint8_t byte_at(const std::string& s, std::size_t i) { return static_cast<uint8_t>(s.at(i)); }

std::vector<std::string> dir_entries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

// A phase-only dataset of w x h points with values base, base+1, ...
struct phase_dataset {
    dat_header header;
    std::vector<int32_t> values;
    phase_map map{};

    phase_dataset(int16_t w, int16_t h, int32_t base = 1) : header(new_header()), values(std::size_t(w) * h)
    {
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = base + static_cast<int32_t>(i);
        map.width = w;
        map.height = h;
        map.count = static_cast<uint32_t>(values.size());
        map.data = values.data();
        header.cn_width = w;
        header.cn_height = h;
        header.cn_n_bytes = int32_t{w} * h * 4;
    }
};

TEST(DatWriteFile, ThreeByTwoPhaseOnlyFileByteForByte)
{
    TempDir dir;
    phase_dataset d(3, 2);
    d.values = {1, -2, 0x7FFFFFF8, 0x01020304, 0, -65536};
    d.map.data = d.values.data();
    ASSERT_EQ(d.header.cn_n_bytes, 24);
    ASSERT_EQ(dat_write_file(dir.str("out.dat").c_str(), &d.header, nullptr, &d.map), NO_ERROR);

    // Expected file from the layout: all zero except these fields.
    std::string want(834, '\0');
    want.replace(0, 4, "\x88\x1B\x03\x6F", 4);
    want.replace(4, 2, be16(1));
    want.replace(6, 4, be32(834));
    want.replace(68, 2, be16(3));
    want.replace(70, 2, be16(2));
    want.replace(72, 4, be32(24));
    for (int32_t v : d.values)
        want += be32(static_cast<uint32_t>(v));
    std::string got = read_file(dir / "out.dat");
    ASSERT_EQ(got.size(), 834u + 24u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.substr(834 + 8, 4), std::string("\x7F\xFF\xFF\xF8", 4));
    EXPECT_EQ(got.substr(60, 4), std::string(4, '\0'));
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"out.dat"});  // no temp file left
}

TEST(DatWriteFile, LittleEndianFieldsStayLittleEndian)
{
    TempDir dir;
    phase_dataset d(1, 1);
    d.header.coords_state = 1;
    d.header.time_stamp = 1;
    d.header.sys_serial2 = 0x00012345;
    d.header.coherence_mode = 0x0102;
    ASSERT_EQ(dat_write_file(dir.str("o.dat").c_str(), &d.header, nullptr, &d.map), NO_ERROR);
    std::string got = read_file(dir / "o.dat");
    EXPECT_EQ(got.substr(502, 4), std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(got.substr(76, 4), std::string("\x00\x00\x00\x01", 4));
    EXPECT_EQ(got.substr(798, 4), std::string("\x45\x23\x01\x00", 4));
    EXPECT_EQ(got.substr(530, 2), std::string("\x02\x01", 2));
}

TEST(DatWriteFile, FormatTwoAndThreeHeaders)
{
    TempDir dir;
    phase_dataset d(2, 1, 7);
    d.header.phase_res = 2;
    d.header.magic_number = static_cast<uint32_t>(dat_header_magic(&d.header));
    dat_header_set_format(&d.header, d.header.magic_number);
    ASSERT_EQ(dat_write_file(dir.str("f2.dat").c_str(), &d.header, nullptr, &d.map), NO_ERROR);
    std::string f2 = read_file(dir / "f2.dat");
    ASSERT_EQ(f2.size(), 834u + 8u);
    EXPECT_EQ(f2.substr(0, 10), be32(0x881B0370) + be16(2) + be32(834));
    EXPECT_EQ(f2.substr(218, 2), be16(2));
    EXPECT_EQ(f2.substr(834), be32(7) + be32(8));

    uint32_t unit = 0xA1B2C3D4;
    std::memcpy(&d.header.format3_area[842 - 834], &unit, 4);
    d.header.format3_area[4095 - 834] = 0x5C;
    d.header.record_tail[0] = 0x77;  // never reaches the file
    d.header.magic_number = static_cast<uint32_t>(dat_header_magic(&d.header));
    dat_header_set_format(&d.header, d.header.magic_number);
    ASSERT_EQ(d.header.magic_number, 0x881B0371u);
    ASSERT_EQ(dat_write_file(dir.str("f3.dat").c_str(), &d.header, nullptr, &d.map), NO_ERROR);
    std::string f3 = read_file(dir / "f3.dat");
    ASSERT_EQ(f3.size(), 4096u + 8u);
    EXPECT_EQ(f3.substr(0, 10), be32(0x881B0371) + be16(3) + be32(4096));
    EXPECT_EQ(f3.substr(842, 4), be32(0xA1B2C3D4));
    EXPECT_EQ(byte_at(f3, 4095), 0x5C);
    EXPECT_EQ(f3.substr(4096), be32(7) + be32(8));
}

TEST(DatWriteFile, BothMapsEmptyIsInvalidAndTouchesNothing)
{
    TempDir dir;
    dat_header h = new_header();
    phase_map pm{};
    intensity_map im{};
    EXPECT_EQ(dat_write_file(dir.str("none.dat").c_str(), &h, nullptr, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(dat_write_file(dir.str("none.dat").c_str(), &h, &im, &pm), ERR_INVALID_PARAM);
    EXPECT_FALSE(fs::exists(dir / "none.dat"));
    write_file(dir / "old.dat", "keep me");
    EXPECT_EQ(dat_write_file(dir.str("old.dat").c_str(), &h, &im, &pm), ERR_INVALID_PARAM);
    EXPECT_EQ(read_file(dir / "old.dat"), "keep me");
    phase_dataset d(1, 1);
    EXPECT_EQ(dat_write_file(dir.str("x.dat").c_str(), nullptr, nullptr, &d.map), ERR_INVALID_PARAM);
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"old.dat"});
}

TEST(DatWriteFile, UnknownMagicNumberCannotBeWrittenAndLeavesNoFile)
{
    TempDir dir;
    phase_dataset d(3, 2);
    d.header.magic_number = 0x12345678;
    EXPECT_EQ(dat_write_file(dir.str("bad.dat").c_str(), &d.header, nullptr, &d.map), ERR_CANT_WRITE_FILE);
    EXPECT_FALSE(fs::exists(dir / "bad.dat"));
    write_file(dir / "old.dat", "previous contents");
    EXPECT_EQ(dat_write_file(dir.str("old.dat").c_str(), &d.header, nullptr, &d.map), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(read_file(dir / "old.dat"), "previous contents");
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"old.dat"});
}

TEST(DatWriteFile, ExistingFileIsReplaced)
{
    TempDir dir;
    write_file(dir / "o.dat", std::string(10000, 'x'));
    phase_dataset d(3, 2);
    ASSERT_EQ(dat_write_file(dir.str("o.dat").c_str(), &d.header, nullptr, &d.map), NO_ERROR);
    EXPECT_EQ(read_file(dir / "o.dat").size(), 858u);
}

TEST(DatWriteFile, PathsThatCannotBeCreated)
{
    TempDir dir;
    phase_dataset d(1, 1);
    EXPECT_EQ(dat_write_file("", &d.header, nullptr, &d.map), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(dat_write_file(nullptr, &d.header, nullptr, &d.map), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(dat_write_file(dir.str("no/such/dir.dat").c_str(), &d.header, nullptr, &d.map), ERR_CANT_CREATE_FILE);
    fs::create_directory(dir / "sub");
    EXPECT_EQ(dat_write_file(dir.str("sub").c_str(), &d.header, nullptr, &d.map), ERR_CANT_CREATE_FILE);
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
    EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST(DatWriteFile, WidePath)
{
    TempDir dir;
    phase_dataset d(3, 2);
    std::string wide = os::make_wide_path(dir.str("wide_\xC3\xA4\xE2\x82\xAC.dat"));
    ASSERT_EQ(dat_write_file(wide.data(), &d.header, nullptr, &d.map), NO_ERROR);
    EXPECT_EQ(read_file(dir / "wide_\xC3\xA4\xE2\x82\xAC.dat").size(), 858u);
    // An ill-formed wide path (unpaired surrogate) is never opened.
    std::string bad("\xFF\xFE\x00\xD8\x00\x00", 6);
    EXPECT_EQ(dat_write_file(bad.data(), &d.header, nullptr, &d.map), ERR_CANT_CREATE_FILE);
}

// The header's byte counts must describe the maps exactly: a count beyond the map would read
// past its data, a smaller one would make a header that claims more data than the file holds.
TEST(DatWriteFile, CountsThatDoNotMatchTheMapsAreRejectedBeforeWriting)
{
    TempDir dir;
    std::string path = dir.str("o.dat");
    write_file(path, "old");
    std::vector<uint16_t> in(4, 1);
    struct row {
        const char* what;
        int32_t cn_n_bytes;
        uint32_t cn_count;
        int32_t in_n_bytes;
        int16_t n_frames;
        int32_t rc;
    } rows[] = {
        {"phase and intensity as the maps", 24, 6, 8, 1, NO_ERROR},
        {"one phase value more", 28, 6, 8, 1, ERR_INVALID_PARAM},
        {"one phase value fewer", 20, 6, 8, 1, ERR_INVALID_PARAM},
        {"a phase count that is no whole value", 23, 6, 8, 1, ERR_INVALID_PARAM},
        {"huge as an unsigned count", -4, 6, 8, 1, ERR_INVALID_PARAM},
        {"allocated block smaller than the geometry", 24, 5, 8, 1, ERR_INVALID_PARAM},
        {"one intensity value more", 24, 6, 10, 1, ERR_INVALID_PARAM},
        {"one intensity value fewer", 24, 6, 6, 1, ERR_INVALID_PARAM},
        {"intensity geometry of no data", 24, 6, 8, 0, ERR_INVALID_PARAM},
    };
    for (const row& r : rows) {
        phase_dataset d(3, 2);
        d.header.cn_n_bytes = r.cn_n_bytes;
        d.map.count = r.cn_count;
        d.header.in_n_bytes = r.in_n_bytes;
        intensity_map im{4, 0, 0, 2, 2, r.n_frames, 0, in.data()};
        EXPECT_EQ(dat_write_file(path.c_str(), &d.header, &im, &d.map), r.rc) << r.what;
        if (r.rc != NO_ERROR)
            EXPECT_EQ(read_file(path), "old") << r.what;
        else
            EXPECT_EQ(read_file(path).size(), 834u + 8u + 24u);
        write_file(path, "old");
    }
}

TEST(DatWriteFile, CallersDatasetIsNotChanged)
{
    TempDir dir;
    phase_dataset d(3, 2);
    std::vector<uint16_t> in = {0x0102, 0x0304, 0x0506};
    intensity_map im{3, 0, 0, 3, 1, 1, 0, in.data()};
    d.header.in_n_bytes = 6;
    d.header.coords_state = 5;
    dat_header before = d.header;
    std::vector<int32_t> values = d.values;
    phase_map map_before = d.map;
    ASSERT_EQ(dat_write_file(dir.str("o.dat").c_str(), &d.header, &im, &d.map), NO_ERROR);
    EXPECT_EQ(std::memcmp(&before, &d.header, sizeof before), 0);
    EXPECT_EQ(values, d.values);
    EXPECT_EQ(in, (std::vector<uint16_t>{0x0102, 0x0304, 0x0506}));
    EXPECT_EQ(std::memcmp(&map_before, &d.map, sizeof map_before), 0);
}

// Allocation hooks that record the sizes asked for and can fail from a given call on.
std::vector<std::size_t> g_sizes;
int g_fail_from = -1;
void* recording_alloc(std::size_t n)
{
    g_sizes.push_back(n);
    if (g_fail_from >= 0 && static_cast<int>(g_sizes.size()) > g_fail_from)
        return nullptr;
    return std::malloc(n);
}

class DatWriteFileHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_sizes.clear();
        g_fail_from = -1;
        u_hooks.alloc = recording_alloc;
    }
    void TearDown() override { u_hooks_reset(); }
};

TEST_F(DatWriteFileHooks, FortyThousandIntensityValuesGoOutInTwoSlices)
{
    TempDir dir;
    dat_header h = new_header();
    std::vector<uint16_t> in(40000);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<uint16_t>(i * 7 + 3);
    intensity_map im{40000, 5, 6, 200, 100, 2, -3, in.data()};
    h.in_n_bytes = 80000;
    ASSERT_EQ(dat_write_file(dir.str("i.dat").c_str(), &h, &im, nullptr), NO_ERROR);
    // One 64 KiB transfer buffer: 32,768 values, then the remaining 7,232.
    ASSERT_EQ(g_sizes, std::vector<std::size_t>{65536});
    std::string got = read_file(dir / "i.dat");
    ASSERT_EQ(got.size(), 834u + 80000u);
    EXPECT_EQ(got.substr(48, 16), be16(5) + be16(6) + be16(200) + be16(100) + be16(2) + be16(0xFFFD) + be32(80000));
    EXPECT_EQ(got.substr(64, 12), std::string(12, '\0'));  // no phase map: phase geometry zero
    for (std::size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(got.substr(834 + 2 * i, 2), be16(in[i])) << i;
}

TEST_F(DatWriteFileHooks, IntensityThenPhaseAndGeometryFromTheMaps)
{
    TempDir dir;
    phase_dataset d(2, 2, 100);
    d.map.org_x = 9;
    d.map.org_y = -1;
    std::vector<uint16_t> in = {0xFFFF, 0x8000, 1, 2, 3, 4};
    intensity_map im{6, 0, 0, 3, 1, 2, 0, in.data()};
    d.header.in_n_bytes = 12;
    d.header.in_width = 99;  // the map's geometry wins
    ASSERT_EQ(dat_write_file(dir.str("o.dat").c_str(), &d.header, &im, &d.map), NO_ERROR);
    // A short block goes out through a buffer of its own size, not of a whole slice.
    EXPECT_EQ(g_sizes, (std::vector<std::size_t>{12, 16}));
    std::string got = read_file(dir / "o.dat");
    ASSERT_EQ(got.size(), 834u + 12u + 16u);
    EXPECT_EQ(got.substr(52, 2), be16(3));
    EXPECT_EQ(got.substr(60, 4), be32(12));  // n_frames x height x width x 2
    EXPECT_EQ(got.substr(64, 4), be16(9) + be16(0xFFFF));
    EXPECT_EQ(got.substr(834, 12), be16(0xFFFF) + be16(0x8000) + be16(1) + be16(2) + be16(3) + be16(4));
    EXPECT_EQ(got.substr(846), be32(100) + be32(101) + be32(102) + be32(103));
}

TEST_F(DatWriteFileHooks, NoMemoryForATransferBufferLosesNothing)
{
    TempDir dir;
    write_file(dir / "o.dat", "old");
    phase_dataset d(3, 2);
    std::vector<uint16_t> in(6, 1);
    intensity_map im{6, 0, 0, 3, 2, 1, 0, in.data()};
    d.header.in_n_bytes = 12;
    g_fail_from = 1;  // the intensity buffer is granted, the phase buffer is not
    EXPECT_EQ(dat_write_file(dir.str("o.dat").c_str(), &d.header, &im, &d.map), ERR_NO_MEM);
    EXPECT_EQ(g_sizes.size(), 2u);
    EXPECT_EQ(read_file(dir / "o.dat"), "old");
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"o.dat"});
    g_sizes.clear();
    g_fail_from = 0;
    EXPECT_EQ(dat_write_file(dir.str("new.dat").c_str(), &d.header, &im, &d.map), ERR_NO_MEM);
    EXPECT_FALSE(fs::exists(dir / "new.dat"));
}

TEST_F(DatWriteFileHooks, LargeMapGoesOutInBoundedSlices)
{
    TempDir dir;
    const int16_t n = 4096;
    phase_dataset d(n, n, -8000000);
    d.values.back() = DAT_INVALID_PHASE;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(dat_write_file(dir.str("big.dat").c_str(), &d.header, nullptr, &d.map), NO_ERROR);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("4096 x 4096 phase map written in %lld ms\n", static_cast<long long>(ms));
    for (std::size_t s : g_sizes)
        EXPECT_LE(s, 1u << 20);  // memory does not grow with the map
    uint64_t size = fs::file_size(dir / "big.dat");
    ASSERT_EQ(size, 834u + 4u * n * n);
    std::ifstream file(dir / "big.dat", std::ios::binary);
    auto read_at = [&](uint64_t off, std::size_t len) {
        std::string s(len, '\0');
        file.seekg(static_cast<std::streamoff>(off));
        file.read(s.data(), static_cast<std::streamsize>(len));
        return s;
    };
    EXPECT_EQ(read_at(72, 4), be32(uint32_t(n) * n * 4));
    // Every slice in its place, whichever of the two buffers carried it.
    std::string block = read_at(834, 4u * n * n);
    for (std::size_t i = 0; i < d.values.size(); ++i) {
        const auto* p = reinterpret_cast<const unsigned char*>(block.data() + 4 * i);
        uint32_t v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        ASSERT_EQ(v, static_cast<uint32_t>(d.values[i])) << i;
    }
    EXPECT_EQ(read_at(size - 4, 4), std::string("\x7F\xFF\xFF\xF8", 4));
}

#ifndef _WIN32
TEST(DatWriteFile, DeviceThatRefusesDataIsAWriteFailure)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    phase_dataset d(3, 2);
    EXPECT_EQ(dat_write_file("/dev/full", &d.header, nullptr, &d.map), ERR_CANT_WRITE_FILE);
    phase_dataset big(512, 512);
    EXPECT_EQ(dat_write_file("/dev/full", &big.header, nullptr, &big.map), ERR_CANT_WRITE_FILE);
}

TEST(DatWriteFile, DeviceIsWrittenInPlaceNotReplaced)
{
    if (!fs::exists("/dev/null"))
        GTEST_SKIP() << "no /dev/null";
    phase_dataset d(3, 2);
    EXPECT_EQ(dat_write_file("/dev/null", &d.header, nullptr, &d.map), NO_ERROR);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}
#endif

TEST(USwapBytes, ReversesTwoFourAndEightBytes)
{
    uint16_t a = 0x0102;
    u_swap_bytes(&a, 2);
    EXPECT_EQ(a, 0x0201);
    uint32_t b = 0x01020304;
    u_swap_bytes(&b, 4);
    EXPECT_EQ(b, 0x04030201u);
    uint64_t c = 0x0102030405060708ull;
    u_swap_bytes(&c, 8);
    EXPECT_EQ(c, 0x0807060504030201ull);
    float f = 1.0f;
    u_swap_bytes(&f, 4);
    uint32_t fb;
    std::memcpy(&fb, &f, 4);
    EXPECT_EQ(fb, 0x0000803Fu);
}

TEST(USwapBytesDeathTest, OtherSizesAbortWithAMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char buf[8] = {};
    EXPECT_DEATH(u_swap_bytes(buf, 3), "u_swap_bytes: n=3");
    EXPECT_DEATH(u_swap_bytes(buf, 0), "u_swap_bytes: n=0");
}

}  // namespace
