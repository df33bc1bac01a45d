// The device's behaviour over its slot of the state (see device.h).
#include "device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vx7sim::detail {

namespace {

// Something distinct on every channel and input, visibly moving in a demo
// polled at about 25 samples per channel and second.
Waveform default_wave_a(int ch)
{
    return Waveform::sine(1.0 - 0.2 * ch, 100u + 50u * static_cast<unsigned>(ch));
}

Waveform default_wave_b(int ch)
{
    return Waveform::ramp(0.5, 60, 0.25 * ch);
}

double input_volts(const ChannelConfig &c)
{
    switch (c.applied.input) {
    case Input::A:
        return c.wave_a.at(c.samples);
    case Input::B:
        return c.wave_b.at(c.samples);
    case Input::Gnd:
        return 0.0;
    case Input::Test:
        return kTestVolts;
    }
    return 0.0;
}

} // namespace

// ---------------------------------------------------------------- the slot

void init_device(State &st, int d, const DeviceSpec &spec)
{
    DeviceSlot &s = st.devices[d];
    std::memset(static_cast<void *>(&s), 0, sizeof s);
    copy_descriptor(s.manufacturer, spec.manufacturer);
    copy_descriptor(s.product, spec.product);
    copy_path(s.interface_path, spec.interface_path.empty() ? default_interface_path(spec.vendor_id, spec.product_id, d)
                                                            : spec.interface_path);
    s.vendor_id = spec.vendor_id;
    s.product_id = spec.product_id;
    s.manufacturer_index = spec.manufacturer_index;
    s.product_index = spec.product_index;
    s.bus = static_cast<std::uint8_t>(spec.bus);
    for (int ch = 0; ch < kChannels; ++ch) {
        s.channels[ch] = ChannelConfig{};
        s.channels[ch].wave_a = default_wave_a(ch);
        s.channels[ch].wave_b = default_wave_b(ch);
    }
    for (auto &c : s.log)
        c = Command{};
    s.counters = Counters{};
    reset_channels(s);
    s.in_use = 1;
    if (spec.attached)
        attach(st, s);
}

void attach(State &st, DeviceSlot &s)
{
    s.attached = 1;
    ++s.generation;
    std::uint8_t &next = st.next_address[s.bus];
    next = static_cast<std::uint8_t>(next >= 127 || next < 2 ? 2 : next + 1);
    s.address = next;
}

void reset_channels(DeviceSlot &s)
{
    for (int ch = 0; ch < kChannels; ++ch) {
        s.channels[ch].applied = ChannelSettings{};
        s.channels[ch].pending = ChannelSettings{};
    }
    s.next_channel = 0;
}

bool valid_id(const State &st, int d)
{
    return d >= 0 && d < kMaxDevices && st.devices[d].in_use != 0;
}

bool handle_live(const State &st, const HostHandle &h)
{
    return valid_id(st, h.device) && st.devices[h.device].attached != 0 &&
           st.devices[h.device].generation == h.generation;
}

DeviceInfo info_of(const DeviceSlot &s, int id)
{
    DeviceInfo i;
    i.id = id;
    i.attached = s.attached != 0;
    i.generation = s.generation;
    i.vendor_id = s.vendor_id;
    i.product_id = s.product_id;
    i.manufacturer_index = s.manufacturer_index;
    i.product_index = s.product_index;
    i.bus = s.bus;
    i.address = s.address;
    i.interface_path = std::string(s.interface_path, strnlen(s.interface_path, sizeof s.interface_path));
    return i;
}

void copy_descriptor(RawDescriptor &to, const std::vector<std::uint8_t> &from)
{
    if (from.size() > static_cast<std::size_t>(kMaxDescriptorBytes))
        throw std::out_of_range("vx7sim: string descriptor longer than kMaxDescriptorBytes");
    to.length = static_cast<std::uint16_t>(from.size());
    std::memset(to.bytes, 0, sizeof to.bytes);
    if (!from.empty())
        std::memcpy(to.bytes, from.data(), from.size());
}

void copy_path(char (&to)[kMaxPathBytes], const std::string &from)
{
    if (from.size() >= static_cast<std::size_t>(kMaxPathBytes))
        throw std::out_of_range("vx7sim: interface path too long");
    std::memset(to, 0, sizeof to);
    std::memcpy(to, from.data(), from.size());
}

