"""The Python module vx7 over the built libvx7, against the simulated device.

Run by ctest with: PYTHONPATH (the build's python/ folder, with the module as
it is installed), VX7_LIBRARY (the built libvx7), LD_LIBRARY_PATH (the
stand-in libusb first), VX7SIM_TOOL (the simulator's command-line tool).
Reads of the fixed channel paths run in a bubblewrap sandbox with a private
/home/dev; everything else stays in a temporary directory of the test.
"""

import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import vx7

SIM_TOOL = os.environ["VX7SIM_TOOL"]

HELP_FIRST = "Library that configures vx7_hid device\n"
HELP_LAST = "    7 - can not aplly changes\n"


class SimDevice:
    """A simulated machine in a state file of its own, scripted through the
    vx7sim tool; VX7SIM_STATE points the stand-in libusb at it."""

    def __init__(self, directory):
        self.state = os.path.join(directory, "device.state")
        self.tool("create")
        os.environ["VX7SIM_STATE"] = self.state

    def tool(self, *args):
        r = subprocess.run([SIM_TOOL, "--state", self.state, *args], capture_output=True, text=True)
        if r.returncode != 0:
            raise AssertionError(f"vx7sim {' '.join(args)}: {r.stderr}")
        return r.stdout

    def commands(self):
        """The command reports received: (code, mask, value byte, accepted)."""
        out = []
        for line in self.tool("log").splitlines():
            m = re.search(r": ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2}) (\w+)", line)
            if m:
                b = [int(x, 16) for x in m.groups()[:4]]
                out.append((b[0], b[1], b[3], m.group(5) == "accepted"))
        return out

    def open_handles(self):
        return int(re.search(r"open-handles (-?\d+)", self.tool("counters")).group(1))

    def opens_tried(self):
        c = self.tool("counters")
        return int(re.search(r"opens (\d+)", c).group(1)) + int(re.search(r"open-failures (\d+)", c).group(1))


class DeviceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="vx7py.")
        self.sim = SimDevice(self.dir.name)

    def tearDown(self):
        self.assertEqual(self.sim.open_handles(), 0, "a call left the device open")
        del os.environ["VX7SIM_STATE"]
        self.dir.cleanup()


class Configure(DeviceTest):
    def test_settings_by_name_and_number_become_command_reports(self):
        cases = [
            (dict(chan=2, freq=1000, range=2.5, calibrate="auto", input="A"),
             [(3, 0x04, 0xE8), (4, 0x04, 0), (5, 0x04, 0x10), (6, 0x04, 0), (7, 0x04, 0)]),
            # Nothing to change: the apply command alone; 0 means "unchanged".
            (dict(chan=0), [(7, 0x01, 0)]),
            (dict(chan=3, freq=0, range=0), [(7, 0x08, 0)]),
            (dict(chan=1, freq=65535), [(3, 0x02, 0xFF), (7, 0x02, 0xFF)]),
            (dict(chan=0, range=1.25), [(4, 0x01, 1), (7, 0x01, 1)]),
            (dict(chan=0, range=0.01), [(4, 0x01, 7), (7, 0x01, 7)]),
            (dict(chan=0, calibrate="none"), [(5, 0x01, 0x00), (7, 0x01, 0x00)]),
            (dict(chan=0, calibrate="INT_RANGE"), [(5, 0x01, 0x70), (7, 0x01, 0x70)]),
            (dict(chan=0, calibrate=4), [(5, 0x01, 0x40), (7, 0x01, 0x40)]),
            (dict(chan=0, input="GND"), [(6, 0x01, 2), (7, 0x01, 2)]),
            (dict(chan=0, input="test"), [(6, 0x01, 3), (7, 0x01, 3)]),
            (dict(chan=0, input="b"), [(6, 0x01, 1), (7, 0x01, 1)]),
            (dict(chan=0, input=0), [(6, 0x01, 0), (7, 0x01, 0)]),
        ]
        for kwargs, sent in cases:
            with self.subTest(**kwargs):
                before = len(self.sim.commands())
                self.assertIsNone(vx7.configure(**kwargs))
                got = self.sim.commands()[before:]
                self.assertEqual([c[:3] for c in got], sent)
                self.assertTrue(all(c[3] for c in got))

    def test_bad_arguments_are_refused_before_the_library_is_called(self):
        cases = [
            (dict(chan=7), ValueError),
            (dict(chan=-1), ValueError),
            (dict(chan=256), ValueError),
            (dict(chan="0"), TypeError),
            (dict(chan=True), TypeError),
            (dict(chan=0, freq=65536), ValueError),
            (dict(chan=0, freq=-1), ValueError),
            (dict(chan=0, freq=1.5), TypeError),
            (dict(chan=0, range=-1), ValueError),
            (dict(chan=0, range=2.6), ValueError),
            (dict(chan=0, range=math.nan), ValueError),
            (dict(chan=0, range=math.inf), ValueError),
            (dict(chan=0, range=1e-50), ValueError),
            (dict(chan=0, range=10 ** 400), ValueError),
            (dict(chan=0, range="1"), TypeError),
            (dict(chan=0, calibrate="sometimes"), ValueError),
            (dict(chan=0, calibrate=8), ValueError),
            (dict(chan=0, input="C"), ValueError),
            (dict(chan=0, input=4), ValueError),
            (dict(chan=0, input=2.0), TypeError),
        ]
        for kwargs, error in cases:
            with self.subTest(**{k: repr(v) for k, v in kwargs.items()}):
                with self.assertRaises(error):
                    vx7.configure(**kwargs)
        self.assertEqual(self.sim.opens_tried(), 0)
        self.assertEqual(self.sim.commands(), [])

    def test_failed_commands_raise_with_code_and_meaning(self):
        cases = [
            (1, 3, "can not set frequency"),
            (2, 4, "can not set range"),
            (3, 5, "can not set calibration"),
            (4, 6, "can not set subchannel"),
            (5, 7, "can not apply changes"),
        ]
        for nth, code, meaning in cases:
            with self.subTest(code=code):
                self.sim.tool("clear-faults")
                self.sim.tool("fault", "set", "fail", "--nth", str(nth))
                before = len(self.sim.commands())
                with self.assertRaises(vx7.Vx7Error) as cm:
                    vx7.configure(chan=1, freq=50, range=1.0, calibrate="mixed", input="B")
                self.assertEqual(cm.exception.code, code)
                self.assertEqual(str(cm.exception), meaning)
                got = self.sim.commands()[before:]
                # The failed command is the last one sent.
                self.assertEqual(len(got), nth)
                self.assertFalse(got[-1][3])

        self.sim.tool("detach")
        with self.assertRaises(vx7.Vx7Error) as cm:
            vx7.configure(chan=0)
        self.assertEqual((cm.exception.code, str(cm.exception)), (1, "failed open device"))


