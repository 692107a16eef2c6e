"""Captures into numpy arrays on the simulated 832MC and 832MC Pro: each image
type checked against what the camera sent, and a failed snapshot followed by a
good one."""

import numpy as np
import pytest

import bindings
import kyrsim
from conftest import small_roi

ImageType = bindings.ImageType

# An off-centre window at bin 1: the pixels are the frame's own.
X, Y, W, H = 96, 40, 64, 32


def capture(camera, image_type, shape, roi=None):
    camera.set_roi(roi or small_roi(image_type, W, H, 1, X, Y))
    image = np.zeros(shape, dtype=np.uint8)
    camera.capture(image, image.nbytes)
    return image


def restored_markers(frame, row_bytes):
    """The image a caller gets from a sent frame: the marker words at both ends
    replaced by the bytes two rows further in."""
    image = bytearray(frame)
    image[:4] = frame[2 * row_bytes:2 * row_bytes + 4]
    image[-4:] = frame[-4 - 2 * row_bytes:-2 * row_bytes]
    return bytes(image)


@pytest.fixture(params=[0, 1], ids=["832MC", "832MC_Pro"])
def camera(request, cameras):
    cam = cameras.open(request.param)
    cam.set_control("Exposure", 1000)
    return cam, cameras.handle_of(cam)


def test_raw8_is_the_sent_frame_but_for_the_marker_words(camera, sim):
    cam, handle = camera
    image = capture(cam, ImageType.raw8, (H, W))
    frame = sim.last_frame(handle)
    assert len(frame) == W * H
    assert frame[:4] != image.tobytes()[:4], "the frame carries no marker to restore"
    assert image.tobytes() == restored_markers(frame, W)


def test_raw16_is_the_sent_frame_as_little_endian_words(camera, sim):
    cam, handle = camera
    raw = capture(cam, ImageType.raw16, (H, W, 2))
    frame = sim.last_frame(handle)
    assert raw.tobytes() == restored_markers(frame, 2 * W)
    pixels = raw.view("<u2")[:, :, 0]
    assert pixels.shape == (H, W)
    # Twelve significant bits at the top of each word, the high byte the
    # RAW8 pixel of the same place.
    assert not (pixels & 0x0F).any()
    raw8 = capture(cam, ImageType.raw8, (H, W))
    assert np.array_equal(pixels >> 8, raw8)


# A strip of the full width through the colour bars of the scene: white,
# yellow, cyan, green, magenta, red, blue, black, each 480 pixels wide.
BARS = [(1, 1, 1), (0, 1, 1), (1, 1, 0), (0, 1, 0), (1, 0, 1), (0, 0, 1), (1, 0, 0), (0, 0, 0)]  # B, G, R
STRIP = dict(width=3840, height=16, bins=1, start_x=0, start_y=24)


def test_rgb24_bars_in_blue_green_red_order(camera):
    cam, _ = camera
    image = capture(cam, ImageType.rgb24, (STRIP["height"], STRIP["width"], 3),
                    small_roi(ImageType.rgb24, **STRIP))
    for bar, colour in enumerate(BARS):
        pixel = image[STRIP["height"] // 2, bar * 480 + 240]
        assert tuple(int(v > 128) for v in pixel) == colour, (bar, pixel)


def test_y8_is_the_luminance_of_the_rgb24_image(camera):
    cam, _ = camera
    rgb = capture(cam, ImageType.rgb24, (STRIP["height"], STRIP["width"], 3), small_roi(ImageType.rgb24, **STRIP))
    y8 = capture(cam, ImageType.y8, (STRIP["height"], STRIP["width"]), small_roi(ImageType.y8, **STRIP))
    blue, green, red = (rgb[:, :, i].astype(np.int64) for i in range(3))
    # 0.257 red, 0.504 green, 0.098 blue in 16-bit fixed point, each product
    # cut to an integer.
    expected = (np.trunc(red * 16842.752).astype(np.int64) + np.trunc(green * 33030.144).astype(np.int64) +
                np.trunc(blue * 6422.528).astype(np.int64)) >> 16
    assert np.array_equal(y8, expected)
    assert len(np.unique(y8[STRIP["height"] // 2])) >= 8, "the bars differ in luminance"


def test_each_type_fills_the_array_shape_of_its_pixels(camera):
    cam, _ = camera
    for image_type, shape in [(ImageType.raw8, (H, W)), (ImageType.raw16, (H, W, 2)), (ImageType.y8, (H, W)),
                              (ImageType.rgb24, (H, W, 3))]:
        image = capture(cam, image_type, shape)
        assert image.any(), image_type


def test_a_failed_snapshot_is_followed_by_a_good_one(camera, sim):
    cam, handle = camera
    cam.set_roi(small_roi(ImageType.raw8, W, H, 1, X, Y))
    image = np.zeros((H, W), np.uint8)
    sim.stream_fault(handle, kyrsim.STREAM_NO_DATA, 0, 0, 1)
    with pytest.raises(RuntimeError) as info:
        cam.capture(image, image.nbytes)
    assert str(info.value) == "failed to get exposure"
    assert not image.any(), "a failed snapshot wrote into the array"
    sim.clear_stream_faults(handle)
    cam.capture(image, image.nbytes)
    assert image.tobytes() == restored_markers(sim.last_frame(handle), W)


def test_a_buffer_smaller_than_the_image_is_refused_by_the_camera(camera):
    cam, _ = camera
    cam.set_roi(small_roi(ImageType.raw8, W, H, 1, X, Y))
    image = np.zeros(W * H - 1, np.uint8)
    with pytest.raises(RuntimeError) as info:
        cam.capture(image, image.nbytes)
    assert str(info.value).startswith("KYR Camera: (camera index: ")
    assert "failed to read image after capture (error code: 13: KYR_ERROR_BUFFER_TOO_SMALL)" in str(info.value)
