// The commands that talk to the device: list, configure, reset, help.
#include "args.h"
#include "commands.h"

#include "vx7/vhid.h"
#include "vx7/vx7.h"
#include "vx7common/unique_fd.h"
#include "vx7identity/identity.h"
#include "vx7settings/settings.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace vx7ctl {
namespace {

namespace id = vx7::identity;

struct Listed {
    enum class Kind { Device, CannotOpen, NoStrings, Other } kind;
    std::string manufacturer;
    std::string product;
    std::string text; // Other: the line as the transport printed it
};

int dup2_retrying(int from, int to)
{
    int rc;
    while ((rc = dup2(from, to)) < 0 && (errno == EINTR || errno == EBUSY)) {
    }
    return rc;
}

// Runs the transport's listing mode with standard output going into an
// anonymous file, and returns what it printed; false (errno set) when it
// cannot capture it or cannot put standard output back.
bool capture_listing(std::string &out)
{
    const vx7::UniqueFD mem(memfd_create("vx7ctl-list", MFD_CLOEXEC));
    if (!mem.valid())
        return false;
    std::fflush(stdout);
    const vx7::UniqueFD saved(fcntl(1, F_DUPFD_CLOEXEC, 0));
    if (!saved.valid() || dup2_retrying(mem.get(), 1) < 0)
        return false;
    void *none = HidOpenDevice(0, 0, L"", L""); // listing mode: always null
    HidCloseDevice(none);
    std::fflush(stdout);
    if (dup2_retrying(saved.get(), 1) < 0)
        return false;

    out.clear();
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(mem.get(), buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return true;
}

std::vector<Listed> parse_listing(const std::string &text)
{
    std::vector<Listed> items;
    std::size_t pos = 0;
    constexpr std::string_view prefix = "Device:\t";
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.substr(0, prefix.size()) == prefix) {
            const std::string_view rest = line.substr(prefix.size());
            const std::size_t tab = rest.find('\t');
            if (tab != std::string_view::npos) {
                items.push_back(
                    {Listed::Kind::Device, std::string(rest.substr(0, tab)), std::string(rest.substr(tab + 1)), {}});
                continue;
            }
        }
        if (line == "Can not open")
            items.push_back({Listed::Kind::CannotOpen, {}, {}, {}});
        else if (line == "can not get string")
            items.push_back({Listed::Kind::NoStrings, {}, {}, {}});
        else if (!line.empty())
            items.push_back({Listed::Kind::Other, {}, {}, std::string(line)});
    }
    return items;
}

} // namespace

int cmd_list(Args &args)
{
    if (!args.done())
        return args.unexpected("list");
    std::string text;
    if (!capture_listing(text))
        return fail(kFailed, "list: cannot capture the device listing: %s", std::strerror(errno));

    int found = 0;
    const auto items = parse_listing(text);
    for (const Listed &d : items) {
        switch (d.kind) {
        case Listed::Kind::Device: {
            const bool vx7 = d.manufacturer == id::kManufacturerText && d.product == id::kProductText;
            found += vx7 ? 1 : 0;
            std::printf("%s %s\t%s\n", vx7 ? "*" : " ", d.manufacturer.c_str(), d.product.c_str());
            break;
        }
        case Listed::Kind::CannotOpen:
            std::printf("  (a device that cannot be opened)\n");
            break;
        case Listed::Kind::NoStrings:
            std::printf("  (a device whose strings cannot be read)\n");
            break;
        case Listed::Kind::Other:
            std::printf("  %s\n", d.text.c_str());
            break;
        }
    }
    if (items.empty())
        std::printf("no USB devices\n");
    if (found == 0) {
        std::printf("vx7 device: not found\n");
        return kNoDevice;
    }
    std::printf("vx7 device: found%s\n", found > 1 ? " (more than one; the first is used)" : "");
    return kOk;
}

int cmd_configure(Args &args)
{
    ConfigureOptions o;
    if (const int rc = parse_configure(args, o); rc != kOk)
        return rc;
    const vx7::settings::Settings &s = o.settings;
    const auto rc = static_cast<std::uint8_t>(vx7_configure(s.device_channel, s.freq, s.range, s.calibrate, s.input));
    const char *meaning = vx7::settings::configure_meaning(rc);
    if (rc == 0) {
        std::printf("%s\n", meaning);
        return kOk;
    }
    return fail(rc == 1 ? kNoDevice : kFailed, "configure: %s (result %u)", meaning, unsigned{rc});
}

int cmd_reset(Args &args)
{
    if (!args.done())
        return args.unexpected("reset");
    if (vx7_reinit() == 0) {
        std::printf("OK\n");
        return kOk;
    }
    // vx7_reinit says 1 both when there is no device and when the command
    // did not go through; a second look tells the two apart.
    void *dev = HidOpenDevice(id::kVendorId, id::kProductId, id::kManufacturer, id::kProduct);
    const bool present = HidIsConnected(dev) != 0;
    HidCloseDevice(dev);
    if (!present)
        return fail(kNoDevice, "reset: failed open device");
    return fail(kFailed, "reset: the reset command was not delivered");
}

int cmd_help(Args &args)
{
    if (!args.done())
        return args.unexpected("help");
    std::fputs(vx7_help(), stdout);
    return kOk;
}

} // namespace vx7ctl
