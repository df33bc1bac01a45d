// What the gateway says about its channels, with and without a channel
// configuration: the channel families of /metrics and the channels JSON (the
// history's CSV, the events and a channel losing its value with its file are
// checked end to end, in e2e_test.cpp).
#include "channel_views.h"
#include "hub.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using vx7::gateway::ChannelState;
using vx7::lines::ChannelConfig;

constexpr std::int64_t kNow = 1796724672'000000000; // 2026-12-08T10:11:12Z

ChannelState with_value(double volts, std::uint64_t ms)
{
    ChannelState s;
    s.has_value = true;
    s.volts = volts;
    s.elapsed_ms = ms;
    s.wall_ns = kNow - 250'000'000;
    s.samples = 7;
    return s;
}

// Channel 1 a thermocouple (a name that needs escaping in a label), channel 2
// a pressure sensor, channel 3 not named by the file, channel 4 with limits
// but no value.
ChannelConfig bench()
{
    ChannelConfig c;
    c.given = true;
    c.channels[0] = {true, "Oven \"A\"\\1", "\u00b0C", 100.0, 0.0, false, 0.0, true, 250.0};
    c.channels[1] = {true, "", "bar", 4.0, 0.0, false, 0.0, false, 0.0};
    c.channels[3] = {true, "Spare", "V", 1.0, 0.0, true, -1.0, true, 1.0};
    return c;
}

std::array<ChannelState, 4> states()
{
    std::array<ChannelState, 4> s{with_value(2.75, 10), with_value(0.5, 20), with_value(-1.25, 30), ChannelState{}};
    s[3].wall_ns = kNow - 3'000'000'000;
    return s;
}

// The lines of `text` that start with one of the families named.
std::vector<std::string> lines_of(const std::string &text, const std::vector<std::string> &families)
{
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end - pos);
        for (const auto &f : families)
            if (line.rfind(f + "{", 0) == 0 || line.rfind("# TYPE " + f + " ", 0) == 0)
                out.push_back(line);
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

TEST(ChannelViews, MetricsWithAndWithoutAConfiguration)
{
    const std::vector<std::string> families = {"vx7_channel_volts", "vx7_channel_value", "vx7_channel_alarm"};
    const struct {
        const char *what;
        ChannelConfig config;
        std::vector<std::string> lines;
    } cases[] = {
        {"no configuration",
         ChannelConfig{},
         {"# TYPE vx7_channel_volts gauge", "vx7_channel_volts{channel=\"1\"} 2.75",
          "vx7_channel_volts{channel=\"2\"} 0.5", "vx7_channel_volts{channel=\"3\"} -1.25"}},
        {"the bench's configuration",
         bench(),
         {"# TYPE vx7_channel_volts gauge", "vx7_channel_volts{channel=\"1\"} 2.75",
          "vx7_channel_volts{channel=\"2\"} 0.5", "vx7_channel_volts{channel=\"3\"} -1.25",
          "# TYPE vx7_channel_value gauge",
          "vx7_channel_value{channel=\"1\",name=\"Oven \\\"A\\\"\\\\1\",unit=\"\u00b0C\"} 275",
          "vx7_channel_value{channel=\"2\",name=\"Channel 2\",unit=\"bar\"} 2", "# TYPE vx7_channel_alarm gauge",
          "vx7_channel_alarm{channel=\"1\"} 1"}},
    };
    for (const auto &c : cases) {
        std::string out;
        vx7::gateway::append_channel_metrics(out, states(), c.config, kNow);
        EXPECT_EQ(lines_of(out, families), c.lines) << c.what << "\n" << out;
        EXPECT_EQ(out.back(), '\n');
    }
    // Within the limit, the alarm is 0.
    auto s = states();
    s[0].volts = 2.5;
    std::string out;
    vx7::gateway::append_channel_metrics(out, s, bench(), kNow);
    EXPECT_NE(out.find("\nvx7_channel_alarm{channel=\"1\"} 0\n"), std::string::npos) << out;
}

TEST(ChannelViews, ChannelsJsonAddsNameUnitValueAndAlarmOfConfiguredChannels)
{
    auto s = states();
    s[2].file_state = VX7_STREAM_CHANNEL_UNUSABLE;
    s[2].file_error = EISDIR;
    s[2].has_value = false;
    const auto plain =
        nlohmann::json::parse(vx7::gateway::channels_json(s, ChannelConfig{}, "stand07", true, false, kNow));
    EXPECT_EQ(plain["host"], "stand07");
    EXPECT_FALSE(plain["channels_config"].get<bool>());
    for (const auto &ch : plain["channels"])
        for (const char *key : {"name", "unit", "scale", "offset", "value", "min", "max", "alarm"})
            EXPECT_FALSE(ch.contains(key)) << key << " without a configuration: " << ch.dump();

    const auto j = nlohmann::json::parse(vx7::gateway::channels_json(s, bench(), "stand07", true, false, kNow));
    EXPECT_TRUE(j["channels_config"].get<bool>());
    const auto &c = j["channels"];
    EXPECT_EQ(c[0]["name"], "Oven \"A\"\\1");
    EXPECT_EQ(c[0]["scale"], 100.0);
    EXPECT_EQ(c[0]["offset"], 0.0);
    EXPECT_EQ(c[0]["unit"], "\u00b0C");
    EXPECT_EQ(c[0]["value"], 275.0);
    EXPECT_EQ(c[0]["volts"], 2.75);
    EXPECT_EQ(c[0]["max"], 250.0);
    EXPECT_TRUE(c[0]["min"].is_null());
    EXPECT_EQ(c[0]["alarm"], "high");
    EXPECT_EQ(c[0]["file"], "ok");
    EXPECT_EQ(c[1]["name"], "Channel 2");
    EXPECT_EQ(c[1]["value"], 2.0);
    EXPECT_TRUE(c[1]["alarm"].is_null());
    EXPECT_FALSE(c[2].contains("value")) << "channel 3 is not in the file";
    EXPECT_EQ(c[2]["file"], "unusable");
    EXPECT_EQ(c[2]["file_error"], "Is a directory");
    EXPECT_FALSE(c[2]["has_value"].get<bool>());
    EXPECT_TRUE(c[3]["value"].is_null());
    EXPECT_TRUE(c[3]["alarm"].is_null());
    EXPECT_DOUBLE_EQ(c[3]["age_seconds"].get<double>(), 3.0);
}

} // namespace
