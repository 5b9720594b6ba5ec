// The data file reader on hand-built files: what it accepts, what it refuses and with which
// code and message, and that a refused file leaves nothing behind and asks for no memory beyond
// what the file holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "vell/platform/byte_order.h"
#include "vell/datafile/reader.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "tests/support/test_support.h"

namespace {

using vptest::TempDir;

// A data file assembled field by field: header bytes, then the blocks.
struct file_bytes {
    std::string header = std::string(834, '\0');
    std::string blocks;

    void be16(std::size_t off, uint16_t v) { dat_bytes::store_be16(reinterpret_cast<uint8_t*>(&header[off]), v); }
    void be32(std::size_t off, uint32_t v) { dat_bytes::store_be32(reinterpret_cast<uint8_t*>(&header[off]), v); }
    void add16(uint16_t v) { blocks += {static_cast<char>(v >> 8), static_cast<char>(v)}; }
    void add32(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8)
            blocks += static_cast<char>(v >> s);
    }
    std::string str() const { return header + blocks; }
};

// Format 1: an intensity map of 2 x 2 points in 2 frames, then a phase map of 3 x 2 points.
file_bytes small_file()
{
    file_bytes f;
    f.be32(0, DAT_MAGIC_FORMAT1);
    f.be16(4, 1);
    f.be32(6, 834);
    f.be16(48, 5);  // in_org_x
    f.be16(52, 2);
    f.be16(54, 2);
    f.be16(56, 2);
    f.be32(60, 16);
    f.be16(66, 7);  // cn_org_y
    f.be16(68, 3);
    f.be16(70, 2);
    f.be32(72, 24);
    f.header[502] = 1;  // coords_state, little-endian
    for (uint16_t v : {1, 2, 0xFFFF, 0x8000, 5, 6, 7, 8})
        f.add16(v);
    for (uint32_t v : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFF8u, 0x80000000u, 0x12345678u})
        f.add32(v);
    return f;
}

// Format 3: a 4096-byte header and a phase map of 2 x 2 points.
file_bytes large_file()
{
    file_bytes f;
    f.header.resize(4096, '\0');
    f.be32(0, DAT_MAGIC_FORMAT3);
    f.be16(4, 3);
    f.be32(6, 4096);
    f.be16(68, 2);
    f.be16(70, 2);
    f.be32(72, 16);
    f.header[4000] = 'x';
    for (uint32_t v : {10u, 20u, 30u, 40u})
        f.add32(v);
    return f;
}

// Counts blocks through the platform hooks while it lives: the largest request and the
// blocks not yet released.
struct hook_watch {
    static inline std::size_t largest = 0;
    static inline long live = 0;
    hook_watch()
    {
        largest = 0;
        live = 0;
        u_hooks.alloc = [](std::size_t n) {
            largest = std::max(largest, n);
            ++live;
            return std::malloc(n);
        };
        u_hooks.release = [](void* p) {
            --live;
            std::free(p);
        };
    }
    ~hook_watch() { u_hooks_reset(); }
};

struct read_result {
    int32_t rc;
    dat_header header;
    intensity_map in;
    phase_map cn;
    std::string log;
};

read_result read_path(const std::string& path)
{
    read_result r{};
    vptest::LogCapture log;
    std::memset(&r.header, 0x5A, sizeof r.header);
    std::memset(&r.in, 0x5A, sizeof r.in);
    std::memset(&r.cn, 0x5A, sizeof r.cn);
    r.rc = dat_read_file(path.c_str(), &r.header, &r.in, &r.cn);
    r.log = log.str();
    return r;
}

bool all_zero(const dat_header& h)
{
    const auto* p = reinterpret_cast<const unsigned char*>(&h);
    return std::all_of(p, p + sizeof h, [](unsigned char c) { return c == 0; });
}

