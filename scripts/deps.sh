#!/usr/bin/env bash
# Makes sure the build tools are there. As root it installs what is missing with apt-get;
# otherwise it names the packages to install and fails.
# Usage: scripts/deps.sh [extra-debian-package ...]
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/src/googletest/CMakeLists.txt ] || [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(googletest libgtest-dev)
# The Python module vell and its tests: built for Debian's interpreter, with its numpy and pybind11.
for pkg in python3-dev python3-numpy python3-pytest pybind11-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
else
  echo "Missing packages: ${need[*]}" >&2
  echo "Install them with: sudo apt-get install ${need[*]}" >&2
  exit 1
fi
