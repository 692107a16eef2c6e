"""ctypes face of the camera simulator's control API (sim/kyrsim.h).

The simulator build of the bindings module links libkyrsim.so; the tests must
drive that very instance, so the library is opened only once the module has
loaded it, and by the path it was loaded from.
"""

import ctypes
import os

KYRSIM_ANY = -1
DIR_OUT = 0
DIR_IN = 1

# Fault actions on control requests.
FAULT_ERROR = 1
FAULT_SHORT = 2
FAULT_DELAY = 3

# Stream faults.
STREAM_STALL = 1
STREAM_NO_DATA = 2
STREAM_SHORT = 3
STREAM_BAD_HEAD = 6

# Queries.
Q_STREAM_STARTS = 20
Q_FRAMES = 11

# libusb error codes the fault rules take.
LIBUSB_ERROR_IO = -1
LIBUSB_ERROR_PIPE = -9


class Request(ctypes.Structure):
    _fields_ = [
        ("seq", ctypes.c_longlong),
        ("thread", ctypes.c_ulonglong),
        ("device", ctypes.c_int),
        ("request_type", ctypes.c_int),
        ("request", ctypes.c_int),
        ("value", ctypes.c_int),
        ("index", ctypes.c_int),
        ("length", ctypes.c_int),
        ("timeout", ctypes.c_uint),
        ("result", ctypes.c_int),
        ("unexpected", ctypes.c_int),
        ("overlapped", ctypes.c_int),
        ("faulted", ctypes.c_int),
        ("data_len", ctypes.c_int),
        ("data", ctypes.c_ubyte * 64),
        ("start_us", ctypes.c_longlong),
        ("end_us", ctypes.c_longlong),
    ]


class Fault(ctypes.Structure):
    _fields_ = [
        ("device", ctypes.c_int),
        ("request", ctypes.c_int),
        ("direction", ctypes.c_int),
        ("value", ctypes.c_int),
        ("index", ctypes.c_int),
        ("nth", ctypes.c_int),
        ("times", ctypes.c_int),
        ("action", ctypes.c_int),
        ("arg", ctypes.c_int),
    ]


