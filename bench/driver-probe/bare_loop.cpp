// measure-driver's floor: the least a driver of the vx7 device can do. Opens
// the device through the project's transport and, every 10 ms, reads one
// report (reopening the device when a read fails); nothing else: no channel
// files, no daemon. Runs until SIGINT or SIGTERM.
// Usage: vx7_bare_loop
#include "vx7/vhid.h"
#include "vx7identity/identity.h"

#include <csignal>
#include <cstdint>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop = 0;

void on_signal(int)
{
    stop = 1;
}

void *open_device()
{
    namespace id = vx7::identity;
    return HidOpenDevice(id::kVendorId, id::kProductId, id::kManufacturer, id::kProduct);
}

} // namespace

int main()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    void *dev = open_device();
    while (stop == 0) {
        std::uint8_t report[4];
        if (!HidIsConnected(dev)) {
            HidCloseDevice(dev);
            dev = open_device();
        } else if (HidReceiveArr(dev, report, sizeof report) != sizeof report) {
            HidCloseDevice(dev);
            dev = nullptr;
        }
        ::usleep(10000);
    }
    HidCloseDevice(dev);
    return 0;
}
