"""vx7: the vx7 ADC from Python, through libvx7 (ctypes).

    import vx7
    vx7.read(1)                  # latest value of channel 1 (1-4), in volts
    vx7.configure(chan=0, freq=1000, range=0.5, calibrate="auto", input="A")
    vx7.reinit()                 # hard reset of the device
    print(vx7.help())            # the library's help text
    vx7.MAX_RANGE                # 2.5 (volts)

    for s in vx7.samples(channels=[1, 2], timeout=5):   # every sample, once
        print(s.channel, s.elapsed_ms, s.text, s.time)

    for s in vx7.samples(channels_config="bench.yaml"):  # with names, units, scaling
        print(s.name, s.value, s.unit, s.alarm)

Channel numbers: configure() takes the device's channels 0-3, read() numbers
the same channels 1-4 (configure(chan=0) is read(1)).

Failures of the library calls raise Vx7Error, whose .code is what the call
returned (a result code, or the sentinel value of read()) and whose message is
its meaning. Arguments out of range raise ValueError (wrong type: TypeError)
before anything reaches the library.

The library is found through the environment variable VX7_LIBRARY (a path),
else ctypes.util.find_library("vx7"), else the name libvx7.so.1, else the
libvx7 of the installation this module belongs to. samples() uses the sample
stream library, found the same way (VX7_STREAM_LIBRARY, "vx7stream",
libvx7stream.so.1) when it is first called.

Channel configuration files (names, units, scaling and alarm limits of the
channels, as vx7ctl record and vx7-gateway take them with --channels-config)
are read with PyYAML (Debian: python3-yaml), imported when first needed.
"""

import ctypes
import ctypes.util
import math
import operator
import os
import struct
import time as _time
from typing import NamedTuple, Optional

# The vx7 release this module belongs to; filled in by the build.
__version__ = "@PROJECT_VERSION@"

__all__ = ["Vx7Error", "read", "configure", "reinit", "help", "MAX_RANGE", "CALIBRATIONS", "INPUTS",
           "library_path", "Sample", "Samples", "samples", "ScaledSample", "ChannelSpec",
           "ChannelsConfigError", "load_channels_config", "parse_channels_config", "scaled", "alarm"]

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


def _candidates(env_name="VX7_LIBRARY", name="vx7"):
    env = os.environ.get(env_name)
    if env:
        # An explicit choice: no fallback to another library.
        return [env]
    names = []
    found = ctypes.util.find_library(name)
    if found:
        names.append(found)
    names.append(f"lib{name}.so.1")
    if not _LIBDIR_FROM_MODULE.startswith("@"):
        here = os.path.dirname(os.path.abspath(__file__))
        names.append(os.path.normpath(os.path.join(here, _LIBDIR_FROM_MODULE, f"lib{name}.so.1")))
    return names


def _load(env_name="VX7_LIBRARY", name="vx7", error=ImportError):
    errors = []
    for candidate in _candidates(env_name, name):
        try:
            return ctypes.CDLL(candidate), candidate
        except OSError as e:
            errors.append(str(e))
    raise error(f"vx7: cannot load lib{name} (set {env_name} to its path): " + "; ".join(errors))


def _not_the_library(path, env_name, name, missing):
    """The ImportError for a library that loads but is not lib<name>."""
    return ImportError(f"vx7: {path} is not lib{name} (it has no {missing}); "
                       f"set {env_name} to the path of lib{name}")


# library_path: the path or name the library was loaded by.
_lib, library_path = _load()

try:
    _lib.vx7_read.argtypes = [ctypes.c_uint8]
    _lib.vx7_read.restype = ctypes.c_double
    _lib.vx7_configure.argtypes = [ctypes.c_uint8, ctypes.c_uint16, ctypes.c_float, ctypes.c_uint8, ctypes.c_uint8]
    _lib.vx7_configure.restype = ctypes.c_uint8
    _lib.vx7_reinit.argtypes = []
    _lib.vx7_reinit.restype = ctypes.c_uint8
    _lib.vx7_help.argtypes = []
    _lib.vx7_help.restype = ctypes.c_char_p
    MAX_RANGE = ctypes.c_float.in_dll(_lib, "VX7_MAX_RANGE").value
except (AttributeError, ValueError) as e:
    # AttributeError for a missing function, ValueError for a missing
    # variable (in_dll).
    raise _not_the_library(library_path, "VX7_LIBRARY", "vx7", str(e).split(":")[-1].strip()) from None


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


# ---- the sample stream (libvx7stream) -------------------------------------------

