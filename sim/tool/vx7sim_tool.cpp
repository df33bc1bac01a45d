// vx7sim: scripts the simulated vx7 device from the shell (demos, shell tests).
// The state file is --state PATH or $VX7SIM_STATE.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "vx7sim/sim.h"

namespace {

const char kUsage[] =
    "usage: vx7sim [--state PATH] [--dev D] COMMAND [ARGS]\n"
    "The state file is --state PATH or $VX7SIM_STATE; D is a device id (default 0).\n"
    "commands:\n"
    "  create [--no-device]          new state file, the vx7 device attached as device 0\n"
    "  add VID PID MANUF PRODUCT [--bus N] [--detached]\n"
    "                                add a device (IDs in hex, ASCII strings); prints its id\n"
    "  attach | detach               plug / unplug the device\n"
    "  open-fails on|off             opening the device fails\n"
    "  string-fails none|manufacturer|product|both\n"
    "  queue HEX...                  queue GET replies, one report per argument (e.g. 80FFFFFF)\n"
    "  clear-queue\n"
    "  idle HEX|off                  reply given while the queue is empty (off: generated samples)\n"
    "  wave CH const VOLTS | CH sine|ramp|square AMPLITUDE PERIOD [OFFSET] [--input A|B]\n"
    "                                the channel's waveform (PERIOD in samples of that channel)\n"
    "  fault get|set fail|short BYTES|delay MS [--count N] [--nth K]\n"
    "  clear-faults\n"
    "  reset                         as the device's reset command\n"
    "  show                          devices, counters and channel configuration\n"
    "  counters | log | config | errors\n"
    "  samples [--since N]           sample reports the device answered after number N, one a\n"
    "                                line: number channel(0-3) exponent raw(24-bit code) volts;\n"
    "                                exit status 3 when some of them were already overwritten\n"
    "  samples --total               how many sample reports the device has answered\n";

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long number(const std::string &s, int base = 10)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, base);
    if (s.empty() || *end != '\0' || errno != 0)
        throw Usage("not a number: " + s);
    return v;
}

double real(const std::string &s)
{
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0')
        throw Usage("not a number: " + s);
    return v;
}

std::vector<std::uint8_t> hex_bytes(const std::string &s)
{
    std::string digits;
    for (char c : s)
        if (c != ':' && c != '-' && c != ' ')
            digits.push_back(c);
    if (digits.size() % 2 != 0)
        throw Usage("odd number of hex digits: " + s);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(number(digits.substr(i, 2), 16)));
    return out;
}

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

void print_counters(const vx7sim::Sim &sim, int d)
{
    const vx7sim::Counters c = sim.counters(d);
    std::printf("device %d: opens %llu closes %llu open-handles %lld open-failures %llu strings %llu/%llu failed "
                "get %llu set %llu failed-transfers %llu protocol-errors %llu queued-replies %llu samples %llu\n",
                d, static_cast<unsigned long long>(c.opens), static_cast<unsigned long long>(c.closes),
                static_cast<long long>(c.open_handles()), static_cast<unsigned long long>(c.open_failures),
                static_cast<unsigned long long>(c.string_reads), static_cast<unsigned long long>(c.string_failures),
                static_cast<unsigned long long>(c.get_transfers), static_cast<unsigned long long>(c.set_transfers),
                static_cast<unsigned long long>(c.failed_transfers),
                static_cast<unsigned long long>(c.protocol_errors),
                static_cast<unsigned long long>(c.queued_replies),
                static_cast<unsigned long long>(c.generated_samples));
}

