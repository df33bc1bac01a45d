// The record's text, written by the project (record::format) against the C
// library's snprintf of the same format:
//   1. every value a report can carry (all 2^24 counts at all 8 range
//      exponents, decoded as the driver decodes them) written both ways, and
//      the number of texts that differ (must be 0);
//   2. the cost of one record written the way the driver writes it, once
//      every 10 ms with the caches gone cold: median and 90th percentile of
//      each, alternating in one run, over COLD_CYCLES cycles.
// Usage: vx7_record_text [COLD_CYCLES]   (default 300)
#include "report.h"
#include "vx7record/record.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <unistd.h>
#include <vector>

namespace record = vx7::record;

namespace {

std::int64_t now_ns()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

double volts_of(std::uint32_t count, int exponent)
{
    const std::uint8_t report[4] = {static_cast<std::uint8_t>(0x80 | exponent << 2),
                                    static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 8),
                                    static_cast<std::uint8_t>(count)};
    vx7::driver::Sample s{};
    if (!vx7::driver::decode_sample(std::span<const std::uint8_t, 4>(report), s))
        std::abort();
    return s.volts;
}

std::int64_t percentile(std::vector<std::int64_t> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

} // namespace

int main(int argc, char **argv)
{
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 300;
    if (cycles < 2) {
        std::fprintf(stderr, "usage: vx7_record_text [COLD_CYCLES >= 2]\n");
        return 2;
    }

    std::uint64_t values = 0, differ = 0;
    for (int exponent = 0; exponent < 8; ++exponent) {
        for (std::uint32_t count = 0; count < 0x1000000; ++count) {
            const double v = volts_of(count, exponent);
            const unsigned long elapsed = count * 10ul;
            const record::Text t = record::format(v, elapsed);
            char libc[record::kSize];
            const int n = std::snprintf(libc, sizeof libc, record::kFormat, v, elapsed);
            ++values;
            if (n != static_cast<int>(t.length) || std::memcmp(libc, t.bytes, t.length) != 0) {
                if (++differ <= 5)
                    std::printf("differs: %s | %.*s\n", libc, static_cast<int>(t.length), t.bytes);
            }
        }
    }
    std::printf("report values %llu, texts that differ from the C library's %llu\n",
                static_cast<unsigned long long>(values), static_cast<unsigned long long>(differ));

    std::vector<std::int64_t> ours, libc;
    volatile std::size_t sink = 0;
    for (int i = 0; i < cycles; ++i) {
        const double v = volts_of(static_cast<std::uint32_t>(i) * 40503u & 0xFFFFFFu, i & 7);
        ::usleep(10000);
        std::int64_t t0 = now_ns();
        if ((i & 1) == 0) {
            const record::Text t = record::format(v, static_cast<unsigned long>(i) * 10);
            sink = sink + t.length;
            ours.push_back(now_ns() - t0);
        } else {
            char buf[record::kSize];
            sink = sink + static_cast<std::size_t>(
                              std::snprintf(buf, sizeof buf, record::kFormat, v, static_cast<unsigned long>(i) * 10));
            libc.push_back(now_ns() - t0);
        }
    }
    std::printf("one record after 10 ms asleep, ns: project median %lld p90 %lld; C library median %lld p90 %lld\n",
                static_cast<long long>(percentile(ours, 0.5)), static_cast<long long>(percentile(ours, 0.9)),
                static_cast<long long>(percentile(libc, 0.5)), static_cast<long long>(percentile(libc, 0.9)));
    return differ == 0 ? 0 : 1;
}
