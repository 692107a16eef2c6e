#!/usr/bin/env bash
# Runs the main job (python/examples/main_job.py).
#
#   scripts/main_job.sh           on a simulated 832MC and 832MC Pro: builds the
#                                 simulator build of the bindings module (release,
#                                 no sanitizers) in build/mainjob and runs the job
#                                 with it, under a temporary HOME of its own
#                                 (removed after), so the simulated cameras'
#                                 settings never reach the user's ~/.VORN
#   scripts/main_job.sh --real    on the cameras on the USB bus: installs the
#                                 shipped module into .venv (pip install .) and
#                                 runs the job with --real, with the user's own
#                                 settings
#
# Needs scripts/install.sh run once.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
require_venv

case "${1:-}" in
  "")
    cmake -S . -B build/mainjob -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF \
      "${SIM_MODULE_OPTIONS[@]}" >/dev/null
    ninja -C build/mainjob -j"$JOBS" bindings kyrsim >/dev/null
    # The library keeps a camera's settings (and its log files) under HOME: a
    # real camera of the same model would load what the simulated one saved.
    sim_home=$(mktemp -d)
    trap 'rm -rf "$sim_home"' EXIT
    HOME="$sim_home" PYTHONPATH="$ROOT/build/mainjob/python" "$PY" python/examples/main_job.py
    ;;
  --real)
    CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" "$PY" -m pip install -q --disable-pip-version-check .
    # The installed module only: nothing from a build folder on the path.
    env -u PYTHONPATH "$PY" python/examples/main_job.py --real
    ;;
  *)
    echo "usage: scripts/main_job.sh [--real]" >&2
    exit 2
    ;;
esac
