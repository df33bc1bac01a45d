#!/usr/bin/python3
"""The dashboard page in headless Chromium (through chromedriver).

Usage: dashboard_test.py URL SCREENSHOT

With VX7_DASHBOARD_LOGIN=USER:PASSWORD in the environment, every request of
the page carries that login (as a browser sends it once the user has given
it at the login prompt).

Checks that within 2 s of opening the page all four readouts show numbers and
the chart has points; that the page fits a phone's width; and that choosing
input GND for channel 1 on the page is answered "OK" and channel 1's readout
then reads 0 V. Saves a screenshot. The caller checks that the command reached
the device. Exits 0 when every check passed.
"""
import base64
import os
import re
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

NUMBER = re.compile(r"^[+-]\d+\.\d+ V$")


def wait(what, pred, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = pred()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out (%.1f s) waiting for %s" % (timeout, what))


def main():
    url, shot = sys.argv[1], sys.argv[2]
    opts = Options()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--no-proxy-server", "--window-size=1280,900", "--no-first-run"):
        opts.add_argument(a)
    drv = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    try:
        login = os.environ.get("VX7_DASHBOARD_LOGIN")
        if login:
            drv.execute_cdp_cmd("Network.enable", {})
            drv.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {
                "Authorization": "Basic " + base64.b64encode(login.encode()).decode()}})
        t0 = time.monotonic()
        drv.get(url)
        readouts = lambda: [drv.find_element(By.ID, "volts-%d" % c).text for c in range(1, 5)]
        wait("four numeric readouts and chart points",
             lambda: all(NUMBER.match(t) for t in readouts()) and drv.execute_script("return vx7dash.points()") > 0,
             2.0 - (time.monotonic() - t0))
        print("readouts after %.2f s: %s; chart points %d" %
              (time.monotonic() - t0, readouts(), drv.execute_script("return vx7dash.points()")))
        assert drv.find_element(By.ID, "driver").text == "driver: running", drv.find_element(By.ID, "driver").text

        # Range and input controls appear with --allow-configure.
        card = drv.find_element(By.ID, "channel-1")
        sel = wait("the input control", lambda: [e for e in card.find_elements(By.CSS_SELECTOR, "select.input")
                                                 if e.is_displayed()], 3.0)[0]
        Select(sel).select_by_value("GND")
        result = card.find_element(By.CSS_SELECTOR, ".result")
        wait("the configure result", lambda: "OK" in result.text, 5.0)
        print("result shown:", result.text)
        wait("channel 1 reading 0 V", lambda: readouts()[0] in ("+0.000000 V", "-0.000000 V"), 5.0)
        time.sleep(1.5)  # some chart after the change for the picture
        drv.save_screenshot(shot)
        print("screenshot:", shot)

        # A phone's width: nothing wider than the window.
        drv.set_window_size(390, 844)
        time.sleep(0.5)
        width = drv.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
        assert width[0] <= width[1], "page wider than a phone: %s" % width
        errors = [e for e in drv.get_log("browser") if e.get("level") == "SEVERE"]
        assert not errors, "errors in the page: %s" % errors
    finally:
        drv.quit()
    print("dashboard: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
