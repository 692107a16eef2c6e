#!/usr/bin/env bash
# Builds and runs every test: the whole C++ suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the thread tests under ThreadSanitizer, the shipped
# library and Python module and each benchmark once in a release build, the
# shipped library and module on the real libusb-1.0 against simulated cameras
# in a umockdev test bed, the library with the core and driver tests built for
# 32-bit ARM hard-float and run
# under qemu-arm, the Python tests against the simulator build of the module
# under the same sanitizers, and the public header through the host and the ARM
# compilers. First of all, the core's includes must follow its layers.
# Any failure exits non-zero.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
GEN=(-G Ninja)

step() { printf '\n=== %s ===\n' "$*"; }

step "core layers"
"$ROOT/scripts/check_core_layers.sh"

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

# The Python module's builds need the interpreter of .venv.
require_venv

step "ASan + UBSan build and tests"
# With the simulator build of the bindings module, for the Python tests below.
cmake -S . -B build/asan "${GEN[@]}" -DKYR_SANITIZE=address "${SIM_MODULE_OPTIONS[@]}" >/dev/null
ninja -C build/asan -j"$JOBS"
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
ninja -C build/tsan -j"$JOBS"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  "${NORAND[@]}" ctest --test-dir build/tsan -L tsan -j"$JOBS" --output-on-failure --timeout 300

step "release build: shipped library and benchmarks"
cmake -S . -B build/release "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF -DKYR_BUILD_BENCH=ON \
  -DKYR_BUILD_PYTHON=ON -DKYR_BINDINGS_SIM=OFF -DKYR_BUILD_USBFS_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
ninja -C build/release -j"$JOBS"
"$ROOT/scripts/check_exports.sh" build/release/libkyrcamera.so
# The shipped Python module links the real libusb-1.0 and never the simulator.
shipped_module=(build/release/python/bindings*.so)
if ! ldd "${shipped_module[0]}" | grep 'libusb-1.0.so' >/dev/null || ldd "${shipped_module[0]}" | grep kyrsim >/dev/null; then
  echo "test.sh: ${shipped_module[0]} must link libusb-1.0 and not the simulator:" >&2
  ldd "${shipped_module[0]}" >&2
  exit 1
fi
"$ROOT/scripts/check_layer.sh" build/release/python/libvorn_kyr.a build/release/CMakeFiles/kyrlib_obj.dir

step "shipped library and module on the real libusb-1.0: simulated cameras in a umockdev test bed"
# The simulator's usbfs front end describes the cameras in the test bed and
# answers the usbfs ioctls of the real libusb; umockdev-wrapper preloads
# umockdev into the tested process. The test binary runs the shipped library
# on the real libusb-1.0, never on the simulator's libusb.
usbfs_test=build/release/tests/usbfs/usbfs_test
if ! ldd "$usbfs_test" | grep 'libusb-1.0.so' >/dev/null || ldd "$usbfs_test" | grep 'libkyrsim.so' >/dev/null; then
  echo "test.sh: $usbfs_test must link libusb-1.0 and not the simulator's libusb:" >&2
  ldd "$usbfs_test" >&2
  exit 1
fi
timeout 900 umockdev-wrapper "$usbfs_test"
# A host controller without scatter-gather: libusb cuts each bulk transfer into URBs of 16 KiB.
KYR_USBFS_MODE=continuation timeout 900 umockdev-wrapper "$usbfs_test"
# The main job through the shipped module, against two simulated cameras.
KYRSIM_USBFS_LIBRARY="$ROOT/build/release/sim/libkyrsim_usbfs.so" PYTHONPATH="$ROOT/build/release/python" \
  timeout 900 umockdev-wrapper "$PY" tests/usbfs/main_job_usbfs.py
shopt -s nullglob
for bench in build/release/bench/bench_*; do
  [ -x "$bench" ] || continue
  step "benchmark $(basename "$bench")"
  "$bench" --benchmark_min_time=0.01
done

step "armhf build: shipped library, core and driver tests under qemu-arm"
# 32-bit ARM hard-float: long, size_t and pointers are 32 bits wide and plain
# char is unsigned. Built without sanitizers; the test binaries run under
# qemu-arm user emulation (the toolchain file makes ctest use it).
ARM=arm-linux-gnueabihf
cmake -S . -B build/armhf "${GEN[@]}" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$ARM.cmake" \
  -DKYR_TEST_AREAS="core;drivers" >/dev/null
ninja -C build/armhf -j"$JOBS"
armlib=build/armhf/libkyrcamera.so
if ! file -L "$armlib" | grep 'ELF 32-bit LSB shared object, ARM, EABI5' >/dev/null; then
  echo "test.sh: $armlib is not a 32-bit ARM EABI5 shared object: $(file -L "$armlib")" >&2
  exit 1
fi
if ! "$ARM-readelf" -h "$armlib" | grep 'hard-float ABI' >/dev/null; then
  echo "test.sh: $armlib does not carry the hard-float ABI flag" >&2
  exit 1
fi
armldd="qemu-arm /lib/ld-linux-armhf.so.3 --list"
if ! $armldd "$armlib" | grep "libusb-1.0.so.0 => /.*/$ARM/libusb-1.0.so.0" >/dev/null; then
  echo "test.sh: $armlib does not link the armhf libusb-1.0" >&2
  exit 1
fi
NM="$ARM-nm" LDD="$armldd" "$ROOT/scripts/check_exports.sh" "$armlib"
# The core and the driver tests, side by side; a label without tests yet is
# no failure. The full-frame streams of every class (label fullframe, frames
# of up to 94 MB) run in the sanitizer build above, not under emulation.
armhf_ctest() {
  ctest --test-dir build/armhf -L "^$1\$" -LE '^fullframe$' -j"$JOBS" --no-tests=ignore --output-on-failure --timeout 600 \
    >"build/armhf/ctest-$1.log" 2>&1
}
armhf_ctest core & core_pid=$!
armhf_ctest drivers & drivers_pid=$!
core_rc=0 drivers_rc=0
wait "$core_pid" || core_rc=$?
wait "$drivers_pid" || drivers_rc=$?
for area in core drivers; do
  rc_var="${area}_rc"
  echo "--- armhf $area tests"
  if [ "${!rc_var}" -ne 0 ]; then cat "build/armhf/ctest-$area.log"; else tail -n 12 "build/armhf/ctest-$area.log"; fi
done
if [ "$core_rc" -ne 0 ] || [ "$drivers_rc" -ne 0 ]; then
  echo "test.sh: armhf tests failed" >&2
  exit 1
fi

step "Python tests: the simulator build of the module under ASan + UBSan"
"$ROOT/scripts/test_python.sh"
step "all tests passed"
