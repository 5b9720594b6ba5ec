#include "vell/platform/hooks.h"

#include <cstdlib>

#include "vell/platform/os.h"

namespace {

void default_idle() {}
int default_abort() { return 0; }
void* default_alloc(std::size_t size) { return std::malloc(size); }
void* default_realloc(void* block, std::size_t size) { return std::realloc(block, size); }
void* default_calloc(std::size_t count, std::size_t size) { return std::calloc(count, size); }
void default_release(void* block) { std::free(block); }
int64_t default_wall_s() { return static_cast<int64_t>(std::time(nullptr)); }
bool default_local_time(int64_t when, std::tm& out)
{
    // time_t is 64-bit on both targets; a value it cannot hold is refused, not wrapped.
    auto t = static_cast<std::time_t>(when);
    if (static_cast<int64_t>(t) != when)
        return false;
    return os::local_time(t, out);
}

constexpr u_hook_table default_table = {
    default_idle,  default_abort,   default_alloc,      default_realloc,
    default_calloc, default_release, os::sleep_real_ms, os::monotonic_ms,
    default_wall_s, default_local_time,
};

}  // namespace

u_hook_table u_hooks = default_table;

void u_hooks_reset() { u_hooks = default_table; }

void u_idle_hook() { u_hooks.idle(); }
bool u_abort_hook() { return u_hooks.abort_requested() != 0; }

void* u_malloc(std::size_t size) { return u_hooks.alloc(size); }
void* u_realloc(void* block, std::size_t size) { return u_hooks.realloc(block, size); }
void* u_calloc(std::size_t count, std::size_t size) { return u_hooks.calloc(count, size); }
void u_free(void* block)
{
    if (block != nullptr)
        u_hooks.release(block);
}

void u_sleep_ms(uint32_t ms) { u_hooks.sleep_ms(ms); }
uint64_t u_now_ms() { return u_hooks.now_ms(); }

int64_t u_wall_s() { return u_hooks.wall_s(); }
bool u_local_time(int64_t when, std::tm& out) { return u_hooks.local_time(when, out); }
