// sdf_bench_stages RUNS INPUT OUTPUT: the two stages of a conversion timed inside one process,
// RUNS times after one untimed run: sdf_read_file, then dat_write_file (the output removed
// before each write), and prints one line:
//
//   read_s=<best> write_s=<best> read_cpu_s=<best> write_cpu_s=<best>
//
// CPU time is the process's (every thread's). Exit status 1 when a stage fails.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "vell/datafile/datafile.h"
#include "vell/platform/hooks.h"
#include "vell/sdf/sdf.h"

namespace {

struct clocks {
    double wall;
    double cpu;
};

clocks now()
{
    auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return {wall, static_cast<double>(std::clock()) / CLOCKS_PER_SEC};
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = argc == 4 ? std::atoi(argv[1]) : 0;
    if (runs < 1) {
        std::fprintf(stderr, "usage: sdf_bench_stages RUNS INPUT OUTPUT\n");
        return 2;
    }
    clocks best_read{1e9, 1e9};
    clocks best_write{1e9, 1e9};
    for (int i = 0; i <= runs; ++i) {
        dat_header header{};
        intensity_map intensity{};
        phase_map phase{};
        clocks a = now();
        int32_t rc = sdf_read_file(argv[2], &header, &intensity, &phase);
        clocks b = now();
        std::remove(argv[3]);
        clocks c = now();
        int32_t wc = rc == 0 ? dat_write_file(argv[3], &header, &intensity, &phase) : rc;
        clocks d = now();
        u_free(phase.data);
        if (rc != 0 || wc != 0) {
            std::fprintf(stderr, "sdf_bench_stages: read %d, write %d\n", rc, wc);
            return 1;
        }
        if (i == 0)
            continue;  // warms the page cache
        best_read = {std::min(best_read.wall, b.wall - a.wall), std::min(best_read.cpu, b.cpu - a.cpu)};
        best_write = {std::min(best_write.wall, d.wall - c.wall), std::min(best_write.cpu, d.cpu - c.cpu)};
    }
    std::printf("read_s=%.4f write_s=%.4f read_cpu_s=%.4f write_cpu_s=%.4f\n", best_read.wall, best_write.wall,
                best_read.cpu, best_write.cpu);
    return 0;
}
