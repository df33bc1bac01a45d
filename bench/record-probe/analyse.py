#!/usr/bin/env python3
"""Compares what `vx7ctl record` wrote (each line stamped with the time it
arrived) with the sample reports the simulated device answered.

Usage: analyse.py SAMPLES STAMPED STOP_NS
  SAMPLES  lines "seq channel exponent raw time_ns" (vx7_sample_log)
  STAMPED  lines "arrival_ns <CSV line>"
  STOP_NS  when the driver was asked to stop: the last sample answered, in the
           driver's last cycle, is published and blanked at once, where no
           reader sees it
"""
import sys


def text(raw, exponent):
    # 2.5/8388607 V per count of the offset-binary code, / 2^exponent.
    v = (raw - 0x800000) * (2.5 / 8388607.0)
    for _ in range(exponent):
        v /= 2
    return "%.11e" % v


def main():
    samples_path, stamped_path, stop_ns = sys.argv[1], sys.argv[2], int(sys.argv[3])
    expected = {c: [] for c in range(1, 5)}
    for line in open(samples_path):
        seq, ch, exp, raw, t = (int(x) for x in line.split())
        expected[ch + 1].append((text(raw, exp), t))
    got = {c: [] for c in range(1, 5)}
    bad = 0
    for line in open(stamped_path):
        arrival, _, csv = line.rstrip("\n").partition(" ")
        if csv.startswith("time,"):
            continue
        f = csv.split(",")
        if len(f) != 4:
            bad += 1
            continue
        if f[1] == "":
            continue  # "no value"
        got[int(f[2])].append((f[3], int(arrival)))
    total_expected = total_got = missing = unseeable = extra = 0
    channel_missing = {c: 0 for c in range(1, 5)}
    latencies = []
    # The driver's last cycle (the sample answered last of all, at the stop)
    # is published and blanked at once.
    last = max((c for c in range(1, 5) if expected[c]), key=lambda c: expected[c][-1][1], default=None)
    for c in range(1, 5):
        exp, rec = expected[c], got[c]
        if c == last and exp[-1][1] >= stop_ns - 20_000_000 and (not rec or rec[-1][0] != exp[-1][0]):
            exp = exp[:-1]
            unseeable += 1
        total_expected += len(exp)
        total_got += len(rec)
        i = 0
        for volts, arrival in rec:
            # Walk the expected samples; one not found in order is missing.
            j = i
            while j < len(exp) and exp[j][0] != volts:
                j += 1
            if j == len(exp):
                extra += 1
                continue
            missing += j - i
            channel_missing[c] += j - i
            latencies.append(arrival - exp[j][1])
            i = j + 1
        missing += len(exp) - i
        channel_missing[c] += len(exp) - i
    latencies.sort()

    def pct(p):
        return latencies[min(len(latencies) - 1, int(p * len(latencies)))] / 1e6 if latencies else float("nan")

    print("samples_expected %d" % total_expected)
    print("samples_recorded %d" % total_got)
    print("samples_missing %d (per channel %s)" % (missing, " ".join("%d" % channel_missing[c] for c in range(1, 5))))
    print("lines_unexpected %d" % extra)
    print("lines_malformed %d" % bad)
    print("last_before_stop_unseeable %d" % unseeable)
    print("latency_ms p50 %.3f p99 %.3f max %.3f (answered by the device -> line read from the pipe)"
          % (pct(0.50), pct(0.99), latencies[-1] / 1e6 if latencies else float("nan")))


main()