void set_reply(QueuedReport &to, const std::vector<std::uint8_t> &from)
{
    to = QueuedReport{};
    to.length = static_cast<std::uint8_t>(std::min<std::size_t>(from.size(), kMaxReportBytes));
    if (to.length > 0)
        std::memcpy(to.bytes, from.data(), to.length);
}

// ---------------------------------------------------------------- requests

bool is_set_report(int request_type, int request, int value, int index, const std::uint8_t *data, int size)
{
    return request_type == kSetReportType && request == kSetReportRequest && (value >> 8) == kFeatureReport &&
           index == 0 && size == kReportSize && data != nullptr && (value & 0xFF) == data[0];
}

bool is_get_report(int request_type, int request, int value, int index, const std::uint8_t *data, int size)
{
    return request_type == kGetReportType && request == kGetReportRequest && value == kGetReportValue && index == 0 &&
           size >= 1 && size <= 0xFFFF && data != nullptr;
}

void record_protocol_error(State &st, int device, Framing framing, int request_type, int request, int value, int index,
                           const std::uint8_t *data, int size, std::uint32_t timeout_ms, bool out)
{
    ProtocolError &e = st.protocol_log[st.protocol_total % kProtocolLogSize];
    e = ProtocolError{};
    e.seq = ++st.protocol_total;
    e.device = device;
    e.framing = framing;
    e.request_type = static_cast<std::uint8_t>(request_type);
    e.request = static_cast<std::uint8_t>(request);
    e.value = static_cast<std::uint16_t>(value);
    e.index = static_cast<std::uint16_t>(index);
    e.length = size;
    e.timeout_ms = timeout_ms;
    if (out && data != nullptr && size > 0)
        std::memcpy(e.data.data(), data, std::min<std::size_t>(static_cast<std::size_t>(size), e.data.size()));
    if (valid_id(st, device))
        ++st.devices[device].counters.protocol_errors;
}

std::optional<DescriptorBytes> string_for(const DeviceSlot &s, int index)
{
    static constexpr std::uint8_t kLanguages[] = {4, 3, 0x09, 0x04};
    if (index == 0)
        return DescriptorBytes{kLanguages, sizeof kLanguages};
    if (index == s.manufacturer_index && (s.string_fails & 1) == 0)
        return DescriptorBytes{s.manufacturer.bytes, s.manufacturer.length};
    if (index == s.product_index && index != s.manufacturer_index && (s.string_fails & 2) == 0)
        return DescriptorBytes{s.product.bytes, s.product.length};
    return std::nullopt;
}

// ---------------------------------------------------------------- transfers

std::optional<Fault> take_fault(DeviceSlot &s, TransferKind kind)
{
    FaultSlot *chosen = nullptr;
    for (auto &slot : s.faults) {
        if (slot.fault.count == 0 || (static_cast<unsigned>(slot.fault.kind) & static_cast<unsigned>(kind)) == 0)
            continue;
        if (slot.fault.skip > 0) {
            --slot.fault.skip;
            continue;
        }
        if (chosen == nullptr || slot.seq < chosen->seq)
            chosen = &slot;
    }
    if (chosen == nullptr)
        return std::nullopt;
    Fault f = chosen->fault;
    --chosen->fault.count;
    return f;
}

Outcome outcome_of(bool live, bool timed_out, const std::optional<Fault> &fault, bool short_allowed)
{
    const bool failed = fault && fault->action == FaultAction::Fail;
    const bool is_short = fault && fault->action == FaultAction::Short;
    if (!live)
        return Outcome::Detached;
    if (timed_out)
        return Outcome::TimedOut;
    if (failed || (is_short && !short_allowed))
        return Outcome::Failed;
    return is_short ? Outcome::Short : Outcome::Accepted;
}

Command &log_command(DeviceSlot &s)
{
    Command &c = s.log[s.command_total % kCommandLogSize];
    c = Command{};
    c.seq = ++s.command_total;
    return c;
}

