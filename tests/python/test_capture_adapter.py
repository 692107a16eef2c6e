"""Camera.capture's checks of the caller's array: only a writable, C-contiguous
uint8 numpy array of at least `size` bytes is written, and a refused one
starts no exposure."""

import numpy as np
import pytest

import bindings
import kyrsim
from conftest import small_roi

W, H = 64, 32
IMAGE_BYTES = W * H


def _read_only():
    array = np.zeros((H, W), dtype=np.uint8)
    array.flags.writeable = False
    return array


def _strided():
    return np.zeros((H, 2 * W), dtype=np.uint8)[:, ::2]  # W columns, every other byte


def _transposed():
    return np.zeros((W, H), dtype=np.uint8).T  # H x W, Fortran order


REFUSED = [
    # (case, array factory, size, exception, message part)
    ("list", lambda: [0] * IMAGE_BYTES, IMAGE_BYTES, TypeError, None),
    ("bytearray", lambda: bytearray(IMAGE_BYTES), IMAGE_BYTES, TypeError, None),
    ("float64 array", lambda: np.zeros((H, W), dtype=np.float64), IMAGE_BYTES, TypeError, "dtype uint8"),
    ("int8 array", lambda: np.zeros((H, W), dtype=np.int8), IMAGE_BYTES, TypeError, "dtype uint8"),
    ("bool array", lambda: np.zeros((H, W), dtype=np.bool_), IMAGE_BYTES, TypeError, "dtype uint8"),
    ("uint16 array", lambda: np.zeros((H, W // 2), dtype=np.uint16), IMAGE_BYTES, TypeError, "dtype uint8"),
    ("read-only array", _read_only, IMAGE_BYTES, ValueError, "read-only"),
    ("non-contiguous view", _strided, IMAGE_BYTES, ValueError, "C-contiguous"),
    ("Fortran-ordered array", _transposed, IMAGE_BYTES, ValueError, "C-contiguous"),
    ("size above nbytes", lambda: np.zeros((H, W), dtype=np.uint8), IMAGE_BYTES + 1, ValueError, "exceeds"),
    ("size above a smaller array", lambda: np.zeros(16, dtype=np.uint8), IMAGE_BYTES, ValueError, "exceeds"),
    ("negative size", lambda: np.zeros((H, W), dtype=np.uint8), -1, ValueError, "negative"),
]


@pytest.fixture
def camera(cameras, sim):
    cam = cameras.open(0)
    cam.set_roi(small_roi(bindings.ImageType.raw8, W, H))
    cam.set_control("Exposure", 1000)
    return cam, cameras.handle_of(cam)


def _exposures_started(sim, handle):
    return sim.log_count(handle, 0xA9, kyrsim.DIR_OUT) + sim.log_count(handle, 0xA9, kyrsim.DIR_IN)


@pytest.mark.parametrize("case,make,size,error,message", REFUSED, ids=[c[0] for c in REFUSED])
def test_refused_buffer_raises_before_any_exposure(camera, sim, case, make, size, error, message):
    cam, handle = camera
    array = make()
    before = np.array(array, copy=True) if isinstance(array, np.ndarray) else None
    frames = sim.query(handle, kyrsim.Q_FRAMES)
    starts = sim.query(handle, kyrsim.Q_STREAM_STARTS)
    sim.log_clear()
    with pytest.raises(error) as info:
        cam.capture(array, size)
    if message:
        assert message in str(info.value)
    assert _exposures_started(sim, handle) == 0, "a stream start reached the camera"
    assert sim.query(handle, kyrsim.Q_STREAM_STARTS) == starts
    assert sim.query(handle, kyrsim.Q_FRAMES) == frames
    if before is not None:
        assert np.array_equal(array, before), "the refused array was written"
    # The camera is still idle and takes the next picture.
    image = np.zeros((H, W), dtype=np.uint8)
    cam.capture(image, image.nbytes)
    assert image.any()


ACCEPTED = [
    ("H x W", (H, W)),
    ("1-D", (IMAGE_BYTES,)),
    ("1-D larger than the image", (IMAGE_BYTES + 100,)),
    ("H x W x 1", (H, W, 1)),
]


@pytest.mark.parametrize("case,shape", ACCEPTED, ids=[c[0] for c in ACCEPTED])
def test_any_shape_of_a_contiguous_uint8_array_is_filled_in_place(camera, case, shape):
    cam, _ = camera
    array = np.zeros(shape, dtype=np.uint8)
    address = array.ctypes.data
    cam.capture(array, IMAGE_BYTES)
    assert array.ctypes.data == address
    flat = array.reshape(-1)
    assert flat[:IMAGE_BYTES].any()
    assert not flat[IMAGE_BYTES:].any(), "bytes beyond size were written"


def test_rgb24_into_an_h_x_w_x_3_array(camera):
    cam, _ = camera
    cam.set_roi(small_roi(bindings.ImageType.rgb24, W, H))
    image = np.zeros((H, W, 3), dtype=np.uint8)
    cam.capture(image, image.nbytes)
    assert image.any()


def test_a_contiguous_slice_of_a_larger_array_is_accepted(camera):
    cam, _ = camera
    big = np.zeros((3, H, W), dtype=np.uint8)
    cam.capture(big[1], IMAGE_BYTES)
    assert big[1].any()
    assert not big[0].any() and not big[2].any()
