// A program with a data race for the ThreadSanitizer build's sandbox test:
// two threads write one variable, unordered. With --no-race the second
// write waits for the first thread's end (the same program, no report).
#include <cstring>
#include <thread>

namespace {
int shared_value = 0;
} // namespace

int main(int argc, char **argv)
{
    const bool race = !(argc > 1 && std::strcmp(argv[1], "--no-race") == 0);
    std::thread other([] { shared_value = 1; });
    if (!race)
        other.join();
    shared_value = 2;
    if (race)
        other.join();
    return shared_value == 2 ? 0 : 1;
}
