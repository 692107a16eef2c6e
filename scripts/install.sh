#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the build
# tools and libraries from Debian's packages, and a Python 3.13 virtual
# environment in .venv with the Python packages. Safe to run again: it installs
# only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

# What `pip install .` needs to build the Python module (README.md names these).
MODULE_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libusb-1.0-0-dev liblog4cpp5-dev libtinyxml-dev libhwy-dev
)
# The tests, the benchmarks, the fuzz target and the 32-bit ARM build besides.
APT_PACKAGES=(
  "${MODULE_PACKAGES[@]}" file
  libgtest-dev libbenchmark-dev g++-arm-linux-gnueabihf
  libopencv-imgproc-dev
  clang libclang-rt-dev ccache
  umockdev libumockdev-dev
)
# The 32-bit ARM hard-float build and its emulated test run: Debian's armhf
# libraries beside the host's, and qemu's user-mode emulator. log4cpp comes as
# the runtime only: its development package cannot sit beside the host's, so
# that build takes the host's headers and links the armhf library by path.
ARMHF_PACKAGES=(
  qemu-user libstdc++6:armhf
  libusb-1.0-0-dev:armhf libtinyxml-dev:armhf libgtest-dev:armhf liblog4cpp5v5:armhf libhwy-dev:armhf
)
PIP_PACKAGES=("pybind11>=3.0,<3.1" scikit-build-core numpy pytest)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

if ! dpkg --print-foreign-architectures | grep -x armhf >/dev/null; then
  echo "install.sh: adding the armhf architecture"
  $SUDO dpkg --add-architecture armhf
fi

missing=()
for pkg in "${APT_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep "install ok installed" >/dev/null; then
    missing+=("$pkg")
  fi
done

# CPython 3.13: one already present (pyenv's versions folder or on PATH, resolved
# to the real executable, since a pyenv shim may refuse an unselected version),
# else Debian's package.
is_py313() { [ -x "$1" ] && "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' 2>/dev/null; }
find_python() {
  local c
  for c in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 \
           /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if is_py313 "$c"; then echo "$c"; return 0; fi
  done
  c=$(command -v python3.13 2>/dev/null || true)
  if [ -n "$c" ]; then
    c=$(readlink -f "$c")
    if is_py313 "$c"; then echo "$c"; return 0; fi
  fi
  return 1
}

PY=$(find_python || true)
if [ -z "$PY" ]; then
  missing+=(python3.13 python3.13-venv python3.13-dev)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "install.sh: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" || {
    echo "install.sh: could not install: ${missing[*]}" >&2
    exit 1
  }
fi

if [ -z "$PY" ]; then
  PY=$(find_python || true)
  if [ -z "$PY" ]; then
    echo "install.sh: CPython 3.13 is missing (neither pyenv nor Debian's python3.13 is available)" >&2
    exit 1
  fi
fi

PYINC=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
if [ ! -f "$PYINC/Python.h" ]; then
  echo "install.sh: Python.h is missing for $PY (install python3.13-dev)" >&2
  exit 1
fi

if ! is_py313 .venv/bin/python; then
  rm -rf .venv
  "$PY" -m venv .venv
fi
if ! .venv/bin/python - <<'PYEOF' 2>/dev/null
import sys
import numpy, pytest, pybind11, scikit_build_core
major, minor = (int(x) for x in pybind11.__version__.split(".")[:2])
sys.exit(0 if (major, minor) == (3, 0) else 1)
PYEOF
then
  .venv/bin/python -m pip install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"
fi
echo "install.sh: ready ($(.venv/bin/python --version))"
