// Prints the simulated device's sample reports answered after number SINCE,
// one a line: seq channel(0-3) exponent raw time_ns. Exit status 3 when some
// of them were already overwritten in the ring.
// Usage: vx7_sample_log STATE_FILE [SINCE]
#include "vx7sim/sim.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: vx7_sample_log STATE_FILE [SINCE]\n", stderr);
        return 2;
    }
    const auto sim = vx7sim::Sim::open(argv[1]);
    const std::uint64_t since = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
    const vx7sim::SampleLog log = sim.samples(0, since);
    for (const auto &a : log.samples)
        std::printf("%llu %u %u %u %lld\n", static_cast<unsigned long long>(a.seq), a.channel, a.exponent, a.raw,
                    static_cast<long long>(a.time_ns));
    return log.lost == 0 ? 0 : 3;
}
