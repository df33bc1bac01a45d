#include "channel_views.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vx7::gateway {

namespace lines = vx7::lines;

namespace {

const char *file_text(int state)
{
    switch (state) {
    case VX7_STREAM_CHANNEL_MAPPED:
        return "ok";
    case VX7_STREAM_CHANNEL_UNUSABLE:
        return "unusable";
    default:
        return "missing";
    }
}

nlohmann::json optional_number(bool has, double v)
{
    return has ? nlohmann::json(v) : nlohmann::json(nullptr);
}

// A number as Prometheus reads it.
std::string prom_number(double v)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

} // namespace

void metric_family(std::string &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void metric_series(std::string &out, const char *name, int channel, const std::string &value, const std::string &labels)
{
    out += name;
    if (channel > 0) {
        out += "{channel=\"";
        out += std::to_string(channel);
        out += '"';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

std::string host_name()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0')
        return "localhost";
    return buf;
}

std::string channels_json(const std::array<ChannelState, kChannels> &channels, const lines::ChannelConfig &config,
                          const std::string &host, bool driver_running, bool configure_allowed, std::int64_t now_ns)
{
    nlohmann::json list = nlohmann::json::array();
    for (int c = 1; c <= kChannels; ++c) {
        const ChannelState &st = channels[static_cast<std::size_t>(c - 1)];
        nlohmann::json j = {{"channel", c}, {"has_value", st.has_value}, {"samples", st.samples}};
        j["volts"] = optional_number(st.has_value, st.volts);
        j["elapsed_ms"] = st.has_value ? nlohmann::json(st.elapsed_ms) : nlohmann::json(nullptr);
        j["age_seconds"] =
            st.wall_ns != 0 ? nlohmann::json(static_cast<double>(now_ns - st.wall_ns) / 1e9) : nlohmann::json(nullptr);
        j["time"] = st.wall_ns != 0 ? nlohmann::json(lines::iso_time(st.wall_ns)) : nlohmann::json(nullptr);
        j["file"] = file_text(st.file_state);
        if (st.file_state == VX7_STREAM_CHANNEL_UNUSABLE && st.file_error != 0)
            j["file_error"] = std::strerror(st.file_error);
        const lines::ChannelSpec &spec = config.of(c);
        if (spec.configured) {
            const double value = lines::scaled(spec, st.volts);
            j["name"] = lines::display_name(spec, c);
            j["unit"] = spec.unit;
            j["scale"] = spec.scale;
            j["offset"] = spec.offset;
            j["value"] = optional_number(st.has_value, value);
            j["min"] = optional_number(spec.has_min, spec.min);
            j["max"] = optional_number(spec.has_max, spec.max);
            const lines::Alarm a = lines::alarm(spec, value);
            j["alarm"] = st.has_value && a != lines::Alarm::None ? nlohmann::json(lines::alarm_text(a))
                                                                 : nlohmann::json(nullptr);
        }
        list.push_back(std::move(j));
    }
    const nlohmann::json body = {{"host", host},
                                 {"channels_config", config.given},
                                 {"driver_running", driver_running},
                                 {"configure_allowed", configure_allowed},
                                 {"channels", std::move(list)}};
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string prom_label_value(std::string_view v)
{
    std::string out;
    out.reserve(v.size());
    for (const char c : v) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void append_channel_metrics(std::string &out, const std::array<ChannelState, kChannels> &channels,
                            const lines::ChannelConfig &config, std::int64_t now_ns)
{
    const auto st = [&](int c) -> const ChannelState & { return channels[static_cast<std::size_t>(c - 1)]; };
    metric_family(out, "vx7_channel_volts", "gauge",
                  "Latest value of the channel in volts (absent while it has none).");
    for (int c = 1; c <= kChannels; ++c)
        if (st(c).has_value)
            metric_series(out, "vx7_channel_volts", c, prom_number(st(c).volts));
    metric_family(out, "vx7_channel_has_value", "gauge", "1 while the channel has a value, 0 when it has none.");
    for (int c = 1; c <= kChannels; ++c)
        metric_series(out, "vx7_channel_has_value", c, st(c).has_value ? "1" : "0");
    metric_family(out, "vx7_channel_sample_age_seconds", "gauge",
                  "Seconds since the gateway saw the channel's latest record (absent before the first).");
    for (int c = 1; c <= kChannels; ++c)
        if (st(c).wall_ns != 0)
            metric_series(out, "vx7_channel_sample_age_seconds", c,
                          std::to_string(static_cast<double>(now_ns - st(c).wall_ns) / 1e9));
    metric_family(out, "vx7_samples_total", "counter", "Samples with a value seen since the gateway started.");
    for (int c = 1; c <= kChannels; ++c)
        metric_series(out, "vx7_samples_total", c, std::to_string(st(c).samples));

    bool any_configured = false, any_limits = false;
    for (const auto &spec : config.channels) {
        any_configured = any_configured || spec.configured;
        any_limits = any_limits || (spec.configured && (spec.has_min || spec.has_max));
    }
    if (any_configured) {
        metric_family(out, "vx7_channel_value", "gauge",
                      "Latest value of the channel in its unit: volts x scale + offset, as the channel configuration "
                      "says (absent while it has none).");
        for (int c = 1; c <= kChannels; ++c) {
            const lines::ChannelSpec &spec = config.of(c);
            if (!spec.configured || !st(c).has_value)
                continue;
            metric_series(out, "vx7_channel_value", c, prom_number(lines::scaled(spec, st(c).volts)),
                          ",name=\"" + prom_label_value(lines::display_name(spec, c)) + "\",unit=\"" +
                              prom_label_value(spec.unit) + "\"");
        }
    }
    if (any_limits) {
        metric_family(out, "vx7_channel_alarm", "gauge",
                      "1 while the channel's value is beyond its min or max limit, else 0 (absent while it has none).");
        for (int c = 1; c <= kChannels; ++c) {
            const lines::ChannelSpec &spec = config.of(c);
            if (!spec.configured || !(spec.has_min || spec.has_max) || !st(c).has_value)
                continue;
            const bool on = lines::alarm(spec, lines::scaled(spec, st(c).volts)) != lines::Alarm::None;
            metric_series(out, "vx7_channel_alarm", c, on ? "1" : "0");
        }
    }
}

std::string_view history_csv_header(const lines::ChannelConfig &config)
{
    return lines::csv_header(config.given);
}

void append_history_csv_line(std::string &out, const HistoryRow &row, const lines::ChannelConfig &config)
{
    vx7_sample s{};
    s.channel = row.channel;
    s.has_value = 1;
    s.elapsed_ms = row.elapsed_ms;
    s.volts = row.volts;
    s.wall_ns = row.wall_ns;
    // The volts as the driver wrote them in its channel file.
    std::snprintf(s.text, sizeof s.text, "%.11e", row.volts);
    lines::append_csv_line(out, s, &config);
}

} // namespace vx7::gateway