def _loaded_path(name):
    """Path of the shared object `name` as this process mapped it, or None."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(None, 5)[-1].strip()
                if os.path.basename(path) == name:
                    return path
    except OSError:
        pass
    return None


def open_loaded(path=None):
    """The simulator library the bindings module loaded (import it first).

    `path` (or KYRSIM_LIBRARY) names it when /proc cannot; either way the
    library must already be loaded, or the module is not the simulator build
    and a second, separate simulator would be driven instead.
    """
    path = _loaded_path("libkyrsim.so") or path or os.environ.get("KYRSIM_LIBRARY")
    if not path:
        raise RuntimeError("libkyrsim.so is not loaded: import the simulator build of bindings first")
    try:
        return ctypes.CDLL(path, mode=os.RTLD_NOLOAD)
    except OSError as e:
        raise RuntimeError(f"{path} is not the simulator the bindings module loaded: {e}") from None


class Simulator:
    """The process-wide simulated bus and its cameras."""

    def __init__(self, path=None):
        lib = open_loaded(path)
        self.lib = lib
        c_int, c_char_p, c_void_p = ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p
        for name, res, args in [
            ("kyrsim_reset", None, []),
            ("kyrsim_plug", c_int, [c_int, c_int, c_char_p]),
            ("kyrsim_unplug", c_int, [c_int]),
            ("kyrsim_device_count", c_int, []),
            ("kyrsim_fpga_reg", c_int, [c_int, c_int]),
            ("kyrsim_sensor_reg", c_int, [c_int, c_int]),
            ("kyrsim_guide_state", c_int, [c_int, c_int]),
            ("kyrsim_guide_change_count", c_int, [c_int, c_int]),
            ("kyrsim_query", ctypes.c_longlong, [c_int, c_int]),
            ("kyrsim_log_count", c_int, []),
            ("kyrsim_log_get", c_int, [c_int, ctypes.POINTER(Request)]),
            ("kyrsim_log_count_matching", c_int, [c_int, c_int, c_int]),
            ("kyrsim_log_clear", None, []),
            ("kyrsim_fault_init", None, [ctypes.POINTER(Fault), c_int, c_int]),
            ("kyrsim_add_fault", c_int, [ctypes.POINTER(Fault)]),
            ("kyrsim_fault_hits", c_int, [c_int]),
            ("kyrsim_clear_faults", None, []),
            ("kyrsim_stream_fault", c_int, [c_int, c_int, c_int, c_int, c_int]),
            ("kyrsim_clear_stream_faults", c_int, [c_int]),
            ("kyrsim_set_frame_interval", c_int, [c_int, c_int]),
            ("kyrsim_last_frame", c_int, [c_int, c_void_p, c_int]),
            ("kyrsim_open_handles", c_int, []),
        ]:
            fn = getattr(lib, name)
            fn.restype = res
            fn.argtypes = args

    # Bus.
    def reset(self):
        self.lib.kyrsim_reset()

    def plug(self, product_id, bus=1, ports="1"):
        handle = self.lib.kyrsim_plug(product_id, bus, ports.encode() if ports is not None else None)
        if handle < 0:
            raise RuntimeError(f"could not plug product {product_id:#x}")
        return handle

    def unplug(self, handle):
        return self.lib.kyrsim_unplug(handle) == 0

    def device_count(self):
        return self.lib.kyrsim_device_count()

    def open_handles(self):
        return self.lib.kyrsim_open_handles()

    # Registers and state.
    def fpga_reg(self, handle, reg):
        return self.lib.kyrsim_fpga_reg(handle, reg)

    def sensor_reg(self, handle, reg):
        return self.lib.kyrsim_sensor_reg(handle, reg)

    def guide_state(self, handle, direction):
        return self.lib.kyrsim_guide_state(handle, direction)

    def guide_changes(self, handle, direction):
        return self.lib.kyrsim_guide_change_count(handle, direction)

    def query(self, handle, what):
        return self.lib.kyrsim_query(handle, what)

    # Request log.
    def log(self):
        out = []
        for i in range(self.lib.kyrsim_log_count()):
            entry = Request()
            if self.lib.kyrsim_log_get(i, ctypes.byref(entry)) == 0:
                out.append(entry)
        return out

    def log_count(self, handle=KYRSIM_ANY, request=KYRSIM_ANY, direction=KYRSIM_ANY):
        return self.lib.kyrsim_log_count_matching(handle, request, direction)

    def log_clear(self):
        self.lib.kyrsim_log_clear()

    # Faults.
    def add_fault(self, action, arg, device=KYRSIM_ANY, request=KYRSIM_ANY, direction=KYRSIM_ANY,
                  nth=1, times=1):
        rule = Fault()
        self.lib.kyrsim_fault_init(ctypes.byref(rule), action, arg)
        rule.device, rule.request, rule.direction = device, request, direction
        rule.nth, rule.times = nth, times
        rule_id = self.lib.kyrsim_add_fault(ctypes.byref(rule))
        if rule_id < 0:
            raise RuntimeError("fault rule refused")
        return rule_id

    def fault_hits(self, rule_id):
        return self.lib.kyrsim_fault_hits(rule_id)

    def clear_faults(self):
        self.lib.kyrsim_clear_faults()

    def stream_fault(self, handle, kind, arg=0, first=0, count=1):
        if self.lib.kyrsim_stream_fault(handle, kind, arg, first, count) != 0:
            raise RuntimeError("stream fault refused")

    def clear_stream_faults(self, handle):
        return self.lib.kyrsim_clear_stream_faults(handle) == 0

    # Frames.
    def set_frame_interval(self, handle, microseconds):
        return self.lib.kyrsim_set_frame_interval(handle, microseconds) == 0

    def last_frame(self, handle):
        """The last frame the camera started to send, markers included."""
        size = self.lib.kyrsim_last_frame(handle, None, 0)
        if size < 0:
            raise RuntimeError("no such camera")
        buf = ctypes.create_string_buffer(size)
        got = self.lib.kyrsim_last_frame(handle, buf, size)
        return bytes(buf.raw[:got])
