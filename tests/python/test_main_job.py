"""Whole programs in a subprocess: the main job on simulated cameras, and
scripts that end with a camera still open."""

import os
import re
import subprocess
import textwrap

import pytest

from conftest import EXAMPLES, PYTHON, python_env, sanitizer_report

TESTS = os.path.dirname(__file__)


def run_python(args, cwd, timeout=600):
    env = python_env()
    env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], TESTS])
    return subprocess.run([PYTHON, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def test_main_job_on_simulated_cameras(tmp_path):
    run = run_python([os.path.join(EXAMPLES, "main_job.py")], tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    assert sanitizer_report(run.stderr) is None, run.stderr
    out = run.stdout
    assert "2 camera(s) connected" in out
    assert "[0] VORN KYR832MC (id: 0)" in out
    assert "[1] VORN KYR832MC Pro (id: 1)" in out
    assert "(kyr sdk: 1, 26, 0, 0)" in out
    assert "|Gain" in out
    assert re.search(r"region: 640 x 480 at \(\d+, \d+\), bin 2", out)
    for name, shape, dtype in [("raw8", "(480, 640)", "uint8"), ("raw16", "(480, 640)", "uint16"),
                               ("y8", "(480, 640)", "uint8"), ("rgb24", "(480, 640, 3)", "uint8")]:
        assert re.search(rf"^  {name} +shape {re.escape(shape)} dtype {dtype} ", out, re.M), name
    assert re.search(r"rgb24 .* B: min \d+ mean [\d.]+ max \d+; G: .*; R: ", out)


def test_main_job_refuses_real_cameras_through_the_simulator_build(tmp_path):
    run = run_python([os.path.join(EXAMPLES, "main_job.py"), "--real"], tmp_path)
    assert run.returncode != 0
    assert "simulator build" in run.stderr


OPEN_AT_EXIT = {
    "a camera in a global": """
        camera = bindings.Camera(0)
    """,
    "a camera after a capture": """
        camera = bindings.Camera(0)
        roi = bindings.ROI()
        roi.width, roi.height, roi.bins, roi.type = 64, 32, 1, bindings.ImageType.raw8
        camera.set_roi(roi)
        image = np.zeros((32, 64), np.uint8)
        camera.capture(image, image.nbytes)
    """,
    "a camera in a reference cycle": """
        class Holder:
            pass
        holder = Holder()
        holder.camera = bindings.Camera(0)
        holder.me = holder
        del holder
    """,
    "two cameras and sys.exit": """
        cameras = [bindings.Camera(0), bindings.Camera(1)]
        sys.exit(0)
    """,
}


@pytest.mark.parametrize("body", list(OPEN_AT_EXIT.values()), ids=list(OPEN_AT_EXIT))
def test_a_script_that_exits_with_a_camera_open_ends_cleanly(tmp_path, body):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent("""
        import sys
        import numpy as np
        import bindings
        import kyrsim
        sim = kyrsim.Simulator()
        sim.plug(0x832B, 1, "1")
        sim.plug(0x832F, 1, "2")
        assert bindings.get_nb_cameras() == 2
    """) + textwrap.dedent(body))
    run = run_python([str(script)], tmp_path, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert sanitizer_report(run.stderr) is None, run.stderr
