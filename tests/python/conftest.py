"""Fixtures of the Python tests: the simulator build of the bindings module,
the simulator it loaded, simulated 832 cameras and a temporary HOME per test.

Run them with scripts/test_python.sh, which builds the module and sets up the
environment (PYTHONPATH, the sanitizer runtime, KYRSIM_LIBRARY).
"""

import gc
import os
import sys

import pytest

try:
    import bindings
except ImportError as e:  # pragma: no cover - a setup fault, not a test result
    pytest.exit(f"the simulator build of the bindings module cannot be imported ({e}); "
                "run the Python tests with scripts/test_python.sh", returncode=2)

import kyrsim

PID_832MC = 0x832B
PID_832MC_PRO = 0x832F

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "python", "examples")


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """Every test has its own HOME (settings and log files of the library)."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    return path


@pytest.fixture(scope="session")
def simulator():
    return kyrsim.Simulator()


@pytest.fixture
def sim(simulator):
    """The simulator, empty at the start and the end of the test."""
    simulator.reset()
    yield simulator
    # Cameras a test left open are closed with their Python objects first.
    gc.collect()
    for camera_id in range(8):
        try:
            bindings.close_camera(camera_id)
        except RuntimeError:
            pass
    assert simulator.open_handles() == 0
    simulator.clear_faults()
    simulator.reset()


class Cameras:
    """A simulated 832MC and 832MC Pro; the cameras are opened on request."""

    def __init__(self, sim):
        self.sim = sim
        self.handles = [sim.plug(PID_832MC, 1, "1"), sim.plug(PID_832MC_PRO, 1, "2")]
        assert bindings.get_nb_cameras() == 2
        self.opened = []

    def open(self, index):
        camera = bindings.Camera(index)
        self.opened.append(camera)
        return camera

    def handle_of(self, camera):
        """The simulator's handle of an opened camera."""
        name = camera.get_info().name
        return self.handles[1] if name.endswith(" Pro") else self.handles[0]

    def close_all(self):
        self.opened.clear()
        gc.collect()


@pytest.fixture
def cameras(sim):
    plugged = Cameras(sim)
    yield plugged
    plugged.close_all()


def small_roi(image_type, width=64, height=32, bins=1, start_x=0, start_y=0):
    roi = bindings.ROI()
    roi.width, roi.height, roi.bins, roi.type = width, height, bins, image_type
    roi.start_x, roi.start_y = start_x, start_y
    return roi


def python_env():
    """The environment of a Python subprocess: the test's own, with the module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(bindings.__file__),
                                                     env.get("PYTHONPATH", "")] if p)
    env.setdefault("KYRSIM_LIBRARY", kyrsim.open_loaded()._name)
    return env


SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:",
                   "ThreadSanitizer")


def sanitizer_report(text):
    """The first line of a sanitizer report in text, or None."""
    for line in text.splitlines():
        if any(mark in line for mark in SANITIZER_MARKS):
            return line
    return None


PYTHON = sys.executable
