// The host side of the simulated device: what the stand-ins for the
// platform's USB/HID libraries call. Never throws; failures come back in the
// results, as the hardware would report them.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "device.h"
#include "impl.h"
#include "lock.h"
#include "vx7sim/sim.h"

namespace vx7sim {

using detail::DeviceSlot;
using detail::Lock;
using detail::State;

namespace {

// One transfer of either framing, once its framing has been accepted.
struct Transfer {
    bool is_set = false;
    Command entry{};               // SET: the log entry, filled by the caller but for seq and outcome
    std::uint8_t *reply = nullptr; // GET: where the reply goes
    std::size_t reply_room = 0;
    bool short_allowed = true;
};

// What phase 1 hands on: the fault the transfer drew, if any.
struct Drawn {
    bool live = false;
    std::optional<Fault> fault;
};

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Phase 1, under the lock: counts the transfer and draws its fault.
Drawn begin_transfer(State &st, const HostHandle &h, const Transfer &t, std::uint32_t timeout_ms)
{
    Lock lock(st);
    if (!detail::handle_live(st, h))
        return {};
    DeviceSlot &s = st.devices[h.device];
    ++(t.is_set ? s.counters.set_transfers : s.counters.get_transfers);
    if (!t.is_set)
        s.counters.last_get_length = static_cast<std::uint32_t>(t.reply_room);
    s.counters.last_timeout_ms = timeout_ms;
    return {true, detail::take_fault(s, t.is_set ? TransferKind::Set : TransferKind::Get)};
}

// Phase 2, without the lock: a Delay fault sleeps. Returns whether the
// transfer timed out. A time-out of 0 waits for ever, as libusb's does.
bool delay_transfer(const std::optional<Fault> &fault, std::uint32_t timeout_ms)
{
    if (!fault || fault->action != FaultAction::Delay)
        return false;
    const bool limited = timeout_ms != 0;
    detail::sleep_ms(limited ? std::min(fault->delay_ms, timeout_ms) : fault->delay_ms);
    return limited && fault->delay_ms >= timeout_ms;
}

// The device's side of a SET that got through to it: logged if the device
// is still there, acted on if accepted. Returns the bytes that moved.
int complete_set(DeviceSlot &s, bool live, const Transfer &t, Outcome outcome, const std::optional<Fault> &fault)
{
    if (live) {
        Command &c = detail::log_command(s);
        const std::uint64_t seq = c.seq;
        c = t.entry;
        c.seq = seq;
        c.outcome = outcome;
        if (outcome == Outcome::Accepted)
            detail::execute(s, t.entry.data);
    }
    return outcome == Outcome::Short ? std::min<int>(fault->short_count, t.entry.length) : t.entry.length;
}

// The device's answer to a GET that got through: the bytes that moved into
// the host's buffer, a sample among them entered in the sample log.
int complete_get(DeviceSlot &s, const Transfer &t, Outcome outcome, const std::optional<Fault> &fault)
{
    ReplySource source{};
    const detail::QueuedReport r = detail::next_reply(s, source);
    std::size_t n = std::min<std::size_t>(r.length, t.reply_room);
    if (outcome == Outcome::Short)
        n = std::min<std::size_t>(n, fault->short_count);
    if (n > 0)
        std::memcpy(t.reply, r.bytes, n);
    if (n >= static_cast<std::size_t>(kReportSize))
        detail::log_sample(s, r.bytes, source, now_ns());
    return static_cast<int>(n);
}

TransferResult result_of(Outcome outcome, int count)
{
    switch (outcome) {
    case Outcome::Accepted:
    case Outcome::Short:
        return {TransferStatus::Ok, count};
    case Outcome::Failed:
        return {TransferStatus::Stall, 0};
    case Outcome::TimedOut:
        return {TransferStatus::Timeout, 0};
    case Outcome::Detached:
        break;
    }
    return {TransferStatus::NoDevice, 0};
}

// Phase 3, under the lock again: the outcome, and the device acting on it.
TransferResult finish_transfer(State &st, const HostHandle &h, const Transfer &t, const Drawn &drawn, bool timed_out)
{
    Lock lock(st);
    if (!detail::valid_id(st, h.device))
        return {TransferStatus::NoDevice, 0};
    const bool live = detail::handle_live(st, h);
    DeviceSlot &s = st.devices[h.device];
    const Outcome outcome = detail::outcome_of(live, timed_out, drawn.fault, t.short_allowed);
    if (outcome != Outcome::Accepted)
        ++s.counters.failed_transfers;
    int count = 0;
    if (t.is_set)
        count = complete_set(s, live, t, outcome, drawn.fault);
    else if (outcome == Outcome::Accepted || outcome == Outcome::Short)
        count = complete_get(s, t, outcome, drawn.fault);
    return result_of(outcome, count);
}

// A transfer whose framing was accepted: counted, its fault played out (any
// delay without the lock), then the device acts.
TransferResult run_transfer(State &st, const HostHandle &h, const Transfer &t, std::uint32_t timeout_ms)
{
    const Drawn drawn = begin_transfer(st, h, t, timeout_ms);
    if (!drawn.live)
        return {TransferStatus::NoDevice, 0};
    const bool timed_out = delay_transfer(drawn.fault, timeout_ms);
    return finish_transfer(st, h, t, drawn, timed_out);
}

// A badly framed request: recorded, and it stalls.
TransferResult refuse(State &st, const HostHandle &h, Framing framing, int request_type, int request, int value,
                      int index, const std::uint8_t *data, int size, std::uint32_t timeout_ms, bool out)
{
    Lock lock(st);
    if (!detail::handle_live(st, h))
        return {TransferStatus::NoDevice, 0};
    detail::record_protocol_error(st, h.device, framing, request_type, request, value, index, data, size, timeout_ms,
                                  out);
    return {TransferStatus::Stall, 0};
}

bool bad_feature_buffer(const std::uint8_t *buf, std::size_t size)
{
    return buf == nullptr || size != static_cast<std::size_t>(kFeatureBufferSize) || buf[0] != 0;
}

int clamp_size(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF));
}

} // namespace

