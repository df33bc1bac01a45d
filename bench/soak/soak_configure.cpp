// vx7-soak-configure: calls vx7_configure every 100 ms with random
// arguments until SIGTERM or SIGINT, then prints how many calls gave each
// result code. Channel 4 (refused, code 2) is asked for now and then; the
// other arguments mix "leave alone" values with real changes, the input
// mostly A so that the channels keep moving.
//
// usage: vx7-soak-configure [SEED]
#include "vx7/vx7.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::mt19937 rng(argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 1u);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const float ranges[] = {0.0f, 2.5f, 1.25f, 0.625f, 0.3125f, 0.01953125f};
    const std::uint16_t freqs[] = {0, 0, 10, 100, 1000, 50000};
    const std::uint8_t inputs[] = {0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
    unsigned long long results[256] = {};
    unsigned long long calls = 0;
    while (stop_requested == 0) {
        const auto pick = [&](auto &table) { return table[rng() % (sizeof table / sizeof table[0])]; };
        const std::uint8_t chan = static_cast<std::uint8_t>(rng() % 20 == 0 ? 4 : rng() % 4);
        const char r =
            vx7_configure(chan, pick(freqs), pick(ranges), static_cast<std::uint8_t>(rng() % 9), pick(inputs));
        ++results[static_cast<unsigned char>(r)];
        ++calls;
        ::usleep(100000);
    }
    std::fprintf(stderr, "configure: %llu calls;", calls);
    for (int code = 0; code < 256; ++code) {
        if (results[code] != 0)
            std::fprintf(stderr, " code %d: %llu", code, results[code]);
    }
    std::fprintf(stderr, "\n");
    return 0;
}
