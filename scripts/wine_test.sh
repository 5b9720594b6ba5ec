#!/usr/bin/env bash
# The Windows x64 build, tested under Wine.
#
# Cross-builds the library, sdf_to_dat.exe and every test executable with MinGW-w64 (statically
# linked, so each .exe runs on its own), runs each *_tests.exe once under one persistent
# wineserver, then converts the bundled examples (under plain and under Cyrillic/accented names)
# with sdf_to_dat.exe and compares the bytes with the native build's output; last, makes the
# Windows zip with CPack and converts an example with the sdf_to_dat.exe unpacked from it.
#
# Usage: scripts/wine_test.sh [windows-build-dir] [native-build-dir]
#   defaults: build-win/ and build/ in the repository; the native sdf_to_dat is built if missing.
# Works headless, as root, without network. The last line is "N passed, N failed", the summed
# GoogleTest totals; the exit status is non-zero when a test or an example comparison failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-win}
native=${2:-$root/build}
jobs=${VP_JOBS:-$(nproc)}
mkdir -p "$build"
build=$(cd "$build" && pwd)

bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix wine wine64

# ---- build ---------------------------------------------------------------------------------
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$build" -j "$jobs"

if [ ! -x "$native/convert/sdf_to_dat" ]; then
  if [ ! -f "$native/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$native" -j "$jobs" --target sdf_to_dat
fi

# Only system libraries may be imported: no MinGW runtime DLL has to sit beside an .exe.
system_dlls='^(kernel32|user32|msvcrt|advapi32|shell32|ws2_32|ole32|bcrypt|ntdll|version)\.dll$'
bad_imports=0
checked=0
while IFS= read -r exe; do
  while IFS= read -r dll; do
    if ! printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls"; then
      echo "$exe imports $dll, which is not a system library" >&2
      bad_imports=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  checked=$((checked + 1))
done < <(find "$build" \( -path "$build/CMakeFiles" -o -path "$build/wineprefix" -o -path "$build/wine-examples" \) \
           -prune -o \( -name '*.exe' -o -name '*.dll' \) -type f -print | sort)
if [ "$bad_imports" -eq 0 ]; then
  echo "$checked programs and libraries import only system libraries"
fi

# ---- Wine ------------------------------------------------------------------------------------
# The first of the names that is a command or an executable file.
find_tool() {
  local c
  for c in "$@"; do
    if [ -x "$c" ]; then echo "$c"; return 0; fi
    if command -v "$c" >/dev/null 2>&1; then command -v "$c"; return 0; fi
  done
  echo "none of $* found" >&2
  return 1
}
# Debian puts the 64-bit loader and its server under /usr/lib/wine; "wine" itself may be a
# wrapper that looks for the 32-bit loader first.
wine=$(find_tool wine64 /usr/lib/wine/wine64 wine)
wineserver=$(find_tool wineserver64 /usr/lib/wine/wineserver64 wineserver)

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko: their installers would ask for the network.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Windows locale en-US (ANSI code page 1252, so Cyrillic names are outside it), UTF-8 on the Unix side.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"

stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
# One server for the whole run: every test program attaches to it instead of starting its own.
"$wineserver" -p >/dev/null 2>&1 </dev/null || true  # (fails only when one already serves this prefix)
"$wine" wineboot -i >/dev/null 2>&1 </dev/null

# ---- tests -----------------------------------------------------------------------------------
logs="$build/wine-logs"
rm -rf "$logs"
mkdir -p "$logs"
passed=0
failed=0
while IFS= read -r exe; do
  name=$(basename "$exe" .exe)
  log="$logs/$name.log"
  rc=0
  (cd "$(dirname "$exe")" && timeout 900 "$wine" "./$(basename "$exe")" --gtest_color=no) \
      >"$log" 2>&1 </dev/null || rc=$?
  p=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -n 1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9][0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$log" | tail -n 1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9][0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$log" | tail -n 1)
  p=${p:-0}; f=${f:-0}; s=${s:-0}
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then
    f=1  # ended without a verdict (crash, time-out)
    echo "$name: exit status $rc before the end of the run; last lines of $log:" >&2
    tail -n 20 "$log" >&2
  fi
  if [ "$f" -ne 0 ]; then
    grep '^\[  FAILED  \] [A-Za-z_]' "$log" | sed "s/^/$name: /" >&2 || true
  fi
  echo "$name: $p passed, $f failed, $s skipped"
  passed=$((passed + p))
  failed=$((failed + f))
done < <(find "$build/tests" -name '*_tests.exe' | sort)

# ---- bundled examples against the native build -----------------------------------------------
examples_failed=0
work="$build/wine-examples"
rm -rf "$work"
cyrillic="Проба çàéüñ"
mkdir -p "$work/native" "$work/$cyrillic"
for sdf in "$root"/examples/*.sdf; do
  base=$(basename "$sdf" .sdf)
  if ! "$native/convert/sdf_to_dat" "$sdf" "$work/native/$base.dat" 2>"$work/err.txt"; then
    echo "example $base: the native sdf_to_dat failed:" >&2
    cat "$work/err.txt" >&2
    examples_failed=1
    continue
  fi
  # Relative names from inside the folder: the Windows program sees them as they are.
  cp "$sdf" "$work/$base.sdf"
  cp "$sdf" "$work/$cyrillic/поверхность_$base.sdf"
  for run in "plain|$base.sdf|$base.dat" \
             "non-Latin|$cyrillic/поверхность_$base.sdf|$cyrillic/результат_ёж_$base.dat"; do
    IFS='|' read -r kind in out <<<"$run"
    if ! (cd "$work" && "$wine" "$build/convert/sdf_to_dat.exe" "$in" "$out") >"$work/err.txt" 2>&1 </dev/null; then
      echo "example $base ($kind names): sdf_to_dat.exe failed:" >&2
      cat "$work/err.txt" >&2
      examples_failed=1
    elif ! cmp -s "$work/native/$base.dat" "$work/$out"; then
      echo "example $base ($kind names): the Windows output differs from the native output" >&2
      examples_failed=1
    else
      echo "example $base ($kind names): same bytes as the native build"
    fi
  done
done

# ---- the Windows zip -------------------------------------------------------------------------
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/packages/vell-platform-*-win64.zip)
rm -rf "$work/zip"
mkdir -p "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
zipped_exe=$(find "$work/zip" -path '*/bin/sdf_to_dat.exe' | head -n 1)
if [ -z "$zipped_exe" ]; then
  echo "$(basename "$zip") holds no bin/sdf_to_dat.exe" >&2
  examples_failed=1
elif ! (cd "$work" && "$wine" "$zipped_exe" surface_ascii.sdf zip.dat) >"$work/err.txt" 2>&1 </dev/null \
     || ! cmp -s "$work/native/surface_ascii.dat" "$work/zip.dat"; then
  echo "the sdf_to_dat.exe of $(basename "$zip") did not convert the example to the native bytes:" >&2
  cat "$work/err.txt" >&2
  examples_failed=1
else
  echo "$(basename "$zip"): its sdf_to_dat.exe converts the example to the native bytes"
fi

stop_wine
trap - EXIT
status=0
if [ "$failed" -ne 0 ] || [ "$examples_failed" -ne 0 ] || [ "$bad_imports" -ne 0 ]; then
  status=1
fi
echo "$passed passed, $failed failed"
exit "$status"
