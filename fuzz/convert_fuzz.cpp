// libFuzzer target: the whole conversion, sdf_read_file then dat_write_file to a scratch file.
//
// A dataset the reader accepts is written completely: the file holds the header for its magic
// number and exactly the phase block, big-endian, value for value. The only failure left to
// the writer is a magic number that the trailer set to none of the three formats, and then no
// file is left behind.
// fuzz-run: corpus=sdf dict=sdf max_len=16384
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "vell/datafile/datafile.h"
#include "vell/datafile/dataset.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/sdf/sdf.h"

namespace {

std::vector<unsigned char> slurp(const std::string& path)
{
    std::vector<unsigned char> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

uint32_t be32(const unsigned char* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vpfuzz::quiet_stdout();
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string in_path = vpfuzz::scratch().file("in.sdf");
    static const std::string out_path = vpfuzz::scratch().file("out.dat");
    vpfuzz::put_file(in_path, data, size);
    std::error_code ec;
    std::filesystem::remove(out_path, ec);

    dat_header header;
    intensity_map intensity{};
    phase_map phase{};
    vpfuzz::guard_allocations(size);
    int32_t rc = sdf_read_file(in_path.c_str(), &header, &intensity, &phase);
    if (rc != NO_ERROR) {
        u_hooks_reset();
        VP_FUZZ_CHECK(phase.data == nullptr);
        return 0;
    }
    rc = dat_write_file(out_path.c_str(), &header, &intensity, &phase);
    u_hooks_reset();

    uint32_t magic = header.magic_number;
    std::size_t header_len = magic == DAT_MAGIC_FORMAT3 ? 4096
                             : (magic == DAT_MAGIC_FORMAT1 || magic == DAT_MAGIC_FORMAT2) ? 834
                                                                                           : 0;
    if (header_len == 0) {
        VP_FUZZ_CHECK(rc == ERR_CANT_WRITE_FILE);
        VP_FUZZ_CHECK(!std::filesystem::exists(out_path, ec));
        u_free(phase.data);
        return 0;
    }
    VP_FUZZ_CHECK(rc == NO_ERROR);
    std::vector<unsigned char> file = slurp(out_path);
    VP_FUZZ_CHECK(file.size() == header_len + phase.count * 4u);
    VP_FUZZ_CHECK(be32(file.data()) == magic);
    VP_FUZZ_CHECK(be32(file.data() + 60) == 0);  // no intensity data
    VP_FUZZ_CHECK(be32(file.data() + 72) == phase.count * 4u);
    for (uint32_t i = 0; i < phase.count; ++i)
        VP_FUZZ_CHECK(be32(file.data() + header_len + 4u * i) == static_cast<uint32_t>(phase.data[i]));
    u_free(phase.data);
    return 0;
}
