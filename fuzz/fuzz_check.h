// What every fuzz target shares: the entry point's declaration and a check
// that ends the process, so that libFuzzer (and the replay test) report the
// input that broke a property as a crash.
#ifndef VX7_FUZZ_CHECK_H
#define VX7_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace vx7fuzz {

[[noreturn]] inline void failed(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

} // namespace vx7fuzz

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : vx7fuzz::failed(#cond, __FILE__, __LINE__))

#endif
