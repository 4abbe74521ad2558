#!/usr/bin/env bash
# Coverage-guided fuzzing of the native modules: builds them with clang, libFuzzer coverage
# and AddressSanitizer+UndefinedBehaviorSanitizer into build/fuzz, and runs one target for a
# given wall time.
#
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]     TARGET: reader | drivers
#   fuzz/run.sh TARGET repro FILE...                       rerun saved inputs once
#
# New corpus entries go to build/fuzz/corpus/TARGET (the committed seeds in fuzz/corpus/TARGET
# stay as they are); crashes go to build/fuzz/artifacts/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
target=${1:?target: reader or drivers}
mode=${2:?seconds or repro}
shift 2

if ! command -v clang++-14 >/dev/null 2>&1; then
  echo "clang++-14 not found (Debian: apt-get install clang-14)" >&2
  exit 1
fi
clang_dir=$(clang++-14 -print-resource-dir)/lib/linux
out=$root/build/fuzz
mkdir -p "$out"

# atheris and the package's own dependencies from PyPI, in an environment of their own.
if [[ ! -x .venv-fuzz/bin/python ]] || ! .venv-fuzz/bin/python -c 'import atheris, git, jsondiff' 2>/dev/null; then
  python3 -m venv .venv-fuzz
  .venv-fuzz/bin/pip install --quiet --disable-pip-version-check 'atheris==2.3.0' GitPython jsondiff
fi

# One preloadable runtime holding both AddressSanitizer and libFuzzer: with the two apart, the
# sanitizer's no-op coverage hooks would win the symbol lookup and the native code would report
# no coverage. The sanitizer's pre-init object cannot live in a shared library; preloading
# does its job.
runtime=$out/asan_with_fuzzer.so
if [[ ! -f $runtime ]]; then
  objs=$(mktemp -d)
  (cd "$objs" && ar x "$clang_dir/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o &&
    ar rcs asan.a ./*.o)
  clang++-14 -shared -o "$runtime" -Wl,--whole-archive "$objs/asan.a" \
    "$clang_dir/libclang_rt.asan_cxx-x86_64.a" "$clang_dir/libclang_rt.fuzzer_no_main-x86_64.a" \
    -Wl,--no-whole-archive -lpthread -ldl -lrt -lm -lstdc++
  rm -rf "$objs"
fi

flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined"
flags+=" -fno-omit-frame-pointer -g -O1"
cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="$flags" \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$out/build" >/dev/null
# A private copy of the package: the instrumented modules next to the Python sources.
rm -rf "$out/pkg" && mkdir -p "$out/pkg"
cp -r src/vornik_git "$out/pkg/"
find "$out/pkg" -name '*.so' -delete
cmake --install "$out/build" --prefix "$out/pkg" >/dev/null

export PYTHONPATH=$out/pkg:$root/fuzz
export LD_PRELOAD=$runtime
# The host is not instrumented and keeps memory until exit; leaks are checked by tests/test_leaks.py.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=0:handle_abort=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc

script=$root/fuzz/fuzz_$target.py
# The drivers target merges in files of its own, in memory where possible.
VORNIK_FUZZ_WORK=$(mktemp -d -p "$([[ -d /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")" vornik-fuzz-XXXXXX)
export VORNIK_FUZZ_WORK
trap 'rm -rf "$VORNIK_FUZZ_WORK"' EXIT
if [[ $mode == repro ]]; then
  .venv-fuzz/bin/python "$script" -runs=1 "$@"
  exit
fi
corpus=$out/corpus/$target
artifacts=$out/artifacts/$target/
mkdir -p "$corpus" "$artifacts"
.venv-fuzz/bin/python "$script" -max_total_time="$mode" -timeout=20 -rss_limit_mb=3072 \
  -dict="$root/fuzz/json.dict" -artifact_prefix="$artifacts" -print_final_stats=1 "$@" \
  "$corpus" "$root/fuzz/corpus/$target"
