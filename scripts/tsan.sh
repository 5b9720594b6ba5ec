#!/usr/bin/env bash
# Builds the suites that run threads (the platform's threads and events, serial ports and their
# peers, the device multiplexer, CAN events, the sleep-mode and gain threads, two instruments
# driven from two threads, the parallel text parsing) under ThreadSanitizer and runs them.
# Fails on any data race or test failure.
# Usage: scripts/tsan.sh [build-dir] [suite ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tsan}
shift || true
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
  suites=(platform_os serial serial_links board devctl can instrument inst_on sdf datafile perf_equiv)
fi
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVP_TSAN=ON >/dev/null
targets=()
for s in "${suites[@]}"; do targets+=("${s}_tests"); done
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
failed=0
for s in "${suites[@]}"; do
  exe=$(find "$build/tests" -name "${s}_tests" -type f -perm -u+x | head -n1)
  echo "-- ${s}_tests"
  if ! "$exe" --gtest_brief=1; then failed=1; fi
done
exit $failed
