"""The module end to end on a simulated 832MC and 832MC Pro: counting and
describing the cameras, their text form, controls, region, camera mode,
guiding, dark subtraction, closing."""

import struct

import numpy as np
import pytest

import bindings
from conftest import PID_832MC, PID_832MC_PRO, small_roi

ImageType = bindings.ImageType

INFO = {
    # index: expected fields
    0: dict(name="VORN KYR832MC", camera_id=0, has_cooler=False, st4_port=True),
    1: dict(name="VORN KYR832MC Pro", camera_id=1, has_cooler=True, st4_port=False),
}


def test_cameras_are_counted(sim):
    assert bindings.get_nb_cameras() == 0
    first = sim.plug(PID_832MC, 1, "1")
    assert bindings.get_nb_cameras() == 1
    sim.plug(PID_832MC_PRO, 1, "2")
    assert bindings.get_nb_cameras() == 2
    sim.unplug(first)
    assert bindings.get_nb_cameras() == 1


@pytest.mark.parametrize("index", [0, 1])
def test_camera_info_fields(cameras, index):
    info = cameras.open(index).get_info()
    assert isinstance(info, bindings.CameraInfo)
    for field, value in INFO[index].items():
        assert getattr(info, field) == value, field
    assert (info.max_width, info.max_height) == (3840, 2160)
    assert info.is_color is True
    assert info.bayer == bindings.BayerPattern.RG
    assert info.supported_bins == {1, 2, 3, 4}
    assert info.supported_image_types == {ImageType.raw8, ImageType.rgb24, ImageType.raw16, ImageType.y8}
    assert info.pixel_size_um == pytest.approx(2.9)
    assert info.elec_per_adu == pytest.approx(1.13, rel=1e-6)
    assert info.bit_depth == 12
    assert info.mechanical_shutter is False
    assert info.is_usb3 is True and info.is_usb3_host is True
    assert info.is_trigger is False


def test_get_info_returns_a_copy(cameras):
    camera = cameras.open(0)
    first, second = camera.get_info(), camera.get_info()
    assert first is not second
    assert first.name == second.name


@pytest.mark.parametrize("index", [0, 1])
def test_text_form_has_version_description_and_one_row_per_control(cameras, index):
    camera = cameras.open(index)
    text = str(camera)
    lines = text.split("\n")
    assert lines[0] == ""
    assert lines[1] == "(kyr sdk: 1, 26, 0, 0)"
    info = camera.get_info()
    assert lines[2] == f"{info.name} (id: {info.camera_id})"
    assert lines[3] == "max heigth: (2160) | max width: (3840) |"
    assert "supported image types: raw8 rgb24 raw16 y8 " in lines
    header = lines.index("--") - 1
    assert lines[header].startswith("|controllable")
    rows = [line for line in lines[header + 2:] if line]
    controls = camera.get_controls()
    assert [row[1:].split("|")[0].rstrip() for row in rows] == sorted(controls)
    for row in rows:
        name, value = [cell.strip() for cell in row[1:].split("|")[:2]]
        assert int(value) == controls[name].value, name


def test_controls_read_set_and_auto(cameras):
    camera = cameras.open(0)
    controls = camera.get_controls()
    assert {"Gain", "Exposure", "WB_R", "WB_B", "Flip"} <= set(controls)
    gain = controls["Gain"]
    assert isinstance(gain, bindings.Controllable)
    assert gain.name == "Gain"
    assert (gain.min_value, gain.max_value) == (0, 600)
    assert gain.is_writable and gain.supports_auto

    for name, value in [("Gain", 150), ("Exposure", 5000), ("WB_R", 60), ("WB_B", 40)]:
        camera.set_control(name, value)
        got = camera.get_controls()[name]
        assert (got.value, got.is_auto) == (value, False), name

    camera.set_auto("Gain")
    gain = camera.get_controls()["Gain"]
    assert gain.is_auto is True
    camera.set_control("Gain", 120)
    assert camera.get_controls()["Gain"].is_auto is False


@pytest.mark.parametrize("call,message", [
    (lambda c: c.set_auto("Flip"), "failed to change the value of Flip: to auto-mode (not supported)"),
    (lambda c: c.set_control("NoSuch", 1), "no such controllable: NoSuch"),
    (lambda c: c.set_auto("NoSuch"), "no such controllable: NoSuch"),
])
def test_refused_control_requests(cameras, call, message):
    camera = cameras.open(0)
    with pytest.raises(RuntimeError) as info:
        call(camera)
    assert str(info.value) == message


def test_roi_round_trip(cameras):
    camera = cameras.open(0)
    for image_type, bins, x, y in [(ImageType.raw16, 2, 16, 8), (ImageType.rgb24, 1, 96, 40),
                                   (ImageType.y8, 4, 0, 0), (ImageType.raw8, 3, 40, 20)]:
        roi = small_roi(image_type, 128, 64, bins, x, y)
        camera.set_roi(roi)
        got = camera.get_roi()
        assert (got.start_x, got.start_y, got.width, got.height, got.bins, got.type) == (
            x, y, 128, 64, bins, image_type)


