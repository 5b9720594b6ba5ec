// A value of a virtual device that moves to a newly set value along a straight line over a
// settle time (virtual clock): the light level of a board, a node or a light device. Not
// locked: its owner keeps it under its own lock.
#pragma once

#include <cmath>
#include <cstdint>

namespace sim {

struct settling_value {
    double from = 0.0;
    double to = 0.0;
    uint64_t since = 0;
    uint32_t settle_ms = 0;  // of the next move

    // The value at time now along the move.
    double at(uint64_t now) const
    {
        if (settle_ms == 0 || now >= since + settle_ms)
            return to;
        if (now <= since)
            return from;
        return from + (to - from) * (double(now - since) / double(settle_ms));
    }
    // The value at time now, rounded half away from zero.
    int64_t rounded(uint64_t now) const { return std::llround(at(now)); }
    bool settled(uint64_t now) const { return at(now) == to; }
    // Starts a move from where the value is now.
    void move_to(double v, uint64_t now)
    {
        from = at(now);
        to = v;
        since = now;
    }
    // Puts the value there at once, settled.
    void put(double v, uint64_t now)
    {
        from = to = v;
        since = now;
    }
};

}  // namespace sim
