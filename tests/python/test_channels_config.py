"""Channel configuration files and scaled values in the Python module, against
the table of cases the C++ reader is checked against too
(tests/data/channel_config_cases.json), and samples() with such a file.

Run by ctest with PYTHONPATH, VX7_LIBRARY, VX7_STREAM_LIBRARY and
VX7_RECORD_WRITER set (see CMakeLists.txt).
"""

import json
import os
import subprocess
import tempfile
import unittest

import vx7

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "channel_config_cases.json")
WRITER = os.environ["VX7_RECORD_WRITER"]


def expected_spec(j):
    return vx7.ChannelSpec(name=j.get("name", ""), unit=j.get("unit", ""), scale=j.get("scale", 1.0),
                           offset=j.get("offset", 0.0), min=j.get("min"), max=j.get("max"))


class ChannelsConfigTable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(CASES, encoding="utf-8") as f:
            cls.cases = json.load(f)

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vx7py.")
        self.path = os.path.join(self.tmp.name, "channels.yaml")

    def tearDown(self):
        self.tmp.cleanup()

    def test_files_and_their_messages(self):
        for c in self.cases["files"]:
            with self.subTest(c["what"]):
                with open(self.path, "wb") as f:
                    f.write(c["yaml"].encode(c.get("encoding", "utf-8")))
                if "channels" in c:
                    got = vx7.load_channels_config(self.path)
                    want = {int(k): expected_spec(v) for k, v in c["channels"].items()}
                    self.assertEqual(got, want)
                    continue
                with self.assertRaises(vx7.ChannelsConfigError) as e:
                    vx7.load_channels_config(self.path)
                message = str(e.exception)
                self.assertNotIn("\n", message)
                if "error" in c:
                    self.assertEqual(message, c["error"].replace("FILE", self.path, 1))
                else:
                    self.assertTrue(message.startswith(c["error_prefix"].replace("FILE", self.path, 1)), message)
                    self.assertIn(c["error_contains"], message)

    def test_files_that_cannot_be_read(self):
        missing = os.path.join(self.tmp.name, "missing.yaml")
        cases = [(missing, f"{missing}: cannot be read: No such file or directory")]
        big = os.path.join(self.tmp.name, "big.yaml")
        with open(big, "w") as f:
            f.write("channels:\n" + "#" * 70000 + "\n")
        cases.append((big, f"{big}: larger than 65536 bytes; not a channel configuration"))
        for path, message in cases:
            with self.subTest(path):
                with self.assertRaises(vx7.ChannelsConfigError) as e:
                    vx7.load_channels_config(path)
                self.assertEqual(str(e.exception), message)

    def test_values_and_alarms(self):
        for c in self.cases["values"]:
            with self.subTest(c["what"]):
                spec = expected_spec(c["spec"])
                value = vx7.scaled(spec, float(c["volts"]))
                self.assertEqual("%.11e" % value, c["value"])
                self.assertEqual(vx7.alarm(spec, value) or "", c["alarm"])


class ScaledSamples(unittest.TestCase):
    def test_samples_carry_name_unit_value_and_alarm(self):
        with tempfile.TemporaryDirectory(prefix="vx7py.") as d:
            config = os.path.join(d, "bench.yaml")
            with open(config, "w", encoding="utf-8") as f:
                f.write("channels:\n  1: {name: Oven, unit: \"\u00b0C\", scale: 100, max: 250}\n")
            for c, volts, ms in ((1, 2.6, 10), (2, -0.5, 20)):
                subprocess.run([WRITER, "write", os.path.join(d, f"adc{c}.adc"), repr(volts), str(ms)], check=True)
            subprocess.run([WRITER, "create", os.path.join(d, "adc3.adc")], check=True)
            got = list(vx7.samples(dir=d, channels=[1, 2], timeout=0.2, channels_config=config))
            self.assertEqual([(s.channel, s.volts, s.value, s.unit, s.name, s.alarm) for s in got], [
                (1, 2.6, 2.6 * 100, "\u00b0C", "Oven", "high"),
                (2, -0.5, -0.5, "V", "Channel 2", None),
            ])
            self.assertEqual(got[0][:4], (1, True, 10, 2.6))
            with self.assertRaises(vx7.ChannelsConfigError) as e:
                vx7.samples(dir=d, channels_config=os.path.join(d, "adc3.adc"))
            self.assertIn("adc3.adc:1: channels: missing", str(e.exception))


if __name__ == "__main__":
    unittest.main()