class _Options(ctypes.Structure):
    _fields_ = [("dir", ctypes.c_char_p), ("paths", ctypes.c_char_p * 4),
                ("poll_period_us", ctypes.c_uint32), ("channel_mask", ctypes.c_uint32)]


class _CSample(ctypes.Structure):
    _fields_ = [("channel", ctypes.c_int32), ("has_value", ctypes.c_int32), ("elapsed_ms", ctypes.c_uint64),
                ("volts", ctypes.c_double), ("text", ctypes.c_char * 32), ("wall_ns", ctypes.c_int64)]


_STREAM_OK = 0
_STREAM_TIMEOUT = 1
# Channel states of vx7_stream_channel_state, by name.
CHANNEL_STATES = ("mapped", "waiting", "unusable", "unwatched")

_stream_lib = None


def _stream():
    """libvx7stream, loaded on first use."""
    global _stream_lib
    if _stream_lib is None:
        lib, path = _load("VX7_STREAM_LIBRARY", "vx7stream", error=OSError)
        try:
            lib.vx7_stream_open.argtypes = [ctypes.POINTER(_Options), ctypes.POINTER(ctypes.c_void_p)]
            lib.vx7_stream_open.restype = ctypes.c_int
            lib.vx7_stream_next.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.POINTER(_CSample)]
            lib.vx7_stream_next.restype = ctypes.c_int
            lib.vx7_stream_late_polls.argtypes = [ctypes.c_void_p]
            lib.vx7_stream_late_polls.restype = ctypes.c_uint64
            lib.vx7_stream_lost.argtypes = [ctypes.c_void_p, ctypes.c_int]
            lib.vx7_stream_lost.restype = ctypes.c_uint64
            lib.vx7_stream_channel_state.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
            lib.vx7_stream_channel_state.restype = ctypes.c_int
            lib.vx7_stream_strerror.argtypes = [ctypes.c_int]
            lib.vx7_stream_strerror.restype = ctypes.c_char_p
            lib.vx7_stream_close.argtypes = [ctypes.c_void_p]
            lib.vx7_stream_close.restype = None
        except AttributeError as e:
            raise _not_the_library(path, "VX7_STREAM_LIBRARY", "vx7stream", str(e).split(":")[-1].strip()) from None
        _stream_lib = lib
    return _stream_lib


class Sample(NamedTuple):
    """One sample as the driver published it.
      channel     1-4
      has_value   False when the channel's record turned to "no value"
                  (the driver stopped); then elapsed_ms is 0, volts 0.0 and
                  text ""
      elapsed_ms  the driver's elapsed milliseconds of the sample
      volts       the value
      text        the volts exactly as the driver wrote them
      time        host wall-clock time (seconds since the epoch) when the
                  stream saw the sample
      wall_ns     the same time in integer nanoseconds"""
    channel: int
    has_value: bool
    elapsed_ms: int
    volts: float
    text: str
    time: float
    wall_ns: int


# The longest single wait in the library, so that Ctrl+C is acted on soon.
_SLICE_MS = 100


