#!/usr/bin/env bash
# Fuzzes the module for SECONDS (default 60) with atheris, installed into the
# active virtual environment.
#
#   fuzz/run.sh [SECONDS]
#
# With clang (apt-get install clang) the module is built with
# AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
# instrumentation, so that new paths inside the C++ code guide the fuzzer and
# memory errors stop it. Without clang a plain build is fuzzed, guided by the
# harness's Python coverage only (g++'s sanitizer runtime cannot be combined
# with atheris's libFuzzer). New inputs go to build/fuzz-corpus; a failing
# input is written to build/fuzz-artifacts and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
python=$(command -v python)
# atheris goes into the active virtual environment (CI's), never a system Python.
"$python" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)' ||
    { echo "fuzz/run.sh installs atheris: run it from a virtual environment" >&2; exit 1; }
"$python" -m pip install --quiet "atheris==2.3.0"
atheris_dir=$(python -c "import atheris; print(atheris.path())")

if command -v clang++ >/dev/null; then
    module_dir=$PWD/build/fuzz
    cmake -S . -B "$module_dir" -DPython_EXECUTABLE="$python" -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTREVALIN_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
    preload="$atheris_dir/asan_with_fuzzer.so"
else
    echo "clang++ not found: fuzzing an uninstrumented build"
    module_dir=$PWD/build/fuzz-plain
    cmake -S . -B "$module_dir" -DPython_EXECUTABLE="$python" >/dev/null
    preload=""
fi
mkdir -p build
cmake --build "$module_dir" -j 2 >build/fuzz-build.log 2>&1 || { tail -n 40 build/fuzz-build.log; exit 1; }

mkdir -p build/fuzz-corpus build/fuzz-artifacts
# Two pool threads, so that rows are also computed off the calling thread.
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$module_dir" RAYON_NUM_THREADS=2 \
    python fuzz/fuzz_trevalin.py build/fuzz-corpus fuzz/corpus -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=8192 -max_len=16384 -print_final_stats=1 -artifact_prefix=build/fuzz-artifacts/ \
    2>build/fuzz.log || { tail -n 80 build/fuzz.log; exit 1; }
grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added)" build/fuzz.log
