#include "vell/datafile/parallel.h"

#include <thread>

unsigned dat_parallel::cores() { return std::clamp(std::thread::hardware_concurrency(), 1u, max_threads); }

namespace dat_parallel {

team::team(unsigned n) : n_(std::clamp(n, 1u, max_threads)), workers_(n_)
{
    for (unsigned i = 1; i < n_; ++i) {
        worker& w = workers_[i];
        u_handle go = nullptr;
        u_handle done = nullptr;
        bool ok = u_event_create(false, false, nullptr, &go) == NO_ERROR;
        w.go.reset(go);
        ok = u_event_create(false, false, nullptr, &done) == NO_ERROR && ok;
        w.done.reset(done);
        u_handle thread = nullptr;
        if (ok && u_thread_start([this, i]() -> int32_t { serve(i); return 0; }, &thread) == NO_ERROR)
            w.thread.reset(thread);
    }
}

team::~team()
{
    stopping_ = true;
    for (unsigned i = 1; i < n_; ++i) {
        if (workers_[i].thread) {
            u_event_set(workers_[i].go.get());
            u_thread_join(workers_[i].thread.get(), U_INFINITE);
        }
    }
}

void team::serve(unsigned i)
{
    // The events order every access: the job is set before "go", the part done before "done".
    for (;;) {
        u_wait_one(workers_[i].go.get(), U_INFINITE);
        if (stopping_)
            return;
        call_(job_, i);
        u_event_set(workers_[i].done.get());
    }
}

void team::dispatch()
{
    for (unsigned i = 1; i < n_; ++i) {
        if (workers_[i].thread)
            u_event_set(workers_[i].go.get());
    }
    call_(job_, 0);
    for (unsigned i = 1; i < n_; ++i) {
        if (workers_[i].thread)
            u_wait_one(workers_[i].done.get(), U_INFINITE);
        else
            call_(job_, i);
    }
}

}  // namespace dat_parallel
