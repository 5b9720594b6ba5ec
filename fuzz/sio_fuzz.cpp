// libFuzzer target: the serial layer's readers of outside text and bytes.
//
// The input up to the first line feed is a settings text for sio_init on a virtual port; an
// accepted text must leave one of the line settings the grammar allows, a refused one the port
// as it was. The rest is device input with error marks: decoded whole and decoded in pieces (cut
// where the first byte says) it must give the same bytes, flags and pending mark, never more
// bytes than came in.
// fuzz-run: corpus=sio dict=sio max_len=1024
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/serial/sio.h"
#include "vell/serial/sio_backend.h"
#include "vell/serial/sio_vport.h"

namespace {

bool same(const sio_state& a, const sio_state& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check_settings(const std::string& text)
{
    static std::unique_ptr<sio_vport> port = [] {
        std::unique_ptr<sio_vport> p;
        if (sio_vport::create("fuzz-port", &p) != NO_ERROR)
            vpfuzz::fail("cannot create the virtual port");
        return p;
    }();
    sio_link link;
    VP_FUZZ_CHECK(sio_open("fuzz-port", &link) == NO_ERROR);
    sio_state before{};
    VP_FUZZ_CHECK(sio_get_state(link.handle, &before) == NO_ERROR);
    int32_t rc = sio_init(link.handle, text.c_str(), 1);
    sio_state after{};
    VP_FUZZ_CHECK(sio_get_state(link.handle, &after) == NO_ERROR);
    if (rc == NO_ERROR) {
        static constexpr uint32_t rates[] = {150, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
        bool known = false;
        for (uint32_t r : rates)
            known = known || after.baud_rate == r;
        VP_FUZZ_CHECK(known);
        VP_FUZZ_CHECK(after.byte_size >= 5 && after.byte_size <= 8);
        VP_FUZZ_CHECK(after.parity <= SIO_EVENPARITY);
        VP_FUZZ_CHECK(after.parity_check == (after.parity != 0 ? 1 : 0));
        VP_FUZZ_CHECK(after.stop_bits <= SIO_TWOSTOPBITS);
    } else {
        VP_FUZZ_CHECK(rc == ERR_INVALID_PARAM || rc == ERR_PARAM_OUT_OF_RANGE);
        VP_FUZZ_CHECK(same(before, after));
    }
    VP_FUZZ_CHECK(sio_close(&link) == NO_ERROR);
}

struct decoded {
    std::string data;
    uint32_t errors = 0;
    uint8_t pending = 0;
};

decoded decode(const uint8_t* bytes, std::size_t size, std::size_t piece)
{
    decoded d;
    for (std::size_t at = 0; at < size; at += piece) {
        std::size_t n = std::min(piece, size - at);
        std::vector<uint8_t> buf(bytes + at, bytes + at + n);
        uint32_t got = sio_os::unmark_input(buf.data(), static_cast<uint32_t>(n), d.pending, d.errors);
        VP_FUZZ_CHECK(got <= n);
        VP_FUZZ_CHECK(d.pending <= 2);
        d.data.append(reinterpret_cast<const char*>(buf.data()), got);
    }
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    u_log_sink = &u_log_none;
    const void* lf = std::memchr(data, '\n', size);
    std::size_t text_end = lf == nullptr ? size : static_cast<std::size_t>(static_cast<const uint8_t*>(lf) - data);
    check_settings(std::string(reinterpret_cast<const char*>(data), text_end));

    if (text_end + 1 < size) {
        const uint8_t* input = data + text_end + 1;
        std::size_t n = size - text_end - 1;
        decoded whole = decode(input, n, n);
        decoded cut = decode(input, n, static_cast<std::size_t>(input[0] % 7) + 1);
        VP_FUZZ_CHECK(whole.data == cut.data);
        VP_FUZZ_CHECK(whole.errors == cut.errors);
        VP_FUZZ_CHECK(whole.pending == cut.pending);
        VP_FUZZ_CHECK(whole.data.size() <= n);
    }
    return 0;
}
