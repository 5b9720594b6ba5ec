// A small loadable library for the tests of the platform's library loading.
#if defined(_WIN32)
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
int loads_seen = 0;
}

PROBE_EXPORT int vp_probe_answer(void) { return 42; }

PROBE_EXPORT int vp_probe_add(int a, int b) { return a + b; }

// Counts calls in the library's own data: a library that was unloaded and loaded again
// starts from zero.
PROBE_EXPORT int vp_probe_count(void) { return ++loads_seen; }
