#include "vell/sim/board_ramp_memory.h"

#include <mutex>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"

namespace sim {

uint16_t board_ramp_memory::ramp::field16(std::size_t at) const
{
    if (header.size() < at + 2)
        return 0;
    return static_cast<uint16_t>(static_cast<uint8_t>(header[at]) << 8 | static_cast<uint8_t>(header[at + 1]));
}

bool board_ramp_memory::load(const std::string& header)
{
    if (header.empty() || static_cast<uint8_t>(header[0]) >= slots_)
        return false;
    const uint8_t slot = static_cast<uint8_t>(header[0]);
    if (running_ == slot)
        running_ = -1;
    ramps_[slot] = ramp{header, {}, false};
    loading_ = slot;
    return true;
}

bool board_ramp_memory::data(const uint16_t* words, std::size_t n)
{
    if (loading_ < 0)
        return false;
    std::vector<uint16_t>& w = ramps_[static_cast<uint8_t>(loading_)].words;
    w.insert(w.end(), words, words + n);
    return true;
}

bool board_ramp_memory::complete()
{
    if (loading_ < 0)
        return false;
    ramps_[static_cast<uint8_t>(loading_)].complete = true;
    loading_ = -1;
    return true;
}

bool board_ramp_memory::remove(uint8_t slot)
{
    if (slot >= slots_)
        return false;
    if (running_ == slot)
        running_ = -1;
    if (loading_ == slot)
        loading_ = -1;
    ramps_.erase(slot);  // an empty slot deletes without complaint
    return true;
}

bool board_ramp_memory::start(uint8_t slot, uint64_t now_ms)
{
    auto it = ramps_.find(slot);
    if (it == ramps_.end() || !it->second.complete || idle(now_ms) == false)
        return false;
    const ramp& r = it->second;
    uint64_t ms = play_ms_;
    if (ms == 0) {
        const uint64_t div = 65536u - r.field16(4);
        ms = (static_cast<uint64_t>(r.field16(2)) * div + 3999) / 4000;
    }
    running_ = slot;
    ends_at_ = now_ms + (ms > 0 ? ms : 1);
    ++starts_;
    return true;
}

int32_t board_ramp_memory::running(uint64_t now_ms)
{
    if (running_ >= 0 && now_ms >= ends_at_)
        running_ = -1;
    return running_;
}

bool board_ramp_memory::idle(uint64_t now_ms) { return running(now_ms) < 0; }

bool board_ramp_memory::set_update_rate(uint8_t slot, uint16_t updateRate)
{
    auto it = ramps_.find(slot);
    if (it == ramps_.end() || it->second.header.size() < 6)
        return false;
    it->second.header[4] = static_cast<char>(updateRate >> 8);
    it->second.header[5] = static_cast<char>(updateRate & 0xFF);
    return true;
}

std::vector<uint8_t> board_ramp_memory::table() const
{
    std::vector<uint8_t> ids(slots_, 255);
    for (const auto& [slot, r] : ramps_)
        if (r.complete && slot < slots_)
            ids[slot] = r.rampID();
    return ids;
}

namespace model13_ramps {

namespace {

struct host_memory {
    std::mutex lock;
    board_ramp_memory memory{4};
    std::vector<int32_t> gains;
};

host_memory& host()
{
    static host_memory h;
    return h;
}

}  // namespace

int32_t load(int32_t slot, const uint16_t* samples, int32_t nPoints, int32_t gain, int32_t updateRate)
{
    if (slot < 0 || slot > 255 || samples == nullptr || nPoints < 1 || nPoints > 65535)
        return ERR_HW_FAIL;
    std::string header(13, '\0');
    header[0] = static_cast<char>(slot);
    header[2] = static_cast<char>(nPoints >> 8), header[3] = static_cast<char>(nPoints);
    header[4] = static_cast<char>(updateRate >> 8), header[5] = static_cast<char>(updateRate);
    header[10] = static_cast<char>(gain >> 8), header[11] = static_cast<char>(gain);
    host_memory& h = host();
    std::lock_guard<std::mutex> g(h.lock);
    h.gains.push_back(gain);
    const bool ok = h.memory.load(header) && h.memory.data(samples, static_cast<std::size_t>(nPoints)) &&
                    h.memory.complete();
    return ok ? NO_ERROR : ERR_HW_FAIL;
}

int32_t start(int32_t slot)
{
    host_memory& h = host();
    std::lock_guard<std::mutex> g(h.lock);
    return slot >= 0 && slot < 256 && h.memory.start(static_cast<uint8_t>(slot), u_now_ms()) ? NO_ERROR : ERR_HW_FAIL;
}

int32_t idle(bool* idle)
{
    if (idle == nullptr)
        return ERR_HW_FAIL;
    host_memory& h = host();
    std::lock_guard<std::mutex> g(h.lock);
    *idle = h.memory.idle(u_now_ms());
    return NO_ERROR;
}

board_ramp_memory memory()
{
    host_memory& h = host();
    std::lock_guard<std::mutex> g(h.lock);
    return h.memory;
}

std::vector<int32_t> gains()
{
    host_memory& h = host();
    std::lock_guard<std::mutex> g(h.lock);
    return h.gains;
}

void reset()
{
    host_memory& h = host();
    std::lock_guard<std::mutex> g(h.lock);
    h.memory = board_ramp_memory(4);
    h.gains.clear();
}

}  // namespace model13_ramps

}  // namespace sim
