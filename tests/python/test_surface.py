"""The module's Python surface: names, enums, records, constructors, the
module definition, and the interpreters it refuses."""

import ctypes
import glob
import importlib.util
import os
import pwd
import re
import subprocess

import pytest

import bindings
from conftest import PYTHON, python_env

ENUMS = {
    "BayerPattern": {"None": 0, "RG": 1, "BG": 2, "GR": 3, "GB": 4},
    "ImageType": {"raw8": 0, "rgb24": 1, "raw16": 2, "y8": 3},
    "GuideDirection": {"NORTH": 0, "SOUTH": 1, "EAST": 2, "WEST": 3},
    "CameraMode": {"normal": 0, "soft_edge": 1, "rise_edge": 2, "fall_edge": 3, "soft_level": 4,
                   "high_level": 5, "low_level": 6},
}

CLASSES = ["ControllableException", "Controllable", "ROI", "CameraInfo", "CameraException", "Camera"]
FUNCTIONS = ["get_nb_cameras", "get_sdk_version", "close_camera", "create_udev_file"]

CONTROLLABLE_ATTRS = {  # name: writable
    "name": False, "min_value": False, "max_value": False, "default_value": False, "value": True,
    "is_writable": False, "is_auto": True, "supports_auto": False,
}
CAMERA_INFO_ATTRS = ["name", "camera_id", "max_height", "max_width", "is_color", "bayer", "supported_bins",
                     "supported_image_types", "pixel_size_um", "mechanical_shutter", "st4_port", "has_cooler",
                     "is_usb3_host", "is_usb3", "elec_per_adu", "bit_depth", "is_trigger"]
CAMERA_METHODS = ["set_roi", "get_roi", "get_controls", "set_control", "set_auto", "set_camera_mode",
                  "set_pulse_guide_on", "set_pulse_guide_off", "enable_dark_substract",
                  "disable_dark_substract", "__str__", "get_info", "capture"]


def test_module_names_and_doc():
    public = sorted(n for n in dir(bindings) if not n.startswith("_"))
    assert public == sorted(list(ENUMS) + CLASSES + FUNCTIONS)
    assert bindings.__doc__ == "vorn_kyr bindings"
    for name in FUNCTIONS:
        assert callable(getattr(bindings, name))
    assert bindings.get_sdk_version() == "1, 26, 0, 0"


@pytest.mark.parametrize("enum_name", list(ENUMS))
def test_enum_members_are_attributes_of_their_enum_only(enum_name):
    enum = getattr(bindings, enum_name)
    for member, value in ENUMS[enum_name].items():
        assert int(getattr(enum, member)) == value
        if member != "None":
            assert not hasattr(bindings, member), f"{member} exported into the module"
    assert set(enum.__members__) == set(ENUMS[enum_name])


def test_enum_member_none_and_absent_exports():
    assert int(getattr(bindings.BayerPattern, "None")) == 0
    assert not hasattr(bindings, "raw8")
    assert not hasattr(bindings, "NORTH")


def test_every_type_carries_the_cross_module_conduit():
    for name in list(ENUMS) + CLASSES:
        assert hasattr(getattr(bindings, name), "_pybind11_conduit_v1_"), name


def test_roi_defaults_and_fields_are_writable():
    roi = bindings.ROI()
    assert (roi.start_x, roi.start_y, roi.width, roi.height, roi.bins) == (0, 0, 0, 0, 0)
    assert roi.type == bindings.ImageType.y8
    roi.start_x, roi.start_y, roi.width, roi.height, roi.bins = 8, 4, 640, 480, 2
    roi.type = bindings.ImageType.raw16
    assert (roi.start_x, roi.start_y, roi.width, roi.height, roi.bins, roi.type) == (
        8, 4, 640, 480, 2, bindings.ImageType.raw16)
    assert callable(roi.valid)


@pytest.mark.parametrize("cls", ["Controllable", "CameraInfo"])
def test_records_without_constructor_refuse_construction(cls):
    with pytest.raises(TypeError):
        getattr(bindings, cls)()


def test_record_attributes_read_only_or_writable():
    for attr, writable in CONTROLLABLE_ATTRS.items():
        prop = getattr(bindings.Controllable, attr)
        assert isinstance(prop, property), attr
        assert (prop.fset is not None) == writable, attr
    for attr in CAMERA_INFO_ATTRS:
        prop = getattr(bindings.CameraInfo, attr)
        assert isinstance(prop, property) and prop.fset is None, attr
    for method in CAMERA_METHODS:
        assert callable(getattr(bindings.Camera, method)), method


def test_exception_classes_are_plain_classes():
    assert not issubclass(bindings.CameraException, BaseException)
    assert not issubclass(bindings.ControllableException, BaseException)
    bindings.ControllableException("Gain", 700, 0, 600)
    bindings.ControllableException("Gain", True, False, False)
    # The error code is an int.
    bindings.CameraException("failed to open the camera", 0, 5, False)
    bindings.CameraException("", 1, 0, False)
    bindings.CameraException("", 1, 17, False)


