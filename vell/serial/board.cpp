// Instrument board link.
#include "vell/serial/board.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/serial/devctl.h"
#include "vell/serial/link_open.h"

namespace {

// The four vocabularies: code, name, request length, reply length.
const ur_cmd uz1_cmds[] = {
    {0, "INVALID", 0, 0},
    {1, "MOTOR_MOVE", 5, 0},
    {2, "MOTOR_READ", 3, 3},
    {3, "PZT_SET", 8, 0},
    {4, "PZT_POWER", 3, 0},
    {5, "LLC_SET", 4, 0},
    {6, "LLC_READ", 2, 4},
    {7, "LLC_MODE_SET", 5, 0},
    {8, "LLC_MODE_READ", 2, 3},
    {9, "RAMP_REQUEST", 2, 14},
    {10, "EE_SERIAL_SET", 6, 0},
    {11, "EE_SERIAL_READ", 2, 6},
    {12, "EE_CAMERA_SET", 3, 0},
    {13, "EE_CAMERA_READ", 2, 3},
    {14, "EE_LIGHT_SET", 3, 0},
    {15, "EE_LIGHT_READ", 2, 3},
    {16, "EE_SYSTEM_SET", 3, 0},
    {17, "EE_SYSTEM_READ", 2, 3},
    {18, "EE_SYSDATE_SET", 4, 0},
    {19, "EE_SYSDATE_READ", 2, 4},
    {20, "EE_INSTRBD_SET", 3, 0},
    {21, "EE_INSTRBD_READ", 2, 3},
    {22, "ADC_P12_READ", 2, 3},
    {23, "ADC_N15_READ", 2, 3},
    {24, "ADC_P15_READ", 2, 3},
    {25, "ADC_P200_READ", 2, 3},
    {26, "SYSERR", 2, 3},
    {27, "PZT_CHK", 2, 3},
    {28, "RESET_UART", 2, 0},
    {29, "READ_IO", 4, 5},
    {30, "WRITE_IO", 5, 0},
    {31, "SW_VERSION", 2, 3},
    {32, "RAMP_LOAD", 15, 0},
    {33, "RAMP_DAC", 4, 0},
    {34, "RAMP_DATA", 4, 3},
    {35, "RAMP_COMPLETE", 2, 0},
    {36, "RAMP_ABORT", 2, 0},
    {37, "RAMP_DELETE", 3, 0},
    {38, "RAMP_IDLE", 2, 3},
    {39, "RAMP_START", 3, 0},
    {40, "PZT3_DISCONNECT", 3, 0},
    {41, "POWER_CHK", 2, 3},
    {42, "PIFOC_LEVEL", 4, 0},
    {43, "PIFOC_RESET", 5, 0},
    {44, "CAMERA_RES", 3, 0},
    {45, "PZT_TYPE", 3, 0},
    {46, "PC_READ", 2, 27},
    {47, "PC_ADC_SET", 7, 0},
    {48, "PC_ADC_READ", 3, 7},
    {49, "RAMP_COMP_LOAD", 10, 0},
    {50, "PC_RAMP_DONE", 2, 0},
    {51, "EXPANSION_BD", 2, 3},
    {52, "LCZDRIVE", 3, 0},
    {53, "RAMP_UPDATERATE", 5, 3},
    {54, "CUSTOM_CAMERA", 10, 0},
    {55, "ZOOM_POSITION", 0, 3},
    {56, "TURRET_POSITION", 0, 3},
    {57, "ZOOMPOS_REPORT", 3, 0},
    {58, "TURRETPOS_REPORT", 3, 0},
};
const ur_cmd uz2_cmds[] = {
    {0, "INVALID", 0, 0},
    {1, "PZT_SET", 8, 0},
    {2, "PZT_POWER", 3, 0},
    {3, "LLC_SET", 3, 0},
    {4, "LLC_READ", 2, 3},
    {5, "LLC_MODE_SET", 4, 0},
    {6, "LLC_MODE_READ", 2, 3},
    {7, "EE_SERIAL_SET", 6, 0},
    {8, "EE_SERIAL_READ", 2, 6},
    {9, "EE_CAMERA_SET", 3, 0},
    {10, "EE_CAMERA_READ", 2, 3},
    {11, "EE_LIGHT_SET", 3, 0},
    {12, "EE_LIGHT_READ", 2, 3},
    {13, "EE_SYSTEM_SET", 3, 0},
    {14, "EE_SYSTEM_READ", 2, 3},
    {15, "EE_SYSDATE_SET", 4, 0},
    {16, "EE_SYSDATE_READ", 2, 4},
    {17, "EE_INSTRBD_SET", 3, 0},
    {18, "EE_INSTRBD_READ", 2, 3},
    {19, "ADC_P12_READ", 2, 3},
    {20, "ADC_N15_READ", 2, 3},
    {21, "ADC_P15_READ", 2, 3},
    {22, "ADC_P200_READ", 2, 3},
    {23, "SYSERR", 2, 3},
    {24, "PZT_CHK", 2, 3},
    {25, "RESET_UART", 2, 0},
    {26, "RAMP_START", 3, 0},
    {27, "RAMP_REQUEST", 2, 6},
    {28, "SW_VERSION", 2, 3},
    {29, "RAMP_LOAD", 15, 0},
    {30, "RAMP_DAC", 4, 0},
    {31, "WAND", 3, 0},
    {32, "AXIOM_INIT", 2, 3},
    {33, "AXIOM_POS", 2, 8},
    {34, "LLC_STABLE", 2, 3},
    {35, "FKEY", 0, 3},
    {36, "VIDEO_PR", 2, 0},
    {37, "LOCK_POS", 3, 0},
    {38, "WAND_MOTION", 2, 3},
    {39, "WAND_MODE", 2, 3},
    {40, "PZT3", 2, 3},
    {41, "PZT3_RESET", 2, 0},
    {42, "PZT3_STATUS", 2, 3},
    {43, "PZT3_PWRCHK", 2, 3},
    {44, "PZT3_RAMP", 8, 0},
    {45, "RAMP_DATA", 4, 3},
    {46, "RAMP_COMPLETE", 2, 0},
    {47, "RAMP_DELETE", 3, 0},
    {48, "RAMP_IDLE", 2, 3},
    {49, "POWER_CHK", 2, 3},
    {50, "AXIOM", 2, 3},
    {51, "DD_VOLTCHK", 2, 3},
    {52, "READ_IO", 4, 5},
    {53, "WRITE_IO", 5, 0},
    {54, "CAMERA_RES", 3, 0},
    {55, "ALIGN_VIEW", 0, 3},
    {56, "CUSTOM_CAMERA", 4, 0},
    {57, "RING_SPOT", 0, 3},
    {58, "CHANGE_RINGSPOT", 3, 0},
    {59, "CHANGE_ALIGNVIEW", 3, 0},
    {60, "WAND_MODE2", 2, 3},
    {61, "AV_MOVING", 2, 3},
    {62, "RS_MOVING", 2, 3},
};
const ur_cmd model31_cmds[] = {
    {1, "PZT_SET", 4, 0},
    {2, "SHUTTER_STATE", 3, 0},
    {3, "LLC_SET", 3, 0},
    {4, "LLC_READ", 2, 3},
    {5, "EE_SERIAL_SET", 6, 0},
    {6, "EE_SERIAL_READ", 2, 6},
    {7, "EE_CAMERA_SET", 3, 0},
    {8, "EE_CAMERA_READ", 2, 3},
    {9, "EE_LIGHT_SET", 3, 0},
    {10, "EE_LIGHT_READ", 2, 3},
    {11, "EE_SYSTEM_SET", 3, 0},
    {12, "EE_SYSTEM_READ", 2, 3},
    {13, "EE_SYSDATE_SET", 4, 0},
    {14, "EE_SYSDATE_READ", 2, 4},
    {15, "EE_INSTRBD_SET", 3, 0},
    {16, "EE_INSTRBD_READ", 2, 3},
    {17, "ADC_P12_READ", 2, 3},
    {18, "ADC_N15_READ", 2, 3},
    {19, "ADC_P15_READ", 2, 3},
    {20, "SYSERR", 2, 3},
    {21, "RESET_UART", 2, 0},
    {22, "RAMP_START", 3, 0},
    {23, "RAMP_REQUEST", 2, 6},
    {24, "SW_VERSION", 2, 3},
    {25, "RAMP_LOAD", 15, 0},
    {26, "RAMP_DAC", 4, 0},
    {27, "WAND", 3, 0},
    {28, "LLC_STABLE", 2, 3},
    {29, "FKEY", 0, 3},
    {30, "VIDEO_PR", 2, 0},
    {31, "LOCK_POS", 3, 0},
    {32, "WAND_MOTION", 2, 3},
    {33, "WAND_MODE", 2, 3},
    {34, "RAMP_DATA", 4, 3},
    {35, "RAMP_COMPLETE", 2, 0},
    {36, "RAMP_DELETE", 3, 0},
    {37, "RAMP_IDLE", 2, 3},
    {38, "POWER_CHK", 2, 3},
    {39, "ALIGN_VIEW", 0, 3},
    {40, "READ_IO", 4, 5},
    {41, "WRITE_IO", 5, 0},
    {42, "SHUTTER_OUTPUT", 3, 0},
};
const ur_cmd ftp_cmds[] = {
    {0, "INVALID", 0, 0},
    {1, "MOTOR_MOVE", 3, 0},
    {2, "MOTOR_READ", 2, 3},
    {3, "LLC_SET", 4, 0},
    {4, "LLC_READ", 2, 4},
    {5, "READ_VMI_LOCKEDP", 2, 3},
    {6, "READ_VMI_MEASERR", 2, 3},
    {7, "RAMP_REQUEST", 2, 14},
    {8, "EE_SERIAL_SET", 6, 0},
    {9, "EE_SERIAL_READ", 2, 6},
    {10, "EE_CAMERA_SET", 3, 0},
    {11, "EE_CAMERA_READ", 2, 3},
    {12, "EE_LIGHT_SET", 3, 0},
    {13, "EE_LIGHT_READ", 2, 3},
    {14, "EE_SYSTEM_SET", 3, 0},
    {15, "EE_SYSTEM_READ", 2, 3},
    {16, "EE_SYSDATE_SET", 4, 0},
    {17, "EE_SYSDATE_READ", 2, 4},
    {18, "EE_INSTRBD_SET", 3, 0},
    {19, "EE_INSTRBD_READ", 2, 3},
    {20, "ADC_P12_READ", 2, 3},
    {21, "ADC_N15_READ", 2, 3},
    {22, "ADC_P15_READ", 2, 3},
    {23, "SYSERR", 2, 3},
    {24, "RESET_UART", 2, 0},
    {25, "READ_IO", 4, 5},
    {26, "WRITE_IO", 5, 0},
    {27, "SW_VERSION", 2, 3},
    {28, "RAMP_LOAD", 15, 0},
    {29, "RAMP_DAC", 4, 0},
    {30, "RAMP_DATA", 4, 3},
    {31, "RAMP_COMPLETE", 2, 0},
    {32, "RAMP_ABORT", 2, 0},
    {33, "RAMP_DELETE", 3, 0},
    {34, "RAMP_IDLE", 2, 3},
    {35, "RAMP_START", 3, 0},
    {36, "POWER_CHK", 2, 3},
    {37, "PIFOC_LEVEL", 4, 0},
    {38, "PIFOC_RESET", 5, 0},
    {39, "RESET_VMI", 2, 0},
    {40, "RAMP_UPDATERATE", 5, 3},
    {41, "CUSTOM_CAMERA", 10, 0},
};

// Every board in existence, by the address of its link: how a link finds its board. Boards
// enter when they are created and leave when they are destroyed, under the lock. Never destroyed
// (a board may outlive the process's static objects).
struct board_registry {
    std::mutex lock;
    std::unordered_map<const sio_link*, ur_board*> boards;
};
board_registry& registry()
{
    static board_registry& r = *std::make_unique<board_registry>().release();
    return r;
}

template <std::size_t N>
constexpr std::size_t count_of(const ur_cmd (&)[N])
{
    return N;
}

// The board whose link this is, when the link is open.
ur_board* owner(const sio_link* link)
{
    if (link == nullptr || link->handle == SIO_INVALID_HANDLE)
        return nullptr;
    board_registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto found = r.boards.find(link);
    return found != r.boards.end() ? found->second : nullptr;
}

// The command's full name for the board's type.
const char* cmd_name(const ur_board* b, int32_t code)
{
    thread_local char text[64];
    if (b == nullptr)
        return "INVALID_PARAM";
    std::size_t n = 0;
    const char* prefix = nullptr;
    const int32_t type = b->type();
    const ur_cmd* t = ur_vocabulary(type, &n, &prefix);
    if (t == nullptr) {
        u_log_sink("ur_cmd_str: unknown instrBdType\n");
        return "INVALID_PARAM";
    }
    const ur_cmd* c = ur_cmd_find(type, code);
    if (c == nullptr)
        c = ur_cmd_find(type, 0);
    std::snprintf(text, sizeof text, "%s%s_CMD", prefix, c != nullptr ? c->name : "INVALID");
    return text;
}

bool serial_board(int32_t type)
{
    return type == UR_BOARD_01 || type == UR_BOARD_HXI || type == UR_BOARD_MODEL31 || type == UR_BOARD_FTP;
}

enum class frame_read { ok, timeout_first, short_body };

// Reads one frame into the board's own buffer: the length byte with a first-byte time-out of
// 10 s (the port's time-outs are put back exactly as they were), then the body with the port's
// own time-out.
frame_read read_frame(ur_board* b, uint8_t* length)
{
    sio_handle h = b->link.handle;
    sio_timeouts saved{};
    bool have_saved = sio_get_timeouts(h, &saved) == NO_ERROR;
    sio_set_read_timeout(h, UR_FIRST_BYTE_TIMEOUT_S);
    int32_t r = sio_read_data(h, length, 1, nullptr);
    if (have_saved)
        sio_set_timeouts(h, &saved);
    if (r != 0)
        return frame_read::timeout_first;
    int8_t as_signed = static_cast<int8_t>(*length);
    if (as_signed <= 0)
        return frame_read::ok;
    if (sio_read_data(h, b->rx, *length, nullptr) != 0)
        return frame_read::short_body;
    return frame_read::ok;
}

// One answer of the kind into the board's buffer; *count the body length.
int32_t read_answer(ur_board* b, int32_t kind, uint32_t* count)
{
    *count = 0;
    for (int read = 1;; ++read) {
        uint8_t length = 0;
        frame_read fr = read_frame(b, &length);
        if (fr == frame_read::timeout_first) {
            u_log_sink("ur_readUZ: timed out on first byte, respType=%d\n", static_cast<int>(kind));
            return ERR_UZ_RECV_TIMEOUT;
        }
        if (fr == frame_read::short_body) {
            u_log_sink("ur_readUZ: sio_read_data failed\n");
            return ERR_UZ_RECV_TIMEOUT;
        }
        ur_frame_verdict v = ur_classify_frame(b->type(), kind, length, b->rx);
        switch (v) {
        case ur_frame_verdict::done:
            *count = length;
            return NO_ERROR;
        case ur_frame_verdict::empty_ok:
            return NO_ERROR;
        case ur_frame_verdict::checksum:
            u_log_sink("ur_readUZ: checksum err recv %d calc %d\n", b->rx[length - 1],
                       ur_checksum(b->rx, length - 1u));
            return UR_STATUS_CHECKSUM;
        case ur_frame_verdict::rejected:
            return UR_STATUS_REJECTED;
        case ur_frame_verdict::failed:
            return ERR_UZ_RECV_FAILED;
        case ur_frame_verdict::skip:
            if (read < UR_READS)
                continue;
            if (kind != UR_RESP_REPORT)
                u_log_sink("ur_readUZ: received unsolicited info\n");
            return ERR_UZ_RECV_FAILED;
        }
    }
}

int32_t check_owner(sio_link* link, ur_board** out)
{
    ur_board* b = owner(link);
    if (b == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (!serial_board(b->type()))
        return ERR_WRONG_INSTR_BOARD;
    *out = b;
    return NO_ERROR;
}

// ur_writeUZ with the number of reply bytes copied.
int32_t write_request(sio_link* link, uint32_t L, uint8_t* frame, std::size_t capacity, bool expect_reply,
                      bool checksum_supplied, uint32_t* copied)
{
    *copied = 0;
    if (link == nullptr || frame == nullptr || L < 2 || (!checksum_supplied && (L > 255 || capacity < L + 1u)) ||
        (checksum_supplied && capacity < L)) {
        u_log_sink("ur_writeUZ failed: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    const int32_t code = frame[1];
    ur_board* b = nullptr;
    int32_t r = check_owner(link, &b);
    uint32_t wire = L;
    if (r == NO_ERROR && !checksum_supplied) {
        frame[L] = ur_checksum(frame + 1, L - 1u);
        wire = L + 1;
    }
    uint32_t got = 0;
    for (int i = 0; r == NO_ERROR && i < UR_ATTEMPTS; ++i) {
        uint32_t written = 0;
        if (sio_send_data(link->handle, frame, wire, &written) != 0 || written != wire) {
            u_log_sink("ur_writeUZ: sio_send_data failed  i=%d  len=%u\n", i, wire);
            r = ERR_UZ_SEND_FAILED;
            break;
        }
        r = read_answer(b, expect_reply ? UR_RESP_DATA : UR_RESP_ACK, &got);
        if (r == UR_STATUS_CHECKSUM || r == UR_STATUS_REJECTED) {
            r = i + 1 < UR_ATTEMPTS ? NO_ERROR : ERR_UZ_RECV_FAILED;
            continue;
        }
        if (r == NO_ERROR && expect_reply) {
            if (got == 0 || b->rx[0] != code) {
                u_log_sink("ur_writeUZ: recvd invalid resp  wanted %d  got %d\n", code, got ? b->rx[0] : -1);
                r = ERR_UZ_RECV_FAILED;
                break;
            }
            const ur_cmd* c = ur_cmd_find(b->type(), code);
            if (c != nullptr && got < c->reply_len) {
                u_log_sink("ur_writeUZ: short reply  wanted %d  got %u\n", c->reply_len, got);
                r = ERR_UZ_RECV_FAILED;
                break;
            }
            uint32_t n = got < capacity ? got : static_cast<uint32_t>(capacity);
            std::memcpy(frame, b->rx, n);
            *copied = n;
        }
        break;
    }
    if (r != NO_ERROR)
        u_log_sink("ur_writeUZ failed: cmd=%s\n", cmd_name(b, code));
    return r;
}

int32_t build(sio_link* link, int32_t code, const uint8_t* args, std::size_t nargs, uint8_t* reply,
              std::size_t capacity, uint32_t* count)
{
    if (count != nullptr)
        *count = 0;
    ur_board* b = nullptr;
    int32_t r = check_owner(link, &b);
    if (r != NO_ERROR)
        return r;
    const ur_cmd* c = ur_cmd_find(b->type(), code);
    if (c == nullptr || c->req_len != 2 + nargs) {
        u_log_sink("ur_send: %s refused: %s\n", cmd_name(b, code), u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    uint8_t frame[UR_MAX_FRAME + 1] = {};
    frame[0] = c->req_len;
    frame[1] = static_cast<uint8_t>(code);
    for (std::size_t i = 0; i < nargs; ++i)
        frame[2 + i] = args[i];
    uint32_t copied = 0;
    r = write_request(link, c->req_len, frame, sizeof frame, c->reply_len > 0, false, &copied);
    if (r == NO_ERROR && reply != nullptr) {
        uint32_t n = copied < capacity ? copied : static_cast<uint32_t>(capacity);
        std::memcpy(reply, frame, n);
        if (count != nullptr)
            *count = n;
    }
    return r;
}

}  // namespace

ur_board::ur_board()
{
    board_registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.boards.emplace(&link, this);
}

ur_board::~ur_board()
{
    if (link.handle != SIO_INVALID_HANDLE)
        (void)ur_closeUZ(this);
    board_registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.boards.erase(&link);
}

int32_t ur_board::type() const
{
    const SysInfo* i = record();
    return i != nullptr ? i->instrBdType : 0;
}

const char* ur_board::port() const
{
    const SysInfo* i = record();
    const char* name = i != nullptr ? i->instrComm.c_str() : nullptr;
    return name != nullptr ? name : "";
}

ur_board& ur_board_of(SysInfo& info)
{
    ur_board& b = info.services.get<ur_board>();
    SysInfo* none = nullptr;
    b.info.compare_exchange_strong(none, &info, std::memory_order_acq_rel);
    return b;
}

ur_board* ur_board_slot(int slot)
{
    SysInfo* info = sysinfo_slot(slot);
    return info != nullptr ? &ur_board_of(*info) : nullptr;  // ur_board_of tells the board its record
}

const ur_cmd* ur_vocabulary(int32_t board_type, std::size_t* count, const char** prefix)
{
    const ur_cmd* table = nullptr;
    std::size_t n = 0;
    const char* p = nullptr;
    switch (board_type) {
    case UR_BOARD_01: table = uz1_cmds; n = count_of(uz1_cmds); p = "UZ1_"; break;
    case UR_BOARD_HXI: table = uz2_cmds; n = count_of(uz2_cmds); p = "UZ2_"; break;
    case UR_BOARD_MODEL31: table = model31_cmds; n = count_of(model31_cmds); p = "MODEL31_"; break;
    case UR_BOARD_FTP: table = ftp_cmds; n = count_of(ftp_cmds); p = "FTP_"; break;
    default: break;
    }
    if (count != nullptr)
        *count = n;
    if (prefix != nullptr)
        *prefix = p;
    return table;
}

const ur_cmd* ur_cmd_find(int32_t board_type, int32_t code)
{
    std::size_t n = 0;
    const ur_cmd* t = ur_vocabulary(board_type, &n);
    for (std::size_t i = 0; i < n; ++i)
        if (t[i].code == code)
            return &t[i];
    return nullptr;
}

bool ur_unsolicited(int32_t board_type, int32_t code)
{
    if (board_type == UR_BOARD_01)
        return code == 155 || code == 156;
    if (board_type == UR_BOARD_MODEL31 && (code == 129 || code == 139))
        return true;
    return code == 135 || code == 155 || code == 157;
}

bool ur_report_code(int32_t board_type, int32_t code)
{
    if (board_type == UR_BOARD_01)
        return code == 155 || code == 156;
    return code == 135 || code == 155 || code == 157 || code == 129 || code == 139;
}

uint8_t ur_checksum(const uint8_t* bytes, std::size_t count)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return static_cast<uint8_t>(sum & 0xFFu);
}

ur_frame_verdict ur_classify_frame(int32_t board_type, int32_t kind, uint8_t length, const uint8_t* body)
{
    // An empty frame (or one that carries only a checksum) is never an answer.
    if (static_cast<int8_t>(length) <= 1)
        return kind == UR_RESP_REPORT && static_cast<int8_t>(length) <= 0 ? ur_frame_verdict::empty_ok
                                                                           : ur_frame_verdict::skip;
    if (ur_checksum(body, length - 1u) != body[length - 1])
        return ur_frame_verdict::checksum;
    const int32_t code = body[0];
    switch (kind) {
    case UR_RESP_ACK:
        if (code == UR_ACK)
            return ur_frame_verdict::done;
        if (code == UR_NAK)
            return ur_frame_verdict::rejected;
        return ur_unsolicited(board_type, code) ? ur_frame_verdict::skip : ur_frame_verdict::failed;
    case UR_RESP_DATA:
        if (code == UR_NAK)
            return ur_frame_verdict::rejected;
        return ur_unsolicited(board_type, code) ? ur_frame_verdict::skip : ur_frame_verdict::done;
    case UR_RESP_REPORT:
        return ur_report_code(board_type, code) ? ur_frame_verdict::done : ur_frame_verdict::skip;
    default:
        return ur_frame_verdict::failed;
    }
}

int32_t ur_initUZ(ur_board* board)
{
    if (board == nullptr)
        return ERR_INVALID_PARAM;
    if (!serial_board(board->type()))
        return ERR_WRONG_INSTR_BOARD;
    int32_t r = sio_open_link(board->port(), &board->link,
                              {[](sio_handle h) { return sio_init_sw_flow(h, nullptr); },
                               [](sio_handle h) { return sio_set_baud_rate(h, UR_BAUD); },
                               [](sio_handle h) { return sio_disable_sw_flow(h); },
                               [board](sio_handle h) { return dev_add_device(DEV_TYPE_SERIAL, h, board); }});
    if (r == NO_ERROR)
        return NO_ERROR;
    u_log_sink("ur_initUZ: error initializing %s: %s\n", board->port(), u_err_name(r));
    return ERR_UZ_COMM;
}

int32_t ur_closeUZ(ur_board* board)
{
    if (board == nullptr)
        return ERR_INVALID_PARAM;
    if (board->link.handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (dev_registered(board->link.handle))
        dev_remove_device(board->link.handle);
    return sio_close(&board->link);
}

int32_t ur_writeUZ(sio_link* link, uint32_t L, uint8_t* frame, std::size_t capacity, bool expect_reply,
                   bool checksum_supplied)
{
    uint32_t copied = 0;
    return write_request(link, L, frame, capacity, expect_reply, checksum_supplied, &copied);
}

int32_t ur_readUZ(sio_link* link, uint8_t* buffer, std::size_t capacity, int32_t kind, uint32_t* count)
{
    if (count != nullptr)
        *count = 0;
    ur_board* b = nullptr;
    int32_t r = check_owner(link, &b);
    if (r != NO_ERROR)
        return r;
    if (buffer == nullptr || count == nullptr || kind < UR_RESP_ACK || kind > UR_RESP_REPORT)
        return ERR_INVALID_PARAM;
    uint32_t got = 0;
    r = read_answer(b, kind, &got);
    if (r != NO_ERROR)
        return r;
    if (got > capacity) {
        u_log_sink("ur_readUZ: frame of %u bytes does not fit in %u\n", got, static_cast<unsigned>(capacity));
        return ERR_UZ_RECV_FAILED;
    }
    std::memcpy(buffer, b->rx, got);
    *count = got;
    return NO_ERROR;
}

const char* ur_cmd_str(sio_handle handle, int32_t code)
{
    const ur_board* b = nullptr;
    if (handle != SIO_INVALID_HANDLE) {
        board_registry& r = registry();
        std::lock_guard<std::mutex> hold(r.lock);
        for (const auto& [link, board] : r.boards)
            if (link->handle == handle)
                b = board;
    }
    return cmd_name(b, code);
}

int32_t ur_send_cmd(sio_link* link, int32_t code) { return build(link, code, nullptr, 0, nullptr, 0, nullptr); }

int32_t ur_send_cmd_u8(sio_link* link, int32_t code, uint8_t value)
{
    return build(link, code, &value, 1, nullptr, 0, nullptr);
}

int32_t ur_send_cmd_2u8(sio_link* link, int32_t code, uint8_t first, uint8_t second)
{
    const uint8_t a[2] = {first, second};
    return build(link, code, a, 2, nullptr, 0, nullptr);
}

int32_t ur_send_cmd_u16(sio_link* link, int32_t code, uint16_t value)
{
    uint8_t a[2];
    dat_bytes::store_be16(a, value);
    return build(link, code, a, 2, nullptr, 0, nullptr);
}

int32_t ur_send_cmd_u32(sio_link* link, int32_t code, uint32_t value)
{
    uint8_t a[4];
    dat_bytes::store_be32(a, value);
    return build(link, code, a, 4, nullptr, 0, nullptr);
}

int32_t ur_request(sio_link* link, int32_t code, const uint8_t* args, std::size_t nargs, uint8_t* reply,
                   std::size_t capacity, uint32_t* count)
{
    if (nargs > 0 && args == nullptr)
        return ERR_INVALID_PARAM;
    return build(link, code, args, nargs, reply, capacity, count);
}
