// vx7-soak-read: four threads, one per channel, calling vx7_read until
// SIGTERM or SIGINT. Every value must be the "no value" sentinel (-1e10) or a
// value the device could have reported (device_value.h): within
// +-2.5 V (2^23 counts), finite, and a whole count at one of the eight
// range exponents; anything else (out of range, NaN, a mix of two records)
// is printed and counted. At the end prints one summary line, writes every
// distinct value it saw to VALUES_FILE (lines "CHANNEL HEX-BITS", for the
// conductor's check against the device's log of answered samples) and exits
// 1 if any value was wrong.
//
// usage: vx7-soak-read VALUES_FILE [PAUSE_US]   (pause between two calls of
//                                               a thread, default 500)
#include "device_value.h"

#include "vx7/vx7.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

struct Counts {
    std::atomic<unsigned long long> calls{0};
    std::atomic<unsigned long long> no_value{0};
    std::atomic<unsigned long long> changes{0};
    std::atomic<unsigned long long> wrong{0};
    std::set<std::uint64_t> seen; // bits of every value; the channel's thread alone
};

std::mutex print_mutex;

void read_channel(std::uint8_t chan, unsigned pause_us, Counts &c)
{
    double last = 0;
    unsigned long long printed = 0;
    while (stop_requested == 0) {
        const double v = vx7_read(chan);
        ++c.calls;
        if (v == -1e10) {
            ++c.no_value;
        } else if (!vx7soak::device_value(v)) {
            ++c.wrong;
            if (printed++ < 10) {
                const std::lock_guard<std::mutex> lock(print_mutex);
                std::printf("soak-read: channel %u: %.17g is not a value the device can report\n", chan, v);
                std::fflush(stdout);
            }
        }
        if (std::memcmp(&v, &last, sizeof v) != 0) {
            ++c.changes;
            if (v != -1e10) {
                std::uint64_t bits = 0;
                std::memcpy(&bits, &v, sizeof bits);
                c.seen.insert(bits);
            }
        }
        last = v;
        if (pause_us > 0)
            ::usleep(pause_us);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: vx7-soak-read VALUES_FILE [PAUSE_US]\n");
        return 2;
    }
    const unsigned pause_us = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 500;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    Counts counts[4];
    std::thread threads[4];
    for (std::uint8_t i = 0; i < 4; ++i)
        threads[i] = std::thread(read_channel, static_cast<std::uint8_t>(i + 1), pause_us, std::ref(counts[i]));
    for (auto &t : threads)
        t.join();

    std::ofstream values(argv[1]);
    for (int i = 0; i < 4; ++i) {
        for (const std::uint64_t bits : counts[i].seen)
            values << i + 1 << ' ' << std::hex << bits << std::dec << '\n';
    }
    values.close();
    if (!values)
        std::printf("soak-read: cannot write %s\n", argv[1]);

    unsigned long long calls = 0, no_value = 0, wrong = 0;
    std::printf("readers:");
    for (int i = 0; i < 4; ++i) {
        calls += counts[i].calls;
        no_value += counts[i].no_value;
        wrong += counts[i].wrong;
        std::printf(" ch%d %llu calls (%llu changes)", i + 1, counts[i].calls.load(), counts[i].changes.load());
    }
    std::printf("\nreaders: %llu calls, %llu values, %llu no value, %llu wrong\n", calls, calls - no_value - wrong,
                no_value, wrong);
    return wrong == 0 ? 0 : 1;
}
