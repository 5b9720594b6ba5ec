#!/usr/bin/env bash
# Conversion benchmark: times sdf_to_dat end to end on large generated surfaces.
#
#   bash bench/run.sh [--quick] [--runs N] [--cold]
#
# Configures a Release build in build-bench/ (or $BENCH_BUILD_DIR), builds sdf_to_dat and the
# benchmark tools, writes its inputs into a temporary folder (removed at the end) and, for each
# case, runs the conversion once untimed (warm page cache) and then N times (default 5):
#
#   ascii  the ASCII form as the platform's SDF writer lays it out (ten values a line,
#          trailer), SIZE x SIZE points
#   binary the binary form, INTEGER (16-bit) values, SIZE x SIZE points
#
# for SIZE 4096 and 8192 (--quick: 4096 only). Each output is removed before each run, so every
# run creates its file. Printed per case: median wall time, input MB/s at that time, median
# CPU time (user + system), the largest peak resident set of the runs, and for comparison the
# I/O floor of the same run: the median time to read the input to /dev/null (dd, 1 MiB blocks)
# plus the median time to copy a file of the output's size (cp of the output), and the ratio
# of the conversion's wall time to that floor. The ASCII data are parsed on every core (nproc
# of them). best_s and best_ratio are the same for the best run of each (the conversion's
# fastest against the fastest read plus the fastest copy), the fairer figures on a machine
# whose load comes and goes. Under each case the two stages are timed inside one process (best
# of the runs): reading the SDF file and writing the data file, wall and CPU time. The load
# average is printed before and after: on a busy machine the wall times grow. With --cold
# (Linux, as root) the page cache is dropped before every timed run of the conversion and of
# the floor's dd and cp, so that each reads its input from the disk; the in-process stages stay
# warm.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
runs=5
sizes=(4096 8192)
cold=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) sizes=(4096) ;;
    --runs) runs=$2; shift ;;
    --cold) cold=(--cold) ;;
    *) echo "usage: bash bench/run.sh [--quick] [--runs N] [--cold]" >&2; exit 2 ;;
  esac
  shift
done

command -v cmake >/dev/null && command -v ninja >/dev/null && command -v g++ >/dev/null ||
  bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target sdf_to_dat sdf_bench_input sdf_bench_time sdf_bench_stages >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/sdf_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

convert=$build/convert/sdf_to_dat
timer=$build/bench/sdf_bench_time
stages=$build/bench/sdf_bench_stages
make_input=$build/bench/sdf_bench_input

field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2"; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)   ($(nproc) cores, $runs runs per case${cold:+, page cache dropped before each run})"
printf '%-14s %9s %9s %9s %8s %9s %10s %10s %8s %6s %7s %10s\n' case input_MB wall_s MB/s cpu_s peak_MB read_in_s \
  copy_out_s floor_s ratio best_s best_ratio
for size in "${sizes[@]}"; do
  for form in ascii binary; do
    in=$work/${form}_$size.sdf
    out=$work/${form}_$size.dat
    "$make_input" "$form" "$size" "$in"
    sync "$in"  # its write-back would otherwise compete with the timed runs
    bytes=$(stat -c %s "$in")
    r=$("$timer" "${cold[@]}" --remove "$out" "$runs" "$convert" -f "$in" "$out")
    out_bytes=$(stat -c %s "$out")
    rd=$("$timer" "${cold[@]}" "$runs" /bin/dd if="$in" of=/dev/null bs=1M)
    wr=$("$timer" "${cold[@]}" --remove "$work/io.tmp" "$runs" /bin/cp "$out" "$work/io.tmp")
    rm -f "$work/io.tmp" "$out"
    st=$("$stages" "$runs" "$in" "$out")
    rm -f "$out"
    awk -v c="$form $size" -v b="$bytes" -v w="$(field median_s "$r")" -v cpu="$(field cpu_s "$r")" \
        -v rss="$(field maxrss_kib "$r")" -v rd="$(field median_s "$rd")" -v wr="$(field median_s "$wr")" \
        -v bw="$(field min_s "$r")" -v brd="$(field min_s "$rd")" -v bwr="$(field min_s "$wr")" \
        -v sr="$(field read_s "$st")" -v sw="$(field write_s "$st")" \
        -v scr="$(field read_cpu_s "$st")" -v scw="$(field write_cpu_s "$st")" \
        'BEGIN { printf "%-14s %9.1f %9.3f %9.0f %8.3f %9.1f %10.3f %10.3f %8.3f %6.2f %7.3f %10.2f\n", c, b / 1e6, w, b / 1e6 / w, cpu, rss / 1024, rd, wr, rd + wr, w / (rd + wr), bw, bw / (brd + bwr)
                 printf "%-14s stages: read %.3f s (cpu %.3f), write %.3f s (cpu %.3f)\n", "", sr, scr, sw, scw }'
    rm -f "$in"
  done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
echo "goals (4096): ascii ratio <= 2.5, binary ratio <= 2, peak <= 90 MB; 8192 about 4 x 4096"
