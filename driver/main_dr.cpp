// The acquisition driver: becomes a daemon (or signals the running one),
// then polls the vx7 device every 10 ms and publishes each sample, converted
// to volts, as a text record in the channel file of its channel.
//
// One source for every platform; driver_platform.h (chosen by the build)
// supplies channel file names, the clock, the record's formatter and writing
// (with or without the sequence word), the claim and the opening of the
// channel files, the reaction to a channel file that cannot be created and the
// exit-time registration.
#include "driver_platform.h"
#include "report.h"
#include "vx7/memfile.h"
#include "vx7/vhid.h"
#include "vx7daemon/daemon.h"
#include "vx7identity/identity.h"
#include "vx7record/record.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

namespace platform = vx7::driver_platform;
namespace record = vx7::record;

namespace {

// Process-wide driver state, released by del() at exit.
void *dev = nullptr;
std::array<memfile_t, record::kChannels> adc_file{};

platform::time_ms_t time_ms()
{
    return platform::now_ms();
}

void del()
{
    HidCloseDevice(dev);
    dev = nullptr;
    for (memfile_t &f : adc_file)
        memfile_close(&f);
}

void *open_device()
{
    namespace id = vx7::identity;
    return HidOpenDevice(id::kVendorId, id::kProductId, id::kManufacturer, id::kProduct);
}

// Writes the record of one report into its channel's file, if the report is
// a sample and that file is mapped. Allocates nothing.
void publish_report(const std::array<std::uint8_t, 4> &report, unsigned long elapsed)
{
    vx7::driver::Sample s{};
    if (!vx7::driver::decode_sample(std::span<const std::uint8_t, 4>(report), s))
        return;
    char *data = adc_file[static_cast<std::size_t>(s.channel)].data;
    if (data != nullptr)
        platform::publish(data, platform::format(s.volts, elapsed));
}

// One cycle: search for the device while there is none, otherwise read one
// report. A read that does not bring a whole report drops the device, so
// that the next cycle searches again.
void cycle(platform::time_ms_t start)
{
    const platform::time_ms_t now = time_ms();
    if (!HidIsConnected(dev)) {
        HidCloseDevice(dev); // releases a handle the platform found unusable
        dev = open_device();
        return;
    }
    std::array<std::uint8_t, 4> report{};
    if (HidReceiveArr(dev, report.data(), static_cast<int>(report.size())) == report.size()) {
        publish_report(report, platform::elapsed_ms(now, start));
    } else {
        HidCloseDevice(dev);
        dev = nullptr;
    }
}

} // namespace

int main(int argc, char **argv)
{
    platform::register_exit(del);

    const int rc = dmn_init_std(argc, argv, nullptr);
    if (rc != 0) {
        if constexpr (platform::kPrintStartResult)
            std::printf("%i\n", rc);
        return rc;
    }
    // rc 0: this is the daemon, detached from the invoker's output; its start
    // result has no one to go to.

    if (const int stop = platform::claim_channel_files(); stop != 0)
        return stop;
    for (std::size_t i = 0; i < adc_file.size(); ++i) {
        const std::uint8_t r = platform::open_channel_file(platform::kChannelFiles[i], adc_file[i]);
        if (r != 0) {
            const int stop = platform::channel_file_failed(static_cast<int>(i), r);
            if (stop != 0)
                return stop;
        }
    }

    dev = open_device();
    const platform::time_ms_t start = time_ms();
    for (;;) {
        cycle(start);
        if (!dmn_running())
            break;
        platform::pause_between_cycles();
    }

    for (memfile_t &f : adc_file) {
        if (f.data != nullptr)
            platform::blank(f.data);
    }
    platform::after_loop();
    return 0;
}
