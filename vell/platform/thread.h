// Threads with a join that can time out.
//
// A thread handle is a waitable object (platform/event.h) that becomes signalled when the
// thread's function returns; u_close_handle releases it, and a thread whose last handle is
// closed while it runs goes on running on its own. Threads started here take part in the
// virtual clock of the tests from the moment they are started (platform/hooks.h).
#pragma once

#include <cstdint>
#include <functional>

#include "vell/platform/event.h"

using u_thread_fn = int32_t (*)(void* arg);

// Starts fn(arg) on a new thread: ERR_CREATE_THREAD when the system refuses.
int32_t u_thread_start(u_thread_fn fn, void* arg, u_handle* out);
int32_t u_thread_start(std::function<int32_t()> body, u_handle* out);

// Waits up to timeout_ms for the thread to end: 0 (its result in *result when given),
// U_WAIT_TIMEOUT while it still runs, U_WAIT_FAILED for a handle that is not an open thread.
int u_thread_join(u_handle thread, uint32_t timeout_ms, int32_t* result = nullptr);

// True while the thread has not ended (false for a handle that is not an open thread).
bool u_thread_running(u_handle thread);