class Reinit(DeviceTest):
    def test_reset_is_sent_and_failures_raise(self):
        self.assertIsNone(vx7.reinit())
        self.assertEqual([c[0] for c in self.sim.commands()], [10])

        self.sim.tool("fault", "set", "fail")
        with self.assertRaises(vx7.Vx7Error) as cm:
            vx7.reinit()
        self.assertEqual(cm.exception.code, 1)

        self.sim.tool("detach")
        with self.assertRaises(vx7.Vx7Error) as cm:
            vx7.reinit()
        self.assertEqual(cm.exception.code, 1)


class Constants(unittest.TestCase):
    def test_max_range_and_help_text(self):
        self.assertEqual(vx7.MAX_RANGE, 2.5)
        text = vx7.help()
        self.assertEqual(len(text), 1427)
        self.assertTrue(text.startswith(HELP_FIRST))
        self.assertTrue(text.endswith(HELP_LAST))
        self.assertEqual(text.count("\n"), 41)

    def test_bad_read_channels_are_refused(self):
        for channel, error in [(0, ValueError), (5, ValueError), (255, ValueError), (-1, ValueError),
                               (257, ValueError), ("1", TypeError), (1.0, TypeError)]:
            with self.subTest(channel=channel):
                with self.assertRaises(error):
                    vx7.read(channel)


def run_python(code, env):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)


class Loading(unittest.TestCase):
    def test_vx7_library_names_the_library_and_a_wrong_one_fails_clearly(self):
        env = dict(os.environ)
        r = run_python("import vx7; print(vx7.library_path)", env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), os.environ["VX7_LIBRARY"])

        env["VX7_LIBRARY"] = "/nonexistent/libvx7.so.1"
        r = run_python("import vx7", env)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("ImportError", r.stderr)
        self.assertIn("VX7_LIBRARY", r.stderr)
        self.assertIn("/nonexistent/libvx7.so.1", r.stderr)

    def test_a_library_that_is_not_libvx7_fails_with_an_import_error(self):
        # Libraries that load but are not the one the variable should name:
        # the message names the variable, no raw AttributeError.
        env = dict(os.environ)
        for variable, library, call in (("VX7_LIBRARY", os.environ["VX7_STREAM_LIBRARY"], "pass"),
                                        ("VX7_STREAM_LIBRARY", os.environ["VX7_LIBRARY"], "vx7.samples()")):
            with self.subTest(variable=variable):
                r = run_python(f"import vx7\n{call}", dict(env, **{variable: library}))
                self.assertNotEqual(r.returncode, 0)
                self.assertIn("ImportError", r.stderr)
                self.assertNotIn("AttributeError", r.stderr)
                self.assertIn(variable, r.stderr)
                self.assertIn(library, r.stderr)


