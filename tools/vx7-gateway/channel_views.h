// What the gateway says about its channels, whichever HTTP engine serves it:
// the JSON of GET /api/v1/channels, the channel families of /metrics and the
// CSV of GET /api/v1/history. Names, units, scaled values and alarms come
// from the hub's channel configuration (vx7::lines, the one home of
// scaling and limits).
#ifndef VX7_GATEWAY_CHANNEL_VIEWS_H
#define VX7_GATEWAY_CHANNEL_VIEWS_H

#include "hub.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx7::gateway {

// This machine's host name ("localhost" when it has none).
[[nodiscard]] std::string host_name();

// GET /api/v1/channels:
//   {"host", "channels_config" (a configuration file was given),
//    "driver_running", "configure_allowed", "channels": [{"channel",
//    "has_value", "samples", "volts", "elapsed_ms", "age_seconds", "time",
//    "file" ("ok", "missing", "unusable"; "file_error" for an unusable one),
//    and for a configured channel "name", "unit", "scale", "offset",
//    "value", "min", "max", "alarm" ("low", "high" or null)}]}
[[nodiscard]] std::string channels_json(const std::array<ChannelState, kChannels> &channels,
                                        const vx7::lines::ChannelConfig &config, const std::string &host,
                                        bool driver_running, bool configure_allowed, std::int64_t now_ns);

// A metric family's HELP and TYPE lines, and one series of it: with the
// label channel="N" (and further `labels`, each starting with a comma) for
// a channel 1-4, without labels for channel 0.
void metric_family(std::string &out, const char *name, const char *type, const char *help);
void metric_series(std::string &out, const char *name, int channel, const std::string &value,
                   const std::string &labels = {});

// A label value as the Prometheus text format writes it (\\, \" and \n
// escaped).
[[nodiscard]] std::string prom_label_value(std::string_view v);

// The channel families of /metrics (HELP and TYPE lines included):
// vx7_channel_volts, vx7_channel_has_value, vx7_channel_sample_age_seconds,
// vx7_samples_total and, for configured channels,
// vx7_channel_value{channel,name,unit} and (with limits) vx7_channel_alarm.
void append_channel_metrics(std::string &out, const std::array<ChannelState, kChannels> &channels,
                            const vx7::lines::ChannelConfig &config, std::int64_t now_ns);

// The history as CSV: vx7ctl record's header and lines (with the value
// column when a configuration is given).
[[nodiscard]] std::string_view history_csv_header(const vx7::lines::ChannelConfig &config);
void append_history_csv_line(std::string &out, const HistoryRow &row, const vx7::lines::ChannelConfig &config);

} // namespace vx7::gateway

#endif
