#!/usr/bin/env bash
# Installs a repaired wheel into a fresh virtual environment and checks it there with the
# system's libgit2 hidden (bound over by an empty file in a private mount namespace, where
# unshare is allowed): ldd must resolve libgit2 inside the wheel, and tools/wheel_smoke.py
# must find the engine usable with that copy and merge conflicting sources through it.
#
#   tools/check-wheel.sh [WHEEL]     default: the cp311 wheel in dist/ (tools/build-wheels.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=${1:-}
if [[ -z $wheel ]]; then
  wheel=$(ls dist/vornik_git-*-cp311-cp311-manylinux*.whl 2>/dev/null | tail -1 || true)
  [[ -n $wheel ]] || { echo "no cp311 wheel in dist/; run tools/build-wheels.sh 3.11" >&2; exit 1; }
fi
tag=$(basename "$wheel" | cut -d- -f3)  # cp311
. tools/find-python.sh
python=$(find_python "${tag:2:1}.${tag:3}")

venv=$root/build/wheel-check
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/pip" install --quiet --disable-pip-version-check "$wheel"
unset LD_LIBRARY_PATH LD_PRELOAD

engine=$("$venv/bin/python" -c 'import vornik_git._engine as e; print(e.__file__)')
echo "== ldd $(basename "$engine")"
ldd "$engine" | grep -E 'libgit2' || { echo "libgit2 is not linked" >&2; exit 1; }
if ldd "$engine" | grep -E 'libgit2' | grep -vq '/vornik_git.libs/'; then
  echo "libgit2 does not resolve inside the wheel" >&2
  exit 1
fi

# Every system copy of libgit2 the loader could find, hidden from the check.
mapfile -t system_copies < <(ldconfig -p | awk '/libgit2/ {print $NF}' | xargs -r -n1 readlink -f | sort -u)
smoke=("$venv/bin/python" "$root/tools/wheel_smoke.py")
cd "$(mktemp -d)"  # away from the source tree
if (( ${#system_copies[@]} )) && unshare --mount --propagation private true 2>/dev/null; then
  echo "== smoke check with the system's libgit2 hidden: ${system_copies[*]}"
  unshare --mount --propagation private bash -c \
    'while [[ $1 != -- ]]; do mount --bind /dev/null "$1"; shift; done; shift; exec "$@"' \
    _ "${system_copies[@]}" -- "${smoke[@]}"
else
  (( ${#system_copies[@]} )) &&
    echo "warning: cannot hide the system's libgit2 here (no private mount namespace);" \
      "the check still requires the copy loaded to be the wheel's" >&2
  "${smoke[@]}"
fi
