// The simulated vx7 device: scripting and host sides over the shared state.
#include "vx7sim/sim.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "layout.h"
#include "state_map.h"

namespace vx7sim {

using detail::DeviceSlot;
using detail::State;

struct Sim::Impl {
    std::string path;
    detail::StateMap map;
    State *state = nullptr;
};

namespace {

using Clock = std::chrono::steady_clock;

// A holder of the lock that dies with it (SIGKILL, a crash) would block every
// other process for good. The lock is only ever held for a few microseconds,
// so a waiter that has seen it taken for this long takes it over.
constexpr auto kLockBreak = std::chrono::milliseconds(2000);

class Lock {
public:
    explicit Lock(State &s) : s_(s)
    {
        std::uint32_t expected = 0;
        if (s_.lock.compare_exchange_strong(expected, 1, std::memory_order_acquire))
            return;
        const auto start = Clock::now();
        for (int spins = 0;; ++spins) {
            expected = 0;
            if (s_.lock.compare_exchange_weak(expected, 1, std::memory_order_acquire))
                return;
            if (spins > 64)
                detail::pause_for_lock();
            if (Clock::now() - start > kLockBreak) {
                s_.lock.exchange(1, std::memory_order_acquire);
                return;
            }
        }
    }
    ~Lock() { s_.lock.store(0, std::memory_order_release); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    State &s_;
};

ChannelSettings default_settings()
{
    return ChannelSettings{};
}

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

void reset_channels(DeviceSlot &s)
{
    for (int ch = 0; ch < kChannels; ++ch) {
        s.channels[ch].applied = default_settings();
        s.channels[ch].pending = default_settings();
    }
    s.next_channel = 0;
}

void copy_descriptor(detail::RawDescriptor &to, const std::vector<std::uint8_t> &from)
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

void attach(State &st, DeviceSlot &s)
{
    s.attached = 1;
    ++s.generation;
    std::uint8_t &next = st.next_address[s.bus];
    next = static_cast<std::uint8_t>(next >= 127 || next < 2 ? 2 : next + 1);
    s.address = next;
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

// Takes the fault rule that applies to this transfer, if any. Every rule of
// this kind still skipping counts the transfer; the oldest ready rule takes it.
std::optional<Fault> take_fault(DeviceSlot &s, TransferKind kind)
{
    detail::FaultSlot *chosen = nullptr;
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

void record_protocol_error(State &st, int device, Framing framing, int request_type, int request, int value,
                           int index, const std::uint8_t *data, int size, std::uint32_t timeout_ms, bool out)
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

Command &log_command(DeviceSlot &s)
{
    Command &c = s.log[s.command_total % kCommandLogSize];
    c = Command{};
    c.seq = ++s.command_total;
    return c;
}

// The device acting on one command report it received whole.
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

// The device's next GET answer: a queued report, else a generated sample.
detail::QueuedReport next_reply(DeviceSlot &s, ReplySource &source)
{
    detail::QueuedReport out{};
    source = s.queue_count > 0 ? ReplySource::Queued : s.idle_set != 0 ? ReplySource::Idle : ReplySource::Generated;
    if (s.queue_count > 0) {
        out = s.queue[s.queue_head];
        s.queue_head = (s.queue_head + 1) % kMaxQueuedReports;
        --s.queue_count;
        ++s.counters.queued_replies;
        return out;
    }
    if (s.idle_set != 0) {
        ++s.counters.idle_replies;
        return s.idle;
    }
    const int ch = s.next_channel % kChannels;
    s.next_channel = static_cast<std::uint8_t>((ch + 1) % kChannels);
    ChannelConfig &c = s.channels[ch];
    const Report r = encode_sample(ch, c.applied.range & 7, input_volts(c));
    ++c.samples;
    ++s.counters.generated_samples;
    out.length = kReportSize;
    std::memcpy(out.bytes, r.data(), r.size());
    return out;
}

// Enters the first 4 bytes of a GET answer that reached the host whole in
// the sample log, if they are a sample report.
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

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool is_set_report(int request_type, int request, int value, int index, const std::uint8_t *data, int size)
{
    return request_type == kSetReportType && request == kSetReportRequest && (value >> 8) == kFeatureReport &&
           index == 0 && size == kReportSize && data != nullptr && (value & 0xFF) == data[0];
}

bool is_get_report(int request_type, int request, int value, int index, const std::uint8_t *data, int size)
{
    return request_type == kGetReportType && request == kGetReportRequest && value == kGetReportValue &&
           index == 0 && size >= 1 && size <= 0xFFFF && data != nullptr;
}

} // namespace

// ---------------------------------------------------------------- helpers

double Waveform::at(std::uint64_t n) const
{
    const std::uint64_t p = period == 0 ? 1 : period;
    const std::uint64_t phase = n % p;
    const double frac = static_cast<double>(phase) / static_cast<double>(p);
    switch (wave) {
    case Wave::Constant:
        return offset;
    case Wave::Sine:
        return offset + amplitude * std::sin(2.0 * 3.14159265358979323846 * frac);
    case Wave::Ramp:
        return offset + amplitude * (2.0 * frac - 1.0);
    case Wave::Square:
        return offset + (phase < (p + 1) / 2 ? amplitude : -amplitude); // first half rounded up
    }
    return offset;
}

std::vector<std::uint8_t> string_descriptor(std::u16string_view text)
{
    std::vector<std::uint8_t> d;
    const std::size_t len = 2 + 2 * text.size();
    d.reserve(len);
    d.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(len, 255)));
    d.push_back(3);
    for (char16_t u : text) {
        d.push_back(static_cast<std::uint8_t>(u & 0xFF));
        d.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return d;
}

std::vector<std::uint8_t> string_descriptor_ascii(std::string_view text)
{
    std::u16string wide;
    for (char c : text)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return string_descriptor(wide);
}

std::string default_interface_path(std::uint16_t vendor_id, std::uint16_t product_id, int id, bool upper_case_ids)
{
    char buf[kMaxPathBytes];
    std::snprintf(buf, sizeof buf,
                  upper_case_ids ? "\\\\?\\hid#vid_%04X&pid_%04X#%d&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"
                                 : "\\\\?\\hid#vid_%04x&pid_%04x#%d&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  static_cast<unsigned>(vendor_id), static_cast<unsigned>(product_id), id + 1);
    return buf;
}

DeviceSpec DeviceSpec::with(std::uint16_t vendor_id, std::uint16_t product_id, std::string_view manufacturer,
                            std::string_view product)
{
    DeviceSpec s;
    s.vendor_id = vendor_id;
    s.product_id = product_id;
    s.manufacturer = string_descriptor_ascii(manufacturer);
    s.product = string_descriptor_ascii(product);
    return s;
}

// ---------------------------------------------------------------- lifetime

Sim::Sim(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Sim::Sim(Sim &&) noexcept = default;
Sim &Sim::operator=(Sim &&) noexcept = default;
Sim::~Sim() = default;

Sim Sim::create(const std::string &path)
{
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    std::string error;
    if (!impl->map.map(path, sizeof(State), true, error))
        throw std::runtime_error("vx7sim: " + error);
    // The file is all zeros now; fill in what is not zero, magic last, so
    // that a process opening it meanwhile refuses it rather than reading a
    // half-made state.
    State *st = new (impl->map.data()) State{};
    st->version = detail::kVersion;
    st->size = sizeof(State);
    for (auto &a : st->next_address)
        a = 1;
    std::atomic_thread_fence(std::memory_order_release);
    std::atomic_ref<std::uint32_t>(st->magic).store(detail::kMagic, std::memory_order_release);
    impl->state = st;
    return Sim(std::move(impl));
}

std::optional<Sim> Sim::try_open(const std::string &path) noexcept
{
    try {
        return open(path);
    } catch (...) {
        return std::nullopt;
    }
}

Sim Sim::open(const std::string &path)
{
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    std::string error;
    if (!impl->map.map(path, sizeof(State), false, error))
        throw std::runtime_error("vx7sim: " + error);
    auto *st = static_cast<State *>(impl->map.data());
    if (std::atomic_ref<std::uint32_t>(st->magic).load(std::memory_order_acquire) != detail::kMagic ||
        st->version != detail::kVersion || st->size != sizeof(State))
        throw std::runtime_error("vx7sim: " + path + ": not a simulator state file of this version");
    impl->state = st;
    return Sim(std::move(impl));
}

Sim Sim::attach_from_env()
{
    const char *p = std::getenv(kStateEnv);
    if (p == nullptr || *p == '\0')
        throw std::runtime_error(std::string("vx7sim: ") + kStateEnv + " is not set");
    return open(p);
}

std::optional<Sim> Sim::try_attach_from_env() noexcept
{
    const char *p = std::getenv(kStateEnv);
    if (p == nullptr || *p == '\0')
        return std::nullopt;
    return try_open(p);
}

const std::string &Sim::path() const
{
    return impl_->path;
}

// ---------------------------------------------------------------- scripting

namespace {

DeviceSlot &slot_or_throw(State &st, int d)
{
    if (!valid_id(st, d))
        throw std::out_of_range("vx7sim: no device " + std::to_string(d));
    return st.devices[d];
}

void check_channel(int ch)
{
    if (ch < 0 || ch >= kChannels)
        throw std::out_of_range("vx7sim: no channel " + std::to_string(ch));
}

} // namespace

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
    DeviceSlot &s = st.devices[d];
    std::memset(static_cast<void *>(&s), 0, sizeof s);
    copy_descriptor(s.manufacturer, spec.manufacturer);
    copy_descriptor(s.product, spec.product);
    copy_path(s.interface_path,
              spec.interface_path.empty() ? default_interface_path(spec.vendor_id, spec.product_id, d)
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
        attach(st, s);
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
    copy_descriptor(s.manufacturer, manufacturer);
    copy_descriptor(s.product, product);
}

void Sim::set_interface_path(int d, const std::string &path)
{
    State &st = *impl_->state;
    Lock lock(st);
    copy_path(slot_or_throw(st, d).interface_path, path);
}

DeviceInfo Sim::device(int d) const
{
    State &st = *impl_->state;
    Lock lock(st);
    return info_of(slot_or_throw(st, d), d);
}

std::vector<DeviceInfo> Sim::devices() const
{
    State &st = *impl_->state;
    Lock lock(st);
    std::vector<DeviceInfo> out;
    for (int d = 0; d < kMaxDevices; ++d)
        if (st.devices[d].in_use != 0)
            out.push_back(info_of(st.devices[d], d));
    return out;
}

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
        detail::QueuedReport &q = s.queue[(s.queue_head + s.queue_count) % kMaxQueuedReports];
        q = detail::QueuedReport{};
        q.length = static_cast<std::uint8_t>(r.size());
        if (!r.empty())
            std::memcpy(q.bytes, r.data(), r.size());
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
    s.idle = detail::QueuedReport{};
    s.idle_set = reply ? 1 : 0;
    if (reply) {
        s.idle.length = static_cast<std::uint8_t>(reply->size());
        if (!reply->empty())
            std::memcpy(s.idle.bytes, reply->data(), reply->size());
    }
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
    reset_channels(slot_or_throw(st, d));
}

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
    const DeviceSlot &s = slot_or_throw(st, d);
    const std::uint64_t n = std::min<std::uint64_t>(s.command_total, kCommandLogSize);
    std::vector<Command> out;
    out.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = s.command_total - n; i < s.command_total; ++i)
        out.push_back(s.log[i % kCommandLogSize]);
    return out;
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
    SampleLog log;
    State &st = *impl_->state;
    Lock lock(st);
    const DeviceSlot &s = slot_or_throw(st, d);
    log.total = s.sample_total;
    const std::uint64_t oldest = s.sample_total - std::min<std::uint64_t>(s.sample_total, kSampleLogSize); // seq - 1
    const std::uint64_t from = std::max(oldest, std::min(since, s.sample_total));
    log.lost = from - std::min(since, from);
    log.samples.reserve(static_cast<std::size_t>(s.sample_total - from));
    for (std::uint64_t i = from; i < s.sample_total; ++i)
        log.samples.push_back(s.samples[i % kSampleLogSize]);
    return log;
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
    const std::uint64_t n = std::min<std::uint64_t>(st.protocol_total, kProtocolLogSize);
    std::vector<ProtocolError> out;
    for (std::uint64_t i = st.protocol_total - n; i < st.protocol_total; ++i)
        out.push_back(st.protocol_log[i % kProtocolLogSize]);
    return out;
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return pred();
        detail::sleep_ms(static_cast<std::uint32_t>(std::max(1, poll_ms)));
    }
}

// ---------------------------------------------------------------- host side

std::vector<DeviceInfo> Sim::attached_devices() const
{
    State &st = *impl_->state;
    Lock lock(st);
    std::vector<DeviceInfo> out;
    for (int bus = 0; bus < kMaxBuses; ++bus)
        for (int d = 0; d < kMaxDevices; ++d)
            if (st.devices[d].in_use != 0 && st.devices[d].attached != 0 && st.devices[d].bus == bus)
                out.push_back(info_of(st.devices[d], d));
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
    if (!valid_id(st, d))
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
    if (valid_id(st, h.device))
        ++st.devices[h.device].counters.closes;
}

bool Sim::host_valid(const HostHandle &h) const noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    return handle_live(st, h);
}

