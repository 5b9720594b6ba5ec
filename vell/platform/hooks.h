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
// the virtual time reaches their end. A test thus runs a "3 attempts, 2000 ms apart" loop in
// microseconds, across threads, and can assert exactly how much virtual time it took.
//
// Enrolled threads: the thread that starts the clock, every thread started with
// u_thread_start (from the moment it is started until its function returns), and every thread
// that calls u_vclock_enroll or holds a u_vclock_enroll_guard (a callback thread of a foreign
// library, say). The clock moves only when every enrolled thread is blocked in a platform
// sleep or wait: then it jumps to the nearest end of a wait of an enrolled thread (or the due
// time of a timer such a wait waits for) and wakes whoever that is. An enrolled thread that
// runs holds the clock, however long it computes; one that blocks outside the platform (a
// pipe read, std::thread::join, a foreign lock) holds it too, so such a thread leaves the
// clock first (u_vclock_leave) and enrols again afterwards.
//
// Any other thread may wait on the virtual clock as well: its wait ends when it is signalled
// or when the virtual time reaches its end, but it neither holds the clock nor decides where
// the clock stops. A thread expected to signal an enrolled one must itself be enrolled, or the
// clock may run out the other thread's time-out first.
//
// Stall watch: when the clock is held (an enrolled thread runs while waits are waiting for the
// clock) and nothing happens in the platform for the stall limit of real time, the state is
// written to standard error and the stall action runs, by default std::abort. The clock is
// never moved on by the watch.
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
// Whether the calling thread takes part in the virtual clock.
bool u_vclock_enrolled();
// The number of platform sleeps and waits in progress on all threads, enrolled or not. For a
// test that must know that a thread of its own has started waiting.
std::size_t u_vclock_blocked_waits();
// The durations of the u_sleep_ms calls made on the virtual clock since it was started or the
// record was cleared, in call order (all threads).
std::vector<uint32_t> u_vclock_sleeps();
void u_vclock_clear_sleeps();

// Real time, in milliseconds, that a held clock may go without platform activity before it is
// reported as stalled; 0 turns the watch off. Default 60000. Returns the previous limit.
uint32_t u_vclock_set_stall_limit(uint32_t real_ms);
// Replaces the action run after a stall report (the report's text is passed on); null restores
// the default, std::abort. Returns the previous action. The action runs without the platform's
// lock held, on the waiting thread that noticed the stall.
using u_vclock_stall_fn = void (*)(const char* message);
u_vclock_stall_fn u_vclock_set_stall_action(u_vclock_stall_fn action);

// Enrols the calling thread in the virtual clock for the lifetime of the object, unless it
// already is enrolled (then it does nothing, and the thread stays enrolled afterwards). For
// threads that the platform did not start, such as a bus library's callback thread.
class u_vclock_enroll_guard {
public:
    u_vclock_enroll_guard();
    ~u_vclock_enroll_guard();
    u_vclock_enroll_guard(const u_vclock_enroll_guard&) = delete;
    u_vclock_enroll_guard& operator=(const u_vclock_enroll_guard&) = delete;

private:
    bool enrolled_here_;
};

// Runs the virtual clock for the lifetime of the object.
class u_virtual_clock {
public:
    explicit u_virtual_clock(uint64_t start_ms = 0) { u_vclock_start(start_ms); }
    ~u_virtual_clock() { u_vclock_stop(); }
    u_virtual_clock(const u_virtual_clock&) = delete;
    u_virtual_clock& operator=(const u_virtual_clock&) = delete;
};
