# Sourced by the scripts: the repository's root as the working directory, the
# build parallelism, the Python 3.13 interpreter of .venv, and the CMake options
# of the simulator build of the bindings module.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$(pwd)
# KYR_JOBS caps build and test parallelism on a shared machine.
JOBS=${KYR_JOBS:-$(nproc)}
PY="$ROOT/.venv/bin/python"
SIM_MODULE_OPTIONS=(-DKYR_BUILD_PYTHON=ON -DKYR_BINDINGS_SIM=ON -DPython_EXECUTABLE="$PY")

# Exits with a hint when .venv has not been made yet.
require_venv() {
  if [ ! -x "$PY" ]; then
    echo "$(basename "$0"): $PY is missing: run scripts/install.sh first" >&2
    exit 1
  fi
}
