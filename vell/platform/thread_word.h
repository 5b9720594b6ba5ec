// One word of per-thread data for the platform's own bookkeeping, with a callback when a
// thread ends whose word is not zero. Not for use outside platform/.
//
// Kept in the system's thread storage rather than in a C++ thread_local object: the MinGW
// runtime may run thread_local destructors after the thread's storage was freed.
#pragma once

#include <cstdint>

namespace os {

using thread_word_exit_fn = void (*)(uintptr_t word);

// Sets the callback; the first call wins. The callback runs on the ending thread and is not
// called while the process is exiting.
void thread_word_init(thread_word_exit_fn at_exit);

uintptr_t thread_word();
void set_thread_word(uintptr_t word);

}  // namespace os
