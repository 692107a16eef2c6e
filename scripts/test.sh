#!/usr/bin/env bash
# Builds and runs every test: the whole C++ suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the thread tests under ThreadSanitizer, the shipped
# library and each benchmark once in a release build, the Python tests, and the
# public header through the host and the 32-bit ARM hard-float compilers.
# Any failure exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)
GEN=(-G Ninja)

step() { printf '\n=== %s ===\n' "$*"; }

step "public header"
hdr_check() {
  printf '#include "KYRCamera.h"\nint main(void) { return 0; }\n' | "$@" -Icore/include -fsyntax-only -x c -
}
hdr_check cc -std=c11 -Wall -Wextra -pedantic -Werror
printf '#include "KYRCamera.h"\nint main() { return 0; }\n' | c++ -std=c++17 -Wall -Wextra -Werror -Icore/include -fsyntax-only -x c++ -
hdr_check arm-linux-gnueabihf-gcc -std=c11 -mfloat-abi=hard -Wall -Werror
printf '#include "KYRCamera.h"\nint main() { return 0; }\n' | arm-linux-gnueabihf-g++ -std=c++17 -mfloat-abi=hard -Icore/include -fsyntax-only -x c++ -

# ThreadSanitizer cannot map its shadow memory with the kernel's full address
# randomisation; run its binaries with randomisation off where that is allowed.
NORAND=()
if setarch "$(uname -m)" -R true 2>/dev/null; then NORAND=(setarch "$(uname -m)" -R); fi

step "ASan + UBSan build and tests"
cmake -S . -B build/asan "${GEN[@]}" -DKYR_SANITIZE=address >/dev/null
ninja -C build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j"$JOBS" --output-on-failure --timeout 300

# Test binaries talk to the simulator, never to the real libusb.
for bin in build/asan/tests/*_test_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  if ldd "$bin" | grep 'libusb-1.0.so' >/dev/null; then
    echo "test.sh: $bin links the real libusb-1.0" >&2
    exit 1
  fi
done

step "TSan build and thread tests"
cmake -S . -B build/tsan "${GEN[@]}" -DKYR_SANITIZE=thread >/dev/null
ninja -C build/tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  "${NORAND[@]}" ctest --test-dir build/tsan -L tsan -j"$JOBS" --output-on-failure --timeout 300

step "release build: shipped library and benchmarks"
cmake -S . -B build/release "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF -DKYR_BUILD_BENCH=ON >/dev/null
ninja -C build/release
"$ROOT/scripts/check_exports.sh" build/release/libkyrcamera.so
"$ROOT/scripts/check_layer.sh" build/release/python/libvorn_kyr.a build/release/CMakeFiles/kyrlib_obj.dir
shopt -s nullglob
for bench in build/release/bench/bench_*; do
  [ -x "$bench" ] || continue
  step "benchmark $(basename "$bench")"
  "$bench" --benchmark_min_time=0.01
done

tests_py=(tests/python/test_*.py)
if [ ${#tests_py[@]} -gt 0 ]; then
  step "Python tests"
  .venv/bin/python -m pytest -q tests/python
fi
step "all tests passed"
