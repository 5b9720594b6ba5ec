#include <algorithm>

#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/process.h"

namespace os {

int child_process::wait(uint32_t timeout_ms, int* exit_status)
{
    if (timeout_ms == U_INFINITE) {
        int r = poll(true, exit_status);
        return r > 0 ? 0 : U_WAIT_FAILED;
    }
    uint64_t start = u_now_ms();
    for (;;) {
        int r = poll(false, exit_status);
        if (r > 0)
            return 0;
        if (r < 0)
            return U_WAIT_FAILED;
        uint64_t spent = u_now_ms() - start;
        if (spent >= timeout_ms)
            return U_WAIT_TIMEOUT;
        u_sleep_ms(static_cast<uint32_t>(std::min<uint64_t>(10, timeout_ms - spent)));
    }
}

}  // namespace os