void execute(DeviceSlot &s, const Report &r)
{
    const auto code = static_cast<CommandCode>(r[0]);
    if (code == CommandCode::Reset) {
        reset_channels(s);
        return;
    }
    for (int ch = 0; ch < kChannels; ++ch) {
        if ((r[1] & (1u << ch)) == 0)
            continue;
        ChannelConfig &c = s.channels[ch];
        switch (code) {
        case CommandCode::Frequency:
            c.pending.frequency = static_cast<std::uint16_t>(r[2] << 8 | r[3]);
            break;
        case CommandCode::Range:
            c.pending.range = r[3];
            break;
        case CommandCode::Calibration:
            c.pending.calibration = static_cast<std::uint8_t>(r[3] >> 4);
            break;
        case CommandCode::Subchannel:
            if (r[3] <= 3)
                c.pending.input = static_cast<Input>(r[3]);
            break;
        case CommandCode::Apply:
            c.applied = c.pending;
            break;
        default: // unknown code: logged, ignored
            break;
        }
    }
}

QueuedReport next_reply(DeviceSlot &s, ReplySource &source)
{
    if (s.queue_count > 0) {
        source = ReplySource::Queued;
        const QueuedReport out = s.queue[s.queue_head];
        s.queue_head = (s.queue_head + 1) % kMaxQueuedReports;
        --s.queue_count;
        ++s.counters.queued_replies;
        return out;
    }
    if (s.idle_set != 0) {
        source = ReplySource::Idle;
        ++s.counters.idle_replies;
        return s.idle;
    }
    source = ReplySource::Generated;
    const int ch = s.next_channel % kChannels;
    s.next_channel = static_cast<std::uint8_t>((ch + 1) % kChannels);
    ChannelConfig &c = s.channels[ch];
    const Report r = encode_sample(ch, c.applied.range & 7, input_volts(c));
    ++c.samples;
    ++s.counters.generated_samples;
    QueuedReport out{};
    out.length = kReportSize;
    std::memcpy(out.bytes, r.data(), r.size());
    return out;
}

void log_sample(DeviceSlot &s, const std::uint8_t *bytes, ReplySource source, std::int64_t time_ns)
{
    if (!is_sample_report(bytes))
        return;
    AnsweredSample &a = s.samples[s.sample_total % kSampleLogSize];
    a = AnsweredSample{};
    a.seq = ++s.sample_total;
    a.time_ns = time_ns;
    a.raw = static_cast<std::uint32_t>(bytes[1] << 16 | bytes[2] << 8 | bytes[3]);
    a.generation = s.generation;
    a.channel = static_cast<std::uint8_t>(bytes[0] & 3);
    a.exponent = static_cast<std::uint8_t>(bytes[0] >> 2 & 7);
    a.source = source;
}

// ---------------------------------------------------------------- reading the logs

std::vector<Command> read_commands(const DeviceSlot &s)
{
    const std::uint64_t n = std::min<std::uint64_t>(s.command_total, kCommandLogSize);
    std::vector<Command> out;
    out.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = s.command_total - n; i < s.command_total; ++i)
        out.push_back(s.log[i % kCommandLogSize]);
    return out;
}

SampleLog read_samples(const DeviceSlot &s, std::uint64_t since)
{
    SampleLog log;
    log.total = s.sample_total;
    // Entry i (0-based) holds sample i+1; the ring keeps the last kSampleLogSize.
    const std::uint64_t oldest = s.sample_total - std::min<std::uint64_t>(s.sample_total, kSampleLogSize);
    const std::uint64_t from = std::max(oldest, std::min(since, s.sample_total));
    log.lost = from - std::min(since, from);
    log.samples.reserve(static_cast<std::size_t>(s.sample_total - from));
    for (std::uint64_t i = from; i < s.sample_total; ++i)
        log.samples.push_back(s.samples[i % kSampleLogSize]);
    return log;
}

std::vector<ProtocolError> read_protocol_errors(const State &st)
{
    const std::uint64_t n = std::min<std::uint64_t>(st.protocol_total, kProtocolLogSize);
    std::vector<ProtocolError> out;
    for (std::uint64_t i = st.protocol_total - n; i < st.protocol_total; ++i)
        out.push_back(st.protocol_log[i % kProtocolLogSize]);
    return out;
}

} // namespace vx7sim::detail