@pytest.mark.parametrize("code", [-1, 19, 1000])
def test_camera_exception_refuses_a_code_the_error_type_cannot_hold(code):
    with pytest.raises(ValueError, match="error code"):
        bindings.CameraException("m", 0, code, False)


def test_camera_exception_is_not_what_the_module_raises(sim):
    # No camera: the open fails with the layer's CameraException, which
    # reaches Python as RuntimeError, not as bindings.CameraException.
    with pytest.raises(RuntimeError) as info:
        try:
            bindings.Camera(0)
        except TypeError:  # bindings.CameraException is no exception type
            pytest.fail("the module raised its CameraException class")
    assert str(info.value).startswith("KYR Camera: (camera index: 0) failed to read camera infos")


def test_wrong_argument_types_raise_type_error():
    with pytest.raises(TypeError):
        bindings.close_camera("zero")
    with pytest.raises(TypeError):
        bindings.Camera("zero")


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class _ModuleDef(ctypes.Structure):
    _fields_ = [
        # PyModuleDef_Base: object head, m_init, m_index, m_copy.
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p), ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(_Slot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS = 1, 2, 3
PY_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED = None  # (void*)0


def test_module_definition_has_creation_execution_and_no_multiple_interpreters():
    entry = ctypes.PyDLL(bindings.__file__).PyInit_bindings
    entry.restype = ctypes.c_void_p
    definition = _ModuleDef.from_address(entry())
    assert definition.m_name == b"bindings"
    assert definition.m_doc is None
    assert definition.m_size == 0
    assert definition.m_methods is None
    slots = []
    for i in range(8):
        slot = definition.m_slots[i]
        if slot.slot == 0:
            break
        slots.append((slot.slot, slot.value))
    assert [s for s, _ in slots] == [PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS]
    assert slots[2][1] is PY_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED


def test_second_execution_for_the_same_name_returns_the_cached_module():
    found = importlib.util.find_spec("bindings")
    again = importlib.util.module_from_spec(found)
    assert again is bindings
    camera_type = bindings.Camera
    found.loader.exec_module(again)
    assert bindings.Camera is camera_type, "the module body ran a second time"


def test_a_subinterpreter_cannot_load_the_module():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(interp, "import bindings")
    finally:
        interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert "does not support loading in subinterpreters" in failure.msg


def _other_cpythons():
    """CPython 3 interpreters on the machine other than 3.13."""
    seen, found = set(), []
    # The tests' HOME is a temporary one: pyenv's folder is under the user's own.
    home = os.environ.get("PYENV_ROOT") or os.path.join(pwd.getpwuid(os.getuid()).pw_dir, ".pyenv")
    candidates = sorted(glob.glob(os.path.join(home, "versions", "3.*", "bin", "python3.*")))
    candidates += sorted(glob.glob("/usr/bin/python3.*")) + sorted(glob.glob("/usr/local/bin/python3.*"))
    for path in candidates:
        if not re.fullmatch(r"python3\.\d+", os.path.basename(path)) or not os.access(path, os.X_OK):
            continue
        real = os.path.realpath(path)
        if real in seen:
            continue
        seen.add(real)
        try:
            version = subprocess.run([real, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                     capture_output=True, text=True, timeout=30).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            continue
        if version and version != "3.13" and tuple(map(int, version.split("."))) >= (3, 8):
            found.append(real)
    return found


LOAD_BY_PATH = """
import importlib.machinery, importlib.util, os, sys
path, lazy = sys.argv[1], sys.argv[2] == "lazy"
if lazy:
    # Symbols bound on first use: the entry point runs even where the module
    # uses functions this interpreter lacks.
    sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("bindings", path)
located = importlib.util.spec_from_file_location("bindings", path, loader=loader)
try:
    importlib.util.module_from_spec(located)
except ImportError as e:
    print("ImportError:" + str(e))
    print("version:" + sys.version)
else:
    print("imported")
"""


def _load_with(python, binding):
    run = subprocess.run([python, "-c", LOAD_BY_PATH, bindings.__file__, binding], capture_output=True,
                         text=True, env=python_env(), timeout=120)
    assert run.returncode == 0, run.stderr
    out = run.stdout
    assert "imported" not in out.splitlines(), python
    message = out[out.index("ImportError:") + len("ImportError:"):out.index("\nversion:")]
    version = out[out.index("version:") + len("version:"):].rstrip("\n")
    return message, version


def test_another_cpython_cannot_import_the_module():
    others = _other_cpythons()
    if not others:
        pytest.skip("no CPython other than 3.13 on this machine")
    for python in others:
        # As an import does it: refused (by the version check, or earlier by
        # the loader for a function of 3.13 that this interpreter lacks).
        _load_with(python, "now")
        # The entry point's own check, reached with lazy binding.
        message, version = _load_with(python, "lazy")
        assert message == ("Python version mismatch: module was compiled for Python 3.13, but the "
                           f"interpreter version is incompatible: {version}."), python
