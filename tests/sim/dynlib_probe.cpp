// A small loadable library for the tests of the platform's library loading.
#if defined(_WIN32)
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PROBE_EXPORT int vp_probe_answer(void) { return 42; }

PROBE_EXPORT int vp_probe_add(int a, int b) { return a + b; }

