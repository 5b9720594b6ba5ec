// Work spread over the cores: the parts of one job each on a thread of the platform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/thread.h"

namespace dat_parallel {

// The most threads one job uses.
constexpr unsigned max_threads = 16;

// Threads for one job: one per core, at least 1, at most max_threads.
unsigned cores();

// Runs body(i) for every i in [0, n): i = 0 on the calling thread, every other on a thread of
// its own (on the calling thread as well when the system gives no thread), and returns when all
// have ended.
template <class Body>
void run(unsigned n, const Body& body)
{
    std::vector<u_handle> workers(n, nullptr);
    for (unsigned i = 1; i < n; ++i) {
        if (u_thread_start([&body, i]() -> int32_t { body(i); return 0; }, &workers[i]) != NO_ERROR)
            workers[i] = nullptr;
    }
    if (n > 0)
        body(0u);
    for (unsigned i = 1; i < n; ++i) {
        if (workers[i] != nullptr) {
            u_thread_join(workers[i], U_INFINITE);
            u_close_handle(workers[i]);
        } else {
            body(i);
        }
    }
}

// A team of n threads, the caller and n - 1 workers that stay for the team's life, for a job
// that runs in many short rounds: a thread started for every round may first share the
// caller's core, a worker that stays keeps its own. run(body) runs body(i) for every i in
// [0, n), i = 0 on the calling thread, and returns when all have ended; a worker the system
// would not start leaves its part to the caller. One caller at a time.
class team {
public:
    explicit team(unsigned n);
    ~team();
    team(const team&) = delete;
    team& operator=(const team&) = delete;

    unsigned size() const { return n_; }

    template <class Body>
    void run(const Body& body)
    {
        job_ = &body;
        call_ = [](const void* job, unsigned i) { (*static_cast<const Body*>(job))(i); };
        dispatch();
    }

private:
    struct worker {
        u_unique_handle thread;
        u_unique_handle go;
        u_unique_handle done;
    };
    void dispatch();
    void serve(unsigned i);

    unsigned n_;
    std::vector<worker> workers_;  // [0] unused: the caller
    const void* job_ = nullptr;
    void (*call_)(const void*, unsigned) = nullptr;
    bool stopping_ = false;
};

// [begin, end) of part i when `count` items are cut into n parts of nearly equal size.
inline std::size_t part_begin(std::size_t count, unsigned n, unsigned i)
{
    return static_cast<std::size_t>(uint64_t{count} * i / n);  // counts stay far below 2^59
}

}  // namespace dat_parallel
