#!/usr/bin/env bash
# Checks what a user installs, from a build tree made by scripts/test.sh:
#   1. cmake --install into a fresh prefix; a program outside the tree finds the package with
#      find_package and with pkg-config, links the SDF reader and the data file writer, and
#      converts the bundled example to the same bytes as sdf_to_dat;
#   2. CPack's tar archive and Debian package; as root the package is installed with apt-get,
#      its sdf_to_dat converts the example, and it is removed again (otherwise the package's
#      files are unpacked and run from there).
# Usage: scripts/package_test.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bash "$root/scripts/deps.sh" pkgconf

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
example=$root/examples/surface_ascii.sdf
"$build/convert/sdf_to_dat" "$example" "$work/expected.dat" 2>/dev/null
passed=0
failed=0
check() {  # check NAME FILE: FILE must hold the expected conversion
  if cmp -s "$work/expected.dat" "$2"; then
    echo "ok: $1"; passed=$((passed + 1))
  else
    echo "FAILED: $1" >&2; failed=$((failed + 1))
  fi
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$root/packaging/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" "$example" "$work/cmake.dat" >/dev/null
check "find_package consumer" "$work/cmake.dat"

pc_dir=$(dirname "$(find "$prefix" -name vell-platform.pc)")
# shellcheck disable=SC2046
g++ -o "$work/pc_consumer" "$root/packaging/consumer/main.cpp" \
  $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs vell-platform)
"$work/pc_consumer" "$example" "$work/pc.dat" >/dev/null
check "pkg-config consumer" "$work/pc.dat"

"$prefix/bin/sdf_to_dat" "$example" "$work/installed.dat" 2>/dev/null
check "installed sdf_to_dat" "$work/installed.dat"

(cd "$build" && cpack -G "TGZ;DEB" >/dev/null)
deb=$(ls "$build"/packages/vell-platform_*.deb)
tgz=$(ls "$build"/packages/vell-platform-*.tar.gz)
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
"$(find "$work/tgz" -path '*/bin/sdf_to_dat')" "$example" "$work/tgz.dat" 2>/dev/null
check "tar archive sdf_to_dat" "$work/tgz.dat"
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
  /usr/bin/sdf_to_dat "$example" "$work/deb.dat" 2>/dev/null || true
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vell-platform >/dev/null
  check "Debian package sdf_to_dat (apt-get install)" "$work/deb.dat"
else
  dpkg-deb -x "$deb" "$work/deb"
  "$work/deb/usr/bin/sdf_to_dat" "$example" "$work/deb.dat" 2>/dev/null
  check "Debian package sdf_to_dat (unpacked)" "$work/deb.dat"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
