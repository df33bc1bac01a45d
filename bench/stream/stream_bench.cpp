// The cost of a stream poll when nothing is new (four channels mapped, no
// record changed), next to the cost of copying four 100-byte records from
// memory, which is what any reader has to do at least once per poll: from
// the four channel files' mappings into a reader's buffers (as a reader
// copies them), and from four arrays of this program. Channel files as the
// driver writes them (with the sequence counter) and as a driver without the
// counter leaves them. Beside them, one read of each clock a poll may use:
// the coarse one a poll without time-out reads, the precise one.
//
//   build/stream/bench/vx7_stream_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "vx7/stream.h"
#include "vx7record/record.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::size_t kRecord = 100;

struct Files {
    explicit Files(bool counted)
    {
        char tmpl[] = "/tmp/vx7bench.XXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            std::abort();
        dir = tmpl;
        for (int n = 1; n <= 4; ++n) {
            const std::string path = dir + "/adc" + std::to_string(n) + ".adc";
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || ::ftruncate(fd, kRecord) != 0)
                std::abort();
            void *p = ::mmap(nullptr, kRecord, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            ::close(fd);
            if (p == MAP_FAILED)
                std::abort();
            char *map = static_cast<char *>(p);
            const auto text = vx7::record::format(0.25 * n, 1000ul * static_cast<unsigned long>(n));
            if (counted) {
                vx7::record::blank(map);
                vx7::record::publish(map, text);
            } else {
                std::memset(map, ' ', kRecord);
                std::memcpy(map, text.bytes, text.length + 1);
            }
            ::munmap(map, kRecord);
        }
    }
    ~Files() { std::filesystem::remove_all(dir); }
    std::string dir;
};

void StreamPollNothingNew(benchmark::State &state, bool counted)
{
    Files files(counted);
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
BENCHMARK_CAPTURE(StreamPollNothingNew, counted, true);
BENCHMARK_CAPTURE(StreamPollNothingNew, no_counter, false);

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

void CopyFourMappedRecords(benchmark::State &state)
{
    Files files(true);
    std::array<const char *, 4> src{};
    for (int n = 1; n <= 4; ++n) {
        const std::string path = files.dir + "/adc" + std::to_string(n) + ".adc";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        void *p = fd < 0 ? MAP_FAILED : ::mmap(nullptr, kRecord, PROT_READ, MAP_SHARED, fd, 0);
        if (fd >= 0)
            ::close(fd);
        if (p == MAP_FAILED)
            std::abort();
        src[static_cast<std::size_t>(n - 1)] = static_cast<const char *>(p);
    }
    std::array<std::array<char, kRecord>, 4> dst{};
    for (auto _ : state) {
        for (std::size_t i = 0; i < 4; ++i) {
            benchmark::DoNotOptimize(src[i]);
            std::memcpy(dst[i].data(), src[i], kRecord);
            benchmark::ClobberMemory();
        }
    }
    for (const char *p : src)
        ::munmap(const_cast<char *>(p), kRecord);
}
BENCHMARK(CopyFourMappedRecords);

void ClockRead(benchmark::State &state, clockid_t clock)
{
    timespec ts;
    for (auto _ : state) {
        ::clock_gettime(clock, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK_CAPTURE(ClockRead, monotonic, CLOCK_MONOTONIC);
BENCHMARK_CAPTURE(ClockRead, monotonic_coarse, CLOCK_MONOTONIC_COARSE);

} // namespace

BENCHMARK_MAIN();
