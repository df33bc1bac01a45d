#!/usr/bin/env python3
"""Checks the vx7 udev rule: its syntax as udev parses rule lines, and that it
grants access to the vx7 device. Uses `udevadm verify` too where the installed
udev has it."""
import re
import shutil
import subprocess
import sys

MATCH_KEYS = {"ACTION", "DEVPATH", "KERNEL", "NAME", "SYMLINK", "SUBSYSTEM", "DRIVER", "ATTR",
              "SYSCTL", "KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS", "TAGS", "ENV", "CONST",
              "TAG", "TEST", "PROGRAM", "RESULT"}
ASSIGN_KEYS = {"NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "SECLABEL", "ATTR", "SYSCTL", "ENV",
               "TAG", "RUN", "LABEL", "GOTO", "IMPORT", "OPTIONS"}
KEYS_WITH_ATTR = {"ATTR", "SYSCTL", "ATTRS", "ENV", "CONST", "TEST", "SECLABEL", "RUN", "IMPORT"}
TOKEN = re.compile(r'\s*([A-Z]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')


def parse(text):
    """Returns the rules as lists of (key, attr, op, value); raises ValueError."""
    rules, pending = [], ""
    for number, line in enumerate(text.splitlines(), 1):
        line = pending + line
        if line.endswith("\\"):
            pending = line[:-1]
            continue
        pending = ""
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        tokens, pos = [], 0
        while pos < len(line):
            m = TOKEN.match(line, pos)
            if not m:
                raise ValueError(f"line {number}: cannot parse at column {pos + 1}: {line[pos:]!r}")
            key, attr, op, value, sep = m.groups()
            is_match = op in ("==", "!=")
            if key not in (MATCH_KEYS if is_match else ASSIGN_KEYS):
                raise ValueError(f"line {number}: {key} cannot be used with {op}")
            if (attr is not None) != (key in KEYS_WITH_ATTR) and key not in ("RUN", "IMPORT"):
                raise ValueError(f"line {number}: {key} {'needs' if attr is None else 'takes no'} {{attribute}}")
            tokens.append((key, attr, op, value))
            pos = m.end()
            if sep == "" and pos < len(line):
                raise ValueError(f"line {number}: missing comma")
        rules.append(tokens)
    if pending:
        raise ValueError("file ends inside a continued line")
    return rules


def main(path):
    with open(path, encoding="ascii") as f:
        rules = parse(f.read())
    vx7 = [r for r in rules
           if ("ATTR", "idVendor", "==", "16c0") in r and ("ATTR", "idProduct", "==", "05df") in r]
    assert len(vx7) == 1, f"expected one rule for 16c0:05df, found {len(vx7)}"
    rule = vx7[0]
    assert ("SUBSYSTEM", None, "==", "usb") in rule, "the rule must match the usb subsystem"
    assert ("TAG", None, "+=", "uaccess") in rule, 'TAG+="uaccess" missing'
    assert any(k == "GROUP" and op == "=" for k, _, op, _ in rule), "GROUP missing"
    modes = [v for k, _, op, v in rule if k == "MODE" and op == "="]
    assert modes and re.fullmatch(r"0[0-7]{3}", modes[0]), "MODE missing or not octal"
    if shutil.which("udevadm"):
        helptext = subprocess.run(["udevadm", "--help"], capture_output=True, text=True).stdout
        if re.search(r"^\s+verify\b", helptext, re.M):
            subprocess.run(["udevadm", "verify", path], check=True)
    print("udev rule ok")


if __name__ == "__main__":
    main(sys.argv[1])
