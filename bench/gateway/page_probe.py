#!/usr/bin/python3
"""The dashboard page's figures in headless Chromium, with four channels at
the driver's full rate, the 10-minute window and a recording running:

  * frames: the intervals between requestAnimationFrame timestamps (a loop
    of this probe's own, every frame) and the time the page's own frame
    callbacks take (its redraws), median, 95th and 99th percentile, maximum;
    the frames longer than 1.5 display intervals (dropped frames);
  * the tab's JavaScript heap after a garbage collection, every 30 s, and
    its growth from the first sample to the last.

The display paces the frames (16.7 ms at 60 Hz): an interval above that is
a frame the page made late. The forced garbage collections of the heap
samples are left out of the frame figures.

Usage: page_probe.py URL [SECONDS]   (default 300; run by vx7_page_probe)
"""
import json
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

# Before the page's own scripts: a frame loop that keeps the intervals of
# the rAF timestamps, and a wrapper that times the page's frame callbacks.
# Both write into arrays allocated once, so that the probe does not grow
# the heap it measures.
INSTRUMENT = """
(() => {
  const raf = window.requestAnimationFrame.bind(window);
  const N = 1 << 20;
  const probe = window.__probe = { intervals: new Float32Array(N), n: 0, work: new Float32Array(N), w: 0,
                                   last: 0, on: false };
  const loop = (ts) => {
    if (probe.on && probe.last && probe.n < N) probe.intervals[probe.n++] = ts - probe.last;
    probe.last = ts;
    raf(loop);
  };
  raf(loop);
  window.requestAnimationFrame = (cb) => raf((ts) => {
    const t0 = performance.now();
    cb(ts);
    if (probe.on && probe.w < N) probe.work[probe.w++] = performance.now() - t0;
  });
})();
"""


def stats(values):
    v = sorted(values)
    if not v:
        return "none"
    at = lambda p: v[min(len(v) - 1, int(p * len(v)))]
    return "median %.2f ms, p95 %.2f ms, p99 %.2f ms, max %.2f ms (%d frames)" % (at(0.5), at(0.95), at(0.99), v[-1],
                                                                                     len(v))


def main():
    url = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    opts = Options()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-proxy-server",
              "--window-size=1280,900", "--no-first-run"):
        opts.add_argument(a)
    drv = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    try:
        drv.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": INSTRUMENT})
        drv.get(url)
        time.sleep(3)
        drv.find_element(By.CSS_SELECTOR, 'input[name=window][value="600"]').find_element(By.XPATH, "..").click()
        drv.find_element(By.ID, "record").click()
        time.sleep(10)  # the history in, the first redraws done
        drv.execute_script("__probe.on = true")
        heap = []
        start = time.monotonic()
        while True:
            # The collection this forces stalls a frame or two: not counted.
            drv.execute_script("__probe.on = false; __probe.last = 0")
            drv.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
            used = drv.execute_cdp_cmd("Runtime.getHeapUsage", {})["usedSize"]
            elapsed = time.monotonic() - start
            heap.append((elapsed, used))
            print("heap after %3.0f s: %.2f MiB (%d samples in the buffers, %s rows recorded)" %
                  (elapsed, used / 2**20, drv.execute_script("return vx7dash.points()"),
                   drv.execute_script("return vx7dash.recording()")), flush=True)
            if elapsed >= seconds:
                break
            time.sleep(0.5)
            drv.execute_script("__probe.last = 0; __probe.on = true")
            time.sleep(min(30, seconds - elapsed))
        drv.execute_script("__probe.on = false")
        intervals = json.loads(drv.execute_script("return JSON.stringify(Array.from(__probe.intervals.subarray(0, __probe.n)))"))
        work = json.loads(drv.execute_script("return JSON.stringify(Array.from(__probe.work.subarray(0, __probe.w)))"))
        display = sorted(intervals)[len(intervals) // 2] if intervals else 0
        dropped = sum(1 for i in intervals if i > 1.5 * display)
        print("frame intervals (rAF timestamps): " + stats(intervals))
        print("  longer than 1.5 display intervals (%.2f ms): %d of %d (%.3f %%)" %
              (display, dropped, len(intervals), 100.0 * dropped / max(1, len(intervals))))
        print("page's frame work (its rAF callbacks): " + stats(work))
        first, last = heap[0][1], heap[-1][1]
        print("JS heap: first %.2f MiB, last %.2f MiB, max %.2f MiB: %+.1f %% over %.0f s" %
              (first / 2**20, last / 2**20, max(h for _, h in heap) / 2**20, 100.0 * (last - first) / first,
               heap[-1][0]))
        drv.find_element(By.ID, "record").click()
    finally:
        drv.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
