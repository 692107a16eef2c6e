#!/usr/bin/env bash
# Builds the simulator build of the bindings module under AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan) and runs the Python tests against it;
# one of them also installs the simulator build with the README's pip command
# into a temporary folder (built without sanitizers in build/pip-sim).
# The interpreter is not instrumented: the sanitizer runtime is preloaded, and
# leak detection is off, since the interpreter keeps its objects until exit.
# Arguments go to pytest (for example -k capture).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
require_venv

cmake -S . -B build/asan -G Ninja -DKYR_SANITIZE=address "${SIM_MODULE_OPTIONS[@]}" >/dev/null
ninja -C build/asan -j"$JOBS" bindings kyrsim

# The sanitizer runtime first, then the C++ runtime: the interpreter does not
# link libstdc++, and the runtime finds the C++ exception functions it wraps
# only among the libraries loaded when it starts.
ASAN_RUNTIME=$("${CXX:-c++}" -print-file-name=libasan.so)
CXX_RUNTIME=$("${CXX:-c++}" -print-file-name=libstdc++.so.6)
for lib in "$ASAN_RUNTIME" "$CXX_RUNTIME"; do
  if [ ! -e "$lib" ]; then
    echo "test_python.sh: runtime library not found: $lib" >&2
    exit 1
  fi
done
export PYTHONPATH="$ROOT/build/asan/python"
export KYRSIM_LIBRARY="$ROOT/build/asan/sim/libkyrsim.so"
export LD_PRELOAD="$ASAN_RUNTIME $CXX_RUNTIME"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Every test of a run in one process under a fresh temporary directory.
exec "$PY" -m pytest -q -p no:cacheprovider tests/python "$@"
