// A virtual Metronics position readout: see sim/readout_device.h.
#include "vell/sim/readout_device.h"

#include <charconv>

#include "vell/platform/errors.h"

namespace sim {

readout_device::readout_device(std::unique_ptr<serial_peer> peer) : peer_(std::move(peer)) {}

readout_device::~readout_device() { peer_->stop(); }

int32_t readout_device::create(const char* port_name, std::unique_ptr<readout_device>* out)
{
    return start_device(
        port_name, out, [](std::unique_ptr<serial_peer> peer) { return new readout_device(std::move(peer)); },
        [](readout_device& self, std::string& pending) {
            return answer_each(pending, '\n', [&self](const std::string& query) { return self.answer(query); });
        });
}

std::string readout_device::answer(const std::string& query)
{
    if (query != "KEY 1")
        return {};
    std::lock_guard<std::mutex> guard(lock_);
    ++queries_;
    if (silent_)
        return {};
    if (scripts_.empty())
        return display();
    std::string reply = std::move(scripts_.front());
    scripts_.pop_front();
    return reply;
}

std::string readout_device::display() const
{
    char text[64];
    double shown = inches_ ? mm_ / 25.4 : mm_;
    auto [end, ec] = std::to_chars(text, text + sizeof text, shown, std::chars_format::fixed, 4);
    std::string line = ec == std::errc() ? std::string(text, end) : std::string("overflow");
    return line + (inches_ ? " in\r\n" : " mm\r\n");
}

void readout_device::set_position_mm(double mm)
{
    std::lock_guard<std::mutex> guard(lock_);
    mm_ = mm;
}

void readout_device::set_inches(bool inches)
{
    std::lock_guard<std::mutex> guard(lock_);
    inches_ = inches;
}

void readout_device::script(std::string bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    scripts_.push_back(std::move(bytes));
}

void readout_device::set_silent(bool silent)
{
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = silent;
}

int readout_device::queries() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return queries_;
}

}  // namespace sim
