#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each of them for a while on the project's seed corpora. Fails on any finding: a crash, a
# sanitizer report, a leak, a time-out, a memory blow-up or a violated property.
#
# Usage: scripts/fuzz.sh [seconds-per-target] [target ...]
#   seconds-per-target  default 60
#   target              default: every target built (sdf_read_fuzz sdf_trailer_fuzz convert_fuzz
#                       calfile_fuzz ftp_materials_fuzz pifoc_info_fuzz)
# Environment: VP_FUZZ_BUILD (build directory, default <repo>/build-fuzz).
# Findings are kept under <build>/fuzz-run/<target>/artifacts; rerun one with
#   <build>/fuzz/<target> <artifact>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=${VP_FUZZ_BUILD:-$root/build-fuzz}

bash "$root/scripts/deps.sh" clang libclang-rt-14-dev
cc=$(command -v clang || command -v clang-14)
cxx=$(command -v clang++ || command -v clang++-14)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DVP_FUZZ=ON -DVP_SANITIZE=ON -DVP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_all -j 2

run="$build/fuzz-run"
seeds="$run/seeds"
mkdir -p "$run"
"$build/fuzz/fuzz_seeds" "$seeds"

# Scratch files of the targets go to memory when the system has it.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for t in sdf_read_fuzz sdf_trailer_fuzz convert_fuzz calfile_fuzz ftp_materials_fuzz pifoc_info_fuzz can_pdo_fuzz; do
    [ -x "$build/fuzz/$t" ] && targets+=("$t")
  done
fi

# target: corpus, dictionary, longest input
declare -A corpus=([sdf_read_fuzz]=sdf [convert_fuzz]=sdf [sdf_trailer_fuzz]=trailer [calfile_fuzz]=calfile [ftp_materials_fuzz]=ftp [pifoc_info_fuzz]=pifoc [can_pdo_fuzz]=can)
declare -A dict=([sdf_read_fuzz]=sdf [convert_fuzz]=sdf [sdf_trailer_fuzz]=sdf [calfile_fuzz]=calfile [ftp_materials_fuzz]=ftp [pifoc_info_fuzz]=pifoc [can_pdo_fuzz]=can)
declare -A maxlen=([sdf_read_fuzz]=16384 [convert_fuzz]=16384 [sdf_trailer_fuzz]=8192 [calfile_fuzz]=8192 [ftp_materials_fuzz]=8192 [pifoc_info_fuzz]=1024 [can_pdo_fuzz]=4096)

passed=0
failed=0
for t in "${targets[@]}"; do
  bin="$build/fuzz/$t"
  if [ ! -x "$bin" ] || [ -z "${corpus[$t]:-}" ]; then
    echo "fuzz: unknown target $t" >&2
    failed=$((failed + 1))
    continue
  fi
  work="$run/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "fuzz: $t for ${seconds}s" >&2
  status=0
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${maxlen[$t]}" \
    -dict="$seeds/${dict[$t]}.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus" "$seeds/${corpus[$t]}" >"$work/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  found=$(find "$work/artifacts" -type f | head -n 1)
  if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "fuzz: $t FAILED (status $status) after ${runs:-?} runs" >&2
    grep -E "ERROR|SUMMARY|runtime error|property violated|allocation of|Test unit written" "$work/log" | head -n 20 >&2 || true
    [ -n "$found" ] && echo "fuzz: reproduce with $bin $found" >&2
    failed=$((failed + 1))
  else
    echo "fuzz: $t ok, ${runs:-?} runs" >&2
    passed=$((passed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
