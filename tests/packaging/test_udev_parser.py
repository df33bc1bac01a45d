"""The udev rule checker must refuse what udev would refuse, or its verdict on
the shipped rule means nothing."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from check_udev_rule import parse  # noqa: E402


class UdevParser(unittest.TestCase):
    def test_refuses_malformed_lines(self):
        for line in ['SUBSYSTEM=="usb" ATTR{idVendor}=="16c0"',  # missing comma
                     'SUBSYSTEM="usb"',                           # assignment to a match-only key
                     'FOO=="x"',                                  # unknown key
                     'ATTR=="x"',                                 # attribute missing
                     'MODE=="0660"',                              # match on an assign-only key
                     'GROUP="plugdev',                            # unterminated value
                     'SUBSYSTEM=="usb", \\']:                     # continued into nothing
            with self.subTest(line=line), self.assertRaises(ValueError):
                parse(line + "\n")

    def test_reads_rules_comments_and_continuations(self):
        rules = parse('# comment\n\nSUBSYSTEM=="usb", \\\n  ATTR{idVendor}=="16c0", MODE="0660"\n')
        self.assertEqual(rules, [[("SUBSYSTEM", None, "==", "usb"), ("ATTR", "idVendor", "==", "16c0"),
                                  ("MODE", None, "=", "0660")]])


if __name__ == "__main__":
    unittest.main()
