#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into their
# own virtual environment (.venv-asan) and runs the test suite there, the host preloading the
# sanitizer runtimes. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv-asan
. .venv-asan/bin/activate
VORNIK_SANITIZE=ON pip install --quiet --disable-pip-version-check --no-cache-dir \
  --config-settings=build-dir=build/asan '.[test]'
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
# The host itself is not built with the sanitizers and keeps memory until exit by design, so
# leak reports at exit are not about this code; leaks are checked by reference counts instead.
export LD_PRELOAD="$asan_runtime $ubsan_runtime"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
pytest "$@"
