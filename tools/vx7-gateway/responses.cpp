#include "responses.h"

#include "channel_views.h"

#include <cstdio>
#include <ctime>

namespace vx7::gateway {

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

std::string metrics_text(const std::array<ChannelState, kChannels> &channels, const vx7::lines::ChannelConfig &config,
                         std::int64_t now, bool driver_running, const StreamCounters &stream,
                         const GatewayCounters &counters)
{
    std::string out;
    out.reserve(2048);
    const auto family = [&](const char *name, const char *type, const char *help) {
        metric_family(out, name, type, help);
    };
    const auto series = [&](const char *name, int channel, const std::string &value) {
        metric_series(out, name, channel, value);
    };

    append_channel_metrics(out, channels, config, now);
    family("vx7_driver_up", "gauge", "1 when the acquisition driver daemon runs, else 0.");
    series("vx7_driver_up", 0, driver_running ? "1" : "0");
    family("vx7_samples_lost_total", "counter",
           "Records the driver published on the channel that the gateway did not see (from the sequence counter).");
    for (int c = 1; c <= kChannels; ++c)
        series("vx7_samples_lost_total", c, std::to_string(stream.lost[static_cast<std::size_t>(c - 1)]));
    family("vx7_stream_late_polls_total", "counter",
           "Polls of the channel files that came late, when a sample may have been missed.");
    series("vx7_stream_late_polls_total", 0, std::to_string(stream.late_polls));
    family("vx7_gateway_stream_clients", "gauge", "Event-stream clients connected now.");
    series("vx7_gateway_stream_clients", 0, std::to_string(counters.stream_clients));
    family("vx7_gateway_dropped_clients_total", "counter", "Event-stream clients dropped because they fell behind.");
    series("vx7_gateway_dropped_clients_total", 0, std::to_string(counters.dropped_clients));
    family("vx7_gateway_refused_requests_total", "counter",
           "Requests refused for their Host, Origin or the stream client limit.");
    series("vx7_gateway_refused_requests_total", 0, std::to_string(counters.refused_requests));
    return out;
}

} // namespace vx7::gateway