class Samples:
    """Iterator over the stream's samples; see samples(). Also a context
    manager; close() releases the stream (iteration then ends)."""

    def __init__(self, channels=None, dir=None, paths=None, period_ms=None, timeout=None,  # noqa: A002
                 count=None, channels_config=None):
        self._handle = None
        self._late_at_close = 0
        self._lost_at_close = {}
        self._specs = None if channels_config is None else load_channels_config(channels_config)
        mask = 0
        if channels is not None:
            if isinstance(channels, (str, bytes)) or not hasattr(channels, "__iter__"):
                channels = [channels]
            for c in channels:
                c = _integer("channel", c)
                if not 1 <= c <= 4:
                    raise ValueError(f"channel must be 1-4, not {c}")
                mask |= 1 << (c - 1)
            if mask == 0:
                raise ValueError("channels must name at least one channel 1-4")
        opts = _Options()
        opts.channel_mask = mask
        self._keep = []  # the encoded paths live as long as the call needs them
        if dir is not None:
            opts.dir = self._path(dir)
        if paths is not None:
            items = paths.items() if isinstance(paths, dict) else enumerate(paths, start=1)
            for c, path in items:
                c = _integer("channel", c)
                if not 1 <= c <= 4:
                    raise ValueError(f"paths: channel must be 1-4, not {c}")
                if path is not None:
                    opts.paths[c - 1] = self._path(path)
        if period_ms is not None:
            if isinstance(period_ms, bool) or not isinstance(period_ms, (int, float)) \
                    or not 0.001 <= period_ms <= 4_000_000:
                raise ValueError(f"period_ms must be a number of milliseconds, 0.001-4000000, not {period_ms!r}")
            opts.poll_period_us = max(1, round(period_ms * 1000))
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0:
                raise ValueError(f"timeout must be a number of seconds >= 0, not {timeout!r}")
            if math.isinf(timeout):
                timeout = None  # wait for ever
        if count is not None:
            count = _integer("count", count)
            if count < 0:
                raise ValueError(f"count must be >= 0, not {count}")
        self._timeout = timeout
        self._left = count
        lib = _stream()
        handle = ctypes.c_void_p()
        rc = lib.vx7_stream_open(ctypes.byref(opts), ctypes.byref(handle))
        self._keep = None
        if rc != _STREAM_OK:
            raise Vx7Error(rc, lib.vx7_stream_strerror(rc).decode())
        self._lib = lib
        self._handle = handle
        self._sample = _CSample()
        self._channels = [c for c in range(1, 5) if mask == 0 or mask & (1 << (c - 1))]

    def _path(self, path):
        b = os.fsencode(path)
        if b"\0" in b:
            # The library takes C strings: a NUL would silently cut the path.
            raise ValueError(f"a path must not contain a NUL character: {path!r}")
        self._keep.append(b)
        return b

    @property
    def late_polls(self):
        """Polls that came more than 10 ms after the previous one (when a
        sample may have been missed), since the stream was opened."""
        if self._handle is None:
            return self._late_at_close
        return self._lib.vx7_stream_late_polls(self._handle)

    @property
    def lost(self):
        """{channel: count} of the records each watched channel's driver
        published that the stream did not see, since it was opened,
        counted from the channel file's sequence counter."""
        if self._handle is None:
            return dict(self._lost_at_close)
        return {c: self._lib.vx7_stream_lost(self._handle, c) for c in self._channels}

    def channel_state(self, channel):
        """(state, errno) of channel 1-4's file; state is one of
        CHANNEL_STATES."""
        channel = _integer("channel", channel)
        if self._handle is None:
            raise ValueError("the stream is closed")
        err = ctypes.c_int(0)
        st = self._lib.vx7_stream_channel_state(self._handle, channel, ctypes.byref(err))
        return CHANNEL_STATES[st], err.value

    def close(self):
        if getattr(self, "_handle", None) is not None:
            self._late_at_close = self._lib.vx7_stream_late_polls(self._handle)
            self._lost_at_close = self.lost
            self._lib.vx7_stream_close(self._handle)
            self._handle = None

    def __del__(self):
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __iter__(self):
        return self

    def __next__(self):
        if self._handle is None or self._left == 0:
            self.close()
            raise StopIteration
        deadline = None if self._timeout is None else _time.monotonic() + self._timeout
        try:
            while True:
                if deadline is None:
                    wait_ms = _SLICE_MS
                else:
                    wait_ms = max(0, min(_SLICE_MS, math.ceil((deadline - _time.monotonic()) * 1000)))
                rc = self._lib.vx7_stream_next(self._handle, wait_ms, ctypes.byref(self._sample))
                if rc == _STREAM_OK:
                    break
                if rc != _STREAM_TIMEOUT:
                    raise Vx7Error(rc, self._lib.vx7_stream_strerror(rc).decode())
                if deadline is not None and _time.monotonic() >= deadline:
                    self.close()
                    raise StopIteration
        except KeyboardInterrupt:
            # Ctrl+C while waiting ends the iteration, not the program.
            self.close()
            raise StopIteration from None
        if self._left is not None:
            self._left -= 1
        c = self._sample
        fields = (c.channel, bool(c.has_value), c.elapsed_ms, c.volts, c.text.decode("ascii", "replace"),
                  c.wall_ns / 1e9, c.wall_ns)
        if self._specs is None:
            return Sample(*fields)
        spec = self._specs.get(c.channel, _UNCONFIGURED)
        value = scaled(spec, c.volts) if c.has_value else None
        return ScaledSample(*fields, value, spec.unit, spec.name or f"Channel {c.channel}",
                            None if value is None else alarm(spec, value))


