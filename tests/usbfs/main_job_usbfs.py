"""Runs the main job (python/examples/main_job.py --real) with the shipped
bindings module and the real libusb-1.0 against two simulated cameras, an
832MC and an 832MC Pro, described in a umockdev test bed by the simulator's
usbfs front end.

Run under umockdev-wrapper, with the shipped module on PYTHONPATH and
KYRSIM_USBFS_LIBRARY naming libkyrsim_usbfs.so. The test bed is made and the
cameras plugged before the job imports the module.
"""

import ctypes
import os
import runpy
import sys

PID_832MC = 0x832B
PID_832MC_PRO = 0x832F
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAIN_JOB = os.path.join(ROOT, "python", "examples", "main_job.py")


def main():
    sim = ctypes.CDLL(os.environ["KYRSIM_USBFS_LIBRARY"])
    sim.kyrsim_usbfs_plug.restype = ctypes.c_int
    sim.kyrsim_usbfs_plug.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p]
    sim.kyrsim_usbfs_query.restype = ctypes.c_longlong
    if sim.kyrsim_usbfs_start(0) != 0:
        sys.exit("main_job_usbfs: no test bed; run under umockdev-wrapper")
    try:
        for pid, port in ((PID_832MC, b"1"), (PID_832MC_PRO, b"2")):
            if sim.kyrsim_usbfs_plug(pid, 1, port) < 0:
                sys.exit(f"main_job_usbfs: could not plug a simulated camera {pid:#x}")
        sys.argv = [MAIN_JOB, "--real"]
        try:
            runpy.run_path(MAIN_JOB, run_name="__main__")
        except SystemExit as e:
            if e.code not in (None, 0):
                raise
        import bindings

        with open("/proc/self/maps") as maps:
            loaded = {os.path.basename(line.split()[-1]) for line in maps if "/" in line}
        if "libkyrsim.so" in loaded or not any(name.startswith("libusb-1.0.so") for name in loaded):
            sys.exit("main_job_usbfs: the module must run on the real libusb-1.0, not the simulator's")
        print(f"main_job_usbfs: {bindings.__file__} on the real libusb-1.0: "
              f"{sim.kyrsim_usbfs_query(0)} bulk and {sim.kyrsim_usbfs_query(1)} control URBs")
    finally:
        sim.kyrsim_usbfs_stop()


if __name__ == "__main__":
    main()
