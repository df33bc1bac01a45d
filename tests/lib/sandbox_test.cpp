// libvx7 at its fixed paths, inside a bubblewrap sandbox whose /home/dev is
// the test's own: vx7_read of /home/dev/vx7/adc<n>.adc through the C client,
// and end to end with the real vx7_driver writing the channel files from the
// simulated device while the client reads and configures.
#include "channel_files.h"
#include "sandbox.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using vx7test::driver_file;
using vx7test::Sandbox;
using vx7test::SandboxOptions;

namespace {

const std::string kClient = VX7_TEST_CLIENT;
const std::string kDriver = VX7_TEST_DRIVER;

std::string g17(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g\n", v);
    return buf;
}

std::vector<double> parse_lines(const std::string &out)
{
    std::vector<double> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        v.push_back(std::strtod(line.c_str(), nullptr));
    return v;
}

SandboxOptions options()
{
    SandboxOptions o;
    o.ro_binds.push_back(VX7_TEST_BINARY_DIR);
    o.dirs.push_back("/home/dev/vx7");
    return o;
}

std::string channel(int n)
{
    return "/home/dev/vx7/adc" + std::to_string(n) + ".adc";
}

} // namespace

// Channel n is read from adc<n>.adc and from nowhere else; the files stay as
// they were, and nothing stays open in the client.
TEST(FixedPaths, EachChannelReadsItsOwnFile)
{
    Sandbox sb(options());
    const double values[] = {1.25, -2.5, 0.0, 2.98023259404e-07};
    std::string expected;
    for (int n = 1; n <= 4; ++n) {
        sb.write(channel(n), driver_file(values[n - 1], 1000u * n));
        expected += g17(values[n - 1]);
    }
    // Files in the directory the driver writes to and in the directory the
    // help text names must not be taken for the library's files.
    sb.write("/adc1.adc", driver_file(2.0, 1));
    sb.write("/home/dev/adc1.adc", driver_file(2.0, 1));

    const auto r = sb.run(kClient + " read 1 2 3 4 0 5 255");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, expected + g17(1e10) + g17(1e10) + g17(1e10));
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(sb.read(channel(n)), driver_file(values[n - 1], 1000u * n)) << "file changed";
}

TEST(FixedPaths, UnreadableChannelFilesGiveMinusTenToTheTen)
{
    Sandbox sb(options());
    // adc1: missing; adc2: short; adc3: all spaces (driver stopped);
    // adc4: a directory.
    sb.write(channel(2), driver_file(1.5, 1).substr(0, 40));
    sb.write(channel(3), vx7test::kBlankRecord);
    ASSERT_EQ(sb.run("mkdir " + channel(4)).status, 0);

    const auto r = sb.run(kClient + " read 1 2 3 4");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, g17(-1e10) + g17(-1e10) + g17(-1e10) + g17(-1e10));
    EXPECT_FALSE(std::filesystem::exists(sb.host(channel(1)))) << "the reader created a file";
}

// The real driver, in the sandbox, samples the simulated device into its
// channel files in "/", which are links to the library's paths; the client
// reads them through vx7_read, and a vx7_configure from the client changes
// what the device then reports.
TEST(EndToEnd, DriverWritesClientReadsAndConfigures)
{
    SandboxOptions o = options();
    o.ro_binds.push_back(VX7SIM_LIBUSB_DIR);
    o.dirs.push_back("/sim");
    o.env.emplace_back("LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR);
    o.env.emplace_back("VX7SIM_STATE", "/sim/state");
    Sandbox sb(o);
    for (int n = 1; n <= 4; ++n)
        sb.symlink(channel(n), "/adc" + std::to_string(n) + ".adc");

    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    sim.set_waveform(dev, 0, vx7sim::Waveform::constant(1.0), vx7sim::Input::A);
    sim.set_waveform(dev, 0, vx7sim::Waveform::constant(-0.5), vx7sim::Input::B);
    sim.set_waveform(dev, 1, vx7sim::Waveform::constant(1.0), vx7sim::Input::A);
    sim.set_waveform(dev, 2, vx7sim::Waveform::constant(-2.0), vx7sim::Input::A);

    const auto start = sb.run(kDriver + " start");
    ASSERT_EQ(start.status, 1) << start.out << start.err;

    // Reads channels 1-3 until pred holds for them (or about 5 s pass).
    std::vector<double> last;
    const auto read_until = [&](const std::function<bool(const std::vector<double> &)> &pred) {
        return Sandbox::wait_until(
            [&] {
                const auto r = sb.run(kClient + " read 1 2 3");
                last = parse_lines(r.out);
                return r.status == 0 && last.size() == 3 && pred(last);
            },
            std::chrono::seconds(5));
    };
    const double lsb = vx7sim::kVoltsPerCount;
    EXPECT_TRUE(read_until([&](const auto &v) {
        return std::fabs(v[0] - 1.0) < lsb && std::fabs(v[1] - 1.0) < lsb && std::fabs(v[2] + 2.0) < lsb;
    })) << last[0]
        << " " << last[1] << " " << last[2];

    // Channel 0 (read as 1) to input B; channel 1 (read as 2) to the range
    // 0.3125 V, where 1 V is beyond full scale and reads as 0.3125.
    auto r = sb.run(kClient + " configure 0 0 0 255 1");
    EXPECT_EQ(r.out, "0\n") << r.err;
    r = sb.run(kClient + " configure 1 0 0.3 255 255");
    EXPECT_EQ(r.out, "0\n") << r.err;
    EXPECT_EQ(sim.channel_config(dev, 0).applied.input, vx7sim::Input::B);
    EXPECT_EQ(sim.channel_config(dev, 1).applied.range, 3);
    EXPECT_EQ(sim.counters(dev).open_handles(), 1) << "only the driver holds the device";

    EXPECT_TRUE(read_until([&](const auto &v) {
        return std::fabs(v[0] + 0.5) < lsb && v[1] == 0.3125 && std::fabs(v[2] + 2.0) < lsb;
    })) << last[0]
        << " " << last[1] << " " << last[2];

    // A hard reset brings channel 0 back to input A.
    r = sb.run(kClient + " reinit");
    EXPECT_EQ(r.out, "0\n") << r.err;
    EXPECT_TRUE(read_until([&](const auto &v) { return std::fabs(v[0] - 1.0) < lsb && std::fabs(v[1] - 1.0) < lsb; }))
        << last[0] << " " << last[1];

    // Stopped, the driver blanks its files: no value any more.
    r = sb.run(kDriver + " stop");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(read_until([](const auto &v) { return v[0] == -1e10 && v[1] == -1e10 && v[2] == -1e10; }))
        << last[0] << " " << last[1] << " " << last[2];
    EXPECT_EQ(sb.read(channel(1)), vx7test::kBlankRecord);
}
