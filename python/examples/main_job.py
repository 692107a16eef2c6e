"""The main job: list the cameras, print one, set it up and capture an image of
each type into numpy arrays.

By default it plugs a simulated 832MC and 832MC Pro into the camera simulator
that the simulator build of the bindings module links (scripts/main_job.sh
builds it; the simulator library sits beside the module). With --real it
plugs nothing and works on the cameras on the USB bus, through the shipped
module and the real libusb-1.0.
"""

import argparse
import ctypes
import os
import sys

import numpy as np

import bindings

PID_832MC = 0x832B
PID_832MC_PRO = 0x832F
SIMULATOR = "libkyrsim.so"

# Settings of the job: gain, exposure in microseconds, white balance.
SETTINGS = {"Gain": 100, "Exposure": 20000, "WB_R": 60, "WB_B": 70}
BINS = 2
REGION = (640, 480)  # width and height after binning


def loaded_simulator():
    """Path of the simulator library this process has loaded, or None."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(None, 5)[-1].strip()
            if os.path.basename(path) == SIMULATOR:
                return path
    return None


def plug_simulated_cameras():
    """Plugs an 832MC and an 832MC Pro into the simulator the module loaded."""
    path = loaded_simulator() or os.path.join(os.path.dirname(bindings.__file__), SIMULATOR)
    try:
        # Only the instance the module already loaded: a second copy would be
        # a bus the module never sees.
        sim = ctypes.CDLL(path, mode=os.RTLD_NOLOAD)
    except OSError:
        sim = None
    if sim is None:
        sys.exit(f"main_job: the bindings module ({bindings.__file__}) is not the simulator build; "
                 "run scripts/main_job.sh, or pass --real for cameras on the USB bus")
    sim.kyrsim_plug.restype = ctypes.c_int
    sim.kyrsim_plug.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p]
    for pid, port in ((PID_832MC, b"1"), (PID_832MC_PRO, b"2")):
        if sim.kyrsim_plug(pid, 1, port) < 0:
            sys.exit(f"main_job: could not plug a simulated camera {pid:#x}")
    print(f"plugged a simulated 832MC and 832MC Pro ({path})")


def list_cameras():
    count = bindings.get_nb_cameras()
    print(f"{count} camera(s) connected")
    for index in range(count):
        camera = bindings.Camera(index)
        info = camera.get_info()
        print(f"  [{index}] {info.name} (id: {info.camera_id})")
        del camera
    return count


def set_up(camera):
    """Controls, then an off-centre region at bin 2 where the camera has it."""
    info = camera.get_info()
    controls = camera.get_controls()
    for name, value in SETTINGS.items():
        control = controls.get(name)
        if control is None or not control.is_writable:
            continue
        value = min(max(value, control.min_value), control.max_value)
        camera.set_control(name, value)
    bins = BINS if BINS in info.supported_bins else 1
    width = min(REGION[0], info.max_width // bins) // 8 * 8
    height = min(REGION[1], info.max_height // bins) // 2 * 2
    roi = bindings.ROI()
    roi.bins, roi.width, roi.height = bins, width, height
    # Half way between the top-left corner and the centred position.
    roi.start_x = (info.max_width // bins - width) // 4
    roi.start_y = (info.max_height // bins - height) // 4
    roi.type = bindings.ImageType.raw8
    camera.set_roi(roi)
    for name, control in sorted(camera.get_controls().items()):
        if name in SETTINGS:
            print(f"  {name} = {control.value}{' (auto)' if control.is_auto else ''}")
    got = camera.get_roi()
    print(f"  region: {got.width} x {got.height} at ({got.start_x}, {got.start_y}), bin {got.bins}")
    return roi


def capture(camera, roi, image_type):
    """One image of the type into a numpy array of its natural shape."""
    roi.type = image_type
    camera.set_roi(roi)
    height, width = roi.height, roi.width
    if image_type == bindings.ImageType.rgb24:
        image = np.empty((height, width, 3), dtype=np.uint8)  # blue, green, red
    elif image_type == bindings.ImageType.raw16:
        image = np.empty((height, width, 2), dtype=np.uint8)
    else:
        image = np.empty((height, width), dtype=np.uint8)
    camera.capture(image, image.nbytes)
    if image_type == bindings.ImageType.raw16:
        image = image.view("<u2")[:, :, 0]  # little-endian 16-bit pixels
    return image


def describe(name, image):
    channels = ["B", "G", "R"] if image.ndim == 3 else [""]
    stats = []
    for i, channel in enumerate(channels):
        plane = image[:, :, i] if image.ndim == 3 else image
        label = f"{channel}: " if channel else ""
        stats.append(f"{label}min {plane.min()} mean {plane.mean():.1f} max {plane.max()}")
    print(f"  {name:6} shape {image.shape} dtype {image.dtype}  " + "; ".join(stats))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--real", action="store_true", help="use the cameras on the USB bus")
    args = parser.parse_args()

    print(f"bindings {bindings.get_sdk_version()} from {bindings.__file__}")
    if args.real:
        if loaded_simulator():
            sys.exit("main_job: --real needs the shipped module, but this one is the simulator build")
    else:
        plug_simulated_cameras()

    if list_cameras() == 0:
        print("main_job: no camera found on the USB bus. Check that it is connected and that the udev rule "
              "is installed: see the section \"Real cameras: the udev rule\" of README.md.", file=sys.stderr)
        return 1

    camera = bindings.Camera(0)
    print(str(camera))
    info = camera.get_info()
    print(f"setting up {info.name}:")
    roi = set_up(camera)
    print("captures:")
    for image_type in (bindings.ImageType.raw8, bindings.ImageType.raw16, bindings.ImageType.y8,
                       bindings.ImageType.rgb24):
        name = str(image_type).split(".")[-1]
        if image_type not in info.supported_image_types:
            print(f"  {name:6} not supported by {info.name}")
            continue
        describe(name, capture(camera, roi, image_type))
    return 0


if __name__ == "__main__":
    sys.exit(main())
