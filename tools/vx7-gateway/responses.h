// The bodies the gateway answers with, made from the hub's state alone:
// whatever carries them (HTTP engine, tests, other front ends) only sends
// them.
#ifndef VX7_GATEWAY_RESPONSES_H
#define VX7_GATEWAY_RESPONSES_H

#include "hub.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vx7::gateway {

// CLOCK_REALTIME in ns.
std::int64_t now_ns();

// The gateway's own counters in /metrics.
struct GatewayCounters {
    std::size_t stream_clients = 0;
    std::uint64_t dropped_clients = 0;
    std::uint64_t refused_requests = 0;
};

// What the stream counts: records each channel's counter says were
// published and not seen, and late polls of files without a counter.
struct StreamCounters {
    std::array<std::uint64_t, kChannels> lost{};
    std::uint64_t late_polls = 0;
};

// GET /metrics: the Prometheus text format (HELP and TYPE for each family).
// The channel families come from channel_views.h; names, units and scaled
// values from the channel configuration.
std::string metrics_text(const std::array<ChannelState, kChannels> &channels, const vx7::lines::ChannelConfig &config,
                         std::int64_t now, bool driver_running, const StreamCounters &stream,
                         const GatewayCounters &counters);

} // namespace vx7::gateway

#endif
