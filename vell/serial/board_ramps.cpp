// Ramp commands of the instrument board link: see board_ramps.h.
#include "vell/serial/board_ramps.h"

#include <cstring>
#include <vector>

#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"

namespace {

int32_t code_or_fail(const ur_board* board, const char* name, int32_t* code)
{
    if (board == nullptr)
        return ERR_INVALID_PARAM;
    *code = ur_cmd_code(board->type(), name);
    return *code < 0 ? ERR_WRONG_INSTR_BOARD : NO_ERROR;
}

// One RAMP_DATA frame of n words; the frame is rebuilt for every send because the reply
// replaces it.
int32_t send_block(ur_board* board, int32_t code, const uint16_t* words, std::size_t n)
{
    std::vector<uint8_t> frame(4 + 2 * n + 1);
    frame[0] = 4;
    frame[1] = static_cast<uint8_t>(code);
    dat_bytes::store_be16(&frame[2], static_cast<uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i)
        dat_bytes::store_be16(&frame[4 + 2 * i], words[i]);
    frame.back() = ur_checksum(frame.data() + 1, frame.size() - 2);
    return ur_writeUZ(&board->link, static_cast<uint32_t>(frame.size()), frame.data(), frame.size(), true, true);
}

}  // namespace

int32_t ur_cmd_code(int32_t board_type, const char* name)
{
    std::size_t n = 0;
    const ur_cmd* t = ur_vocabulary(board_type, &n);
    for (std::size_t i = 0; t != nullptr && i < n; ++i)
        if (t[i].req_len >= 2 && std::strcmp(t[i].name, name) == 0)
            return t[i].code;
    return -1;
}

std::size_t ur_ramp_table_size(int32_t board_type)
{
    const int32_t code = ur_cmd_code(board_type, "RAMP_REQUEST");
    const ur_cmd* c = code < 0 ? nullptr : ur_cmd_find(board_type, code);
    return c != nullptr && c->reply_len > 2 ? c->reply_len - 2u : 0;
}

int32_t ur_ramp_download(ur_board* board, const ur_ramp_load_args& args, const uint16_t* samples, std::size_t n)
{
    int32_t load = -1, data = -1, complete = -1;
    int32_t rc = code_or_fail(board, "RAMP_LOAD", &load);
    if (rc == NO_ERROR)
        rc = code_or_fail(board, "RAMP_DATA", &data);
    if (rc == NO_ERROR)
        rc = code_or_fail(board, "RAMP_COMPLETE", &complete);
    if (rc != NO_ERROR)
        return rc;
    if (samples == nullptr || n == 0 || n != args.nPoints)
        return ERR_INVALID_PARAM;
    uint8_t a[13] = {args.slot, args.rampID};
    dat_bytes::store_be16(&a[2], args.nPoints);
    dat_bytes::store_be16(&a[4], args.updateRate);
    dat_bytes::store_be16(&a[6], args.trigStartAddr);
    dat_bytes::store_be16(&a[8], args.trigEndAddr);
    dat_bytes::store_be16(&a[10], args.gain);
    a[12] = args.scanDir;
    rc = ur_request(&board->link, load, a, sizeof a, nullptr, 0);
    if (rc != NO_ERROR)
        return rc;
    for (std::size_t at = 0; at < n && rc == NO_ERROR; at += UR_RAMP_BLOCK_WORDS) {
        const std::size_t count = n - at < UR_RAMP_BLOCK_WORDS ? n - at : UR_RAMP_BLOCK_WORDS;
        rc = send_block(board, data, samples + at, count);
        if (rc == ERR_UZ_RECV_FAILED)
            rc = send_block(board, data, samples + at, count);
    }
    if (rc == NO_ERROR)
        rc = ur_send_cmd(&board->link, complete);
    if (rc != NO_ERROR)
        ur_ramp_delete(board, args.slot);
    return rc;
}

int32_t ur_ramp_delete(ur_board* board, uint8_t slot)
{
    int32_t code = -1;
    const int32_t rc = code_or_fail(board, "RAMP_DELETE", &code);
    return rc != NO_ERROR ? rc : ur_send_cmd_u8(&board->link, code, slot);
}

int32_t ur_ramp_start(ur_board* board, uint8_t slot)
{
    int32_t code = -1;
    const int32_t rc = code_or_fail(board, "RAMP_START", &code);
    return rc != NO_ERROR ? rc : ur_send_cmd_u8(&board->link, code, slot);
}

int32_t ur_ramp_idle(ur_board* board, bool* idle)
{
    int32_t code = -1;
    int32_t rc = code_or_fail(board, "RAMP_IDLE", &code);
    if (rc != NO_ERROR || idle == nullptr)
        return rc != NO_ERROR ? rc : ERR_INVALID_PARAM;
    uint8_t reply[4] = {};
    uint32_t got = 0;
    rc = ur_request(&board->link, code, nullptr, 0, reply, sizeof reply, &got);
    if (rc == NO_ERROR)
        *idle = reply[1] != 0;
    return rc;
}

int32_t ur_ramp_request(ur_board* board, uint8_t* ids, std::size_t capacity, std::size_t* count)
{
    int32_t code = -1;
    int32_t rc = code_or_fail(board, "RAMP_REQUEST", &code);
    if (rc != NO_ERROR || ids == nullptr || count == nullptr)
        return rc != NO_ERROR ? rc : ERR_INVALID_PARAM;
    *count = 0;
    uint8_t reply[UR_MAX_FRAME] = {};
    uint32_t got = 0;
    rc = ur_request(&board->link, code, nullptr, 0, reply, sizeof reply, &got);
    if (rc != NO_ERROR)
        return rc;
    const std::size_t slots = ur_ramp_table_size(board->type());
    const std::size_t n = slots < capacity ? slots : capacity;
    std::memcpy(ids, reply + 1, n);
    *count = n;
    return NO_ERROR;
}

int32_t ur_ramp_update_rate(ur_board* board, uint8_t slot, uint16_t updateRate)
{
    int32_t code = -1;
    const int32_t rc = code_or_fail(board, "RAMP_UPDATERATE", &code);
    if (rc != NO_ERROR)
        return rc;
    uint8_t a[3] = {slot};
    dat_bytes::store_be16(&a[1], updateRate);
    uint8_t reply[4] = {};
    return ur_request(&board->link, code, a, sizeof a, reply, sizeof reply);
}

int32_t ur_ramp_gain(ur_board* board, int32_t channel, int32_t gain)
{
    int32_t code = -1;
    const int32_t rc = code_or_fail(board, "RAMP_DAC", &code);
    if (rc != NO_ERROR)
        return rc;
    if (channel < 0 || channel > 5 || gain < 0 || gain > 4095)
        return ERR_PARAM_OUT_OF_RANGE;
    return ur_send_cmd_u16(&board->link, code, static_cast<uint16_t>(channel << 12 | gain));
}

int32_t ur_write_io(ur_board* board, uint16_t address, uint8_t value)
{
    int32_t code = -1;
    const int32_t rc = code_or_fail(board, "WRITE_IO", &code);
    if (rc != NO_ERROR)
        return rc;
    uint8_t a[3] = {0, 0, value};
    dat_bytes::store_be16(a, address);
    return ur_request(&board->link, code, a, sizeof a, nullptr, 0);
}
