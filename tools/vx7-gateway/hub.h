// The gateway's core: one thread reads the sample stream and hands every
// sample to whoever listens (HTTP event-stream clients, the MQTT publisher),
// keeping the latest state of each channel, counters and a history ring.
//
// A channel has a value only while its channel file is there and usable: a
// file that is removed, or replaced by something that cannot be mapped,
// takes the channel's value away (a status event, as when the driver
// stops), until the stream maps a file again and sees its record.
//
// The channel configuration (names, units, scaling, alarm limits) is given
// before start() and fixed from then on; events carry the scaled value of
// configured channels.
//
// Nothing a listener does can stall the stream: callbacks run on the stream
// thread and must return at once.
#ifndef VX7_GATEWAY_HUB_H
#define VX7_GATEWAY_HUB_H

#include "vx7/stream.h"
#include "vx7samplefmt/sample_lines.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx7::gateway {

inline constexpr int kChannels = 4;

class Hub;

// One event as listeners receive it.
struct Event {
    enum class Kind { Sample, Status };
    Kind kind = Kind::Sample;
    vx7_sample sample{};      // Status: channel, has_value and wall_ns are set
    const Hub *hub = nullptr; // whose configuration formats a sample

    // The event's JSON object (the fields of `vx7ctl record --format jsonl`
    // for a sample; channel, has_value and time for a status change),
    // formatted on the first call and shared by every listener after it: an
    // event no listener formats costs no formatting. On the stream thread
    // only, as the event is.
    const std::shared_ptr<const std::string> &json() const;

private:
    mutable std::shared_ptr<const std::string> json_;
};

// The latest state of a channel.
struct ChannelState {
    bool has_value = false; // a value, and its file is still there and usable
    double volts = 0.0;
    std::uint64_t elapsed_ms = 0;
    std::int64_t wall_ns = 0;                   // when the stream saw it; 0: never
    std::uint64_t samples = 0;                  // samples with a value since the gateway started
    int file_state = VX7_STREAM_CHANNEL_MAPPED; // vx7_stream_channel_state of its file
    int file_error = 0;                         // errno when the file is unusable
};

// One row of the history.
struct HistoryRow {
    std::int64_t wall_ns;
    std::uint64_t elapsed_ms;
    int channel;
    double volts;
};

class Hub {
public:
    // history_seconds x kHistoryRate rows are kept per channel.
    static constexpr std::size_t kHistoryRate = 100; // samples per second and channel, at most
    static constexpr std::size_t kHistorySeconds = 600;

    explicit Hub(std::size_t history_seconds = kHistorySeconds);
    ~Hub();
    Hub(const Hub &) = delete;
    Hub &operator=(const Hub &) = delete;

    // The channels' names, units, scaling and limits; before start().
    void configure_channels(const vx7::lines::ChannelConfig &config) { config_ = config; }
    const vx7::lines::ChannelConfig &channel_config() const { return config_; }

    // Opens the stream (options as vx7_stream_open takes them) and starts the
    // stream thread. Returns the stream's result code.
    int start(const vx7_stream_options &options);
    // Stops the stream thread. Idempotent.
    void stop();

    // What the stream thread does with each sample; public so that tests can
    // feed samples without a driver.
    void publish(const vx7_sample &s);
    // What the stream thread does when a channel file's state changes
    // (vx7_stream_channel_state; errno for an unusable one); public too.
    void file_state(int channel, int state, int error, std::int64_t wall_ns);

    // Listeners. A callback runs on the stream thread for every event, with
    // the hub's lock held: it must not block nor call the hub. Returns an id
    // for unsubscribe; once unsubscribe returns the callback is not running.
    int subscribe(std::function<void(const Event &)> callback);
    void unsubscribe(int id);

    // State.
    std::array<ChannelState, kChannels> channels() const;
    std::uint64_t late_polls() const { return late_polls_.load(); }
    // Records of channel 1-4 the stream did not see (vx7_stream_lost).
    std::uint64_t lost(int channel) const
    {
        return channel >= 1 && channel <= kChannels ? lost_[static_cast<std::size_t>(channel - 1)].load() : 0;
    }
    // Rows of the last `seconds` (by wall-clock time, up to now), oldest
    // first across channels.
    std::vector<HistoryRow> history(double seconds) const;
    std::size_t history_capacity() const { return ring_capacity_; }

    // The JSON texts of events: a sample's with the fields of
    // vx7::lines::sample_event_json for this hub's configuration.
    std::string sample_json(const vx7_sample &s) const;
    static std::string status_json(int channel, bool has_value, std::int64_t wall_ns);

private:
    void run();
    void check_files(std::array<int, kChannels> &known);
    void notify(const Event *status, const Event *sample);

    // A channel's ring: allocated once and left uninitialised, so that its
    // pages cost memory only as they fill.
    struct Row {
        std::int64_t wall_ns;
        std::uint64_t elapsed_ms;
        double volts;
    };
    struct Ring {
        std::unique_ptr<Row[]> rows;
        std::size_t next = 0;
        std::size_t size = 0;
    };

    const std::size_t ring_capacity_;
    vx7::lines::ChannelConfig config_;
    mutable std::mutex mu_;
    std::array<ChannelState, kChannels> state_{};
    std::array<Ring, kChannels> rings_;
    std::vector<std::pair<int, std::function<void(const Event &)>>> callbacks_;
    int next_id_ = 1;

    vx7_stream *stream_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> late_polls_{0};
    std::array<std::atomic<std::uint64_t>, kChannels> lost_{};
};

// "2026-12-08T10:11:12.123456Z" for a CLOCK_REALTIME time in ns: the time
// of vx7ctl record's lines.
using vx7::lines::iso_time;

} // namespace vx7::gateway

#endif
