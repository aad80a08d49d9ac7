#!/usr/bin/env bash
# Runs the C++ core tests, the whole Python suite and a short fuzz run against
# builds instrumented with AddressSanitizer (leak checking on) and
# UndefinedBehaviorSanitizer. Exits non-zero on any failure or sanitizer report.
#
#   bash tests/sanitize.sh               build dirs and venv under build/sanitize
#   VORNIC_SANITIZE_DIR=/tmp/x bash tests/sanitize.sh
#   bash tests/sanitize.sh -k leaks      extra arguments go to pytest
#   VORNIC_PYTHON=python3.12 bash tests/sanitize.sh    another interpreter than python3
set -euo pipefail
cd "$(dirname "$0")/.."
out=${VORNIC_SANITIZE_DIR:-$PWD/build/sanitize}
mkdir -p "$out"

# Resolved here once, from the compiler that builds (CXX, else g++): the
# preload must name the runtime files themselves.
cxx=${CXX:-g++}
asan_rt=$(readlink -f "$("$cxx" -print-file-name=libasan.so)")
# libstdc++ preloaded too: the ASan runtime looks up the real __cxa_throw when
# it starts, before the interpreter has loaded the C++ runtime for the module;
# without it the first C++ exception aborts with a CHECK failure.
cxx_rt=$(readlink -f "$("$cxx" -print-file-name=libstdc++.so)")
[ -f "$asan_rt" ] && [ -f "$cxx_rt" ] || { echo "sanitize.sh: $cxx's libasan or libstdc++ not found" >&2; exit 1; }

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_init_order=1:detect_odr_violation=2"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

echo "== sanitized C++ core tests"
cmake -S . -B "$out/core" -G Ninja -DVORNIC_BUILD_MODULE=OFF -DVORNIC_BUILD_TESTS=ON \
  -DVORNIC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$out/core"
ctest --test-dir "$out/core" --output-on-failure

echo "== sanitized extension, installed into $out/venv"
# The interpreter's own path, not a launcher script that stands in for it.
real_python=$("${VORNIC_PYTHON:-python3}" -c 'import os, sys; print(os.path.realpath(sys.executable))')
[ -x "$out/venv/bin/python" ] || "$real_python" -m venv "$out/venv"
py="$out/venv/bin/python"
# The venv's python must lead straight to the ELF binary: the preload then
# applies to the interpreter itself, and no shell runs under ASan.
[ "$(head -c 4 "$(readlink -f "$py")" | tail -c 3)" = "ELF" ] || { echo "sanitize.sh: $py is not an executable binary" >&2; exit 1; }
"$py" -m pip install --quiet --disable-pip-version-check ".[test]" \
  -C cmake.define.VORNIC_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir="$out/module"

run_sanitized() {
  # PYTHONMALLOC=malloc sends every object allocation through ASan.
  LD_PRELOAD="$asan_rt $cxx_rt" PYTHONMALLOC=malloc "$py" "$@"
}
run_sanitized -c 'import vornic, sys; sys.exit(0 if vornic.__file__.startswith(sys.prefix) else "wrong vornic: " + vornic.__file__)'

echo "== fuzzing the sanitized extension against the model"
run_sanitized tests/fuzz/fuzz_vornic.py --random "${VORNIC_SANITIZE_FUZZ_SECONDS:-30}" "$RANDOM"
run_sanitized tests/fuzz/fuzz_vornic.py --snapshots --random "${VORNIC_SANITIZE_FUZZ_SECONDS:-30}" "$RANDOM"

echo "== Python suite against the sanitized extension"
# Importing the module again after deleting it from sys.modules gets the
# cached module back from the create slot, and CPython 3.11 then drops the
# 1-byte module state it allocated on the first import (PyModule_FromDefAndSpec2
# resets md_state before PyModule_ExecDef allocates it anew). That one test runs
# in a process of its own with leak checking off.
reimport=tests/test_module.py::test_second_import_yields_cached_module
# A daemon thread ended at exit inside a call stays halted inside pthread_exit
# until the process ends, and LeakSanitizer's tracer crashes suspending such a
# thread (signal 11 in the tracer, whatever the module does): those runs check
# memory errors with leak checking off too.
halted=tests/test_threads.py::test_daemon_thread_ended_at_exit_inside_a_call
# The rounds of the leak test only need to run the code: LeakSanitizer sees
# every leaked block at exit, however few rounds.
export HYPOTHESIS_PROFILE=${HYPOTHESIS_PROFILE:-ci} VORNIC_LEAK_ITERATIONS=${VORNIC_LEAK_ITERATIONS:-300}
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" run_sanitized -m pytest -q -p no:cacheprovider "$reimport" "$halted"
run_sanitized -m pytest tests -q -p no:cacheprovider --deselect "$reimport" --deselect "$halted" "$@"
