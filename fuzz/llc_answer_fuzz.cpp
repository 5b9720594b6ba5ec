// libFuzzer target: the light-level read of the serial boards (ac_llc_read_level_mode through
// the board link) on any board bytes.
//
// The first byte chooses the board type (1, 3, 6, 7); the rest is what the board sends, through
// a virtual port on the virtual clock. A success reads a level within the board's limit, which
// becomes the slot's current level and leaves the previous level and the mode alone; a failure
// is one of the link's codes, reads level 0 and changes nothing.
// fuzz-run: corpus=llc dict=board max_len=512
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vell/calfile/sysinfo.h"
#include "fuzz/fuzz_port.h"
#include "fuzz/fuzz_support.h"
#include "vell/instrument/llc.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/board.h"
#include "vell/serial/sio_vport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    u_log_sink = &u_log_none;
    if (size < 1)
        return 0;
    sio_vport& device = vpfuzz::virtual_port("llc-fuzz");
    static const int32_t types[] = {UR_BOARD_01, UR_BOARD_HXI, UR_BOARD_MODEL31, UR_BOARD_FTP};
    const int32_t type = types[data[0] % 4];

    SysInfo* info = sysinfo_slot(0);
    info->instrBdType = type;
    info->curLightSlot = 0;
    LightRun& slot = info->currentLightRun();
    slot.mode = 2;
    slot.level = 7;
    slot.prevLevel = 5;
    ur_board* board = ur_board_slot(0);  // its type is the record's
    VP_FUZZ_CHECK(sio_open("llc-fuzz", &board->link) == NO_ERROR);
    VP_FUZZ_CHECK(device.send(data + 1, static_cast<uint32_t>(size - 1), 0) == size - 1);

    uint16_t level = 12345;
    int32_t value = 12345;
    const int32_t rc = ac_llc_read_level_mode(info, &level, &value);
    VP_FUZZ_CHECK(slot.mode == 2 && slot.prevLevel == 5);
    if (rc == NO_ERROR) {
        VP_FUZZ_CHECK(level <= ac_llc_board_limit(*info));
        VP_FUZZ_CHECK(static_cast<uint16_t>(slot.level) == level);
        VP_FUZZ_CHECK(type == UR_BOARD_HXI ? value >= 0 && value <= 255 : value == 0);
    } else {
        VP_FUZZ_CHECK(rc == ERR_UZ_RECV_FAILED || rc == ERR_UZ_RECV_TIMEOUT);
        VP_FUZZ_CHECK(value == 0);
        // A failed mode read comes after a good level read; a failed level read changes nothing.
        VP_FUZZ_CHECK(level == static_cast<uint16_t>(slot.level) || (level == 0 && slot.level == 7));
    }
    VP_FUZZ_CHECK(sio_close(&board->link) == NO_ERROR);
    return 0;
}
