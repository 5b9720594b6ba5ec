#!/usr/bin/env bash
# Checks what a user installs, from a build tree made by scripts/test.sh:
#   1. cmake --install into a fresh prefix; a program outside the tree finds the package with
#      find_package and with pkg-config, includes <vell/sdf/sdf.h>, links the SDF reader and the
#      data file writer, and converts the bundled example to the same bytes as sdf_to_dat;
#      the same for the shared libraries (BUILD_SHARED_LIBS=ON), from a second build tree of
#      the libraries and tools only (<build>-shared): versioned libraries with their SONAME,
#      programs that load them from the prefix, tools that run from it;
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

# consumers FORM BUILD: installs BUILD into a prefix of its own and checks the consumer through
# find_package and pkg-config, and the installed sdf_to_dat.
consumers() {
  local form=$1 tree=$2 prefix=$work/prefix-$1
  cmake --install "$tree" --prefix "$prefix" >/dev/null
  cmake -S "$root/packaging/consumer" -B "$work/consumer-$form" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/consumer-$form" >/dev/null
  "$work/consumer-$form/consumer" "$example" "$work/cmake-$form.dat" >/dev/null
  check "$form: find_package consumer" "$work/cmake-$form.dat"
  linked "$form: find_package consumer" "$work/consumer-$form/consumer" "$prefix"

  local pc_dir libdir
  pc_dir=$(dirname "$(find "$prefix" -name vell-platform.pc)")
  libdir=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir vell-platform)
  # shellcheck disable=SC2046
  g++ -o "$work/pc_consumer-$form" "$root/packaging/consumer/main.cpp" -Wl,-rpath,"$libdir" \
    $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs vell-platform)
  "$work/pc_consumer-$form" "$example" "$work/pc-$form.dat" >/dev/null
  check "$form: pkg-config consumer" "$work/pc-$form.dat"
  linked "$form: pkg-config consumer" "$work/pc_consumer-$form" "$prefix"

  "$prefix/bin/sdf_to_dat" "$example" "$work/installed-$form.dat" 2>/dev/null
  check "$form: installed sdf_to_dat" "$work/installed-$form.dat"
  linked "$form: installed sdf_to_dat" "$prefix/bin/sdf_to_dat" "$prefix"
}

# linked NAME PROGRAM PREFIX: a static program loads no platform library; a shared one loads
# libvell_*.so.<major> from PREFIX, found without LD_LIBRARY_PATH.
linked() {
  local libs
  libs=$(env -u LD_LIBRARY_PATH ldd "$2" | grep -c 'libvell_' || true)
  if [ "$form" = static ]; then
    [ "$libs" -eq 0 ] && { echo "ok: $1 holds the libraries"; passed=$((passed + 1)); return; }
  elif ! env -u LD_LIBRARY_PATH ldd "$2" | grep 'libvell_' | grep -qv "=> $3/"; then
    [ "$libs" -gt 0 ] && { echo "ok: $1 loads $libs libraries from the prefix"; passed=$((passed + 1)); return; }
  fi
  echo "FAILED: $1: the libraries it loads:" >&2
  ldd "$2" >&2
  failed=$((failed + 1))
}

consumers static "$build"

# The shared form: a build of the libraries and tools (no tests, no Python module).
shared=${build}-shared
cmake -S "$root" -B "$shared" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
      -DVP_BUILD_TESTS=OFF -DVP_PYTHON=OFF >/dev/null
cmake --build "$shared" -j "$(nproc)" >/dev/null
consumers shared "$shared"
# No installed RPATH holds an empty entry, which the loader would take for the current folder.
bad_rpath=0
while IFS= read -r f; do
  rp=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
  case ":$rp:" in *::*) [ -n "$rp" ] && { echo "$f: RPATH '$rp' has an empty entry" >&2; bad_rpath=1; } ;; esac
done < <(find "$work/prefix-shared" -type f \( -name 'lib*.so*' -o -path '*/bin/*' \))
if [ "$bad_rpath" -eq 0 ]; then
  echo "ok: shared: no installed RPATH searches the current folder"; passed=$((passed + 1))
else
  echo "FAILED: shared: installed RPATHs with empty entries" >&2; failed=$((failed + 1))
fi
lib=$(find "$work/prefix-shared" -name libvell_sdf.so)
soname=$(objdump -p "$lib" 2>/dev/null | sed -n 's/^ *SONAME *//p')
if [ "$soname" = "libvell_sdf.so.1" ] && [ -f "$lib.1.0.0" ]; then
  echo "ok: shared: libvell_sdf.so.1.0.0 with the SONAME $soname"; passed=$((passed + 1))
else
  echo "FAILED: shared: libvell_sdf.so has the SONAME '$soname'" >&2; failed=$((failed + 1))
fi

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
