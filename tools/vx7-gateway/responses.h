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
#include <string_view>

namespace vx7::gateway {

// CLOCK_REALTIME in ns.
std::int64_t now_ns();

// GET /api/v1/channels: each channel's latest state and the driver's.
std::string channels_json(const std::array<ChannelState, kChannels> &channels, std::int64_t now, bool driver_running,
                          bool configure_allowed);

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
std::string metrics_text(const std::array<ChannelState, kChannels> &channels, std::int64_t now, bool driver_running,
                         const StreamCounters &stream, const GatewayCounters &counters);

// GET /api/v1/history: the header line, then one line per row (the columns
// of vx7ctl record, volts as the driver writes them).
inline constexpr std::string_view kHistoryCsvHeader = "time,elapsed_ms,channel,volts\n";
void append_csv_row(std::string &out, const HistoryRow &row);

} // namespace vx7::gateway

#endif
