// Cost of vx7_read next to the bare system calls it cannot avoid (open,
// mmap, munmap, close of the same 100-byte channel file), measured side by
// side in one run.
//
// vx7_read reads the fixed path /home/dev/vx7/adc1.adc. So as not to touch
// the machine's own /home/dev, the program re-runs itself inside a
// bubblewrap sandbox whose root is a temporary directory holding that file
// (bwrap must be installed). Run it as for example
//   build/lib/bench/vx7_read_bench --benchmark_repetitions=15 --benchmark_report_aggregates_only=true
// and compare the two median lines.
#include "vx7/vx7.h"

#include "vx7record/record.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr auto kPath = vx7::record::reader_path(1);
constexpr char kInsideEnv[] = "VX7_BENCH_INSIDE";

void BM_vx7_read(benchmark::State &state)
{
    for (auto _ : state) {
        const double v = vx7_read(1);
        benchmark::DoNotOptimize(v);
        if (v != 1.25) {
            state.SkipWithError("vx7_read did not read the channel file");
            break;
        }
    }
}
BENCHMARK(BM_vx7_read);

void BM_open_mmap_munmap_close(benchmark::State &state)
{
    for (auto _ : state) {
        const int fd = ::open(kPath.data(), O_RDONLY | O_CLOEXEC);
        void *p = ::mmap(nullptr, vx7::record::kSize, PROT_READ, MAP_SHARED, fd, 0);
        if (fd < 0 || p == MAP_FAILED) {
            state.SkipWithError("cannot map the channel file");
            break;
        }
        benchmark::DoNotOptimize(p);
        ::munmap(p, vx7::record::kSize);
        ::close(fd);
    }
}
BENCHMARK(BM_open_mmap_munmap_close);

// The same with one read of the mapped page, which costs the page fault that
// any reader of the record pays.
void BM_open_mmap_touch_munmap_close(benchmark::State &state)
{
    for (auto _ : state) {
        const int fd = ::open(kPath.data(), O_RDONLY | O_CLOEXEC);
        void *p = ::mmap(nullptr, vx7::record::kSize, PROT_READ, MAP_SHARED, fd, 0);
        if (fd < 0 || p == MAP_FAILED) {
            state.SkipWithError("cannot map the channel file");
            break;
        }
        benchmark::DoNotOptimize(*static_cast<const volatile char *>(p));
        ::munmap(p, vx7::record::kSize);
        ::close(fd);
    }
}
BENCHMARK(BM_open_mmap_touch_munmap_close);

// Builds the sandbox's root and runs this program inside it with the same
// arguments. Returns the inner program's exit status.
int run_in_sandbox(int argc, char **argv)
{
    char tmpl[] = "/tmp/vx7bench.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    namespace fs = std::filesystem;
    const fs::path root = fs::path(tmpl) / "root";
    fs::create_directories(root / "home/dev/vx7");
    for (const char *d : {"usr", "etc", "proc", "dev", "tmp"})
        fs::create_directories(root / d);
    for (const char *l : {"lib", "lib64", "bin", "sbin"})
        fs::create_symlink(std::string("usr/") + l, root / l);
    const auto text = vx7::record::format(1.25, 123456);
    std::string file(vx7::record::kSize, ' ');
    file.replace(0, text.length + 1, text.bytes, text.length + 1);
    if (FILE *f = std::fopen((root / "home/dev/vx7/adc1.adc").c_str(), "wb")) {
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }

    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {"bwrap",
                                     "--bind",
                                     root.string(),
                                     "/",
                                     "--ro-bind",
                                     "/usr",
                                     "/usr",
                                     "--ro-bind",
                                     "/etc",
                                     "/etc",
                                     "--proc",
                                     "/proc",
                                     "--dev",
                                     "/dev",
                                     "--ro-bind",
                                     VX7_BENCH_BINARY_DIR,
                                     VX7_BENCH_BINARY_DIR,
                                     "--die-with-parent",
                                     "--setenv",
                                     kInsideEnv,
                                     "1",
                                     "--",
                                     self};
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::vector<char *> cargs;
    for (auto &a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);

    int status = 1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp("bwrap", cargs.data());
        std::perror("bwrap");
        ::_exit(127);
    }
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid)
        status = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    fs::remove_all(tmpl);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (std::getenv(kInsideEnv) == nullptr)
        return run_in_sandbox(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
