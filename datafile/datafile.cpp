#include "datafile/datafile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "datafile/byte_order.h"
#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "platform/hooks.h"
#include "platform/log.h"
#include "platform/os.h"

void u_swap_bytes(void* value, int size)
{
    auto* p = static_cast<unsigned char*>(value);
    switch (size) {
    case 2:
    case 4:
    case 8:
        std::reverse(p, p + size);
        return;
    default:
        u_log_sink("u_swap_bytes: n=%d\n", size);
        std::abort();
    }
}

namespace {

struct hook_deleter {
    void operator()(void* block) const { u_free(block); }
};
using hook_buffer = std::unique_ptr<unsigned char, hook_deleter>;

hook_buffer allocate(std::size_t bytes) { return hook_buffer(static_cast<unsigned char*>(u_malloc(bytes))); }

// Elements a map's data can supply: its geometry, bounded by what is allocated.
uint64_t available(uint32_t count, int64_t geometry) { return std::min<uint64_t>(count, geometry > 0 ? geometry : 0); }

// Copies n values into the buffer in big-endian order.
void to_big_endian(const uint16_t* src, std::size_t n, unsigned char* dst)
{
    if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(dst, src, n * 2);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            uint16_t v = static_cast<uint16_t>((src[i] >> 8) | (src[i] << 8));
            std::memcpy(dst + 2 * i, &v, 2);
        }
    }
}

void to_big_endian(const int32_t* src, std::size_t n, unsigned char* dst)
{
    if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(dst, src, n * 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            uint32_t v = __builtin_bswap32(static_cast<uint32_t>(src[i]));
            std::memcpy(dst + 4 * i, &v, 4);
        }
    }
}

// Writes `total` values from data in slices of at most slice_values through one buffer.
template <typename T>
int32_t write_block(std::FILE* file, const T* data, uint64_t total, uint32_t slice_values)
{
    hook_buffer buffer = allocate(std::size_t{slice_values} * sizeof(T));
    if (!buffer)
        return ERR_NO_MEM;
    uint64_t done = 0;
    while (done < total) {
        auto n = static_cast<std::size_t>(std::min<uint64_t>(total - done, slice_values));
        to_big_endian(data + done, n, buffer.get());
        if (std::fwrite(buffer.get(), sizeof(T), n, file) != n)
            return ERR_CANT_WRITE_FILE;
        done += n;
    }
    return NO_ERROR;
}

}  // namespace

int32_t dat_write_file(const char* path, const dat_header* header, const intensity_map* intensity,
                       const phase_map* phase)
{
    if (header == nullptr)
        return ERR_INVALID_PARAM;
    const intensity_map* in = intensity != nullptr && intensity->data != nullptr ? intensity : nullptr;
    const phase_map* cn = phase != nullptr && phase->data != nullptr ? phase : nullptr;
    if (in == nullptr && cn == nullptr)
        return ERR_INVALID_PARAM;

    // Block lengths come from the caller's counts; they must not reach beyond the maps.
    uint64_t in_values = in ? static_cast<uint32_t>(header->in_n_bytes) / 2u : 0;
    uint64_t cn_values = cn ? static_cast<uint32_t>(header->cn_n_bytes) / 4u : 0;
    if (in && in_values > available(in->count, int64_t{in->width} * in->height * in->n_frames))
        return ERR_INVALID_PARAM;
    if (cn && cn_values > available(cn->count, int64_t{cn->width} * cn->height))
        return ERR_INVALID_PARAM;

    os::fs::path target;
    os::atomic_file file;
    if (!os::native_path(path, target) || !file.open(target))
        return ERR_CANT_CREATE_FILE;

    dat_header work;
    std::memset(&work, 0, sizeof work);
    work = *header;
    if (in) {
        work.in_org_x = in->org_x;
        work.in_org_y = in->org_y;
        work.in_width = in->width;
        work.in_height = in->height;
        work.in_n_frames = in->n_frames;
        work.in_aux = in->aux;
        work.in_n_bytes = static_cast<int32_t>(int64_t{in->n_frames} * in->height * in->width * 2);
    } else {
        work.in_org_x = work.in_org_y = work.in_width = work.in_height = 0;
        work.in_n_frames = work.in_aux = 0;
        work.in_n_bytes = 0;
    }
    if (cn) {
        work.cn_org_x = cn->org_x;
        work.cn_org_y = cn->org_y;
        work.cn_width = cn->width;
        work.cn_height = cn->height;
        work.cn_n_bytes = static_cast<int32_t>(int64_t{header->cn_height} * header->cn_width * 4);
    } else {
        work.cn_org_x = work.cn_org_y = work.cn_width = work.cn_height = 0;
        work.cn_n_bytes = 0;
    }

    std::array<uint8_t, DAT_HEADER_PACKED_SIZE> packed{};
    dat_header_pack(work, packed);
    auto header_len = static_cast<std::size_t>(dat_header_size_for(work.magic_number));
    if (std::fwrite(packed.data(), header_len, 1, file.get()) != 1)
        return ERR_CANT_WRITE_FILE;  // also for an unknown magic number (length 0)

    if (in) {
        if (int32_t rc = write_block(file.get(), in->data, in_values, DAT_INTENSITY_SLICE_VALUES))
            return rc;
    }
    if (cn) {
        if (int32_t rc = write_block(file.get(), cn->data, cn_values, DAT_PHASE_SLICE_VALUES))
            return rc;
    }
    if (!file.commit())
        return ERR_CANT_WRITE_FILE;
    return NO_ERROR;
}
