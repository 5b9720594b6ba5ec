// A virtual temperature controller: see sim/tempctl_device.h.
#include "vell/sim/tempctl_device.h"

#include "vell/platform/errors.h"

namespace sim {

namespace {

constexpr char eot = 4, stx = 2, etx = 3, enq = 5, ack = 6, nak = 21;
constexpr char address[] = "0011";

char bcc_of(std::string_view bytes)
{
    char b = 0;
    for (char c : bytes)
        b ^= c;
    return b;
}

}  // namespace

tempctl_device::tempctl_device(std::unique_ptr<serial_peer> peer) : peer_(std::move(peer)) {}

tempctl_device::~tempctl_device() { peer_->stop(); }

int32_t tempctl_device::create(const char* port_name, std::unique_ptr<tempctl_device>* out)
{
    return start_device(
        port_name, out, [](std::unique_ptr<serial_peer> peer) { return new tempctl_device(std::move(peer)); },
        [](tempctl_device& self, std::string& pending) {
            std::lock_guard<std::mutex> guard(self.lock_);
            return self.handle(pending);
        });
}

std::string tempctl_device::handle(std::string& pending)
{
    std::string reply;
    for (;;) {
        std::size_t start = pending.find(eot);
        if (start == std::string::npos) {
            pending.clear();
            return reply;
        }
        pending.erase(0, start);
        if (pending.size() < 6)
            return reply;  // EOT, address and the first byte of the body are needed
        if (pending.compare(1, 4, address) != 0) {
            pending.erase(0, 1);  // another unit's message
            continue;
        }
        if (pending[5] == stx) {
            std::size_t end = pending.find(etx, 6);
            if (end == std::string::npos || end + 1 >= pending.size())
                return reply;  // wait for ETX and the BCC
            std::string body = pending.substr(6, end - 6);
            bool good = bcc_of(std::string_view(pending).substr(6, end - 5)) == pending[end + 1];
            pending.erase(0, end + 2);
            if (fault_ == fault::silent)
                continue;
            if (!good || fault_ == fault::nak_writes) {
                values_["EE"] = good ? "0001" : "0004";
                reply += nak;
                continue;
            }
            if (body.size() >= 2)
                values_[body.substr(0, 2)] = body.substr(2);
            writes_.push_back(body);
            reply += ack;
            continue;
        }
        if (pending.size() < 8)
            return reply;  // mnemonic and ENQ
        std::string mnemonic = pending.substr(5, 2);
        bool is_read = pending[7] == enq;
        pending.erase(0, is_read ? 8 : 1);
        if (!is_read || fault_ == fault::silent)
            continue;
        auto it = values_.find(mnemonic);
        if (it == values_.end() || it->second.empty()) {
            reply += eot;
            continue;
        }
        std::string text = (fault_ == fault::wrong_mnemonic ? std::string("XX") : mnemonic) + it->second + etx;
        char bcc = bcc_of(text);
        if (fault_ == fault::bad_bcc)
            bcc ^= 0x55;
        reply += stx;
        reply += text;
        reply += bcc;
    }
}

void tempctl_device::set_value(const std::string& mnemonic, const std::string& value)
{
    std::lock_guard<std::mutex> guard(lock_);
    values_[mnemonic] = value;
}

std::string tempctl_device::value(const std::string& mnemonic) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = values_.find(mnemonic);
    return it == values_.end() ? std::string() : it->second;
}

void tempctl_device::set_fault(fault f)
{
    std::lock_guard<std::mutex> guard(lock_);
    fault_ = f;
}

std::vector<std::string> tempctl_device::writes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return writes_;
}

}  // namespace sim
