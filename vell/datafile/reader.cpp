#include "vell/datafile/reader.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

int32_t fail(int32_t rc, const char* cause)
{
    u_log_sink("dat_read_file: %s: %s\n", cause, u_err_name(rc));
    return rc;
}

// One block as the header describes it: its byte count and the elements its geometry gives.
struct block_plan {
    uint64_t bytes = 0;     // the header's count, unsigned
    uint64_t elements = 0;  // width x height (x frames)
};

// Checks a block's count against its geometry. False when a dimension is negative or the
// count is not the geometry's byte size.
bool plan_block(int64_t count_field, std::initializer_list<int16_t> dims, uint64_t element_size, block_plan& plan)
{
    uint64_t elements = 1;
    for (int16_t d : dims) {
        if (d < 0)
            return false;
        elements *= static_cast<uint64_t>(d);
    }
    plan.bytes = static_cast<uint32_t>(count_field);
    plan.elements = elements;
    return plan.bytes == elements * element_size;
}

// Reads n big-endian values of T into data. False when the file ends first.
template <typename T>
bool read_values(std::FILE* f, T* data, uint64_t n)
{
    constexpr std::size_t slice = 4096;
    std::array<uint8_t, slice * sizeof(T)> buf;
    uint64_t done = 0;
    while (done < n) {
        std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(n - done, slice));
        if (std::fread(buf.data(), sizeof(T), k, f) != k)
            return false;
        for (std::size_t i = 0; i < k; ++i) {
            if constexpr (sizeof(T) == 2)
                data[done + i] = static_cast<T>(dat_bytes::load_be16(buf.data() + 2 * i));
            else
                data[done + i] = static_cast<T>(dat_bytes::load_be32(buf.data() + 4 * i));
        }
        done += k;
    }
    return true;
}

int32_t read_file(const char* path, dat_header& header, intensity_map& intensity, phase_map& phase)
{
    os::fs::path native;
    if (path == nullptr || !os::native_path(path, native))
        return fail(ERR_CANT_OPEN_FILE, "no such file");
    switch (os::kind_of(native)) {
    case os::file_kind::regular: break;
    case os::file_kind::none: return fail(ERR_CANT_OPEN_FILE, "no such file");
    default: return fail(ERR_CANT_OPEN_FILE, "not a regular file");
    }
    uint64_t size = 0;
    if (!os::file_size(native, size))
        return fail(ERR_CANT_OPEN_FILE, "the file's size cannot be read");
    file_ptr f(os::open_file(native, "rb"));
    if (!f)
        return fail(ERR_CANT_OPEN_FILE, "the file cannot be opened");

    char cause[160];
    std::array<uint8_t, DAT_HEADER_PACKED_SIZE> packed{};
    if (size < 4) {
        std::snprintf(cause, sizeof cause, "%" PRIu64 " bytes are too few for a data file", size);
        return fail(ERR_PREMATURE_EOF, cause);
    }
    if (std::fread(packed.data(), 1, 4, f.get()) != 4)
        return fail(ERR_CANT_READ_FILE, "the magic number cannot be read");
    uint32_t magic = dat_bytes::load_be32(packed.data());
    auto header_len = static_cast<uint64_t>(dat_header_size_for(magic));
    if (header_len == 0) {
        std::snprintf(cause, sizeof cause, "not a Vell data file (magic number 0x%08" PRIX32 ")", magic);
        return fail(ERR_CORRUPT_DATA_FILE, cause);
    }
    if (size < header_len) {
        std::snprintf(cause, sizeof cause, "the file ends at %" PRIu64 " bytes, inside the %" PRIu64 "-byte header",
                      size, header_len);
        return fail(ERR_PREMATURE_EOF, cause);
    }
    if (std::fread(packed.data() + 4, 1, header_len - 4, f.get()) != header_len - 4)
        return fail(ERR_CANT_READ_FILE, "the header cannot be read");
    dat_header_unpack(packed, header);

    block_plan in, cn;
    if (!plan_block(header.in_n_bytes, {header.in_width, header.in_height, header.in_n_frames}, 2, in))
        return fail(ERR_CORRUPT_DATA_FILE, "in_n_bytes disagrees with the intensity map's width, height and frames");
    if (!plan_block(header.cn_n_bytes, {header.cn_width, header.cn_height}, 4, cn))
        return fail(ERR_CORRUPT_DATA_FILE, "cn_n_bytes disagrees with the phase map's width and height");
    uint64_t expected = header_len + in.bytes + cn.bytes;
    if (size < expected) {
        std::snprintf(cause, sizeof cause,
                      "the file is cut short: its header and blocks need %" PRIu64 " bytes, it holds %" PRIu64,
                      expected, size);
        return fail(ERR_PREMATURE_EOF, cause);
    }
    if (size > expected) {
        std::snprintf(cause, sizeof cause, "%" PRIu64 " bytes follow the last block", size - expected);
        return fail(ERR_CORRUPT_DATA_FILE, cause);
    }

    // Every allocation below is covered by bytes the file holds.
    if (in.elements > 0) {
        intensity.data = static_cast<uint16_t*>(u_malloc(in.elements * 2));
        if (intensity.data == nullptr)
            return fail(ERR_NO_MEM, "no memory for the intensity map");
        intensity.count = static_cast<uint32_t>(in.elements);
        intensity.org_x = header.in_org_x;
        intensity.org_y = header.in_org_y;
        intensity.width = header.in_width;
        intensity.height = header.in_height;
        intensity.n_frames = header.in_n_frames;
        intensity.aux = header.in_aux;
        if (!read_values(f.get(), intensity.data, in.elements))
            return fail(ERR_PREMATURE_EOF, "the file ends inside the intensity block");
    }
    if (cn.elements > 0) {
        phase.width = header.cn_width;
        phase.height = header.cn_height;
        phase.org_x = header.cn_org_x;
        phase.org_y = header.cn_org_y;
        if (int32_t rc = phase_map_alloc(&phase))
            return fail(rc, "no memory for the phase map");
        if (!read_values(f.get(), phase.data, cn.elements))
            return fail(ERR_PREMATURE_EOF, "the file ends inside the phase block");
    }
    // The file may have grown since its size was taken.
    if (std::fgetc(f.get()) != EOF)
        return fail(ERR_CORRUPT_DATA_FILE, "bytes follow the last block");
    if (std::ferror(f.get()))
        return fail(ERR_CANT_READ_FILE, "a read failed");
    return NO_ERROR;
}

}  // namespace

void dat_release_maps(intensity_map* intensity, phase_map* phase)
{
    if (intensity != nullptr) {
        u_free(intensity->data);
        map_clear(intensity);
    }
    if (phase != nullptr) {
        u_free(phase->data);
        map_clear(phase);
    }
}

int32_t dat_read_file(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase)
{
    if (header == nullptr || phase == nullptr)
        return ERR_INVALID_PARAM;
    std::memset(header, 0, sizeof *header);
    intensity_map in{};
    map_clear(phase);
    int32_t rc = read_file(path, *header, in, *phase);
    if (rc != NO_ERROR) {
        std::memset(header, 0, sizeof *header);
        dat_release_maps(&in, phase);
    }
    if (intensity != nullptr)
        *intensity = in;
    else
        dat_release_maps(&in, nullptr);
    return rc;
}