def samples(channels=None, dir=None, paths=None, period_ms=None, timeout=None, count=None,  # noqa: A002
            channels_config=None):
    """Every sample the acquisition driver publishes, once, in the order
    seen (a Samples iterator of Sample tuples).
      channels   channel numbers 1-4 to watch (default: all four)
      dir        directory holding adc1.adc ... adc4.adc (default: the
                 files read() reads, /home/dev/vx7)
      paths      explicit channel files: {channel: path} or a list of four
                 (None for "from dir")
      period_ms  how often files without a sequence counter are looked at
                 (default 2 ms; the driver's own files wake the stream)
      timeout    end when no new sample comes within this many seconds
                 (default, or float("inf"): wait for ever)
      count      end after this many samples
      channels_config
                 a channel configuration file (see load_channels_config):
                 the samples are then ScaledSample tuples, with each
                 channel's name, unit, scaled value and alarm
    Ctrl+C while waiting ends the iteration. Missing channel files are
    waited for. The iterator's lost says, per channel, how many records the
    driver published that it did not see (from the files' sequence
    counters); late_polls how often a file without such a counter was looked
    at too late, so that a sample may have been missed (polls more than
    10 ms apart)."""
    return Samples(channels=channels, dir=dir, paths=paths, period_ms=period_ms, timeout=timeout, count=count,
                   channels_config=channels_config)



# ---- channel configuration files ------------------------------------------------

class ChannelSpec(NamedTuple):
    """What a channel carries, as a channel configuration file says:
      name    its name ("" when none is given)
      unit    the unit of its value ("V" while neither scale nor offset is given)
      scale, offset
              value = volts * scale + offset
      min, max
              alarm limits of the value, or None"""
    name: str = ""
    unit: str = "V"
    scale: float = 1.0
    offset: float = 0.0
    min: Optional[float] = None
    max: Optional[float] = None


_UNCONFIGURED = ChannelSpec()


class ScaledSample(NamedTuple):
    """A Sample (the same first seven fields) with what the channel
    configuration makes of it:
      value   volts * scale + offset (volts for a channel the file does not
              name); None without a value
      unit    the value's unit
      name    the channel's name, or "Channel N"
      alarm   "low" below min, "high" above max, else None"""
    channel: int
    has_value: bool
    elapsed_ms: int
    volts: float
    text: str
    time: float
    wall_ns: int
    value: Optional[float]
    unit: str
    name: str
    alarm: Optional[str]


class ChannelsConfigError(ValueError):
    """A channel configuration file that cannot be used. The message is one
    line naming the file, the line and the key, as vx7ctl's."""


def scaled(spec, volts):
    """The value of `volts` on a channel of ChannelSpec `spec`."""
    return volts * spec.scale + spec.offset


def alarm(spec, value):
    """"low" when `value` is below spec.min, "high" when above spec.max,
    else None (a value equal to a limit is within it)."""
    if spec.min is not None and value < spec.min:
        return "low"
    if spec.max is not None and value > spec.max:
        return "high"
    return None


_MAX_FILE_BYTES = 65536
_MAX_TEXT_BYTES = 64
_MAX_MAGNITUDE = 1e15
_CHANNEL_KEYS = ("name", "unit", "scale", "offset", "min", "max")
_NUMBER = None  # compiled on first use
_NULL_TAG = "tag:yaml.org,2002:null"


class _Problem(Exception):
    def __init__(self, node_or_line, key, what):
        super().__init__(what)
        if node_or_line is None or isinstance(node_or_line, int):
            self.line = node_or_line or 0
        else:
            self.line = node_or_line.start_mark.line + 1
        self.key = key
        self.what = what


def _is_null(node):
    return node.tag == _NULL_TAG


def _key_text(node, yaml):
    return node.value if isinstance(node, yaml.ScalarNode) else "?"


def _no_repeats(node, prefix, yaml):
    seen = set()
    for k, _ in node.value:
        text = _key_text(k, yaml)
        if text in seen:
            raise _Problem(k, prefix + text, "given twice")
        seen.add(text)


def _number(node, key, yaml):
    global _NUMBER
    if _NUMBER is None:
        import re
        _NUMBER = re.compile(r"[-+]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][-+]?[0-9]+)?\Z")
    what = "must be a number from -1e15 to 1e15"
    if not isinstance(node, yaml.ScalarNode):
        raise _Problem(node, key, what)
    if _NUMBER.match(node.value):
        v = float(node.value)
        if math.isfinite(v) and abs(v) <= _MAX_MAGNITUDE:
            return v
    raise _Problem(node, key, f"{what}, not '{node.value}'")


def _text(node, key, yaml):
    if isinstance(node, yaml.ScalarNode):
        s = node.value
        if len(s.encode("utf-8", "surrogatepass")) <= _MAX_TEXT_BYTES and \
                not any(ord(ch) < 0x20 or ord(ch) == 0x7F for ch in s):
            return s
    raise _Problem(node, key, "must be text of at most 64 bytes, without control characters")


