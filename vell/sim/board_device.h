// A virtual instrument controller board on a virtual serial port, speaking the board link
// protocol (serial/board.h) for board types 1, 3, 6 and 7.
//
// Every frame is checked: a bad checksum, an unknown code or a request length that differs from
// the vocabulary's is rejected (NAK: 2, 254, 254); an accepted request is acknowledged (2, 255,
// 255) or answered with a reply of the vocabulary's reply length (L, code, data, checksum). A
// ramp-data frame carries its 16-bit word count after the code and the words after that.
//
// State: the EEPROM identity (system, camera, light, board, serial number, date), the software
// version, the light level with its mode and a "stable" answer once the settle time has passed
// since the last level was set, and a ramp memory (load, data, complete, delete, request, idle,
// start, abort). Test scripts change the next answers (late, in pieces, bad checksum, NAK,
// reports first, wrong echo, short, an empty frame first, none at all); unsolicited reports can be
// sent at any time. Every frame received is recorded with its virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vell/sim/board_ramp_memory.h"
#include "vell/sim/serial_peer.h"
#include "vell/sim/settling.h"

namespace sim {

class board_device {
public:
    // Serves the port name as a board of the type (1, 3, 6 or 7: else ERR_INVALID_PARAM); the
    // codes of serial_peer::create.
    static int32_t create(const char* port_name, int32_t board_type, std::unique_ptr<board_device>* out);
    ~board_device();

    serial_peer& peer() { return *peer_; }
    int32_t board_type() const { return type_; }

    // What happens to the next answer; scripts apply one per answer, in order.
    enum class fault {
        late,           // sent `value` ms late
        pieces,         // sent one byte at a time, `value` ms apart
        bad_checksum,   // last byte off by one
        nak,            // rejected instead
        reports_first,  // `value` reports (the board's first report code) before the answer
        wrong_echo,     // the reply's code is another
        short_reply,    // one data byte missing (checksum right)
        empty_first,    // an empty frame (length 0) before the answer
        silent,         // no answer
    };
    void script(fault f, uint32_t value = 0);
    // Sends an unsolicited report now: 3, code, value, checksum.
    void send_report(uint8_t code, uint8_t value);
    // The report code scripted before answers (default: 155 on boards 1 and 7, 135 on 3, 129 on 6).
    void set_report_code(uint8_t code);

    struct frame_record {
        uint64_t at_ms;     // platform clock when it was complete
        std::string bytes;  // as received
        bool accepted;      // checksum, code and length right
    };
    std::vector<frame_record> frames() const;

    struct identity {
        uint8_t system = 0;
        uint8_t camera = 0;
        uint8_t light = 0;
        uint8_t board = 0;
        uint32_t serial = 0;
        uint16_t date = 0;
    };
    void set_identity(const identity& id);
    identity get_identity() const;
    void set_sw_version(uint8_t version);

    // The last level set (as sent: complemented on boards 1 and 7), and the level that LLC_READ
    // answers now: it moves from where it was to the level set along a straight line over the
    // settle time.
    uint16_t light_level() const;
    uint16_t light_level_now() const;
    uint8_t light_mode() const;
    // The level argument of the last LLC_MODE_SET as sent. On board 3 (whose mode-set carries the
    // level as its set does) the light moves to it like after a set; on board 1, whose mode-set
    // level is not in the set's complemented form, the light stays where it is.
    uint16_t mode_set_level() const;
    // Time after a level change before LLC_STABLE answers 1 and the light reaches the new level
    // (default 0).
    void set_settle_ms(uint32_t ms);

    using ramp = board_ramp_memory::ramp;
    std::map<uint8_t, ramp> ramps() const;
    int32_t running_ramp() const;  // -1: idle
    // A fixed play time for every ramp start (0: from the ramp's header).
    void set_ramp_play_ms(uint32_t ms);

private:
    board_device(std::unique_ptr<serial_peer> peer, int32_t type);
    // Takes whole frames from pending and answers them (on the peer's thread).
    void serve(std::string& pending);
    // The answer to one accepted request (under lock_).
    std::string answer(const std::string& frame, bool* accepted);
    // The ramp commands (under lock_): false to reject.
    bool serve_ramp(std::string_view name, const std::string& args, std::string& data);

    std::unique_ptr<serial_peer> peer_;
    int32_t type_;
    mutable std::mutex lock_;
    std::deque<std::pair<fault, uint32_t>> faults_;
    uint8_t report_code_;
    std::vector<frame_record> frames_;
    identity id_;
    uint8_t sw_version_ = 1;
    uint16_t level_ = 0;
    uint8_t mode_ = 0;
    uint32_t settle_ms_ = 0;
    uint64_t stable_at_ = 0;
    mutable board_ramp_memory ramps_;
    settling_value light_;        // the level LLC_READ answers
    uint16_t mode_set_level_ = 0;
    void move_light(uint16_t level);  // under lock_
};

}  // namespace sim
