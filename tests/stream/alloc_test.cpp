// vx7_stream_next allocates nothing per sample: malloc and its kin are
// interposed by this program and counted while the stream hands on samples.
#include "stream_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void count()
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" void *malloc(std::size_t n)
{
    count();
    return __libc_malloc(n);
}
extern "C" void *calloc(std::size_t n, std::size_t size)
{
    count();
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, std::size_t n)
{
    count();
    return __libc_realloc(p, n);
}
extern "C" void free(void *p)
{
    __libc_free(p);
}

TEST(StreamAllocations, NoneWhileSamplesFlow)
{
    vx7test::TempDir dir;
    const std::string d = dir.path().string();
    vx7test::ChannelWriter w1(dir.file("adc1.adc"));
    vx7test::ChannelWriter w3(dir.file("adc3.adc"));
    vx7_stream_options o{};
    o.dir = d.c_str();
    vx7_stream *s = nullptr;
    counting = true;
    ASSERT_EQ(vx7_stream_open(&o, &s), VX7_STREAM_OK);
    counting = false;
    EXPECT_EQ(allocations.load(), 1) << "vx7_stream_open allocates the stream once";
    allocations = 0;

    int samples = 0;
    vx7_sample sample;
    for (unsigned long ms = 1; ms <= 500; ++ms) {
        w1.publish(0.001 * static_cast<double>(ms), ms);
        w3.publish(-0.001 * static_cast<double>(ms), ms);
        for (int step = 0; step < 2; ++step) {
            counting = true;
            while (vx7_stream_next(s, 0, &sample) == VX7_STREAM_OK)
                ++samples;
            counting = false;
            if (ms % 100 != 0)
                break;
            w1.blank(); // and a "no value" now and then
        }
    }
    EXPECT_EQ(samples, 1000 + 5);
    EXPECT_EQ(allocations.load(), 0);
    vx7_stream_close(s);
}
