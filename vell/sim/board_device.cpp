#include "vell/sim/board_device.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/board.h"
#include "vell/serial/board_ramps.h"

namespace sim {

namespace {

std::string frame_of(const std::string& payload)  // code and data
{
    std::string f;
    f += static_cast<char>(payload.size() + 1);
    f += payload;
    f += static_cast<char>(ur_checksum(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    return f;
}

std::string ack() { return frame_of(std::string(1, char(UR_ACK))); }
std::string nak() { return frame_of(std::string(1, char(UR_NAK))); }

uint8_t u8(const std::string& s, std::size_t i) { return i < s.size() ? static_cast<uint8_t>(s[i]) : 0; }

bool ends_with(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

board_device::board_device(std::unique_ptr<serial_peer> peer, int32_t type)
    : peer_(std::move(peer)), type_(type), report_code_(type == 3 ? 135 : type == 6 ? 129 : 155),
      ramps_(ur_ramp_table_size(type))
{
}

board_device::~board_device() { peer_->stop(); }

int32_t board_device::create(const char* port_name, int32_t board_type, std::unique_ptr<board_device>* out)
{
    if (ur_vocabulary(board_type, nullptr) == nullptr)
        return ERR_INVALID_PARAM;
    return start_device(
        port_name, out,
        [board_type](std::unique_ptr<serial_peer> peer) { return new board_device(std::move(peer), board_type); },
        [](board_device& self, std::string& pending) {
            self.serve(pending);  // answers itself, late or in pieces as scripted
            return std::string();
        });
}

void board_device::serve(std::string& pending)
{
    while (!pending.empty()) {
        const uint8_t L = u8(pending, 0);
        std::size_t total = std::size_t(L) + 1;
        const ur_cmd* c = ur_cmd_find(type_, u8(pending, 1));
        bool ramp_data = c != nullptr && ends_with(c->name, "RAMP_DATA");
        if (L == 0 || L >= 128) {
            // Not a request: dropped.
            std::lock_guard<std::mutex> g(lock_);
            frames_.push_back({u_now_ms(), pending.substr(0, 1), false});
            pending.erase(0, 1);
            continue;
        }
        if (ramp_data) {
            if (pending.size() < 4)
                return;
            total = 4 + 2 * ((std::size_t(u8(pending, 2)) << 8) | u8(pending, 3)) + 1;
        }
        if (pending.size() < total)
            return;
        std::string frame = pending.substr(0, total);
        pending.erase(0, total);

        std::string reply;
        std::deque<std::pair<fault, uint32_t>> applied;
        uint8_t report = 0;
        {
            std::lock_guard<std::mutex> g(lock_);
            bool accepted = false;
            reply = answer(frame, &accepted);
            frames_.push_back({u_now_ms(), frame, accepted});
            // One scripted fault per answer.
            if (!faults_.empty()) {
                applied.push_back(faults_.front());
                faults_.pop_front();
            }
            report = report_code_;
        }
        std::string before;
        uint32_t late = 0;
        uint32_t gap = 0;
        bool silent = false;
        for (auto [f, value] : applied) {
            switch (f) {
            case fault::late: late = value; break;
            case fault::pieces: gap = value; break;
            case fault::bad_checksum: reply.back() = char(u8(reply, reply.size() - 1) + 1); break;
            case fault::nak: reply = nak(); break;
            case fault::reports_first:
                for (uint32_t i = 0; i < value; ++i)
                    before += frame_of(std::string{char(report), char(i + 1)});
                break;
            case fault::wrong_echo: {
                std::string payload = reply.substr(1, reply.size() - 2);
                payload[0] = char(u8(payload, 0) == u8(frame, 1) ? u8(frame, 1) + 1 : 0x10);
                reply = frame_of(payload);
                break;
            }
            case fault::short_reply:
                if (reply.size() > 3)
                    reply = frame_of(reply.substr(1, reply.size() - 3));
                break;
            case fault::empty_first: before += std::string(1, '\0'); break;
            case fault::silent: silent = true; break;
            }
        }
        if (silent)
            continue;
        std::string out = before + reply;
        std::vector<std::string> pieces;
        if (gap > 0) {
            for (char c : out)
                pieces.emplace_back(1, c);
        } else {
            pieces.push_back(std::move(out));
        }
        if (!peer_->send_paced(pieces, gap, late))
            return;
    }
}

std::string board_device::answer(const std::string& frame, bool* accepted)
{
    *accepted = false;
    const uint8_t L = u8(frame, 0);
    const uint8_t code = u8(frame, 1);
    const ur_cmd* c = ur_cmd_find(type_, code);
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    if (frame.size() < 3 || ur_checksum(bytes + 1, frame.size() - 2) != bytes[frame.size() - 1])
        return nak();
    std::string_view name = c != nullptr ? c->name : "";
    bool ramp_data = ends_with(name, "RAMP_DATA");
    if (c == nullptr || c->req_len < 2 || (!ramp_data && L != c->req_len))
        return nak();
    *accepted = true;
    // Arguments: bytes 2 ... before the checksum.
    std::string args = frame.substr(2, frame.size() - 3);
    auto arg = [&](std::size_t i) { return u8(args, i); };
    std::string data;  // reply data
    const std::size_t n = c->reply_len > 2 ? c->reply_len - 2u : 0;
    auto put16 = [&](uint16_t v) {
        data += char(v >> 8);
        data += char(v & 0xFF);
    };

    if (name == "LLC_SET") {
        move_light(args.size() >= 2 ? uint16_t((arg(0) << 8) | arg(1)) : arg(0));
    } else if (name == "LLC_READ") {
        const uint16_t now = static_cast<uint16_t>(light_.rounded(u_now_ms()));
        if (n >= 2)
            put16(now);
        else
            data += char(now & 0xFF);
    } else if (name == "LLC_MODE_SET") {
        mode_ = arg(0);
        mode_set_level_ = args.size() >= 3 ? uint16_t((arg(1) << 8) | arg(2)) : arg(1);
        if (type_ == UR_BOARD_HXI)
            move_light(mode_set_level_);
    } else if (name == "LLC_MODE_READ") {
        data += char(mode_);
    } else if (name == "LLC_STABLE") {
        data += char(u_now_ms() >= stable_at_ ? 1 : 0);
    } else if (name == "SW_VERSION") {
        data += char(sw_version_);
    } else if (name == "EE_SERIAL_SET") {
        id_.serial = (uint32_t(arg(0)) << 24) | (uint32_t(arg(1)) << 16) | (uint32_t(arg(2)) << 8) | arg(3);
    } else if (name == "EE_SERIAL_READ") {
        put16(uint16_t(id_.serial >> 16));
        put16(uint16_t(id_.serial));
    } else if (name == "EE_SYSDATE_SET") {
        id_.date = uint16_t((arg(0) << 8) | arg(1));
    } else if (name == "EE_SYSDATE_READ") {
        put16(id_.date);
    } else if (name == "EE_CAMERA_SET" || name == "EE_LIGHT_SET" || name == "EE_SYSTEM_SET" ||
               name == "EE_INSTRBD_SET") {
        uint8_t* field = name == "EE_CAMERA_SET" ? &id_.camera
                         : name == "EE_LIGHT_SET" ? &id_.light
                         : name == "EE_SYSTEM_SET" ? &id_.system
                                                   : &id_.board;
        *field = arg(0);
    } else if (name == "EE_CAMERA_READ") {
        data += char(id_.camera);
    } else if (name == "EE_LIGHT_READ") {
        data += char(id_.light);
    } else if (name == "EE_SYSTEM_READ") {
        data += char(id_.system);
    } else if (name == "EE_INSTRBD_READ") {
        data += char(id_.board);
    } else if (name.substr(0, 5) == "RAMP_") {
        if (!serve_ramp(name, args, data))
            return nak();
    }
    if (c->reply_len == 0)
        return ack();
    data.resize(n, '\0');
    return frame_of(std::string(1, char(code)) + data);
}

void board_device::script(fault f, uint32_t value)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.emplace_back(f, value);
}

void board_device::send_report(uint8_t code, uint8_t value) { peer_->send(frame_of(std::string{char(code), char(value)})); }

void board_device::set_report_code(uint8_t code)
{
    std::lock_guard<std::mutex> g(lock_);
    report_code_ = code;
}

std::vector<board_device::frame_record> board_device::frames() const
{
    std::lock_guard<std::mutex> g(lock_);
    return frames_;
}

void board_device::set_identity(const identity& id)
{
    std::lock_guard<std::mutex> g(lock_);
    id_ = id;
}

board_device::identity board_device::get_identity() const
{
    std::lock_guard<std::mutex> g(lock_);
    return id_;
}

void board_device::set_sw_version(uint8_t version)
{
    std::lock_guard<std::mutex> g(lock_);
    sw_version_ = version;
}

uint16_t board_device::light_level() const
{
    std::lock_guard<std::mutex> g(lock_);
    return level_;
}

uint16_t board_device::light_level_now() const
{
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<uint16_t>(light_.rounded(u_now_ms()));
}

uint16_t board_device::mode_set_level() const
{
    std::lock_guard<std::mutex> g(lock_);
    return mode_set_level_;
}

void board_device::move_light(uint16_t level)
{
    const uint64_t now = u_now_ms();
    level_ = level;
    stable_at_ = now + settle_ms_;
    light_.settle_ms = settle_ms_;
    light_.move_to(level, now);
}

uint8_t board_device::light_mode() const
{
    std::lock_guard<std::mutex> g(lock_);
    return mode_;
}

void board_device::set_settle_ms(uint32_t ms)
{
    std::lock_guard<std::mutex> g(lock_);
    settle_ms_ = ms;
}

std::map<uint8_t, board_device::ramp> board_device::ramps() const
{
    std::lock_guard<std::mutex> g(lock_);
    return ramps_.ramps();
}

int32_t board_device::running_ramp() const
{
    std::lock_guard<std::mutex> g(lock_);
    return ramps_.running(u_now_ms());
}

void board_device::set_ramp_play_ms(uint32_t ms)
{
    std::lock_guard<std::mutex> g(lock_);
    ramps_.set_play_ms(ms);
}

bool board_device::serve_ramp(std::string_view name, const std::string& args, std::string& data)
{
    auto arg = [&](std::size_t i) { return u8(args, i); };
    const uint64_t now = u_now_ms();
    if (name == "RAMP_LOAD")
        return ramps_.load(args);
    if (name == "RAMP_DATA") {
        std::vector<uint16_t> words;
        for (std::size_t i = 2; i + 1 < args.size(); i += 2)
            words.push_back(uint16_t((arg(i) << 8) | arg(i + 1)));
        data += char(0);
        return ramps_.data(words.data(), words.size());
    }
    if (name == "RAMP_COMPLETE")
        return ramps_.complete();
    if (name == "RAMP_DELETE")
        return ramps_.remove(arg(0));
    if (name == "RAMP_START")
        return ramps_.start(arg(0), now);
    if (name == "RAMP_ABORT") {
        ramps_.abort();
        return true;
    }
    if (name == "RAMP_IDLE") {
        data += char(ramps_.idle(now) ? 1 : 0);
        return true;
    }
    if (name == "RAMP_REQUEST") {
        for (uint8_t id : ramps_.table())
            data += char(id);
        return true;
    }
    if (name == "RAMP_UPDATERATE") {
        data += char(0);
        return ramps_.set_update_rate(arg(0), uint16_t((arg(1) << 8) | arg(2)));
    }
    return true;  // RAMP_DAC and the others: accepted
}

}  // namespace sim
