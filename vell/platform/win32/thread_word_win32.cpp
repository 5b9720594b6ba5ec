#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "vell/platform/thread_word.h"

namespace os {

namespace {

DWORD slot = FLS_OUT_OF_INDEXES;
std::once_flag once;
std::atomic<thread_word_exit_fn> callback{nullptr};
// Set once exit() has begun: ExitProcess ends the other threads wherever they are (possibly
// holding the platform's locks) before the storage callbacks run.
std::atomic<bool> exiting{false};

void WINAPI on_thread_end(void* value)
{
    thread_word_exit_fn fn = callback.load();
    if (fn != nullptr && !exiting.load() && value != nullptr)
        fn(reinterpret_cast<uintptr_t>(value));
}

void create_slot()
{
    slot = ::FlsAlloc(on_thread_end);
    std::atexit([] { exiting = true; });
}

}  // namespace

void thread_word_init(thread_word_exit_fn at_exit)
{
    std::call_once(once, create_slot);
    thread_word_exit_fn expected = nullptr;
    callback.compare_exchange_strong(expected, at_exit);
}

uintptr_t thread_word()
{
    std::call_once(once, create_slot);
    return slot == FLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<uintptr_t>(::FlsGetValue(slot));
}

void set_thread_word(uintptr_t word)
{
    std::call_once(once, create_slot);
    if (slot != FLS_OUT_OF_INDEXES)
        ::FlsSetValue(slot, reinterpret_cast<void*>(word));
}

}  // namespace os
