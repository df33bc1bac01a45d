// The scripting side of the simulated device: what tests and the tool do to
// the shared state and read back from it. Each call takes the lock once.
#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "device.h"
#include "impl.h"
#include "lock.h"
#include "vx7sim/sim.h"

namespace vx7sim {

using detail::DeviceSlot;
using detail::Lock;
using detail::State;

namespace {

DeviceSlot &slot_or_throw(State &st, int d)
{
    if (!detail::valid_id(st, d))
        throw std::out_of_range("vx7sim: no device " + std::to_string(d));
    return st.devices[d];
}

void check_channel(int ch)
{
    if (ch < 0 || ch >= kChannels)
        throw std::out_of_range("vx7sim: no channel " + std::to_string(ch));
}

} // namespace

// ---------------------------------------------------------------- devices

int Sim::add_device(const DeviceSpec &spec)
{
    if (spec.bus < 0 || spec.bus >= kMaxBuses)
        throw std::out_of_range("vx7sim: no bus " + std::to_string(spec.bus));
    State &st = *impl_->state;
    Lock lock(st);
    int d = 0;
    while (d < kMaxDevices && st.devices[d].in_use != 0)
        ++d;
    if (d == kMaxDevices)
        throw std::out_of_range("vx7sim: device table full");
    detail::init_device(st, d, spec);
    return d;
}

int Sim::add_vx7(bool attached)
{
    DeviceSpec spec = DeviceSpec::vx7();
    spec.attached = attached;
    return add_device(spec);
}

void Sim::set_attached(int d, bool attached)
{
    State &st = *impl_->state;
    Lock lock(st);
    DeviceSlot &s = slot_or_throw(st, d);
    if (attached && s.attached == 0)
        detail::attach(st, s);
    else if (!attached)
        s.attached = 0;
}

void Sim::set_open_fails(int d, bool fails)
{
    State &st = *impl_->state;
    Lock lock(st);
    slot_or_throw(st, d).open_fails = fails ? 1 : 0;
}

void Sim::set_string_fails(int d, StringFault which)
{
    State &st = *impl_->state;
    Lock lock(st);
    slot_or_throw(st, d).string_fails = static_cast<std::uint8_t>(which);
}

void Sim::set_strings(int d, const std::vector<std::uint8_t> &manufacturer, const std::vector<std::uint8_t> &product)
{
    State &st = *impl_->state;
    Lock lock(st);
    DeviceSlot &s = slot_or_throw(st, d);
    detail::copy_descriptor(s.manufacturer, manufacturer);
    detail::copy_descriptor(s.product, product);
}

void Sim::set_interface_path(int d, const std::string &path)
{
    State &st = *impl_->state;
    Lock lock(st);
    detail::copy_path(slot_or_throw(st, d).interface_path, path);
}

DeviceInfo Sim::device(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return detail::info_of(slot_or_throw(st, d), d);
}

std::vector<DeviceInfo> Sim::devices() const
{
    State &st = *impl_->state;
    Lock lock(st);
    std::vector<DeviceInfo> out;
    for (int d = 0; d < kMaxDevices; ++d)
        if (st.devices[d].in_use != 0)
            out.push_back(detail::info_of(st.devices[d], d));
    return out;
}

// ---------------------------------------------------------------- reports

void Sim::queue_reports(int d, const std::vector<std::vector<std::uint8_t>> &reports)
{
    State &st = *impl_->state;
    Lock lock(st);
    DeviceSlot &s = slot_or_throw(st, d);
    if (s.queue_count + reports.size() > static_cast<std::size_t>(kMaxQueuedReports))
        throw std::out_of_range("vx7sim: report queue full");
    for (const auto &r : reports)
        if (r.size() > static_cast<std::size_t>(kMaxReportBytes))
            throw std::out_of_range("vx7sim: queued report longer than kMaxReportBytes");
    for (const auto &r : reports) {
        detail::set_reply(s.queue[(s.queue_head + s.queue_count) % kMaxQueuedReports], r);
        ++s.queue_count;
    }
}

std::size_t Sim::queued(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return slot_or_throw(st, d).queue_count;
}

void Sim::clear_queue(int d)
{
    State &st = *impl_->state;
    Lock lock(st);
    DeviceSlot &s = slot_or_throw(st, d);
    s.queue_head = 0;
    s.queue_count = 0;
}

void Sim::set_idle_reply(int d, const std::optional<std::vector<std::uint8_t>> &reply)
{
    if (reply && reply->size() > static_cast<std::size_t>(kMaxReportBytes))
        throw std::out_of_range("vx7sim: idle reply longer than kMaxReportBytes");
    State &st = *impl_->state;
    Lock lock(st);
    DeviceSlot &s = slot_or_throw(st, d);
    detail::set_reply(s.idle, reply.value_or(std::vector<std::uint8_t>{}));
    s.idle_set = reply ? 1 : 0;
}

void Sim::set_waveform(int d, int channel, const Waveform &wave, Input input)
{
    check_channel(channel);
    State &st = *impl_->state;
    Lock lock(st);
    ChannelConfig &c = slot_or_throw(st, d).channels[channel];
    if (input == Input::A)
        c.wave_a = wave;
    else if (input == Input::B)
        c.wave_b = wave;
    else
        throw std::out_of_range("vx7sim: only inputs A and B have a waveform");
}

ChannelConfig Sim::channel_config(int d, int channel) const
{
    check_channel(channel);
    State &st = *impl_->state;
    Lock lock(st);
    return slot_or_throw(st, d).channels[channel];
}

void Sim::reset_device(int d)
{
    State &st = *impl_->state;
    Lock lock(st);
    detail::reset_channels(slot_or_throw(st, d));
}

// ---------------------------------------------------------------- faults

void Sim::inject_fault(int d, const Fault &fault)
{
    if (fault.count == 0)
        return;
    State &st = *impl_->state;
    Lock lock(st);
    DeviceSlot &s = slot_or_throw(st, d);
    for (auto &slot : s.faults) {
        if (slot.fault.count == 0) {
            slot.fault = fault;
            slot.seq = ++s.fault_seq;
            return;
        }
    }
    throw std::out_of_range("vx7sim: too many armed faults");
}

void Sim::clear_faults(int d)
{
    State &st = *impl_->state;
    Lock lock(st);
    for (auto &slot : slot_or_throw(st, d).faults)
        slot.fault.count = 0;
}

int Sim::armed_faults(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    int n = 0;
    for (const auto &slot : slot_or_throw(st, d).faults)
        n += slot.fault.count != 0 ? 1 : 0;
    return n;
}

// ---------------------------------------------------------------- inspection

Counters Sim::counters(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return slot_or_throw(st, d).counters;
}

void Sim::clear_counters(int d)
{
    State &st = *impl_->state;
    Lock lock(st);
    slot_or_throw(st, d).counters = Counters{};
}

std::vector<Command> Sim::commands(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return detail::read_commands(slot_or_throw(st, d));
}

std::uint64_t Sim::command_total(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return slot_or_throw(st, d).command_total;
}

void Sim::clear_commands(int d)
{
    State &st = *impl_->state;
    Lock lock(st);
    slot_or_throw(st, d).command_total = 0;
}

SampleLog Sim::samples(int d, std::uint64_t since) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return detail::read_samples(slot_or_throw(st, d), since);
}

std::uint64_t Sim::sample_total(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return slot_or_throw(st, d).sample_total;
}

std::vector<ProtocolError> Sim::protocol_errors() const
{
    State &st = *impl_->state;
    Lock lock(st);
    return detail::read_protocol_errors(st);
}

std::uint64_t Sim::protocol_error_count() const
{
    State &st = *impl_->state;
    Lock lock(st);
    return st.protocol_total;
}

void Sim::clear_protocol_errors()
{
    State &st = *impl_->state;
    Lock lock(st);
    st.protocol_total = 0;
}

bool Sim::wait_until(const std::function<bool()> &pred, int timeout_ms, int poll_ms)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return pred();
        detail::sleep_ms(static_cast<std::uint32_t>(std::max(1, poll_ms)));
    }
}

} // namespace vx7sim