// A refused file: the code, one diagnostic line, and nothing held afterwards.
void expect_refused(const read_result& r, int32_t rc, const std::string& message)
{
    EXPECT_EQ(r.rc, rc) << u_err_name(r.rc);
    EXPECT_EQ(r.log, "dat_read_file: " + message + ": " + u_err_name(rc) + "\n");
    EXPECT_TRUE(all_zero(r.header));
    EXPECT_EQ(r.in.data, nullptr);
    EXPECT_EQ(r.cn.data, nullptr);
    EXPECT_EQ(r.cn.count, 0u);
}

TEST(DatRead, ReadsBothBlocksAndTheHeader)
{
    TempDir dir;
    vptest::write_file(dir / "a.dat", small_file().str());
    hook_watch watch;
    read_result r = read_path(dir.str("a.dat"));
    ASSERT_EQ(r.rc, NO_ERROR) << r.log;
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.header.magic_number, DAT_MAGIC_FORMAT1);
    EXPECT_EQ(r.header.coords_state, 1u);
    ASSERT_NE(r.in.data, nullptr);
    EXPECT_EQ(r.in.count, 8u);
    EXPECT_EQ(r.in.org_x, 5);
    EXPECT_EQ(r.in.n_frames, 2);
    EXPECT_EQ(std::vector<uint16_t>(r.in.data, r.in.data + 8), (std::vector<uint16_t>{1, 2, 0xFFFF, 0x8000, 5, 6, 7, 8}));
    ASSERT_NE(r.cn.data, nullptr);
    EXPECT_EQ(r.cn.count, 6u);
    EXPECT_EQ(r.cn.width, 3);
    EXPECT_EQ(r.cn.height, 2);
    EXPECT_EQ(r.cn.org_y, 7);
    EXPECT_EQ(std::vector<int32_t>(r.cn.data, r.cn.data + 6),
              (std::vector<int32_t>{0, 1, -1, DAT_INVALID_PHASE, INT32_MIN, 0x12345678}));
    dat_release_maps(&r.in, &r.cn);
    EXPECT_EQ(r.in.data, nullptr);
    EXPECT_EQ(hook_watch::live, 0);

    vptest::write_file(dir / "b.dat", large_file().str());
    r = read_path(dir.str("b.dat"));
    ASSERT_EQ(r.rc, NO_ERROR) << r.log;
    EXPECT_EQ(r.header.format3_area[4000 - 834], 'x');
    EXPECT_EQ(r.in.data, nullptr);
    EXPECT_EQ(r.in.count, 0u);
    ASSERT_EQ(r.cn.count, 4u);
    EXPECT_EQ(r.cn.data[3], 40);
    dat_release_maps(nullptr, &r.cn);
}

