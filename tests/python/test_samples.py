"""vx7.samples() over libvx7stream, on channel files that the test writes
through the record unit (VX7_RECORD_WRITER) in a temporary directory.

Run by ctest with PYTHONPATH, VX7_LIBRARY, VX7_STREAM_LIBRARY and
VX7_RECORD_WRITER set (see CMakeLists.txt).
"""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import vx7

WRITER = os.environ["VX7_RECORD_WRITER"]


class Files:
    def __init__(self, directory):
        self.dir = directory

    def path(self, channel):
        return os.path.join(self.dir, f"adc{channel}.adc")

    def _run(self, *args):
        subprocess.run([WRITER, *args], check=True)

    def create(self, channel):
        self._run("create", self.path(channel))

    def write(self, channel, volts, ms):
        self._run("write", self.path(channel), repr(volts), str(ms))

    def blank(self, channel):
        self._run("blank", self.path(channel))


class SamplesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vx7py.")
        self.files = Files(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def test_every_new_record_once_in_order_then_no_value(self):
        for c in (1, 2, 3, 4):
            self.files.create(c)
        self.files.write(3, 0.25, 20)
        self.files.write(1, -1.5, 30)
        with vx7.samples(dir=self.tmp.name, timeout=0.2) as it:
            first = [next(it), next(it)]
            self.files.write(1, -1.5, 30)  # the same record: no news
            self.files.write(2, 2.98023259404e-07, 40)
            self.files.blank(3)
            rest = list(it)
            self.assertIsInstance(it.late_polls, int)
        self.assertEqual([(s.channel, s.has_value, s.elapsed_ms, s.volts, s.text) for s in first + rest], [
            (3, True, 20, 0.25, "2.50000000000e-01"),
            (1, True, 30, -1.5, "-1.50000000000e+00"),
            (2, True, 40, 2.98023259404e-07, "2.98023259404e-07"),
            (3, False, 0, 0.0, ""),
        ])
        now = time.time()
        for s in first + rest:
            self.assertLess(abs(s.time - now), 10)
            self.assertEqual(s.time, s.wall_ns / 1e9)

    def test_channels_paths_and_count(self):
        other = os.path.join(self.tmp.name, "other.adc")
        subprocess.run([WRITER, "write", other, "1.0", "5"], check=True)
        for c in (1, 2, 3):
            self.files.write(c, 0.5 * c, c)
        got = list(vx7.samples(channels=[2, 4], dir=self.tmp.name, paths={4: other}, timeout=0.2))
        self.assertEqual([(s.channel, s.elapsed_ms) for s in got], [(2, 2), (4, 5)])
        got = list(vx7.samples(dir=self.tmp.name, count=2, timeout=2))
        self.assertEqual([s.channel for s in got], [1, 2])
        got = list(vx7.samples(channels=3, paths=[None, None, self.files.path(3), None], timeout=0.1))
        self.assertEqual([(s.channel, s.volts) for s in got], [(3, 1.5)])

    def test_lost_records_are_counted_per_channel(self):
        self.files.create(1)
        self.files.write(1, 0.5, 10)
        with vx7.samples(channels=[1, 3], dir=self.tmp.name, timeout=2) as it:
            self.assertEqual(next(it).elapsed_ms, 10)
            self.assertEqual(it.lost, {1: 0, 3: 0})
            for ms in (20, 30, 40):  # two of them never seen
                self.files.write(1, 0.5, ms)
            self.assertEqual(next(it).elapsed_ms, 40)
            self.assertEqual(it.lost, {1: 2, 3: 0})
        self.assertEqual(it.lost, {1: 2, 3: 0}, "kept after close")

    def test_an_infinite_timeout_waits_for_ever(self):
        self.files.write(1, 0.5, 10)
        got = list(vx7.samples(channels=[1], dir=self.tmp.name, timeout=float("inf"), count=1))
        self.assertEqual([s.elapsed_ms for s in got], [10])

    def test_missing_file_is_waited_for(self):
        it = vx7.samples(dir=self.tmp.name, channels=[1], timeout=3)
        self.assertEqual(it.channel_state(1), ("waiting", 2))
        self.assertEqual(it.channel_state(2)[0], "unwatched")
        self.files.write(1, 1.0, 9)
        self.assertEqual(next(it).elapsed_ms, 9)
        self.assertEqual(it.channel_state(1), ("mapped", 0))
        it.close()
        self.assertEqual(list(it), [])

    def test_bad_arguments(self):
        for kwargs in (dict(channels=[0]), dict(channels=[5]), dict(channels=[]), dict(period_ms=0),
                       dict(timeout=-1), dict(count=-1), dict(paths={5: "x"}),
                       # A NUL would cut the path short in the library.
                       dict(dir=self.tmp.name + "\0/x"), dict(paths={1: self.files.path(1) + "\0.old"}),
                       dict(dir=os.fsencode(self.tmp.name) + b"\0")):
            with self.subTest(**kwargs):
                with self.assertRaises(ValueError):
                    vx7.samples(**dict(dict(dir=self.tmp.name), **kwargs))
        with self.assertRaises(vx7.Vx7Error) as e:
            vx7.samples(dir="x" * 5000)
        self.assertEqual(e.exception.code, -1)

    def test_ctrl_c_ends_the_iteration_cleanly(self):
        script = textwrap.dedent(f"""
            import sys, vx7
            it = vx7.samples(dir={self.tmp.name!r})
            print("ready", flush=True)
            n = sum(1 for _ in it)
            print("stopped", n, it.late_polls >= 0, flush=True)
        """)
        p = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        try:
            self.assertEqual(p.stdout.readline(), "ready\n")
            time.sleep(0.3)
            p.send_signal(signal.SIGINT)
            out, err = p.communicate(timeout=10)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(p.returncode, 0, err)
        self.assertEqual(out, "stopped 0 True\n")


if __name__ == "__main__":
    unittest.main()