def _channel(node, prefix, yaml):
    if not isinstance(node, yaml.MappingNode):
        raise _Problem(node, prefix, "must be a mapping of " + ", ".join(_CHANNEL_KEYS))
    _no_repeats(node, prefix + ".", yaml)
    got = {}
    min_node = None
    for k, v in node.value:
        text = _key_text(k, yaml)
        key = f"{prefix}.{text}"
        if text not in _CHANNEL_KEYS:
            raise _Problem(k, key, "unknown key (" + ", ".join(_CHANNEL_KEYS) + ")")
        if _is_null(v):
            continue
        if text in ("name", "unit"):
            got[text] = _text(v, key, yaml)
            continue
        got[text] = _number(v, key, yaml)
        if text == "scale" and got[text] == 0.0:
            raise _Problem(v, key, "must not be 0")
        if text == "min":
            min_node = v
    if "min" in got and "max" in got and not got["min"] < got["max"]:
        raise _Problem(min_node, prefix + ".min", "must be below max")
    if "unit" not in got:
        got["unit"] = "" if "scale" in got or "offset" in got else "V"
    return ChannelSpec(**got)


def _channels(node, yaml):
    specs = {}
    if _is_null(node):
        return specs
    if not isinstance(node, yaml.MappingNode):
        raise _Problem(node, "channels", "must be a mapping of channels 1-4")
    _no_repeats(node, "channels.", yaml)
    for k, v in node.value:
        text = _key_text(k, yaml)
        if text not in ("1", "2", "3", "4"):
            raise _Problem(k, "channels." + text, "not a channel (1-4)")
        if not _is_null(v):
            specs[int(text)] = _channel(v, "channels." + text, yaml)
    return specs


def _document(docs, yaml):
    if len(docs) > 1:
        raise _Problem(docs[1], "", "more than one YAML document")
    top = docs[0] if docs else None
    if top is None or _is_null(top):
        raise _Problem(1, "channels", "missing (the file holds no 'channels' mapping)")
    if not isinstance(top, yaml.MappingNode):
        raise _Problem(top, "channels", "missing (the file must be a mapping holding 'channels')")
    _no_repeats(top, "", yaml)
    specs = None
    for k, v in top.value:
        text = _key_text(k, yaml)
        if text != "channels":
            raise _Problem(k, text, "unknown key (the file holds 'channels' only)")
        specs = _channels(v, yaml)
    if specs is None:
        raise _Problem(1, "channels", "missing (the file holds no 'channels' mapping)")
    return specs


def _message(path, line, key, what):
    where = f"{path}:{line}" if line else str(path)
    return f"{where}: {key}: {what}" if key else f"{where}: {what}"


def parse_channels_config(data, path="<channels config>"):
    """The ChannelSpec of each channel a configuration file's bytes (or
    text) name, {channel: ChannelSpec}; raises ChannelsConfigError."""
    try:
        import yaml
    except ImportError:
        raise ChannelsConfigError(f"{path}: reading channel configuration files needs PyYAML "
                                  "(Debian: python3-yaml)") from None
    if isinstance(data, bytes):
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ChannelsConfigError(_message(path, data[:e.start].count(b"\n") + 1, "", "not UTF-8 text")) from None
    else:
        text = data
    try:
        docs = list(yaml.compose_all(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)))
        return _document(docs, yaml)
    except _Problem as p:
        raise ChannelsConfigError(_message(path, p.line, p.key, p.what)) from None
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        raise ChannelsConfigError(_message(path, mark.line + 1 if mark else 0, "",
                                           f"not valid YAML: {e.problem or e.context}")) from None
    except (yaml.YAMLError, RecursionError) as e:
        raise ChannelsConfigError(_message(path, 0, "", f"not valid YAML: {e}")) from None


def load_channels_config(path):
    """Reads a channel configuration file (YAML; see vx7ctl record
    --channels-config):

        channels:
          1: {name: Oven, unit: "°C", scale: 100.0, offset: 0.0, max: 250}
          2: {name: Supply pressure, unit: bar, scale: 4.0, offset: 0.0}

    Returns {channel: ChannelSpec} for the channels it names. Raises
    ChannelsConfigError, whose message is one line naming the file, the line
    and the key, for a file that cannot be read or used."""
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_FILE_BYTES + 1)
    except OSError as e:
        raise ChannelsConfigError(f"{os.fsdecode(path)}: cannot be read: {e.strerror}") from None
    if len(data) > _MAX_FILE_BYTES:
        raise ChannelsConfigError(f"{os.fsdecode(path)}: larger than 65536 bytes; not a channel configuration")
    return parse_channels_config(data, os.fsdecode(path))
