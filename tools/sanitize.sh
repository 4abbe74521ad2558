#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into their
# own virtual environment (.venv-asan), then, with the host preloading the sanitizer runtimes:
#
#   tools/sanitize.sh [pytest args]     runs the test suite (all of it by default)
#   tools/sanitize.sh --leaks [N1 N2]   runs tools/leak_workload.py under LeakSanitizer for N1
#                                       and N2 rounds (default 5 and 50) and fails when the bytes
#                                       leaked from this project's code grow with the rounds
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv-asan
. .venv-asan/bin/activate
VORNIK_SANITIZE=ON pip install --quiet --disable-pip-version-check --no-cache-dir \
  --config-settings=build-dir=build/asan '.[test]'
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
# Preloaded for the host only: the shell's own tools would report their leaks at exit.
preload="$asan_runtime $ubsan_runtime"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc

# Outside programs that tests start inherit the preload; a browser does not come up with the
# sanitizer runtime in it, so it is started through a shim that drops the preload.
shims=$PWD/build/asan-shims
mkdir -p "$shims"
for program in chromium chromium-browser; do
  real=$(command -v "$program" || true)
  [[ -n $real && $real != "$shims"/* ]] || continue
  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$shims/$program"
  chmod +x "$shims/$program"
done
export PATH=$shims:$PATH

if [[ ${1:-} != --leaks ]]; then
  # The host itself is not built with the sanitizers and keeps memory until exit by design, so
  # leak reports at exit are not about this code; see --leaks for the leak check.
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
  LD_PRELOAD=$preload exec pytest "$@"
fi

shopt -s nullglob  # no log at all when nothing leaked
rounds=("${2:-5}" "${3:-50}")
logs=$(mktemp -d)
leaked=()
for n in "${rounds[@]}"; do
  # Reports go to the log (the exit status stays the workload's); full unwinding, as the host
  # is built without frame pointers and a fast unwind would stop before this project's frames.
  LD_PRELOAD=$preload \
    ASAN_OPTIONS=detect_leaks=1:exitcode=0:fast_unwind_on_malloc=0:malloc_context_size=40:log_path=$logs/lsan.$n \
    python tools/leak_workload.py "$n"
  # Bytes of every leak record whose allocation stack passes through this project's modules.
  bytes=$(cat /dev/null "$logs"/lsan."$n".* | awk '
    /^(Direct|Indirect) leak of/ { flush(); size = $4; ours = 0; next }
    /^ *#[0-9]+ / { if ($0 ~ /vornik|nbweave|nbdelta|_native/) ours = 1; next }
    /^$/ { flush() }
    function flush() { if (size != "" && ours) total += size; size = "" }
    END { flush(); print total + 0 }')
  echo "rounds $n: $bytes bytes leaked with this project's code on the allocation stack"
  leaked+=("$bytes")
done
echo "logs in $logs"
if (( leaked[1] > leaked[0] )); then
  echo "leak: the bytes grow with the rounds" >&2
  exit 1
fi
echo "no leak that grows with the calls"
