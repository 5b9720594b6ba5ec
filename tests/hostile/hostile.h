// Hostile-input tests: valid SDF files to take apart, the reader run over bytes in a scratch
// file, and the checks every outcome must pass.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vell/datafile/datafile.h"
#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/sdf/sdf.h"
#include "tests/support/sdf_bytes.h"
#include "tests/support/test_support.h"

namespace hostile {

// Records, while it lives, the largest block asked for through the global operator new (any
// C++ allocation of the program) and, separately, through the platform allocation hooks.
class alloc_watch {
public:
    alloc_watch();
    ~alloc_watch();
    alloc_watch(const alloc_watch&) = delete;
    alloc_watch& operator=(const alloc_watch&) = delete;
    std::size_t largest_new() const;
    std::size_t largest_hooked() const;
};

inline const char* const type_names[8] = {"UCHAR", "UINTEGER", "ULONGINT", "FLOAT",
                                          "CHAR",  "INTEGER",  "LONGINT",  "DOUBLE"};
inline constexpr std::size_t type_size[8] = {1, 2, 4, 4, 1, 2, 4, 8};

// Six text values (3 x 2 points) of each type, the type's invalid point among them.
inline const char* const text_values[8] = {
    "0 1 255\n17 254 3\n",
    "0 65535 1000\n2 3 65534\n",
    "4294967295 0 12\n-1 7 100000\n",
    "1.5 -2.25 3.4028235e38\nnan 1e3 0\n",
    "-128 127 0\n5 -5 126\n",
    "-32768 32767 1\n2 3 -4\n",
    "-2147483648 2147483647 0\n1 2 3\n",
    "1.7976931348623157e308 -1.5 2.5\n1e9 0 -0\n",
};

using vptest::ascii_head;
using vptest::binary_head;
using vptest::put_f64;
using vptest::put_le;

// The eight required trailer keys, one a line, in this order; phase_res comes last.
inline const char* const required_lines[8] = {
    "intf_scale_factor=         0.5", "wavelength_in=         0.5", "num_aperture=        0.25",
    "obliquity_factor=           1",  "lateral_res=       1e-06",   "camera_width=640",
    "camera_height=480",              "phase_res=0",
};

// A trailer: the data offset, `extra` lines, the required lines (but `skip`), then "*".
inline std::string trailer(int32_t offset = 0, const std::string& extra = "", int skip = -1)
{
    std::string t = "Data Offset = " + std::to_string(offset) + "\n" + extra;
    for (int i = 0; i < 8; ++i) {
        if (i != skip)
            t += std::string(required_lines[i]) + "\n";
    }
    return t + "*\n";
}

// A complete ASCII file of type t: header, the six values, "*", trailer.
inline std::string ascii_file(int t, const std::string& trailer_text = trailer())
{
    ascii_head h;
    h.type = type_names[t];
    return h.text() + text_values[t] + "*\n" + trailer_text;
}

// Six values of type t: 1, 2, 3, 4, 5, 6 in that type's encoding.
inline std::string binary_values(int t, int n = 6)
{
    std::string s;
    for (int i = 1; i <= n; ++i) {
        switch (t) {
        case SDF_FLOAT: {
            float f = static_cast<float>(i);
            uint32_t v;
            std::memcpy(&v, &f, 4);
            put_le(s, v, 4);
            break;
        }
        case SDF_DOUBLE: put_f64(s, i); break;
        default: put_le(s, static_cast<uint64_t>(i), static_cast<int>(type_size[t])); break;
        }
    }
    return s;
}

inline std::string binary_file(int t)
{
    binary_head h;
    h.type = static_cast<uint8_t>(t);
    return h.bytes() + binary_values(t);
}

// What one read left behind.
struct outcome {
    int32_t rc = -1;
    std::string out;  // standard output of the reader
    dat_header header{};
    sdf_header sdf{};
    phase_map phase{};           // geometry as the reader left it (data copied below)
    bool had_data = false;       // the map's data pointer was set
    std::vector<int32_t> values; // the phase data, on success
};

// Reads `bytes` from a scratch file with sdf_read_file_ex and releases the map's data.
inline const vptest::TempDir& scratch()
{
    static vptest::TempDir dir;
    return dir;
}

inline outcome read_sdf(const std::string& bytes)
{
    const vptest::TempDir& dir = scratch();
    vptest::write_file(dir / "in.sdf", bytes);
    outcome o;
    intensity_map intensity{};
    testing::internal::CaptureStdout();
    o.rc = sdf_read_file_ex(dir.str("in.sdf").c_str(), &o.header, &intensity, &o.phase, &o.sdf);
    o.out = testing::internal::GetCapturedStdout();
    o.had_data = o.phase.data != nullptr;
    if (o.phase.data != nullptr) {
        o.values.assign(o.phase.data, o.phase.data + o.phase.count);
        u_free(o.phase.data);
        o.phase.data = nullptr;
    }
    return o;
}

// The codes with which the reader turns a malformed file down.
inline bool reader_code(int32_t rc)
{
    switch (rc) {
    case ERR_PREMATURE_EOF:
    case ERR_CORRUPT_DATA_FILE:
    case ERR_BAD_PARAM:
    case ERR_PARAM_OUT_OF_RANGE:
    case ERR_DATASET_DIM_TOO_LARGE:
    case ERR_FP_OVERFLOW:
        return true;
    default:
        return false;
    }
}

// Every outcome: a failure is a clear code and leaves no data ("Missing required fields." is
// printed exactly for a corrupt trailer); a success has a map whose geometry is the header's
// and holds phase counts or the invalid mark.
inline ::testing::AssertionResult sane(const outcome& o)
{
    if (o.rc != NO_ERROR) {
        if (!reader_code(o.rc))
            return ::testing::AssertionFailure() << "unexpected code " << u_err_name(o.rc);
        if (o.had_data)
            return ::testing::AssertionFailure() << "phase data left after " << u_err_name(o.rc);
        if (!o.out.empty() && o.out != "Missing required fields.\n")
            return ::testing::AssertionFailure() << "printed \"" << o.out << "\"";
        return ::testing::AssertionSuccess();
    }
    if (!o.had_data || o.phase.width <= 0 || o.phase.height <= 0)
        return ::testing::AssertionFailure() << "success without a map";
    if (o.phase.count != static_cast<uint32_t>(o.phase.width) * static_cast<uint32_t>(o.phase.height))
        return ::testing::AssertionFailure() << "count " << o.phase.count << " for " << o.phase.width << " x "
                                             << o.phase.height;
    if (static_cast<uint32_t>(o.phase.width) != o.sdf.NumPoints ||
        static_cast<uint32_t>(o.phase.height) != o.sdf.NumProfiles)
        return ::testing::AssertionFailure() << "map " << o.phase.width << " x " << o.phase.height << " for header "
                                             << o.sdf.NumPoints << " x " << o.sdf.NumProfiles;
    if (o.header.cn_width != o.phase.width || o.header.cn_height != o.phase.height ||
        static_cast<uint32_t>(o.header.cn_n_bytes) != 4 * o.phase.count)
        return ::testing::AssertionFailure() << "header geometry " << o.header.cn_width << " x " << o.header.cn_height
                                             << ", " << o.header.cn_n_bytes << " bytes";
    if (!o.out.empty())
        return ::testing::AssertionFailure() << "success printed \"" << o.out << "\"";
    for (int32_t v : o.values) {
        if (v > DAT_PHASE_MAX_VALID && v != DAT_INVALID_PHASE)
            return ::testing::AssertionFailure() << "value " << v << " above the valid range";
    }
    return ::testing::AssertionSuccess();
}

// Writes a successful outcome with dat_write_file, as the conversion does, and checks the file:
// the header for its magic number, then exactly the phase block, big-endian. A magic number that
// the trailer set to none of the three formats fails with ERR_CANT_WRITE_FILE and leaves no file.
inline ::testing::AssertionResult converts(const outcome& o)
{
    const vptest::TempDir& dir = scratch();
    std::string path = dir.str("out.dat");
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::vector<int32_t> values = o.values;
    phase_map p = o.phase;
    p.data = values.data();
    int32_t rc = dat_write_file(path.c_str(), &o.header, nullptr, &p);
    uint32_t magic = o.header.magic_number;
    std::size_t head = magic == DAT_MAGIC_FORMAT3 ? 4096
                       : (magic == DAT_MAGIC_FORMAT1 || magic == DAT_MAGIC_FORMAT2) ? 834 : 0;
    if (head == 0) {
        if (rc != ERR_CANT_WRITE_FILE || std::filesystem::exists(path, ec))
            return ::testing::AssertionFailure() << "magic " << magic << " written with " << u_err_name(rc);
        return ::testing::AssertionSuccess();
    }
    if (rc != NO_ERROR)
        return ::testing::AssertionFailure() << "dat_write_file: " << u_err_name(rc);
    std::string bytes = vptest::read_file(path);
    if (bytes.size() != head + 4 * values.size())
        return ::testing::AssertionFailure() << "file of " << bytes.size() << " bytes for " << values.size() << " points";
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto v = static_cast<uint32_t>(values[i]);
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + head + 4 * i);
        if (((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]) != v)
            return ::testing::AssertionFailure() << "point " << i << " differs in the file";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace hostile
