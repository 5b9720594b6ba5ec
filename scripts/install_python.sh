#!/usr/bin/env bash
# Installs the Python package vell for Debian's interpreter, /usr/bin/python3 (the one whose
# numpy and pybind11 the module is built with; a python3 ahead of it on the PATH is not used).
#
# Builds only the module and the libraries it is made of, in a Release build tree of its own
# (default build-python/), and installs it with cmake --install --component python into the
# interpreter's site directory for local packages (/usr/local/lib/python3.X/dist-packages) when
# that is writable, else into the user's site directory (~/.local/lib/python3.X/site-packages).
# As root, missing Debian packages are installed first (scripts/deps.sh).
# Usage: scripts/install_python.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-python}
python=/usr/bin/python3
bash "$root/scripts/deps.sh"

site=$("$python" -c "import sysconfig; print(sysconfig.get_path('platlib'))")
if ! mkdir -p "$site" 2>/dev/null || [ ! -w "$site" ]; then
  site=$("$python" -m site --user-site)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
      -DVP_BUILD_TESTS=OFF -DVP_PYTHON=ON -DPython3_EXECUTABLE="$python" \
      -DVP_PYTHON_INSTALL_DIR="$site" >/dev/null
cmake --build "$build" --target vell_python
cmake --install "$build" --component python
(cd / && "$python" -c "import vell; print('vell installed:', vell.__file__)")
