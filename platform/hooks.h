// Replaceable hook functions of the platform: idle and abort hooks, allocation, time.
//
// Every sleep and every time-out in the platform goes through u_sleep_ms / u_now_ms, so a
// test can install a clock of its own and run a "2000 ms" retry loop in microseconds.
#pragma once

#include <cstddef>
#include <cstdint>

struct u_hook_table {
    // Called by waiting loops after every sleep. Default: does nothing.
    void (*idle)();
    // Asked by long waits whether the user wants to abort. Default: no (0).
    int (*abort_requested)();

    // Heap blocks handed between library operations. Defaults: the standard allocator.
    void* (*alloc)(std::size_t size);
    void* (*realloc)(void* block, std::size_t size);
    void* (*calloc)(std::size_t count, std::size_t size);
    void (*release)(void* block);

    // Time. Defaults: a real sleep and a monotonic clock in milliseconds.
    void (*sleep_ms)(uint32_t ms);
    uint64_t (*now_ms)();
};

extern u_hook_table u_hooks;

// Restores the default table. For tests.
void u_hooks_reset();

void u_idle_hook();
bool u_abort_hook();

void* u_malloc(std::size_t size);
void* u_realloc(void* block, std::size_t size);
void* u_calloc(std::size_t count, std::size_t size);
void u_free(void* block);

void u_sleep_ms(uint32_t ms);
uint64_t u_now_ms();
