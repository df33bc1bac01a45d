// The cost of a stream poll when nothing is new (four channels mapped, no
// record changed), next to the cost of copying four 100-byte records from
// memory, which is what any reader has to do at least once per poll.
//
//   build/stream/bench/vx7_stream_bench
#include "vx7/stream.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t kRecord = 100;

struct Files {
    Files()
    {
        char tmpl[] = "/tmp/vx7bench.XXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            std::abort();
        dir = tmpl;
        for (int n = 1; n <= 4; ++n) {
            char rec[kRecord];
            std::memset(rec, ' ', kRecord);
            const int len = std::snprintf(rec, kRecord, "%.11e\t%lu\t", 0.25 * n, 1000ul * n);
            rec[len] = '\0';
            const std::string path = dir + "/adc" + std::to_string(n) + ".adc";
            FILE *f = std::fopen(path.c_str(), "wb");
            if (f == nullptr || std::fwrite(rec, 1, kRecord, f) != kRecord || std::fclose(f) != 0)
                std::abort();
        }
    }
    ~Files() { std::filesystem::remove_all(dir); }
    std::string dir;
};

void StreamPollNothingNew(benchmark::State &state)
{
    Files files;
    vx7_stream_options o{};
    o.dir = files.dir.c_str();
    vx7_stream *s = nullptr;
    if (vx7_stream_open(&o, &s) != VX7_STREAM_OK) {
        state.SkipWithError("vx7_stream_open failed");
        return;
    }
    vx7_sample sample;
    int initial = 0;
    while (vx7_stream_next(s, 0, &sample) == VX7_STREAM_OK)
        ++initial;
    if (initial != 4) {
        state.SkipWithError("the four initial records were not seen");
        vx7_stream_close(s);
        return;
    }
    for (auto _ : state) {
        const int rc = vx7_stream_next(s, 0, &sample);
        benchmark::DoNotOptimize(rc);
    }
    state.counters["late_polls"] = static_cast<double>(vx7_stream_late_polls(s));
    vx7_stream_close(s);
}
BENCHMARK(StreamPollNothingNew);

void CopyFourRecords(benchmark::State &state)
{
    std::array<std::array<char, kRecord>, 4> src{};
    std::array<std::array<char, kRecord>, 4> dst{};
    for (auto &r : src)
        std::memset(r.data(), ' ', kRecord);
    for (auto _ : state) {
        for (std::size_t i = 0; i < 4; ++i) {
            benchmark::DoNotOptimize(src[i].data());
            std::memcpy(dst[i].data(), src[i].data(), kRecord);
            benchmark::ClobberMemory();
        }
    }
}
BENCHMARK(CopyFourRecords);

} // namespace

BENCHMARK_MAIN();
