// sdf_bench_time RUNS PROGRAM ARG...: runs PROGRAM once untimed (to warm the page cache), then
// RUNS times, each as its own child process with standard error sent to /dev/null, and prints
// one line:
//
//   median_s=<s> min_s=<s> max_s=<s> cpu_s=<median user + system> maxrss_kib=<largest peak>
//
// Wall time is taken around each child from start to exit; CPU time and the peak resident set
// are the child's own (wait4: ru_utime + ru_stime, ru_maxrss). With --remove PATH the file is
// removed before every run (untimed), so that each run creates its output anew. With --cold
// the system's page cache is written back and dropped before every timed run (Linux, as root),
// so that each run reads its input from the disk. Exit status 1 when any run fails, 2 for a
// wrong command line or a cache that cannot be dropped. A POSIX-only measuring tool: it is not
// part of the library.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct run_result {
    bool ok = false;
    double seconds = 0;
    double cpu_seconds = 0;
    long maxrss_kib = 0;
};

run_result run_once(char** argv)
{
    run_result r;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return r;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, 2);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("wait4");
        return r;
    }
    auto end = std::chrono::steady_clock::now();
    r.seconds = std::chrono::duration<double>(end - start).count();
    r.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    r.maxrss_kib = usage.ru_maxrss;  // kilobytes on Linux
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!r.ok)
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
    return r;
}

// Writes dirty pages back and drops the clean ones (page cache, directory entries, inodes).
bool drop_caches()
{
    sync();
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, "3\n", 2) == 2;
    close(fd);
    return ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::size_t h = v.size() / 2;
    return v.size() % 2 == 1 ? v[h] : (v[h - 1] + v[h]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* remove_path = nullptr;
    bool cold = false;
    int first = 1;
    for (;;) {
        if (first + 1 < argc && std::strcmp(argv[first], "--remove") == 0) {
            remove_path = argv[first + 1];
            first += 2;
        } else if (first < argc && std::strcmp(argv[first], "--cold") == 0) {
            cold = true;
            first += 1;
        } else {
            break;
        }
    }
    int runs = argc >= first + 2 ? std::atoi(argv[first]) : 0;
    if (runs < 1) {
        std::fprintf(stderr, "usage: sdf_bench_time [--cold] [--remove PATH] RUNS PROGRAM ARG...\n");
        return 2;
    }
    char** command = argv + first + 1;
    if (remove_path != nullptr)
        std::remove(remove_path);
    if (!run_once(command).ok)
        return 1;
    std::vector<double> times;
    std::vector<double> cpu;
    long maxrss = 0;
    for (int i = 0; i < runs; ++i) {
        if (remove_path != nullptr)
            std::remove(remove_path);
        if (cold && !drop_caches()) {
            std::perror("sdf_bench_time: /proc/sys/vm/drop_caches");
            return 2;
        }
        run_result r = run_once(command);
        if (!r.ok)
            return 1;
        times.push_back(r.seconds);
        cpu.push_back(r.cpu_seconds);
        maxrss = std::max(maxrss, r.maxrss_kib);
    }
    std::printf("median_s=%.4f min_s=%.4f max_s=%.4f cpu_s=%.4f maxrss_kib=%ld\n", median(times),
                *std::min_element(times.begin(), times.end()), *std::max_element(times.begin(), times.end()),
                median(cpu), maxrss);
    return 0;
}
