#!/usr/bin/env bash
# In-place development build: compiles the extension modules into build/dev (or $1) and copies
# them next to the package sources in src/, so that `PYTHONPATH=src python3 -m pytest` runs
# against the working tree. PYTHON chooses the host to build for (python3 by default); the
# modules of several host versions live side by side, each with its own file suffix.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build/dev}
shift || true
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$(command -v "${PYTHON:-python3}")" "$@" >/dev/null
cmake --build "$build_dir"
cmake --install "$build_dir" --prefix src >/dev/null
