// libFuzzer target: the instrument board answer reader (ur_readUZ) on any board bytes.
//
// The first three bytes choose the board type (1, 3, 6, 7), the response kind and the caller's
// buffer size; the rest is what the board sends, through a virtual port on the virtual clock (a
// missing byte costs no real time). A success stores at most the buffer's size and exactly the
// body of one of the first three frames of the input, whose checksum holds and whose code fits the
// kind; a failure is one of the reader's codes or link statuses.
// fuzz-run: corpus=board dict=board max_len=4096
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_port.h"
#include "fuzz/fuzz_support.h"
#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/board.h"
#include "vell/serial/sio_vport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    u_log_sink = &u_log_none;
    if (size < 3)
        return 0;
    sio_vport& device = vpfuzz::virtual_port("board-fuzz");
    static const int32_t types[] = {UR_BOARD_01, UR_BOARD_HXI, UR_BOARD_MODEL31, UR_BOARD_FTP};
    const int32_t type = types[data[0] % 4];
    const int32_t kind = 1 + data[1] % 3;
    const std::size_t capacity = data[2];
    const uint8_t* in = data + 3;
    const std::size_t n = size - 3;

    sysinfo_slot(0)->instrBdType = type;  // the board's type is its record's
    ur_board* board = ur_board_slot(0);
    VP_FUZZ_CHECK(sio_open("board-fuzz", &board->link) == NO_ERROR);
    VP_FUZZ_CHECK(device.send(in, static_cast<uint32_t>(n), 0) == n);
    std::vector<uint8_t> buffer(capacity + 1, 0xA5);
    uint32_t count = 12345;
    int32_t rc = ur_readUZ(&board->link, buffer.data(), capacity, kind, &count);
    VP_FUZZ_CHECK(buffer[capacity] == 0xA5);  // nothing beyond the caller's buffer
    if (rc == NO_ERROR) {
        VP_FUZZ_CHECK(count <= capacity);
        // The answer is the body of one of the first three frames.
        bool found = false;
        std::size_t at = 0;
        for (int frame = 0; frame < 3 && at < n && !found; ++frame) {
            const uint8_t len = in[at];
            if (static_cast<int8_t>(len) <= 0) {
                found = count == 0 && kind == UR_RESP_REPORT;
                at += 1;
                continue;
            }
            if (count == len && at + 1 + len <= n && std::memcmp(buffer.data(), in + at + 1, len) == 0)
                found = true;
            at += 1 + len;
        }
        VP_FUZZ_CHECK(found);
        if (count > 0) {
            VP_FUZZ_CHECK(count >= 2);
            VP_FUZZ_CHECK(ur_checksum(buffer.data(), count - 1) == buffer[count - 1]);
            const int32_t code = buffer[0];
            if (kind == UR_RESP_ACK)
                VP_FUZZ_CHECK(code == UR_ACK);
            if (kind == UR_RESP_DATA)
                VP_FUZZ_CHECK(code != UR_NAK && !ur_unsolicited(type, code));
            if (kind == UR_RESP_REPORT)
                VP_FUZZ_CHECK(ur_report_code(type, code));
        }
    } else {
        VP_FUZZ_CHECK(rc == ERR_UZ_RECV_FAILED || rc == ERR_UZ_RECV_TIMEOUT || rc == UR_STATUS_CHECKSUM ||
                      rc == UR_STATUS_REJECTED);
        VP_FUZZ_CHECK(count == 0);
    }
    // The port's time-outs are as they were.
    sio_timeouts t{};
    VP_FUZZ_CHECK(sio_get_timeouts(board->link.handle, &t) == NO_ERROR && t.read_total_constant == 2000);
    VP_FUZZ_CHECK(sio_close(&board->link) == NO_ERROR);
    return 0;
}
