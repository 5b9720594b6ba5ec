#include "datafile/datafile.h"

#include <algorithm>
#include <array>
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

// Whether a byte count is exactly the map's values of `size` bytes, all of them allocated.
bool matches(int32_t bytes, unsigned size, int64_t values, uint32_t count)
{
    return values > 0 && values <= count && static_cast<int64_t>(bytes) == values * size;
}

// Copies n values into the buffer in big-endian order.
void to_file_order(const uint16_t* src, std::size_t n, unsigned char* dst)
{
    for (std::size_t i = 0; i < n; ++i)
        dat_bytes::store_be16(dst + 2 * i, src[i]);
}

void to_file_order(const int32_t* src, std::size_t n, unsigned char* dst)
{
    for (std::size_t i = 0; i < n; ++i)
        dat_bytes::store_be32(dst + 4 * i, static_cast<uint32_t>(src[i]));
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
        to_file_order(data + done, n, buffer.get());
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

    // The block lengths come from the caller's counts, which must describe the maps exactly:
    // a smaller count would leave a header that claims more data than the file holds, a larger
    // one would read beyond the map.
    uint64_t in_values = in ? static_cast<uint32_t>(header->in_n_bytes) / 2u : 0;
    uint64_t cn_values = cn ? static_cast<uint32_t>(header->cn_n_bytes) / 4u : 0;
    if (in && !matches(header->in_n_bytes, 2, int64_t{in->width} * in->height * in->n_frames, in->count))
        return ERR_INVALID_PARAM;
    if (cn && !matches(header->cn_n_bytes, 4, int64_t{cn->width} * cn->height, cn->count))
        return ERR_INVALID_PARAM;

    os::fs::path target;
    os::atomic_file file;
    if (!os::native_path(path, target) || !file.open(target))
        return ERR_CANT_CREATE_FILE;

    dat_header work;
    std::memset(&work, 0, sizeof work);
    work = *header;
    dat_header_set_geometry(&work, in, cn);

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
