// libFuzzer target: the wave monitor answer reader (wm_comm_read) on any device bytes.
//
// The first three bytes choose the answer kind, respLen and itemSize; the rest is what the device
// sends, through a virtual port on the virtual clock (a missing byte costs no real time). A success
// holds exactly the bytes the kind calls for, taken from the input in order and closed by ACK
// where the kind has one; a failure is one of the reader's codes and leaves the buffer released.
// fuzz-run: corpus=wm_answer dict=wm_answer max_len=4096
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_port.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/sio_vport.h"
#include "vell/serial/wavemon.h"

namespace {


uint64_t expected_size(int32_t kind, int32_t respLen, int32_t itemSize, const uint8_t* in, std::size_t n)
{
    switch (kind) {
    case WM_RESP_ACK:
        return 1;
    case WM_RESP_READ:
        return uint64_t(respLen);
    case WM_RESP_READ_ACK:
        return uint64_t(respLen) + 1;
    case WM_RESP_SIZE_READ_ACK: {
        VP_FUZZ_CHECK(n >= 4);
        uint32_t count = uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
        return uint64_t(respLen) + uint64_t(itemSize) * count + 5;
    }
    default:
        return 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    u_log_sink = &u_log_none;
    if (size < 3)
        return 0;
    sio_vport& device = vpfuzz::virtual_port("wm-fuzz");
    const int32_t kind = data[0] % 6;
    const int32_t respLen = static_cast<int8_t>(data[1]);
    const int32_t itemSize = data[2] % 9;
    const uint8_t* in = data + 3;
    const std::size_t n = size - 3;

    sio_link link;
    VP_FUZZ_CHECK(wm_comm_open_fd(&link, "wm-fuzz") == NO_ERROR);
    VP_FUZZ_CHECK(device.send(in, static_cast<uint32_t>(n), 0) == n);
    wm_buffer buf;
    int32_t rc = wm_comm_read(&link, &buf, respLen, itemSize, kind, 1);
    if (rc == NO_ERROR) {
        const uint64_t want = expected_size(kind, respLen, itemSize, in, n);
        VP_FUZZ_CHECK(buf.size == want);
        VP_FUZZ_CHECK(buf.size <= n && buf.size <= buf.capacity);
        VP_FUZZ_CHECK(std::memcmp(buf.data, in, buf.size) == 0);
        if (kind == WM_RESP_ACK || kind == WM_RESP_READ_ACK || kind == WM_RESP_SIZE_READ_ACK)
            VP_FUZZ_CHECK(buf.data[buf.size - 1] == WM_ACK);
    } else {
        VP_FUZZ_CHECK(rc == ERR_WM_TIMEOUT || rc == ERR_WM_READ || rc == ERR_WM_NAK);
        VP_FUZZ_CHECK(buf.data == nullptr && buf.size == 0 && buf.capacity == 0);
        VP_FUZZ_CHECK(n > 0 || rc == ERR_WM_TIMEOUT);
    }
    wm_buf_release(&buf);
    VP_FUZZ_CHECK(wm_comm_close(&link) == NO_ERROR);
    return 0;
}
