"""vx7: the vx7 ADC from Python, through libvx7 (ctypes).

    import vx7
    vx7.read(1)                  # latest value of channel 1 (1-4), in volts
    vx7.configure(chan=0, freq=1000, range=0.5, calibrate="auto", input="A")
    vx7.reinit()                 # hard reset of the device
    print(vx7.help())            # the library's help text
    vx7.MAX_RANGE                # 2.5 (volts)

Channel numbers: configure() takes the device's channels 0-3, read() numbers
the same channels 1-4 (configure(chan=0) is read(1)).

Failures of the library calls raise Vx7Error, whose .code is what the call
returned (a result code, or the sentinel value of read()) and whose message is
its meaning. Arguments out of range raise ValueError (wrong type: TypeError)
before anything reaches the library.

The library is found through the environment variable VX7_LIBRARY (a path),
else ctypes.util.find_library("vx7"), else the name libvx7.so.1, else the
libvx7 of the installation this module belongs to.
"""

import ctypes
import ctypes.util
import math
import operator
import os
import struct

__all__ = ["Vx7Error", "read", "configure", "reinit", "help", "MAX_RANGE", "CALIBRATIONS", "INPUTS",
           "library_path"]

# Where the installed library lies, seen from the installed module; filled in
# by the build for the installed copy.
_LIBDIR_FROM_MODULE = "@VX7_PY_LIBDIR_FROM_MODULE@"

# vx7_read's sentinels.
_BAD_CHANNEL = 1e10
_NO_VALUE = -1e10

# Calibration modes and inputs by name; their index is the library's number.
CALIBRATIONS = ("none", "auto", "ext-zero", "ext-range", "mixed", "background", "int-zero", "int-range")
INPUTS = ("A", "B", "GND", "test")

_CONFIGURE_MEANING = {
    0: "OK",
    1: "failed open device",
    2: "wrong channel (must be 0 - 3)",
    3: "can not set frequency",
    4: "can not set range",
    5: "can not set calibration",
    6: "can not set subchannel",
    7: "can not apply changes",
}


class Vx7Error(Exception):
    """A libvx7 call reported a failure. .code is its result."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


def _candidates():
    env = os.environ.get("VX7_LIBRARY")
    if env:
        # An explicit choice: no fallback to another library.
        return [env]
    names = []
    found = ctypes.util.find_library("vx7")
    if found:
        names.append(found)
    names.append("libvx7.so.1")
    if not _LIBDIR_FROM_MODULE.startswith("@"):
        here = os.path.dirname(os.path.abspath(__file__))
        names.append(os.path.normpath(os.path.join(here, _LIBDIR_FROM_MODULE, "libvx7.so.1")))
    return names


def _load():
    errors = []
    for name in _candidates():
        try:
            return ctypes.CDLL(name), name
        except OSError as e:
            errors.append(str(e))
    raise ImportError("vx7: cannot load libvx7 (set VX7_LIBRARY to its path): " + "; ".join(errors))


# library_path: the path or name the library was loaded by.
_lib, library_path = _load()

_lib.vx7_read.argtypes = [ctypes.c_uint8]
_lib.vx7_read.restype = ctypes.c_double
_lib.vx7_configure.argtypes = [ctypes.c_uint8, ctypes.c_uint16, ctypes.c_float, ctypes.c_uint8, ctypes.c_uint8]
_lib.vx7_configure.restype = ctypes.c_uint8
_lib.vx7_reinit.argtypes = []
_lib.vx7_reinit.restype = ctypes.c_uint8
_lib.vx7_help.argtypes = []
_lib.vx7_help.restype = ctypes.c_char_p

MAX_RANGE = ctypes.c_float.in_dll(_lib, "VX7_MAX_RANGE").value


def _integer(name, value):
    """An integer (anything with __index__, such as numpy's), not a bool."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {value!r}") from None


def _choice(name, value, names):
    """A name (case-insensitive, "_" for "-") or an index of `names`."""
    if isinstance(value, str):
        key = value.strip().lower().replace("_", "-")
        for i, n in enumerate(names):
            if key == n.lower():
                return i
        raise ValueError(f"{name} must be one of {', '.join(names)} or 0-{len(names) - 1}, not {value!r}")
    value = _integer(name, value)
    if not 0 <= value < len(names):
        raise ValueError(f"{name} must be one of {', '.join(names)} or 0-{len(names) - 1}, not {value!r}")
    return value


def read(channel):
    """Latest value of channel `channel` (1-4) in volts, from the channel
    file the acquisition driver writes. Raises Vx7Error when the file
    cannot be read or holds no value."""
    channel = _integer("channel", channel)
    if not 1 <= channel <= 4:
        raise ValueError(f"channel must be 1-4, not {channel}")
    value = _lib.vx7_read(channel)
    if value == _NO_VALUE:
        raise Vx7Error(value, f"channel {channel}: no value (the channel file cannot be read or holds no value)")
    if value == _BAD_CHANNEL:
        raise Vx7Error(value, f"channel {channel}: wrong channel (must be 1 - 4)")
    return value


def configure(chan, freq=None, range=None, calibrate=None, input=None):  # noqa: A002 (names as in vx7ctl)
    """Configures channel `chan` (0-3) of the device. A setting left as None
    stays as it is, and so do freq=0 and range=0, as in the C call.
      freq       sampling frequency in Hz, 0-65535
      range      largest input voltage, 0-MAX_RANGE; the device takes the
                 smallest range MAX_RANGE/2^k (k 0-7) that holds it
      calibrate  one of CALIBRATIONS ("none", "auto", ...) or 0-7
      input      one of INPUTS ("A", "B", "GND", "test") or 0-3
    Raises Vx7Error with the call's result code when it fails."""
    chan = _integer("chan", chan)
    if not 0 <= chan <= 3:
        raise ValueError(f"chan must be 0-3, not {chan}")

    f = 0
    if freq is not None:
        f = _integer("freq", freq)
        if not 0 <= f <= 65535:
            raise ValueError(f"freq must be 0-65535 Hz, not {f}")

    volts = 0.0
    if range is not None:
        if isinstance(range, bool) or not isinstance(range, (int, float)):
            raise TypeError(f"range must be a number of volts, not {range!r}")
        try:
            volts = float(range)
        except OverflowError:
            volts = math.inf
        if not math.isfinite(volts) or not 0.0 <= volts <= MAX_RANGE:
            raise ValueError(f"range must be 0-{MAX_RANGE} V, not {range!r}")
        # The library takes a float; a value that rounds to 0 there would
        # mean "leave the range unchanged".
        if volts > 0.0 and struct.unpack("f", struct.pack("f", volts))[0] == 0.0:
            raise ValueError(f"range {range!r} V is too small")

    cal = 0xFF if calibrate is None else _choice("calibrate", calibrate, CALIBRATIONS)
    sub = 0xFF if input is None else _choice("input", input, INPUTS)

    code = _lib.vx7_configure(chan, f, volts, cal, sub)
    if code != 0:
        raise Vx7Error(code, _CONFIGURE_MEANING.get(code, f"unknown result {code}"))


def reinit():
    """Hard reset of the device. Raises Vx7Error (code 1) when there is no
    device or the reset command was not delivered."""
    code = _lib.vx7_reinit()
    if code != 0:
        raise Vx7Error(code, "failed (device is not connected, or the reset command was not delivered)")


def help():  # noqa: A001 (the library's own name for it)
    """The library's help text."""
    return _lib.vx7_help().decode("ascii")
