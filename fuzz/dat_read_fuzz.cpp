// libFuzzer target: dat_read_file on any bytes.
//
// A failure is one of the reader's codes and leaves a zeroed header and empty maps; no block is
// requested beyond what the input's size justifies. A success accounts for every byte of the
// input (header, intensity block, phase block), its statistics and picture can be made, and
// writing the dataset back with dat_write_file gives the input again whenever the header's
// geometry of an absent map is zero (the writer zeroes it).
// fuzz-run: corpus=dat dict=dat max_len=16384
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "vell/datafile/datafile.h"
#include "vell/datafile/phase_picture.h"
#include "vell/datafile/phase_stats.h"
#include "vell/datafile/png.h"
#include "vell/datafile/reader.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"

namespace {

bool reader_code(int32_t rc)
{
    return rc == ERR_PREMATURE_EOF || rc == ERR_CORRUPT_DATA_FILE || rc == ERR_CANT_READ_FILE;
}

bool all_zero(const void* p, std::size_t n)
{
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

std::string slurp(const std::string& path)
{
    std::string s;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string path = vpfuzz::scratch().file("in.dat");
    static const std::string out = vpfuzz::scratch().file("out.dat");
    vpfuzz::put_file(path, data, size);

    dat_header h;
    intensity_map in;
    phase_map cn;
    std::memset(&in, 0x5A, sizeof in);
    std::memset(&cn, 0x5A, sizeof cn);
    vpfuzz::guard_allocations(size);
    int32_t rc = dat_read_file(path.c_str(), &h, &in, &cn);
    u_hooks_reset();

    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(reader_code(rc));
        VP_FUZZ_CHECK(all_zero(&h, sizeof h));
        VP_FUZZ_CHECK(in.data == nullptr && in.count == 0 && cn.data == nullptr && cn.count == 0);
        return 0;
    }
    uint64_t in_bytes = uint64_t{in.count} * 2, cn_bytes = uint64_t{cn.count} * 4;
    VP_FUZZ_CHECK(uint64_t(dat_header_size_for(h.magic_number)) + in_bytes + cn_bytes == size);
    VP_FUZZ_CHECK(in_bytes == static_cast<uint32_t>(h.in_n_bytes) && cn_bytes == static_cast<uint32_t>(h.cn_n_bytes));
    if (in.data != nullptr)
        VP_FUZZ_CHECK(in.count == uint64_t(in.width) * uint64_t(in.height) * uint64_t(in.n_frames));
    if (cn.data != nullptr) {
        VP_FUZZ_CHECK(cn.count == uint64_t(cn.width) * uint64_t(cn.height));
        dat_phase_stats s = dat_phase_statistics(cn);
        VP_FUZZ_CHECK(s.points == cn.count && s.valid <= s.points && s.min <= s.max);
        dat_picture pic = dat_phase_picture(cn, s);
        VP_FUZZ_CHECK(pic.width >= 1 && pic.width <= DAT_PICTURE_MAX_SIDE && pic.height >= 1 &&
                      pic.height <= DAT_PICTURE_MAX_SIDE);
        VP_FUZZ_CHECK(!png_encode_rgb(pic.width, pic.height, pic.rgb).empty());
    }

    // Written back, the dataset gives the same bytes.
    bool in_geometry_zero = in.data != nullptr || (h.in_org_x == 0 && h.in_org_y == 0 && h.in_width == 0 &&
                                                   h.in_height == 0 && h.in_n_frames == 0 && h.in_aux == 0);
    bool cn_geometry_zero = cn.data != nullptr || (h.cn_org_x == 0 && h.cn_org_y == 0 && h.cn_width == 0 &&
                                                   h.cn_height == 0);
    if ((in.data != nullptr || cn.data != nullptr) && in_geometry_zero && cn_geometry_zero) {
        VP_FUZZ_CHECK(dat_write_file(out.c_str(), &h, &in, &cn) == NO_ERROR);
        std::string again = slurp(out);
        VP_FUZZ_CHECK(again.size() == size && std::memcmp(again.data(), data, size) == 0);
    }
    dat_release_maps(&in, &cn);
    return 0;
}
