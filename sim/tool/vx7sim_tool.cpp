// vx7sim: scripts the simulated vx7 device from the shell (demos, shell tests).
// The state file is --state PATH or $VX7SIM_STATE.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "printers.h"
#include "vx7sim/sim.h"

using namespace vx7sim::tool;

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

// Exit status of `samples` when the ring wrapped past --since.
constexpr int kSamplesLost = 3;

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

// A command's words after the command name, from which its options are taken.
class Args {
public:
    Args(std::string name, std::vector<std::string> words) : name_(std::move(name)), words_(std::move(words)) {}

    const std::string &name() const { return name_; }
    std::size_t size() const { return words_.size(); }
    bool empty() const { return words_.empty(); }
    const std::string &operator[](std::size_t i) const { return words_[i]; }
    const std::vector<std::string> &words() const { return words_; }

    // Option NAME VALUE among the words: its value ("1" when NAME comes
    // last), or "" when it is not there.
    std::string option(const std::string &name)
    {
        const auto at = std::find(words_.begin(), words_.end(), name);
        if (at == words_.end())
            return "";
        const bool has_value = at + 1 != words_.end();
        const std::string v = has_value ? *(at + 1) : "";
        words_.erase(at, has_value ? at + 2 : at + 1);
        return v.empty() ? "1" : v;
    }
    // The same, but NAME must be followed by a value.
    std::string value(const std::string &name, const char *usage)
    {
        const auto at = std::find(words_.begin(), words_.end(), name);
        if (at != words_.end() && at + 1 == words_.end())
            throw Usage(usage);
        return option(name);
    }
    bool flag(const std::string &name)
    {
        const auto at = std::find(words_.begin(), words_.end(), name);
        if (at == words_.end())
            return false;
        words_.erase(at);
        return true;
    }
    // The words are not what the command takes.
    [[noreturn]] void wrong() const { throw Usage("unknown command or wrong arguments: " + name_); }

private:
    std::string name_;
    std::vector<std::string> words_;
};

struct Context {
    vx7sim::Sim &sim;
    int dev;
    Args &args;
};

int cmd_add(Context &c)
{
    const std::string bus = c.args.option("--bus");
    const bool detached = c.args.flag("--detached");
    const Args &a = c.args;
    if (a.size() != 4)
        throw Usage("add VID PID MANUFACTURER PRODUCT");
    vx7sim::DeviceSpec spec = vx7sim::DeviceSpec::with(static_cast<std::uint16_t>(number(a[0], 16)),
                                                       static_cast<std::uint16_t>(number(a[1], 16)), a[2], a[3]);
    spec.bus = bus.empty() ? 0 : static_cast<int>(number(bus)) - 1;
    spec.attached = !detached;
    std::printf("%d\n", c.sim.add_device(spec));
    return 0;
}

int cmd_attach(Context &c)
{
    c.sim.set_attached(c.dev, c.args.name() == "attach");
    return 0;
}

int cmd_open_fails(Context &c)
{
    if (c.args.size() != 1)
        c.args.wrong();
    c.sim.set_open_fails(c.dev, c.args[0] == "on");
    return 0;
}

int cmd_string_fails(Context &c)
{
    if (c.args.size() != 1)
        c.args.wrong();
    static const std::pair<const char *, vx7sim::StringFault> kNames[] = {
        {"manufacturer", vx7sim::StringFault::Manufacturer},
        {"product", vx7sim::StringFault::Product},
        {"both", vx7sim::StringFault::Both},
        {"none", vx7sim::StringFault::None},
    };
    for (const auto &[name, fault] : kNames) {
        if (c.args[0] == name) {
            c.sim.set_string_fails(c.dev, fault);
            return 0;
        }
    }
    throw Usage("string-fails none|manufacturer|product|both");
}

int cmd_queue(Context &c)
{
    if (c.args.empty())
        c.args.wrong();
    std::vector<std::vector<std::uint8_t>> reports;
    for (const auto &h : c.args.words())
        reports.push_back(hex_bytes(h));
    c.sim.queue_reports(c.dev, reports);
    return 0;
}

int cmd_idle(Context &c)
{
    if (c.args.size() != 1)
        c.args.wrong();
    if (c.args[0] == "off")
        c.sim.set_idle_reply(c.dev, std::nullopt);
    else
        c.sim.set_idle_reply(c.dev, hex_bytes(c.args[0]));
    return 0;
}

int cmd_clear_queue(Context &c)
{
    c.sim.clear_queue(c.dev);
    return 0;
}

int cmd_wave(Context &c)
{
    const std::string input = c.args.option("--input");
    const Args &a = c.args;
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
    c.sim.set_waveform(c.dev, ch, w, input == "B" ? vx7sim::Input::B : vx7sim::Input::A);
    return 0;
}

