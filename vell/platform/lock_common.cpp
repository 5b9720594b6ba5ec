#include <algorithm>

#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/lock.h"

namespace os {

int process_lock::acquire(uint32_t timeout_ms, bool* abandoned)
{
    if (abandoned)
        *abandoned = false;
    if (!is_open())
        return U_WAIT_FAILED;
    if (held_)
        return 0;
    uint64_t start = u_now_ms();
    for (;;) {
        int r = try_acquire(abandoned);
        if (r > 0) {
            held_ = true;
            return 0;
        }
        if (r < 0)
            return U_WAIT_FAILED;
        uint32_t wait = process_lock_poll_ms;
        if (timeout_ms != U_INFINITE) {
            uint64_t spent = u_now_ms() - start;
            if (spent >= timeout_ms)
                return U_WAIT_TIMEOUT;
            wait = static_cast<uint32_t>(std::min<uint64_t>(wait, timeout_ms - spent));
        }
        u_sleep_ms(wait);
    }
}

}  // namespace os
