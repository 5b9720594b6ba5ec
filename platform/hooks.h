// Replaceable hook functions of the platform: idle and abort hooks, allocation, time.
//
// Every sleep and every time-out in the platform goes through u_sleep_ms / u_now_ms, so a
// test can install a clock of its own and run a "2000 ms" retry loop in microseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

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

    // Wall clock: seconds since 1970-01-01 00:00 UTC, and their local calendar time (false when
    // the system cannot convert them). Defaults: the system's clock and time zone. Time stamps,
    // ramp start stamps, PIFOC times and log dates read these, so a test can fix "now".
    int64_t (*wall_s)();
    bool (*local_time)(int64_t when, std::tm& out);
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

// The wall clock of the hook table: now in epoch seconds, and a time's local calendar form.
int64_t u_wall_s();
bool u_local_time(int64_t when, std::tm& out);

// ---------------------------------------------------------------------------------------------
// Virtual clock, for tests.
//
// While it runs, u_now_ms reads a virtual millisecond counter, and u_sleep_ms and every timed
// wait of the platform (events, timers, thread joins, the process lock, ...) block only until
// the virtual time reaches their end. The clock never moves while a thread that takes part in
// it is running: as soon as every taking-part thread is blocked in a platform sleep or wait,
// the clock jumps to the nearest end of a wait (or due time of a waited-for timer) and wakes
// whoever that is. A test thus runs a "3 attempts, 2000 ms apart" loop in microseconds, across
// threads, and can assert exactly how much virtual time it took.
//
// Taking part: the thread that starts the clock, every thread started with u_thread_start, and
// every other thread from its first platform sleep or wait until it ends or calls
// u_vclock_leave. A thread that is not yet taking part (a std::thread that has not waited on
// anything yet) is invisible to the clock: when it is the one expected to signal, start it
// with u_thread_start or let it call u_vclock_enroll first. A taking-part thread that blocks
// outside the platform (a pipe read, std::thread::join) holds the clock still; after a
// quarter second of real time without any platform activity the clock moves on regardless.
void u_vclock_start(uint64_t start_ms = 0);
// Puts back the time hooks that were installed before u_vclock_start. Waits still in progress
// keep the time they had left, now on the restored clock.
void u_vclock_stop();
bool u_vclock_active();
// Moves the virtual clock forward at once: due timers fire, waits that end on the way time out.
void u_vclock_advance(uint64_t ms);
// Makes the calling thread take part in the virtual clock, or stop taking part.
void u_vclock_enroll();
void u_vclock_leave();
// The durations of the u_sleep_ms calls made on the virtual clock since it was started or the
// record was cleared, in call order (all threads).
std::vector<uint32_t> u_vclock_sleeps();
void u_vclock_clear_sleeps();

// Runs the virtual clock for the lifetime of the object.
class u_virtual_clock {
public:
    explicit u_virtual_clock(uint64_t start_ms = 0) { u_vclock_start(start_ms); }
    ~u_virtual_clock() { u_vclock_stop(); }
    u_virtual_clock(const u_virtual_clock&) = delete;
    u_virtual_clock& operator=(const u_virtual_clock&) = delete;
};