# ---- vx7.read at its fixed paths, in a sandbox ----

RECORD_SIZE = 100


def record(volts, ms, over=None):
    """A channel file as the driver leaves it: spaces, and the record with
    its NUL written over the start (over a longer earlier record if given)."""
    data = bytearray(b" " * RECORD_SIZE)
    for text in ([over] if over else []) + ["%.11e\t%d\t" % (volts, ms)]:
        b = text.encode() + b"\0"
        data[: len(b)] = b
    return bytes(data)


class Sandbox:
    """A bubblewrap sandbox whose "/" is a temporary directory, with the
    system's /usr and /etc read-only and the given host paths visible."""

    def __init__(self, ro_binds):
        self.dir = tempfile.TemporaryDirectory(prefix="vx7pysb.")
        self.root = os.path.join(self.dir.name, "root")
        for d in ("usr", "etc", "proc", "dev", "tmp", "home/dev/vx7"):
            os.makedirs(os.path.join(self.root, d))
        for link in ("lib", "lib64", "bin", "sbin"):
            if os.path.exists(os.path.join("/usr", link)):
                os.symlink(os.path.join("usr", link), os.path.join(self.root, link))
        self.ro_binds = ro_binds

    def host(self, inside):
        return os.path.join(self.root, inside.lstrip("/"))

    def write(self, inside, data):
        with open(self.host(inside), "wb") as f:
            f.write(data)

    def run(self, argv, env):
        cmd = ["bwrap", "--bind", self.root, "/", "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
               "--proc", "/proc", "--dev", "/dev", "--unshare-pid", "--die-with-parent", "--clearenv",
               "--setenv", "PATH", "/usr/bin:/bin", "--setenv", "HOME", "/home/dev"]
        for k, v in env.items():
            cmd += ["--setenv", k, v]
        for p in self.ro_binds:
            os.makedirs(self.host(p), exist_ok=True)
            cmd += ["--ro-bind", p, p]
        return subprocess.run(cmd + ["--chdir", "/", "--"] + argv, capture_output=True, text=True, timeout=60)

    def close(self):
        self.dir.cleanup()


READ_SCRIPT = """
import vx7
for n in (1, 2, 3, 4):
    try:
        print(n, repr(vx7.read(n)))
    except vx7.Vx7Error as e:
        print(n, "Vx7Error", repr(e.code))
"""


class Read(unittest.TestCase):
    def test_read_parses_the_driver_record_and_raises_for_no_value(self):
        lib = os.path.realpath(os.environ["VX7_LIBRARY"])
        module_dir = os.path.dirname(os.path.realpath(vx7.__file__))
        binds = sorted({os.path.dirname(lib), module_dir, os.environ["LD_LIBRARY_PATH"].split(":")[0]})
        sb = Sandbox(binds)
        try:
            # 1: a value; 2: a positive record over a longer negative one;
            # 3: blank (the driver stopped); 4: missing.
            sb.write("/home/dev/vx7/adc1.adc", record(1.25, 1000))
            sb.write("/home/dev/vx7/adc2.adc", record(0.5, 1235, over="%.11e\t%d\t" % (-2.5, 1234)))
            sb.write("/home/dev/vx7/adc3.adc", b" " * RECORD_SIZE)
            env = {"PYTHONPATH": module_dir, "VX7_LIBRARY": lib,
                   "LD_LIBRARY_PATH": os.environ["LD_LIBRARY_PATH"]}
            for k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
                if k in os.environ:
                    env[k] = os.environ[k]
            r = sb.run(["/usr/bin/python3", "-c", READ_SCRIPT], env)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, "1 1.25\n2 0.5\n3 Vx7Error -10000000000.0\n4 Vx7Error -10000000000.0\n")
            self.assertFalse(os.path.exists(sb.host("/home/dev/vx7/adc4.adc")), "read created a file")
            with open(sb.host("/home/dev/vx7/adc1.adc"), "rb") as f:
                self.assertEqual(f.read(), record(1.25, 1000), "read changed a channel file")
        finally:
            sb.close()


if __name__ == "__main__":
    unittest.main()
