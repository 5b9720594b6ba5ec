#include "vell/datafile/datafile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "vell/platform/byte_order.h"
#include "vell/platform/atomic_file.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/platform/thread.h"

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
    std::size_t i = 0;
#if defined(__SSE2__) || defined(_M_X64)
    // Four values a step: the 16-bit halves of each value swapped, then the bytes of each half.
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= n; i += 4) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
            v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), v);
        }
    }
#endif
    for (; i < n; ++i)
        dat_bytes::store_be32(dst + 4 * i, static_cast<uint32_t>(src[i]));
}

// Writes `total` values from data in slices of at most slice_values through one buffer.
template <typename T>
int32_t write_slices(std::FILE* file, const T* data, uint64_t total, uint32_t slice_values)
{
    // A short block needs no more buffer than it holds.
    if (total == 0)
        return NO_ERROR;
    slice_values = static_cast<uint32_t>(std::min<uint64_t>(total, slice_values));
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

// Two slice buffers handed between the thread that fills them and the thread that writes
// them: `filled[b]` tells the writer that buffer b holds `values[b]` values (0: no more),
// `emptied[b]` tells the filler that buffer b may be filled again.
struct slice_relay {
    hook_buffer buffer[2];
    u_unique_handle filled[2];
    u_unique_handle emptied[2];
    std::size_t values[2] = {0, 0};
    std::atomic<bool> failed{false};

    bool open(std::size_t bytes)
    {
        for (int b = 0; b < 2; ++b) {
            buffer[b] = allocate(bytes);
            u_handle f = nullptr;
            u_handle e = nullptr;
            bool ok = u_event_create(false, false, nullptr, &f) == NO_ERROR;
            filled[b].reset(f);
            ok = u_event_create(false, true, nullptr, &e) == NO_ERROR && ok;
            emptied[b].reset(e);
            if (!buffer[b] || !ok)
                return false;
        }
        return true;
    }

    // The writer's side: slice after slice until the empty one; after a failed write the
    // rest is only handed back.
    void write_all(std::FILE* file, std::size_t item)
    {
        for (unsigned k = 0;; k ^= 1) {
            u_wait_one(filled[k].get(), U_INFINITE);
            std::size_t n = values[k];
            if (n == 0)
                return;
            if (!failed.load() && std::fwrite(buffer[k].get(), item, n, file) != n)
                failed.store(true);
            u_event_set(emptied[k].get());
        }
    }
};

// Writes `total` values from data in slices of at most slice_values: while a second thread
// writes one slice, this one turns the next into file order. Short blocks, or a system that
// gives no thread, go through one buffer on this thread.
template <typename T>
int32_t write_block(std::FILE* file, const T* data, uint64_t total, uint32_t slice_values)
{
    if (total <= 2u * slice_values)
        return write_slices(file, data, total, slice_values);
    slice_relay relay;
    if (!relay.open(std::size_t{slice_values} * sizeof(T)))
        return write_slices(file, data, total, slice_values);
    u_handle writer = nullptr;
    if (u_thread_start([&relay, file]() -> int32_t { relay.write_all(file, sizeof(T)); return 0; }, &writer) !=
        NO_ERROR)
        return write_slices(file, data, total, slice_values);
    uint64_t done = 0;
    for (unsigned k = 0;; k ^= 1) {
        u_wait_one(relay.emptied[k].get(), U_INFINITE);
        std::size_t n = 0;
        if (!relay.failed.load() && done < total) {
            n = static_cast<std::size_t>(std::min<uint64_t>(total - done, slice_values));
            to_file_order(data + done, n, relay.buffer[k].get());
            done += n;
        }
        relay.values[k] = n;
        u_event_set(relay.filled[k].get());
        if (n == 0)
            break;
    }
    u_thread_join(writer, U_INFINITE);
    u_close_handle(writer);
    return relay.failed.load() ? ERR_CANT_WRITE_FILE : NO_ERROR;
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
    // A new file is not held up by the disk; one that replaces a file reaches it first.
    if (!file.commit(os::atomic_file::flush::when_replacing))
        return ERR_CANT_WRITE_FILE;
    return NO_ERROR;
}