TransferResult Sim::host_get_string(const HostHandle &h, int index, int /*langid*/, std::uint8_t *buf,
                                    std::size_t size) noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    if (!handle_live(st, h))
        return {TransferStatus::NoDevice, 0};
    DeviceSlot &s = st.devices[h.device];
    ++s.counters.string_reads;
    static constexpr std::uint8_t kLanguages[] = {4, 3, 0x09, 0x04};
    const std::uint8_t *src = nullptr;
    std::size_t len = 0;
    if (index == 0) {
        src = kLanguages;
        len = sizeof kLanguages;
    } else if (index == s.manufacturer_index && (s.string_fails & 1) == 0) {
        src = s.manufacturer.bytes;
        len = s.manufacturer.length;
    } else if (index == s.product_index && index != s.manufacturer_index && (s.string_fails & 2) == 0) {
        src = s.product.bytes;
        len = s.product.length;
    } else {
        ++s.counters.string_failures;
        return {TransferStatus::Stall, 0};
    }
    const std::size_t n = std::min(len, size);
    if (n > 0 && buf != nullptr)
        std::memcpy(buf, src, n);
    return {TransferStatus::Ok, static_cast<int>(buf != nullptr ? n : 0)};
}

std::optional<std::u16string> Sim::host_string(const HostHandle &h, bool product) noexcept
{
    State &st = *impl_->state;
    Lock lock(st);
    if (!handle_live(st, h))
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

namespace {

// One transfer of either framing, once its framing has been accepted:
// counts it, applies any fault (sleeping without the lock), then lets the
// device act. `report` is the command for a SET, the reply buffer for a GET.
struct Transfer {
    bool is_set = false;
    Command entry{};          // SET: the log entry, filled by the caller but for seq and outcome
    std::uint8_t *reply = nullptr; // GET: where the reply goes
    std::size_t reply_room = 0;
    bool short_allowed = true;
};

TransferResult run_transfer(State &st, const HostHandle &h, Transfer &t, std::uint32_t timeout_ms)
{
    std::optional<Fault> fault;
    {
        Lock lock(st);
        if (!handle_live(st, h))
            return {TransferStatus::NoDevice, 0};
        DeviceSlot &s = st.devices[h.device];
        ++(t.is_set ? s.counters.set_transfers : s.counters.get_transfers);
        if (!t.is_set)
            s.counters.last_get_length = static_cast<std::uint32_t>(t.reply_room);
        s.counters.last_timeout_ms = timeout_ms;
        fault = take_fault(s, t.is_set ? TransferKind::Set : TransferKind::Get);
    }
    bool timed_out = false;
    if (fault && fault->action == FaultAction::Delay) {
        // A time-out of 0 waits for ever, as libusb's does.
        const bool limited = timeout_ms != 0;
        timed_out = limited && fault->delay_ms >= timeout_ms;
        detail::sleep_ms(limited ? std::min(fault->delay_ms, timeout_ms) : fault->delay_ms);
    }

    Lock lock(st);
    const bool live = handle_live(st, h);
    if (!valid_id(st, h.device))
        return {TransferStatus::NoDevice, 0};
    DeviceSlot &s = st.devices[h.device];
    const bool failed = fault && fault->action == FaultAction::Fail;
    const bool is_short = fault && fault->action == FaultAction::Short;
    Outcome outcome = Outcome::Accepted;
    if (!live)
        outcome = Outcome::Detached;
    else if (timed_out)
        outcome = Outcome::TimedOut;
    else if (failed || (is_short && !t.short_allowed))
        outcome = Outcome::Failed;
    else if (is_short)
        outcome = Outcome::Short;

    if (outcome != Outcome::Accepted)
        ++s.counters.failed_transfers;

    TransferResult result{TransferStatus::Ok, 0};
    if (t.is_set) {
        if (live) {
            Command &c = log_command(s);
            const std::uint64_t seq = c.seq;
            c = t.entry;
            c.seq = seq;
            c.outcome = outcome;
            if (outcome == Outcome::Accepted)
                execute(s, t.entry.data);
        }
        result.count = outcome == Outcome::Short ? std::min<int>(fault->short_count, t.entry.length)
                                                 : t.entry.length;
    } else if (outcome == Outcome::Accepted || outcome == Outcome::Short) {
        ReplySource source{};
        const detail::QueuedReport r = next_reply(s, source);
        std::size_t n = std::min<std::size_t>(r.length, t.reply_room);
        if (outcome == Outcome::Short)
            n = std::min<std::size_t>(n, fault->short_count);
        if (n > 0)
            std::memcpy(t.reply, r.bytes, n);
        if (n >= static_cast<std::size_t>(kReportSize))
            log_sample(s, r.bytes, source, now_ns());
        result.count = static_cast<int>(n);
    }
    switch (outcome) {
    case Outcome::Accepted:
    case Outcome::Short:
        break;
    case Outcome::Failed:
        result = {TransferStatus::Stall, 0};
        break;
    case Outcome::TimedOut:
        result = {TransferStatus::Timeout, 0};
        break;
    case Outcome::Detached:
        result = {TransferStatus::NoDevice, 0};
        break;
    }
    return result;
}

} // namespace

TransferResult Sim::host_control(const HostHandle &h, int request_type, int request, int value, int index,
                                 std::uint8_t *data, int size, std::uint32_t timeout_ms) noexcept
{
    State &st = *impl_->state;
    Transfer t;
    if (is_set_report(request_type, request, value, index, data, size)) {
        t.is_set = true;
        t.entry.framing = Framing::UsbControl;
        t.entry.request_type = static_cast<std::uint8_t>(request_type);
        t.entry.request = static_cast<std::uint8_t>(request);
        t.entry.value = static_cast<std::uint16_t>(value);
        t.entry.index = static_cast<std::uint16_t>(index);
        t.entry.length = static_cast<std::uint16_t>(size);
        t.entry.timeout_ms = timeout_ms;
        std::memcpy(t.entry.data.data(), data, kReportSize);
    } else if (is_get_report(request_type, request, value, index, data, size)) {
        t.reply = data;
        t.reply_room = static_cast<std::size_t>(size);
    } else {
        Lock lock(st);
        if (!handle_live(st, h))
            return {TransferStatus::NoDevice, 0};
        const bool out = (request_type & 0x80) == 0;
        record_protocol_error(st, h.device, Framing::UsbControl, request_type, request, value, index, data, size,
                              timeout_ms, out);
        return {TransferStatus::Stall, 0};
    }
    return run_transfer(st, h, t, timeout_ms);
}

TransferResult Sim::host_set_feature(const HostHandle &h, const std::uint8_t *buf, std::size_t size,
                                     std::uint32_t timeout_ms) noexcept
{
    State &st = *impl_->state;
    if (buf == nullptr || size != static_cast<std::size_t>(kFeatureBufferSize) || buf[0] != 0) {
        Lock lock(st);
        if (!handle_live(st, h))
            return {TransferStatus::NoDevice, 0};
        record_protocol_error(st, h.device, Framing::HidFeature, 0, 0, 0, 0, buf,
                              static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)), timeout_ms, true);
        return {TransferStatus::Stall, 0};
    }
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
    if (buf == nullptr || size != static_cast<std::size_t>(kFeatureBufferSize) || buf[0] != 0) {
        Lock lock(st);
        if (!handle_live(st, h))
            return {TransferStatus::NoDevice, 0};
        record_protocol_error(st, h.device, Framing::HidFeature, 0, 0, 0, 0, buf,
                              static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)), timeout_ms, true);
        return {TransferStatus::Stall, 0};
    }
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
