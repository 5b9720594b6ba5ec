#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "vell/platform/thread_word.h"

namespace os {

namespace {

pthread_key_t key;
std::once_flag once;
std::atomic<thread_word_exit_fn> callback{nullptr};
std::atomic<bool> exiting{false};

void on_thread_end(void* value)
{
    thread_word_exit_fn fn = callback.load();
    if (fn != nullptr && !exiting.load())
        fn(reinterpret_cast<uintptr_t>(value));
}

void create_key()
{
    pthread_key_create(&key, on_thread_end);
    std::atexit([] { exiting = true; });
}

}  // namespace

void thread_word_init(thread_word_exit_fn at_exit)
{
    std::call_once(once, create_key);
    thread_word_exit_fn expected = nullptr;
    callback.compare_exchange_strong(expected, at_exit);
}

uintptr_t thread_word()
{
    std::call_once(once, create_key);
    return reinterpret_cast<uintptr_t>(pthread_getspecific(key));
}

void set_thread_word(uintptr_t word)
{
    std::call_once(once, create_key);
    pthread_setspecific(key, reinterpret_cast<void*>(word));
}

}  // namespace os
