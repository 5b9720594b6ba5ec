// The ramp memory of a virtual instrument board: one ramp per slot, downloaded as a header,
// blocks of words and an end mark, then started, polled, deleted and listed. A started ramp
// runs for its play time on the platform clock and then stops by itself.
//
// The header is the RAMP_LOAD argument layout of serial/board_ramps.h: slot, rampID,
// nPoints, updateRate, trigStartAddr, trigEndAddr, gain (16-bit values big-endian), scan
// direction. The play time is nPoints x (65536 - updateRate) / 4000 ms, at least 1 ms, unless
// a fixed one is set.
//
// Not thread-safe by itself: the owning device serialises the calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class board_ramp_memory {
public:
    struct ramp {
        std::string header;           // the load arguments as received
        std::vector<uint16_t> words;  // data words, in order
        bool complete = false;
        uint8_t rampID() const { return header.size() > 1 ? static_cast<uint8_t>(header[1]) : 255; }
        uint16_t field16(std::size_t at) const;
    };

    explicit board_ramp_memory(std::size_t slots) : slots_(slots) {}

    // Each returns false when the board would reject the command.
    bool load(const std::string& header);
    bool data(const uint16_t* words, std::size_t n);
    bool complete();
    bool remove(uint8_t slot);
    bool start(uint8_t slot, uint64_t now_ms);
    void abort() { running_ = -1; }
    bool idle(uint64_t now_ms);
    bool set_update_rate(uint8_t slot, uint16_t updateRate);
    // The rampID held by each slot, 255 for an empty or incomplete slot.
    std::vector<uint8_t> table() const;

    // A fixed play time for every start (0: from the header).
    void set_play_ms(uint32_t ms) { play_ms_ = ms; }
    const std::map<uint8_t, ramp>& ramps() const { return ramps_; }
    int32_t running(uint64_t now_ms);
    uint32_t starts() const { return starts_; }

private:
    std::size_t slots_;
    std::map<uint8_t, ramp> ramps_;
    int32_t loading_ = -1;
    int32_t running_ = -1;
    uint64_t ends_at_ = 0;
    uint32_t play_ms_ = 0;
    uint32_t starts_ = 0;
};

// Board type 5 keeps its ramps on the host side: one process-wide ramp memory of 4 slots whose
// functions fit that board's host ramp operations (load with a gain, start, idle). Their
// answers: 0, or ERR_HW_FAIL where the board would refuse.
namespace model13_ramps {
int32_t load(int32_t slot, const uint16_t* samples, int32_t nPoints, int32_t gain, int32_t updateRate);
int32_t start(int32_t slot);
int32_t idle(bool* idle);
// A copy of the memory, and the gain of every load so far, in order.
board_ramp_memory memory();
std::vector<int32_t> gains();
// Empties the memory and forgets the gains.
void reset();
}  // namespace model13_ramps

}  // namespace sim
