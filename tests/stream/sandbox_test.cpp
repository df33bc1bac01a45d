// The stream against the real driver: vx7_driver runs in a bubblewrap
// sandbox and writes its channel files in the sandbox's "/" from the
// simulated device; the stream, in this process, watches those files from
// before they exist until the driver stops.
#include "sandbox.h"
#include "vx7/stream.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

using vx7test::Sandbox;

TEST(StreamWithDriver, EverySampleOfAllFourChannelsInOrder)
{
    vx7test::SandboxOptions o;
    o.ro_binds = {VX7_TEST_BINARY_DIR, VX7SIM_LIBUSB_DIR};
    o.dirs = {"/sim"};
    o.env = {{"LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR}, {"VX7SIM_STATE", "/sim/state"}};
    Sandbox sb(o);
    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    for (int ch = 0; ch < 4; ++ch)
        sim.set_waveform(dev, ch, vx7sim::Waveform::ramp(0.5, 7, 0.1 * ch));

    const std::string root = sb.root().string();
    vx7_stream_options so{};
    so.dir = root.c_str();
    vx7_stream *s = nullptr;
    ASSERT_EQ(vx7_stream_open(&so, &s), VX7_STREAM_OK);
    for (int ch = 1; ch <= 4; ++ch)
        EXPECT_EQ(vx7_stream_channel_state(s, ch, nullptr), VX7_STREAM_CHANNEL_WAITING);

    const auto start = sb.run(VX7_TEST_DRIVER " start");
    ASSERT_EQ(start.status, 1) << start.out << start.err;

    std::vector<vx7_sample> got[4];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    vx7_sample x;
    while (std::chrono::steady_clock::now() < until) {
        if (vx7_stream_next(s, 50, &x) == VX7_STREAM_OK)
            got[x.channel - 1].push_back(x);
    }
    const auto stop = sb.run(VX7_TEST_DRIVER " stop");
    EXPECT_EQ(stop.status, 1) << stop.out << stop.err;
    std::vector<vx7_sample> after;
    while (vx7_stream_next(s, 500, &x) == VX7_STREAM_OK)
        after.push_back(x);

    for (int ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE(ch + 1);
        // The driver takes one channel per 10 ms cycle: about 40 ms apart.
        EXPECT_GE(got[ch].size(), 10u);
        for (std::size_t i = 0; i < got[ch].size(); ++i) {
            const vx7_sample &a = got[ch][i];
            ASSERT_EQ(a.has_value, 1);
            EXPECT_EQ(a.volts, std::strtod(a.text, nullptr));
            if (i > 0) {
                EXPECT_GT(a.elapsed_ms, got[ch][i - 1].elapsed_ms) << i;
                EXPECT_GE(a.wall_ns, got[ch][i - 1].wall_ns);
            }
        }
    }
    // Stopped, the driver blanks its files: one "no value" per channel.
    ASSERT_EQ(after.size(), 4u);
    for (const auto &a : after)
        EXPECT_EQ(a.has_value, 0);
    std::printf("late polls: %llu\n", static_cast<unsigned long long>(vx7_stream_late_polls(s)));
    vx7_stream_close(s);
}
