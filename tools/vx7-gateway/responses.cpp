#include "responses.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace vx7::gateway {

namespace {

// A number as Prometheus reads it.
std::string prom_number(double v)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

} // namespace

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

std::string channels_json(const std::array<ChannelState, kChannels> &channels, std::int64_t now, bool driver_running,
                          bool configure_allowed)
{
    nlohmann::json list = nlohmann::json::array();
    for (int c = 1; c <= kChannels; ++c) {
        const ChannelState &st = channels[c - 1];
        nlohmann::json j = {{"channel", c}, {"has_value", st.has_value}, {"samples", st.samples}};
        j["volts"] = st.has_value ? nlohmann::json(st.volts) : nlohmann::json(nullptr);
        j["elapsed_ms"] = st.has_value ? nlohmann::json(st.elapsed_ms) : nlohmann::json(nullptr);
        j["age_seconds"] =
            st.wall_ns != 0 ? nlohmann::json(static_cast<double>(now - st.wall_ns) / 1e9) : nlohmann::json(nullptr);
        j["time"] = st.wall_ns != 0 ? nlohmann::json(iso_time(st.wall_ns)) : nlohmann::json(nullptr);
        list.push_back(std::move(j));
    }
    const nlohmann::json body = {
        {"driver_running", driver_running}, {"configure_allowed", configure_allowed}, {"channels", std::move(list)}};
    return body.dump();
}

std::string metrics_text(const std::array<ChannelState, kChannels> &channels, std::int64_t now, bool driver_running,
                         const StreamCounters &stream, const GatewayCounters &counters)
{
    std::string out;
    out.reserve(2048);
    const auto family = [&](const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    };
    const auto series = [&](const char *name, int channel, const std::string &value) {
        out += name;
        if (channel > 0) {
            out += "{channel=\"";
            out += std::to_string(channel);
            out += "\"}";
        }
        out += ' ';
        out += value;
        out += '\n';
    };

    family("vx7_channel_volts", "gauge", "Latest value of the channel in volts (absent while it has none).");
    for (int c = 1; c <= kChannels; ++c)
        if (channels[c - 1].has_value)
            series("vx7_channel_volts", c, prom_number(channels[c - 1].volts));
    family("vx7_channel_has_value", "gauge", "1 while the channel has a value, 0 when it has none.");
    for (int c = 1; c <= kChannels; ++c)
        series("vx7_channel_has_value", c, channels[c - 1].has_value ? "1" : "0");
    family("vx7_channel_sample_age_seconds", "gauge",
           "Seconds since the gateway saw the channel's latest record (absent before the first).");
    for (int c = 1; c <= kChannels; ++c)
        if (channels[c - 1].wall_ns != 0)
            series("vx7_channel_sample_age_seconds", c,
                   std::to_string(static_cast<double>(now - channels[c - 1].wall_ns) / 1e9));
    family("vx7_samples_total", "counter", "Samples with a value seen since the gateway started.");
    for (int c = 1; c <= kChannels; ++c)
        series("vx7_samples_total", c, std::to_string(channels[c - 1].samples));
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

void append_csv_row(std::string &out, const HistoryRow &r)
{
    char volts[40];
    std::snprintf(volts, sizeof volts, "%.11e", r.volts);
    out += iso_time(r.wall_ns);
    out += ',';
    out += std::to_string(r.elapsed_ms);
    out += ',';
    out += std::to_string(r.channel);
    out += ',';
    out += volts;
    out += '\n';
}

} // namespace vx7::gateway