std::vector<DeviceInfo> Sim::attached_devices() const
{
    State &st = *impl_->state;
    Lock lock(st);
    std::vector<DeviceInfo> out;
    for (int bus = 0; bus < kMaxBuses; ++bus)
        for (int d = 0; d < kMaxDevices; ++d)
            if (st.devices[d].in_use != 0 && st.devices[d].attached != 0 && st.devices[d].bus == bus)
                out.push_back(detail::info_of(st.devices[d], d));
    return out;
}

int Sim::find_by_path(std::string_view path) const
{
    State &st = *impl_->state;
    Lock lock(st);
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (int d = 0; d < kMaxDevices; ++d) {
        if (st.devices[d].in_use == 0)
            continue;
        const char *p = st.devices[d].interface_path;
        const std::string_view mine(p, strnlen(p, kMaxPathBytes));
        if (mine.size() == path.size() &&
            std::equal(mine.begin(), mine.end(), path.begin(), [&](char a, char b) { return lower(a) == lower(b); }))
            return d;
    }
    return -1;
}

std::optional<HostHandle> Sim::host_open(int d) noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    if (!detail::valid_id(st, d))
        return std::nullopt;
    DeviceSlot &s = st.devices[d];
    if (s.attached == 0 || s.open_fails != 0) {
        ++s.counters.open_failures;
        return std::nullopt;
    }
    ++s.counters.opens;
    return HostHandle{d, s.generation};
}

void Sim::host_close(const HostHandle &h) noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    if (detail::valid_id(st, h.device))
        ++st.devices[h.device].counters.closes;
}

bool Sim::host_valid(const HostHandle &h) const noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    return detail::handle_live(st, h);
}