TEST(DatRead, RefusesWhatIsNotADataFileOrClaimsMoreThanItHolds)
{
    struct row {
        const char* what;
        std::function<void(file_bytes&)> change;
        int32_t rc;
        std::string message;
    };
    const row rows[] = {
        {"unknown magic number", [](file_bytes& f) { f.be32(0, 0x12345678); }, ERR_CORRUPT_DATA_FILE,
         "not a Vell data file (magic number 0x12345678)"},
        {"an SDF file", [](file_bytes& f) { f.header = "aBCR-1.0\nManufacID = x\n"; f.blocks.clear(); },
         ERR_CORRUPT_DATA_FILE, "not a Vell data file (magic number 0x61424352)"},
        {"three bytes", [](file_bytes& f) { f.header = "\x88\x1B\x03"; f.blocks.clear(); }, ERR_PREMATURE_EOF,
         "3 bytes are too few for a data file"},
        {"format 3 magic on a small header", [](file_bytes& f) { f.be32(0, DAT_MAGIC_FORMAT3); }, ERR_PREMATURE_EOF,
         "the file ends at 874 bytes, inside the 4096-byte header"},
        {"one phase byte more than the geometry", [](file_bytes& f) { f.be32(72, 25); }, ERR_CORRUPT_DATA_FILE,
         "cn_n_bytes disagrees with the phase map's width and height"},
        {"negative phase dimensions", [](file_bytes& f) { f.be16(68, 0xFFFD); f.be16(70, 0xFFFE); },
         ERR_CORRUPT_DATA_FILE, "cn_n_bytes disagrees with the phase map's width and height"},
        {"a phase block without a geometry", [](file_bytes& f) { f.be16(70, 0); }, ERR_CORRUPT_DATA_FILE,
         "cn_n_bytes disagrees with the phase map's width and height"},
        {"intensity frames not counted", [](file_bytes& f) { f.be16(56, 1); }, ERR_CORRUPT_DATA_FILE,
         "in_n_bytes disagrees with the intensity map's width, height and frames"},
        {"intensity geometry beyond 32 bits",
         [](file_bytes& f) { f.be16(52, 32767); f.be16(54, 32767); f.be16(56, 32767); f.be32(60, 0xFFFA0006); },
         ERR_CORRUPT_DATA_FILE, "in_n_bytes disagrees with the intensity map's width, height and frames"},
        {"a largest phase map in a small file",
         [](file_bytes& f) { f.be16(68, 32767); f.be16(70, 32767); f.be32(72, 0xFFFC0004); }, ERR_PREMATURE_EOF,
         "the file is cut short: its header and blocks need 4294706006 bytes, it holds 874"},
        {"a large intensity map in a small file",
         [](file_bytes& f) { f.be16(52, 32767); f.be16(54, 32767); f.be16(56, 1); f.be32(60, 2147352578); },
         ERR_PREMATURE_EOF, "the file is cut short: its header and blocks need 2147353436 bytes, it holds 874"},
        {"a byte after the phase block", [](file_bytes& f) { f.blocks += '\0'; }, ERR_CORRUPT_DATA_FILE,
         "1 bytes follow the last block"},
    };
    TempDir dir;
    for (const row& t : rows) {
        SCOPED_TRACE(t.what);
        file_bytes f = small_file();
        t.change(f);
        std::string bytes = f.str();
        vptest::write_file(dir / "x.dat", bytes);
        hook_watch watch;
        expect_refused(read_path(dir.str("x.dat")), t.rc, t.message);
        EXPECT_LE(hook_watch::largest, bytes.size());
        EXPECT_EQ(hook_watch::live, 0);
    }
    expect_refused(read_path(dir.str("none.dat")), ERR_CANT_OPEN_FILE, "no such file");
    expect_refused(read_path(dir.path().string()), ERR_CANT_OPEN_FILE, "not a regular file");
}

TEST(DatRead, AFileCutAtAnyLengthFailsCleanly)
{
    TempDir dir;
    for (const file_bytes& f : {small_file(), large_file()}) {
        std::string whole = f.str();
        for (std::size_t len = 0; len < whole.size(); ++len) {
            // A new file each time: rewriting one file in place makes some file systems flush.
            std::string name = "cut" + std::to_string(len) + ".dat";
            vptest::write_file(dir / name, whole.substr(0, len));
            hook_watch watch;
            read_result r = read_path(dir.str(name));
            std::filesystem::remove(dir / name);
            ASSERT_EQ(r.rc, ERR_PREMATURE_EOF) << "cut at " << len;
            ASSERT_TRUE(r.cn.data == nullptr && r.in.data == nullptr && all_zero(r.header)) << "cut at " << len;
            ASSERT_EQ(hook_watch::live, 0) << "cut at " << len;
        }
    }
}

TEST(DatRead, NoMapsIsAValidFileWithoutData)
{
    file_bytes f = small_file();
    std::fill(f.header.begin() + 48, f.header.begin() + 76, '\0');  // both maps' geometry and counts
    f.blocks.clear();
    TempDir dir;
    vptest::write_file(dir / "empty.dat", f.str());
    read_result r = read_path(dir.str("empty.dat"));
    EXPECT_EQ(r.rc, NO_ERROR) << r.log;
    EXPECT_EQ(r.in.data, nullptr);
    EXPECT_EQ(r.cn.data, nullptr);
    EXPECT_EQ(r.cn.count, 0u);
}

}  // namespace