void print_config(const vx7sim::Sim &sim, int d)
{
    for (int ch = 0; ch < vx7sim::kChannels; ++ch) {
        const vx7sim::ChannelConfig c = sim.channel_config(d, ch);
        std::printf("device %d channel %d: applied freq %u range %u calibration %u input %s | pending freq %u "
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
                        static_cast<unsigned long long>(c.seq), c.request_type, c.request, c.value, c.index,
                        c.length, c.timeout_ms, hex(c.data.data(), c.data.size()).c_str(), outcome_name(c.outcome));
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

// Exit status of `samples` when the ring wrapped past --since.
constexpr int kSamplesLost = 3;

int print_samples(const vx7sim::Sim &sim, int d, const std::string &since)
{
    const vx7sim::SampleLog log = sim.samples(d, since.empty() ? 0 : number(since));
    for (const vx7sim::AnsweredSample &a : log.samples)
        std::printf("%llu %u %u %u %.11e\n", static_cast<unsigned long long>(a.seq), a.channel, a.exponent, a.raw,
                    a.volts());
    if (log.lost == 0)
        return 0;
    std::fflush(stdout);
    std::fprintf(stderr, "vx7sim: %llu samples after %s were overwritten before this read\n",
                 static_cast<unsigned long long>(log.lost), since.empty() ? "0" : since.c_str());
    return kSamplesLost;
}

void print_devices(const vx7sim::Sim &sim)
{
    for (const vx7sim::DeviceInfo &i : sim.devices())
        std::printf("device %d: %s bus %d address %u id %04x:%04x generation %u path %s\n", i.id,
                    i.attached ? "attached" : "detached", i.bus + 1, i.address, i.vendor_id, i.product_id,
                    i.generation, i.interface_path.c_str());
}

int run(std::vector<std::string> args)
{
    std::string state;
    int dev = 0;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--state" || args[i] == "--dev") && i + 1 < args.size()) {
            if (args[i] == "--state")
                state = args[++i];
            else
                dev = static_cast<int>(number(args[++i]));
        } else {
            rest.push_back(args[i]);
        }
    }
    if (rest.empty())
        throw Usage("no command");
    if (state.empty()) {
        const char *env = std::getenv(vx7sim::kStateEnv);
        if (env == nullptr || *env == '\0')
            throw Usage("no state file: give --state PATH or set VX7SIM_STATE");
        state = env;
    }
    const std::string cmd = rest[0];
    std::vector<std::string> a(rest.begin() + 1, rest.end());
    // Options that follow a command's words.
    auto take_option = [&a](const std::string &name) -> std::string {
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] == name) {
                std::string v = i + 1 < a.size() ? a[i + 1] : "";
                a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(std::min(i + 2, a.size())));
                return v.empty() ? "1" : v;
            }
        }
        return "";
    };
    auto take_flag = [&a](const std::string &name) {
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a[i] == name) {
                a.erase(a.begin() + static_cast<long>(i));
                return true;
            }
        return false;
    };

    if (cmd == "create") {
        const bool no_device = take_flag("--no-device");
        vx7sim::Sim sim = vx7sim::Sim::create(state);
        if (!no_device)
            sim.add_vx7();
        return 0;
    }
    vx7sim::Sim sim = vx7sim::Sim::open(state);
    if (cmd == "add") {
        const std::string bus = take_option("--bus");
        const bool detached = take_flag("--detached");
        if (a.size() != 4)
            throw Usage("add VID PID MANUFACTURER PRODUCT");
        vx7sim::DeviceSpec spec =
            vx7sim::DeviceSpec::with(static_cast<std::uint16_t>(number(a[0], 16)),
                                     static_cast<std::uint16_t>(number(a[1], 16)), a[2], a[3]);
        spec.bus = bus.empty() ? 0 : static_cast<int>(number(bus)) - 1;
        spec.attached = !detached;
        std::printf("%d\n", sim.add_device(spec));
    } else if (cmd == "attach" || cmd == "detach") {
        sim.set_attached(dev, cmd == "attach");
    } else if (cmd == "open-fails" && a.size() == 1) {
        sim.set_open_fails(dev, a[0] == "on");
    } else if (cmd == "string-fails" && a.size() == 1) {
        const vx7sim::StringFault f = a[0] == "manufacturer" ? vx7sim::StringFault::Manufacturer
                                      : a[0] == "product"    ? vx7sim::StringFault::Product
                                      : a[0] == "both"       ? vx7sim::StringFault::Both
                                      : a[0] == "none"       ? vx7sim::StringFault::None
                                                             : throw Usage("string-fails none|manufacturer|product|both");
        sim.set_string_fails(dev, f);
    } else if (cmd == "queue" && !a.empty()) {
        std::vector<std::vector<std::uint8_t>> reports;
        for (const auto &h : a)
            reports.push_back(hex_bytes(h));
        sim.queue_reports(dev, reports);
    } else if (cmd == "idle" && a.size() == 1) {
        if (a[0] == "off")
            sim.set_idle_reply(dev, std::nullopt);
        else
            sim.set_idle_reply(dev, hex_bytes(a[0]));
    } else if (cmd == "clear-queue") {
        sim.clear_queue(dev);
    } else if (cmd == "wave") {
        const std::string input = take_option("--input");
        if (a.size() < 3)
            throw Usage("wave CH KIND ...");
        const int ch = static_cast<int>(number(a[0]));
        vx7sim::Waveform w;
        if (a[1] == "const" && a.size() == 3) {
            w = vx7sim::Waveform::constant(real(a[2]));
        } else if ((a[1] == "sine" || a[1] == "ramp" || a[1] == "square") && (a.size() == 4 || a.size() == 5)) {
            const double amp = real(a[2]);
            const auto period = static_cast<std::uint32_t>(number(a[3]));
            const double offset = a.size() == 5 ? real(a[4]) : 0.0;
            w = a[1] == "sine"   ? vx7sim::Waveform::sine(amp, period, offset)
                : a[1] == "ramp" ? vx7sim::Waveform::ramp(amp, period, offset)
                                 : vx7sim::Waveform::square(amp, period, offset);
        } else {
            throw Usage("wave CH const VOLTS | CH sine|ramp|square AMPLITUDE PERIOD [OFFSET]");
        }
        sim.set_waveform(dev, ch, w, input == "B" ? vx7sim::Input::B : vx7sim::Input::A);
    } else if (cmd == "fault") {
        const std::string count = take_option("--count");
        const std::string nth = take_option("--nth");
        if (a.size() < 2 || (a[0] != "get" && a[0] != "set"))
            throw Usage("fault get|set fail|short BYTES|delay MS [--count N] [--nth K]");
        const vx7sim::TransferKind kind = a[0] == "get" ? vx7sim::TransferKind::Get : vx7sim::TransferKind::Set;
        vx7sim::Fault f;
        if (a[1] == "fail" && a.size() == 2)
            f = vx7sim::Fault::fail(kind);
        else if (a[1] == "short" && a.size() == 3)
            f = vx7sim::Fault::short_transfer(kind, static_cast<std::uint8_t>(number(a[2])));
        else if (a[1] == "delay" && a.size() == 3)
            f = vx7sim::Fault::delay(kind, static_cast<std::uint32_t>(number(a[2])));
        else
            throw Usage("fault get|set fail|short BYTES|delay MS [--count N] [--nth K]");
        if (!count.empty())
            f.count = static_cast<std::uint32_t>(number(count));
        if (!nth.empty())
            f = f.from_nth(static_cast<std::uint32_t>(number(nth)));
        sim.inject_fault(dev, f);
    } else if (cmd == "clear-faults") {
        sim.clear_faults(dev);
    } else if (cmd == "reset") {
        sim.reset_device(dev);
    } else if (cmd == "show") {
        print_devices(sim);
        for (const auto &i : sim.devices()) {
            print_counters(sim, i.id);
            print_config(sim, i.id);
        }
        print_errors(sim);
    } else if (cmd == "counters") {
        print_counters(sim, dev);
    } else if (cmd == "log") {
        print_log(sim, dev);
    } else if (cmd == "config") {
        print_config(sim, dev);
    } else if (cmd == "errors") {
        print_errors(sim);
    } else if (cmd == "samples") {
        const auto at = std::find(a.begin(), a.end(), "--since");
        if (at != a.end() && at + 1 == a.end())
            throw Usage("samples --since N");
        const std::string since = take_option("--since");
        const bool total = take_flag("--total");
        if (!a.empty() || (total && !since.empty()))
            throw Usage("samples [--since N] | samples --total");
        if (total) {
            std::printf("%llu\n", static_cast<unsigned long long>(sim.sample_total(dev)));
            return 0;
        }
        return print_samples(sim, dev, since);
    } else {
        throw Usage("unknown command or wrong arguments: " + cmd);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Usage &e) {
        std::fprintf(stderr, "vx7sim: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vx7sim: %s\n", e.what());
        return 1;
    }
}
