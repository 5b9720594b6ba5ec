#!/usr/bin/env bash
# Builds the converter and converts the bundled example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target sdf_to_dat
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$build/convert/sdf_to_dat" "$root/examples/surface_ascii.sdf" "$out/surface_ascii.dat"