@pytest.mark.parametrize("width,height,bins,message", [
    (65, 64, 1, "ROI width%8 should be 0 (not the case for 65)"),
    (64, 33, 1, "ROI height%2 should be 0 (not the case for 33)"),
    (64, 32, 5, "unsupported number of bin(s): 5"),
])
def test_invalid_roi_is_refused_and_leaves_the_region(cameras, width, height, bins, message):
    camera = cameras.open(0)
    camera.set_roi(small_roi(ImageType.raw8, 64, 32, 1, 8, 4))
    with pytest.raises(RuntimeError) as info:
        camera.set_roi(small_roi(ImageType.raw8, width, height, bins))
    assert str(info.value) == message
    got = camera.get_roi()
    assert (got.start_x, got.start_y, got.width, got.height, got.bins) == (8, 4, 64, 32, 1)


def test_normal_mode_is_set_and_trigger_modes_are_refused(cameras):
    camera = cameras.open(0)
    camera.set_camera_mode(bindings.CameraMode.normal)
    for mode in ("soft_edge", "rise_edge", "high_level"):
        with pytest.raises(RuntimeError) as info:
            camera.set_camera_mode(getattr(bindings.CameraMode, mode))
        assert str(info.value).startswith("KYR Camera: (camera index: 0) failed to set camera mode")
        assert str(info.value).endswith("(error code: 17: ")


def test_pulse_guide_on_and_off(cameras, sim):
    camera = cameras.open(0)
    handle = cameras.handle_of(camera)
    for direction in range(4):
        member = bindings.GuideDirection(direction)
        camera.set_pulse_guide_on(member)
        assert sim.guide_state(handle, direction) == 1, member
        camera.set_pulse_guide_off(member)
        assert sim.guide_state(handle, direction) == 0, member
        assert sim.guide_changes(handle, direction) == 2, member


def write_dark_bmp(path, dark):
    """An 8-bit uncompressed BMP with a grey palette whose rows are the
    sensor's rows in order, as the camera reads them."""
    height, width = dark.shape
    assert width % 4 == 0
    offset = 14 + 40 + 1024
    header = struct.pack("<2sIHHI", b"BM", offset + dark.size, 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, dark.size, 2835, 2835, 256, 0)
    palette = bytes(b for i in range(256) for b in (i, i, i, 0))
    path.write_bytes(header + info + palette + dark.tobytes())


def test_dark_subtraction(cameras, tmp_path):
    camera = cameras.open(0)
    info = camera.get_info()
    # A dark frame without hot pixels: nothing is more than 30 above its mean.
    ys, xs = np.mgrid[0:info.max_height, 0:info.max_width]
    dark = (5 + xs % 16 + 2 * (ys % 8)).astype(np.uint8)
    assert dark.max() - dark.mean() <= 30
    path = tmp_path / "dark.bmp"
    write_dark_bmp(path, dark)

    x, y, w, h = 96, 40, 64, 32
    camera.set_roi(small_roi(ImageType.raw8, w, h, 1, x, y))
    camera.set_control("Exposure", 1000)
    plain = np.zeros((h, w), np.uint8)
    camera.capture(plain, plain.nbytes)

    camera.enable_dark_substract(path)
    subtracted = np.zeros((h, w), np.uint8)
    camera.capture(subtracted, subtracted.nbytes)
    # Each pixel less its dark value (not below 0), the dark region's mean
    # added back, at most 255.
    region = dark[y:y + h, x:x + w].astype(np.int64)
    mean = int(region.sum()) // region.size
    expected = np.minimum(255, np.maximum(plain.astype(np.int64) - region, 0) + mean)
    assert np.array_equal(subtracted, expected.astype(np.uint8))

    camera.disable_dark_substract()
    again = np.zeros((h, w), np.uint8)
    camera.capture(again, again.nbytes)
    assert np.array_equal(again, plain)


def test_dark_subtraction_with_a_missing_file(cameras, tmp_path):
    camera = cameras.open(0)
    missing = tmp_path / 'no "such".bmp'
    with pytest.raises(RuntimeError) as info:
        camera.enable_dark_substract(str(missing))
    assert str(info.value) == 'file not found: "' + str(missing).replace('"', '\\"') + '"'


CLOSED_MEMBERS = [
    ("get_controls", lambda c: c.get_controls()),
    ("set_control", lambda c: c.set_control("Gain", 100)),
    ("get_roi", lambda c: c.get_roi()),
    ("set_roi", lambda c: c.set_roi(small_roi(ImageType.raw8))),
    ("set_camera_mode", lambda c: c.set_camera_mode(bindings.CameraMode.normal)),
    ("set_pulse_guide_on", lambda c: c.set_pulse_guide_on(bindings.GuideDirection.NORTH)),
    ("disable_dark_substract", lambda c: c.disable_dark_substract()),
    ("str", lambda c: str(c)),
    ("capture", lambda c: c.capture(np.zeros(64 * 32, np.uint8), 64 * 32)),
]


@pytest.mark.parametrize("member,call", CLOSED_MEMBERS, ids=[m[0] for m in CLOSED_MEMBERS])
def test_after_close_camera_members_raise(cameras, member, call):
    camera = cameras.open(0)
    bindings.close_camera(camera.get_info().camera_id)
    with pytest.raises(RuntimeError) as info:
        call(camera)
    assert str(info.value).startswith("KYR Camera: "), member
    # The object still goes away quietly.
    cameras.close_all()
