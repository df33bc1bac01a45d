// vx7_page_probe: the dashboard page's figures in headless Chromium
// (page_probe.py) with the real driver and gateway in a sandbox against the
// simulated device: four channels at the driver's full rate, each with its
// own sine, the gateway with a channel configuration, the page on its
// 10-minute window while it records.
// Usage: vx7_page_probe [SECONDS]   (default 300: five minutes)
#include "sandbox.h"
#include "vx7sim/sim.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 300;
    vx7test::SandboxOptions o;
    o.ro_binds = {VX7_TEST_BINARY_DIR, VX7SIM_LIBUSB_DIR};
    o.dirs = {"/sim", "/home/dev/vx7"};
    o.env = {{"LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR}, {"VX7SIM_STATE", "/sim/state"}};
    vx7test::Sandbox sb(o);
    for (int n = 1; n <= 4; ++n)
        sb.symlink("/home/dev/vx7/adc" + std::to_string(n) + ".adc", "/adc" + std::to_string(n) + ".adc");
    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    for (int c = 0; c < 4; ++c)
        sim.set_waveform(dev, c, vx7sim::Waveform::sine(0.5 + 0.5 * c, 200 + 100 * static_cast<unsigned>(c), 0.25),
                         vx7sim::Input::A);
    sb.write("/channels.yaml",
             "channels:\n"
             "  1: {name: Oven, unit: \"\u00b0C\", scale: 100.0, max: 60}\n"
             "  2: {name: Supply pressure, unit: bar, scale: 6.25, offset: -2.5, min: 1, max: 8}\n");
    sb.run(VX7_TEST_DRIVER " start");
    sb.run(VX7_TEST_GATEWAY " --listen 127.0.0.1:0 --channels-config /channels.yaml >/gw.out 2>/gw.err &");
    std::string err;
    if (!vx7test::Sandbox::wait_until(
            [&] { return (err = sb.read("/gw.err")).find("serving") != std::string::npos; }) ||
        !sb.wait_for_file("/home/dev/vx7/adc4.adc")) {
        std::fprintf(stderr, "page probe: gateway or driver did not start: %s\n", err.c_str());
        return 1;
    }
    const int port = std::atoi(err.c_str() + err.find("127.0.0.1:") + 10);
    const std::string cmd = std::string("/usr/bin/python3 ") + VX7_PAGE_PROBE_PY +
                            " http://127.0.0.1:" + std::to_string(port) + "/ " + std::to_string(seconds);
    std::printf("page probe: %d s, four channels at the driver's full rate, 10-minute window, recording\n", seconds);
    std::fflush(stdout);
    const int status = std::system(cmd.c_str());
    sb.run(VX7_TEST_DRIVER " stop");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
