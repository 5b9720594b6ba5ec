// A virtual wave monitor: see sim/wavemon_device.h.
#include "vell/sim/wavemon_device.h"

#include <bit>
#include <charconv>

#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"

namespace sim {

namespace {

constexpr char ack = 6;
constexpr char nak = 21;

void put32(std::string& out, uint32_t v)
{
    uint8_t b[4];
    dat_bytes::store_le32(b, v);
    out.append(reinterpret_cast<const char*>(b), 4);
}

// A whole decimal integer (optional '-') filling the text, or false.
bool whole_int(std::string_view text, int32_t* out)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

wavemon_device::wavemon_device(std::unique_ptr<serial_peer> peer) : peer_(std::move(peer)) {}

wavemon_device::~wavemon_device() { peer_->stop(); }

int32_t wavemon_device::create(const char* port_name, std::unique_ptr<wavemon_device>* out)
{
    return start_device(
        port_name, out, [](std::unique_ptr<serial_peer> peer) { return new wavemon_device(std::move(peer)); },
        [](wavemon_device& self, std::string& pending) {
            return answer_each(pending, '\r', [&self](const std::string& command) {
                std::lock_guard<std::mutex> guard(self.lock_);
                return self.handle(command);
            });
        });
}

std::string wavemon_device::handle(const std::string& command)
{
    commands_.push_back(command);
    if (silent_)
        return {};
    // The laser state is reached on the queries, scripted or not.
    if (command == "LO?" && laser_ != wanted_ && queries_left_ > 0 && --queries_left_ == 0)
        laser_ = wanted_;
    auto script = scripts_.find(command);
    if (script != scripts_.end() && !script->second.empty()) {
        std::string reply = std::move(script->second.front());
        script->second.pop_front();
        return reply;
    }
    std::string reply;
    if (command == "LO?") {
        reply.assign(4, '\0');
        reply[1] = laser_ ? char(0x80) : char(0);
        return reply + ack;
    }
    if (command.rfind("LO=", 0) == 0) {
        int32_t v = 0;
        if (!whole_int(std::string_view(command).substr(3), &v) || (v != 0 && v != 1))
            return std::string(1, nak);
        wanted_ = v == 1;
        queries_left_ = laser_delay_;
        if (laser_delay_ == 0)
            laser_ = wanted_;
        return std::string(1, ack);
    }
    if (command == "MS?") {
        put32(reply, flags_);
        for (uint32_t v : values_)
            put32(reply, v);
        return reply + ack;
    }
    if (command == "CC?")
        return ((flags_ & (1u << 30)) ? cc_ : cc_.substr(16, 4)) + ack;
    if (command.rfind("CL=", 0) == 0) {
        int32_t v = 0;
        if (!whole_int(std::string_view(command).substr(3), &v))
            return std::string(1, nak);
        cl_ = v;
        return std::string(1, ack);
    }
    if (command.rfind("SS=", 0) == 0) {
        double v = 0;
        std::string_view text = std::string_view(command).substr(3);
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
        if (ec != std::errc() || end != text.data() + text.size())
            return std::string(1, nak);
        ss_ = std::string(text);
        return std::string(1, ack);
    }
    if (command.rfind("RR=", 0) == 0) {
        std::string_view args = std::string_view(command).substr(3);
        std::size_t comma = args.find(',');
        int32_t a = 0, b = 0;
        if (comma == std::string_view::npos || !whole_int(args.substr(0, comma), &a) ||
            !whole_int(args.substr(comma + 1), &b))
            return std::string(1, nak);
        put32(reply, uint32_t(a));
        put32(reply, uint32_t(b));
        return reply + ack;
    }
    return std::string(1, nak);
}

void wavemon_device::set_laser(bool on)
{
    std::lock_guard<std::mutex> guard(lock_);
    laser_ = wanted_ = on;
}

bool wavemon_device::laser() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return laser_;
}

void wavemon_device::set_laser_delay(int queries)
{
    std::lock_guard<std::mutex> guard(lock_);
    laser_delay_ = queries;
}

void wavemon_device::set_status(uint32_t flags, const uint32_t values[8])
{
    std::lock_guard<std::mutex> guard(lock_);
    flags_ = flags;
    for (int i = 0; i < 8; ++i)
        values_[i] = values[i];
}

void wavemon_device::set_calibration(const float adc_gain[4], float sys_gain, const uint16_t adc_offs[4],
                                     const float phs_offs[3])
{
    uint8_t b[40] = {};
    for (int i = 0; i < 4; ++i)
        dat_bytes::store_le32(b + 4 * i, std::bit_cast<uint32_t>(adc_gain[i]));
    dat_bytes::store_le32(b + 16, std::bit_cast<uint32_t>(sys_gain));
    for (int i = 0; i < 4; ++i)
        dat_bytes::store_le16(b + 20 + 2 * i, adc_offs[i]);
    for (int i = 0; i < 3; ++i)
        dat_bytes::store_le32(b + 28 + 4 * i, std::bit_cast<uint32_t>(phs_offs[i]));
    std::lock_guard<std::mutex> guard(lock_);
    cc_.assign(reinterpret_cast<const char*>(b), sizeof b);
}

void wavemon_device::script(const std::string& command, std::string reply)
{
    std::lock_guard<std::mutex> guard(lock_);
    scripts_[command].push_back(std::move(reply));
}

void wavemon_device::set_silent(bool silent)
{
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = silent;
}

std::vector<std::string> wavemon_device::commands() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

int32_t wavemon_device::cl_value() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return cl_;
}

std::string wavemon_device::ss_text() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return ss_;
}

}  // namespace sim
