#include "hub.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace vx7::gateway {

// ---- formatting ----

std::string Hub::sample_json(const vx7_sample &s) const
{
    return vx7::lines::sample_event_json(s, &config_);
}

std::string Hub::status_json(int channel, bool has_value, std::int64_t wall_ns)
{
    const nlohmann::json j = {{"time", iso_time(wall_ns)}, {"channel", channel}, {"has_value", has_value}};
    return j.dump();
}

const std::shared_ptr<const std::string> &Event::json() const
{
    if (!json_) {
        json_ = std::make_shared<const std::string>(
            kind == Kind::Sample && hub != nullptr
                ? hub->sample_json(sample)
                : Hub::status_json(sample.channel, sample.has_value != 0, sample.wall_ns));
    }
    return json_;
}

// ---- Hub ----

Hub::Hub(std::size_t history_seconds) : ring_capacity_(std::max<std::size_t>(1, history_seconds * kHistoryRate))
{
    for (Ring &r : rings_)
        r.rows.reset(new Row[ring_capacity_]);
}

Hub::~Hub()
{
    stop();
}

int Hub::start(const vx7_stream_options &options)
{
    const int rc = vx7_stream_open(&options, &stream_);
    if (rc != VX7_STREAM_OK)
        return rc;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return VX7_STREAM_OK;
}

void Hub::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (stream_ != nullptr) {
        vx7_stream_close(stream_);
        stream_ = nullptr;
    }
}

void Hub::run()
{
    bool reported = false;
    std::array<int, kChannels> known;
    known.fill(VX7_STREAM_CHANNEL_MAPPED);
    while (!stopping_) {
        vx7_sample s{};
        const int rc = vx7_stream_next(stream_, 100, &s);
        late_polls_ = vx7_stream_late_polls(stream_);
        for (int c = 1; c <= kChannels; ++c)
            lost_[static_cast<std::size_t>(c - 1)] = vx7_stream_lost(stream_, c);
        if (rc == VX7_STREAM_OK)
            publish(s);
        if (rc == VX7_STREAM_OK || rc == VX7_STREAM_TIMEOUT) {
            check_files(known);
        } else {
            if (!reported)
                std::fprintf(stderr, "vx7-gateway: sample stream: %s\n", vx7_stream_strerror(rc));
            reported = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

// The stream looks at its files' states on its own schedule; a change is
// taken up here, after the samples seen before it.
void Hub::check_files(std::array<int, kChannels> &known)
{
    for (int c = 1; c <= kChannels; ++c) {
        int error = 0;
        const int state = vx7_stream_channel_state(stream_, c, &error);
        if (state == known[static_cast<std::size_t>(c - 1)] || state == VX7_STREAM_CHANNEL_UNWATCHED)
            continue;
        known[static_cast<std::size_t>(c - 1)] = state;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        file_state(c, state, error, std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec);
    }
}

void Hub::file_state(int channel, int state, int error, std::int64_t wall_ns)
{
    if (channel < 1 || channel > kChannels)
        return;
    std::unique_lock lock(mu_);
    ChannelState &st = state_[static_cast<std::size_t>(channel - 1)];
    st.file_state = state;
    st.file_error = state == VX7_STREAM_CHANNEL_UNUSABLE ? error : 0;
    if (state == VX7_STREAM_CHANNEL_MAPPED || !st.has_value)
        return;
    // The file is gone: its last record is no value of the channel now.
    st.has_value = false;
    st.wall_ns = wall_ns;
    lock.unlock();
    Event status;
    status.kind = Event::Kind::Status;
    status.sample.channel = channel;
    status.sample.has_value = 0;
    status.sample.wall_ns = wall_ns;
    notify(&status, nullptr);
}

void Hub::notify(const Event *status, const Event *sample)
{
    std::lock_guard lock(mu_);
    for (auto &[id, cb] : callbacks_) {
        if (status != nullptr)
            cb(*status);
        if (sample != nullptr)
            cb(*sample);
    }
}

void Hub::publish(const vx7_sample &s)
{
    if (s.channel < 1 || s.channel > kChannels)
        return;
    const std::size_t i = static_cast<std::size_t>(s.channel - 1);
    Event sample_event;
    sample_event.kind = Event::Kind::Sample;
    sample_event.sample = s;
    Event status_event;
    bool status_changed = false;

    std::unique_lock lock(mu_);
    ChannelState &st = state_[i];
    status_changed = st.has_value != (s.has_value != 0);
    st.has_value = s.has_value != 0;
    st.wall_ns = s.wall_ns;
    if (st.has_value) {
        st.file_state = VX7_STREAM_CHANNEL_MAPPED; // a record was read from it
        st.file_error = 0;
        st.volts = s.volts;
        st.elapsed_ms = s.elapsed_ms;
        ++st.samples;
        Ring &r = rings_[i];
        r.rows[r.next] = Row{s.wall_ns, s.elapsed_ms, s.volts};
        r.next = (r.next + 1) % ring_capacity_;
        r.size = std::min(r.size + 1, ring_capacity_);
    }
    lock.unlock();

    if (status_changed) {
        status_event.kind = Event::Kind::Status;
        status_event.sample.channel = s.channel;
        status_event.sample.has_value = s.has_value;
        status_event.sample.wall_ns = s.wall_ns;
    }
    // A "no value" record is a status change only, not a sample.
    const bool is_sample = s.has_value != 0;
    sample_event.hub = this;

    notify(status_changed ? &status_event : nullptr, is_sample ? &sample_event : nullptr);
}

int Hub::subscribe(std::function<void(const Event &)> callback)
{
    std::lock_guard lock(mu_);
    const int id = next_id_++;
    callbacks_.emplace_back(id, std::move(callback));
    return id;
}

void Hub::unsubscribe(int id)
{
    std::lock_guard lock(mu_);
    std::erase_if(callbacks_, [&](const auto &p) { return p.first == id; });
}

std::array<ChannelState, kChannels> Hub::channels() const
{
    std::lock_guard lock(mu_);
    return state_;
}

std::vector<HistoryRow> Hub::history(double seconds) const
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t now_ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    const auto from = now_ns - static_cast<std::int64_t>(seconds * 1e9);
    // Room for every row, allocated and touched before the lock is taken:
    // under it, only the copy (the stream thread waits meanwhile).
    std::vector<HistoryRow> out(ring_capacity_ * rings_.size());
    std::size_t count = 0;
    {
        std::lock_guard lock(mu_);
        const std::size_t n = ring_capacity_;
        for (std::size_t c = 0; c < rings_.size(); ++c) {
            const Ring &r = rings_[c];
            for (std::size_t k = 0; k < r.size; ++k) {
                const Row &row = r.rows[(r.next + n - r.size + k) % n];
                if (row.wall_ns >= from)
                    out[count++] = HistoryRow{row.wall_ns, row.elapsed_ms, static_cast<int>(c) + 1, row.volts};
            }
        }
    }
    out.resize(count);
    out.shrink_to_fit(); // held while the rows are sent
    std::stable_sort(out.begin(), out.end(),
                     [](const HistoryRow &a, const HistoryRow &b) { return a.wall_ns < b.wall_ns; });
    return out;
}

} // namespace vx7::gateway