TransferResult Sim::host_get_string(const HostHandle &h, int index, int /*langid*/, std::uint8_t *buf,
                                    std::size_t size) noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    if (!detail::handle_live(st, h))
        return {TransferStatus::NoDevice, 0};
    DeviceSlot &s = st.devices[h.device];
    ++s.counters.string_reads;
    const auto d = detail::string_for(s, index);
    if (!d) {
        ++s.counters.string_failures;
        return {TransferStatus::Stall, 0};
    }
    const std::size_t n = std::min(d->length, size);
    if (n > 0 && buf != nullptr)
        std::memcpy(buf, d->bytes, n);
    return {TransferStatus::Ok, static_cast<int>(buf != nullptr ? n : 0)};
}

std::optional<std::u16string> Sim::host_string(const HostHandle &h, bool product) noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    if (!detail::handle_live(st, h))
        return std::nullopt;
    DeviceSlot &s = st.devices[h.device];
    ++s.counters.string_reads;
    if ((s.string_fails & (product ? 2 : 1)) != 0) {
        ++s.counters.string_failures;
        return std::nullopt;
    }
    const detail::RawDescriptor &raw = product ? s.product : s.manufacturer;
    try {
        std::u16string out;
        for (std::size_t i = 2; i + 1 < raw.length; i += 2)
            out.push_back(static_cast<char16_t>(raw.bytes[i] | raw.bytes[i + 1] << 8));
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

TransferResult Sim::host_control(const HostHandle &h, int request_type, int request, int value, int index,
                                 std::uint8_t *data, int size, std::uint32_t timeout_ms) noexcept
{
    State &st = *impl_->state;
    Transfer t;
    if (detail::is_set_report(request_type, request, value, index, data, size)) {
        t.is_set = true;
        t.entry.framing = Framing::UsbControl;
        t.entry.request_type = static_cast<std::uint8_t>(request_type);
        t.entry.request = static_cast<std::uint8_t>(request);
        t.entry.value = static_cast<std::uint16_t>(value);
        t.entry.index = static_cast<std::uint16_t>(index);
        t.entry.length = static_cast<std::uint16_t>(size);
        t.entry.timeout_ms = timeout_ms;
        std::memcpy(t.entry.data.data(), data, kReportSize);
    } else if (detail::is_get_report(request_type, request, value, index, data, size)) {
        t.reply = data;
        t.reply_room = static_cast<std::size_t>(size);
    } else {
        const bool out = (request_type & 0x80) == 0;
        return refuse(st, h, Framing::UsbControl, request_type, request, value, index, data, size, timeout_ms, out);
    }
    return run_transfer(st, h, t, timeout_ms);
}

TransferResult Sim::host_set_feature(const HostHandle &h, const std::uint8_t *buf, std::size_t size,
                                     std::uint32_t timeout_ms) noexcept
{
    State &st = *impl_->state;
    if (bad_feature_buffer(buf, size))
        return refuse(st, h, Framing::HidFeature, 0, 0, 0, 0, buf, clamp_size(size), timeout_ms, true);
    Transfer t;
    t.is_set = true;
    t.short_allowed = false;
    t.entry.framing = Framing::HidFeature;
    t.entry.length = static_cast<std::uint16_t>(size);
    t.entry.timeout_ms = timeout_ms;
    std::memcpy(t.entry.data.data(), buf + 1, kReportSize);
    return run_transfer(st, h, t, timeout_ms);
}

TransferResult Sim::host_get_feature(const HostHandle &h, std::uint8_t *buf, std::size_t size,
                                     std::uint32_t timeout_ms) noexcept
{
    State &st = *impl_->state;
    if (bad_feature_buffer(buf, size))
        return refuse(st, h, Framing::HidFeature, 0, 0, 0, 0, buf, clamp_size(size), timeout_ms, true);
    std::uint8_t reply[kReportSize] = {};
    Transfer t;
    t.short_allowed = false;
    t.reply = reply;
    t.reply_room = kReportSize;
    TransferResult r = run_transfer(st, h, t, timeout_ms);
    if (r.ok()) {
        std::memcpy(buf + 1, reply, kReportSize); // a shorter scripted reply leaves zeros
        r.count = kFeatureBufferSize;
    }
    return r;
}

} // namespace vx7sim