int cmd_fault(Context &c)
{
    static const char kFaultUsage[] = "fault get|set fail|short BYTES|delay MS [--count N] [--nth K]";
    const std::string count = c.args.option("--count");
    const std::string nth = c.args.option("--nth");
    const Args &a = c.args;
    if (a.size() < 2 || (a[0] != "get" && a[0] != "set"))
        throw Usage(kFaultUsage);
    const vx7sim::TransferKind kind = a[0] == "get" ? vx7sim::TransferKind::Get : vx7sim::TransferKind::Set;
    vx7sim::Fault f;
    if (a[1] == "fail" && a.size() == 2)
        f = vx7sim::Fault::fail(kind);
    else if (a[1] == "short" && a.size() == 3)
        f = vx7sim::Fault::short_transfer(kind, static_cast<std::uint8_t>(number(a[2])));
    else if (a[1] == "delay" && a.size() == 3)
        f = vx7sim::Fault::delay(kind, static_cast<std::uint32_t>(number(a[2])));
    else
        throw Usage(kFaultUsage);
    if (!count.empty())
        f.count = static_cast<std::uint32_t>(number(count));
    if (!nth.empty())
        f = f.from_nth(static_cast<std::uint32_t>(number(nth)));
    c.sim.inject_fault(c.dev, f);
    return 0;
}

int cmd_clear_faults(Context &c)
{
    c.sim.clear_faults(c.dev);
    return 0;
}

int cmd_reset(Context &c)
{
    c.sim.reset_device(c.dev);
    return 0;
}

int cmd_show(Context &c)
{
    print_devices(c.sim);
    for (const auto &i : c.sim.devices()) {
        print_counters(c.sim, i.id);
        print_config(c.sim, i.id);
    }
    print_errors(c.sim);
    return 0;
}

int cmd_counters(Context &c)
{
    print_counters(c.sim, c.dev);
    return 0;
}

int cmd_log(Context &c)
{
    print_log(c.sim, c.dev);
    return 0;
}

int cmd_config(Context &c)
{
    print_config(c.sim, c.dev);
    return 0;
}

int cmd_errors(Context &c)
{
    print_errors(c.sim);
    return 0;
}

int cmd_samples(Context &c)
{
    static const char kSamplesUsage[] = "samples [--since N] | samples --total";
    const std::string since = c.args.value("--since", kSamplesUsage);
    const bool total = c.args.flag("--total");
    if (!c.args.empty() || (total && !since.empty()))
        throw Usage(kSamplesUsage);
    if (!total)
        return print_samples(c.sim, c.dev, since.empty() ? 0 : number(since)) ? 0 : kSamplesLost;
    std::printf("%llu\n", static_cast<unsigned long long>(c.sim.sample_total(c.dev)));
    return 0;
}

struct CommandEntry {
    const char *name;
    int (*run)(Context &);
};

// Every command but create, which makes the state file the others open.
constexpr CommandEntry kCommands[] = {
    {"add", cmd_add},
    {"attach", cmd_attach},
    {"detach", cmd_attach},
    {"open-fails", cmd_open_fails},
    {"string-fails", cmd_string_fails},
    {"queue", cmd_queue},
    {"idle", cmd_idle},
    {"clear-queue", cmd_clear_queue},
    {"wave", cmd_wave},
    {"fault", cmd_fault},
    {"clear-faults", cmd_clear_faults},
    {"reset", cmd_reset},
    {"show", cmd_show},
    {"counters", cmd_counters},
    {"log", cmd_log},
    {"config", cmd_config},
    {"errors", cmd_errors},
    {"samples", cmd_samples},
};

int cmd_create(const std::string &state, Args &args)
{
    const bool no_device = args.flag("--no-device");
    vx7sim::Sim sim = vx7sim::Sim::create(state);
    if (!no_device)
        sim.add_vx7();
    return 0;
}

std::string state_from_env()
{
    const char *env = std::getenv(vx7sim::kStateEnv);
    if (env == nullptr || *env == '\0')
        throw Usage("no state file: give --state PATH or set VX7SIM_STATE");
    return env;
}

int run(const std::vector<std::string> &argv)
{
    // --state PATH and --dev D may come anywhere.
    std::string state;
    int dev = 0;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (argv[i] == "--state" && i + 1 < argv.size())
            state = argv[++i];
        else if (argv[i] == "--dev" && i + 1 < argv.size())
            dev = static_cast<int>(number(argv[++i]));
        else
            rest.push_back(argv[i]);
    }
    if (rest.empty())
        throw Usage("no command");
    if (state.empty())
        state = state_from_env();
    Args args(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()));
    if (args.name() == "create")
        return cmd_create(state, args);
    vx7sim::Sim sim = vx7sim::Sim::open(state);
    for (const CommandEntry &e : kCommands) {
        if (args.name() == e.name) {
            Context c{sim, dev, args};
            return e.run(c);
        }
    }
    args.wrong();
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
