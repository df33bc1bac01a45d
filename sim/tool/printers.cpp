// What the vx7sim tool prints: the model's state in lines for people and
// shell scripts.
#include "printers.h"

#include <cstdio>
#include <string>

namespace vx7sim::tool {

namespace {

std::string hex(const std::uint8_t *p, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

const char *outcome_name(vx7sim::Outcome o)
{
    switch (o) {
    case vx7sim::Outcome::Accepted:
        return "accepted";
    case vx7sim::Outcome::Failed:
        return "failed";
    case vx7sim::Outcome::Short:
        return "short";
    case vx7sim::Outcome::TimedOut:
        return "timed-out";
    case vx7sim::Outcome::Detached:
        return "detached";
    }
    return "?";
}

const char *input_name(vx7sim::Input i)
{
    static const char *names[] = {"A", "B", "GND", "test"};
    return names[static_cast<int>(i) & 3];
}

} // namespace

void print_counters(const vx7sim::Sim &sim, int d)
{
    const vx7sim::Counters c = sim.counters(d);
    std::printf(
        "device %d: opens %llu closes %llu open-handles %lld open-failures %llu strings %llu/%llu failed "
        "get %llu set %llu failed-transfers %llu protocol-errors %llu queued-replies %llu samples %llu\n",
        d, static_cast<unsigned long long>(c.opens), static_cast<unsigned long long>(c.closes),
        static_cast<long long>(c.open_handles()), static_cast<unsigned long long>(c.open_failures),
        static_cast<unsigned long long>(c.string_reads), static_cast<unsigned long long>(c.string_failures),
        static_cast<unsigned long long>(c.get_transfers), static_cast<unsigned long long>(c.set_transfers),
        static_cast<unsigned long long>(c.failed_transfers), static_cast<unsigned long long>(c.protocol_errors),
        static_cast<unsigned long long>(c.queued_replies), static_cast<unsigned long long>(c.generated_samples));
}

void print_config(const vx7sim::Sim &sim, int d)
{
    for (int ch = 0; ch < vx7sim::kChannels; ++ch) {
        const vx7sim::ChannelConfig c = sim.channel_config(d, ch);
        std::printf(
            "device %d channel %d: applied freq %u range %u calibration %u input %s | pending freq %u "
            "range %u calibration %u input %s | samples %llu\n",
            d, ch, c.applied.frequency, c.applied.range, c.applied.calibration, input_name(c.applied.input),
            c.pending.frequency, c.pending.range, c.pending.calibration, input_name(c.pending.input),
            static_cast<unsigned long long>(c.samples));
    }
}

void print_log(const vx7sim::Sim &sim, int d)
{
    for (const vx7sim::Command &c : sim.commands(d)) {
        if (c.framing == vx7sim::Framing::UsbControl)
            std::printf("%llu: type 0x%02X request %u value 0x%04X index %u length %u timeout %u: %s %s\n",
                        static_cast<unsigned long long>(c.seq), c.request_type, c.request, c.value, c.index, c.length,
                        c.timeout_ms, hex(c.data.data(), c.data.size()).c_str(), outcome_name(c.outcome));
        else
            std::printf("%llu: feature report length %u: %s %s\n", static_cast<unsigned long long>(c.seq), c.length,
                        hex(c.data.data(), c.data.size()).c_str(), outcome_name(c.outcome));
    }
}

void print_errors(const vx7sim::Sim &sim)
{
    std::printf("protocol errors: %llu\n", static_cast<unsigned long long>(sim.protocol_error_count()));
    for (const vx7sim::ProtocolError &e : sim.protocol_errors())
        std::printf("%llu: device %d %s type 0x%02X request %u value 0x%04X index %u length %d timeout %u data %s\n",
                    static_cast<unsigned long long>(e.seq), e.device,
                    e.framing == vx7sim::Framing::UsbControl ? "control" : "feature", e.request_type, e.request,
                    e.value, e.index, e.length, e.timeout_ms, hex(e.data.data(), e.data.size()).c_str());
}

bool print_samples(const vx7sim::Sim &sim, int d, std::uint64_t since)
{
    const vx7sim::SampleLog log = sim.samples(d, since);
    for (const vx7sim::AnsweredSample &a : log.samples)
        std::printf("%llu %u %u %u %.11e\n", static_cast<unsigned long long>(a.seq), a.channel, a.exponent, a.raw,
                    a.volts());
    if (log.lost == 0)
        return true;
    std::fflush(stdout);
    std::fprintf(stderr, "vx7sim: %llu samples after %llu were overwritten before this read\n",
                 static_cast<unsigned long long>(log.lost), static_cast<unsigned long long>(since));
    return false;
}

void print_devices(const vx7sim::Sim &sim)
{
    for (const vx7sim::DeviceInfo &i : sim.devices())
        std::printf("device %d: %s bus %d address %u id %04x:%04x generation %u path %s\n", i.id,
                    i.attached ? "attached" : "detached", i.bus + 1, i.address, i.vendor_id, i.product_id, i.generation,
                    i.interface_path.c_str());
}
} // namespace vx7sim::tool
