// vx7_gateway_probe: the gateway's figures at the driver's full rate, with
// the real driver and gateway in a sandbox against the simulated device.
//   * CLIENTS (default 10) event-stream clients for SECONDS (default 20): the gateway's CPU
//     (% of one core, from its threads' /proc/PID/task/*/schedstat), its wake-ups per sample (the
//     voluntary context switches of all its threads, /proc/PID/task/*/status,
//     per sample the device answered) and resident memory (VmRSS);
//   * then, with the clients still reading, for up to 20 s: latency from the
//     driver's write of a record (seen by a thread of this program that
//     polls the channel files every 100 us) to a stream client receiving
//     that sample: median, 99th percentile, maximum;
//   * GET /metrics over one kept-alive connection: median and 99th
//     percentile; the gateway's late polls from the last answer;
//   * then, side by side, the floor: the CPU a bare loop spends sending the
//     same number of events of the same size to as many loopback
//     connections, each read by its own thread (the kernel's share of
//     delivering them, which no gateway can avoid).
//   * and the gateway's CPU with no client at all, measured first (the
//     sample stream's polling and the hub, which the floor leaves out).
// Usage: vx7_gateway_probe [SECONDS [CLIENTS]]
//
// Under attack: vx7_gateway_probe attack [SECONDS [CLIENTS]] (default 60 s,
// 10 clients) runs the attack of attack.h (16 slowloris, 200 idle, 1 MiB
// chunked POSTs, from 127.0.0.2-7) while a normal client on 127.0.0.1 asks
// for GET /api/v1/channels ten times a second: its latency (median, 99th
// percentile, maximum), the gateway's resident memory before and at most,
// the event-stream clients' least rate and longest gap, what the attack saw.
// VX7_PROBE_WRAP, when set, is put before the gateway's command line inside
// the sandbox (for example "strace -c -f -o /strace.out" or
// "valgrind --tool=callgrind --callgrind-out-file=/wrap.cg"); files it writes
// as /wrap.* are copied to the current directory when the gateway has ended.
#include "attack.h"
#include "http_client.h"
#include "sandbox.h"
#include "vx7sim/sim.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// CPU ticks (user, system) of a process inside the sandbox.
std::pair<long long, long long> cpu_ticks(vx7test::Sandbox &sb, int pid)
{
    const auto r = sb.run("cat /proc/" + std::to_string(pid) + "/stat");
    const std::string s = r.out.substr(r.out.rfind(')') + 2);
    std::istringstream in(s);
    std::string f;
    long long ut = 0, st = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14)
            ut = std::stoll(f);
        if (i == 15)
            st = std::stoll(f);
    }
    return {ut, st};
}

// CPU time of all the threads of a process inside the sandbox, in ns
// (/proc/PID/task/*/schedstat: finer than the ticks of /proc/PID/stat).
long long cpu_ns(vx7test::Sandbox &sb, int pid)
{
    const auto r = sb.run("awk '{ s += $1 } END { print s }' /proc/" + std::to_string(pid) + "/task/*/schedstat");
    return std::atoll(r.out.c_str());
}

// Voluntary context switches of all the threads of a process inside the
// sandbox: how often it went to sleep and was woken.
long long wakeups(vx7test::Sandbox &sb, int pid)
{
    const auto r = sb.run("awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }' /proc/" + std::to_string(pid) +
                          "/task/*/status");
    return std::atoll(r.out.c_str());
}

// CPU (% of one core) of a thread that, every 10 ms for `seconds`, sends a
// `bytes`-byte chunk to each of `nclients` loopback TCP connections the way
// the gateway does (TCP_NODELAY, without waiting); a thread per connection
// reads. Negative when the sockets cannot be set up.
double bare_sender_cpu(int seconds, int nclients, std::size_t bytes)
{
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 64) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (lfd >= 0)
            close(lfd);
        return -1;
    }
    std::vector<std::thread> readers;
    std::vector<int> sending;
    for (int i = 0; i < nclients; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0 || connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            if (c >= 0)
                close(c);
            break;
        }
        readers.emplace_back([c] {
            char buf[4096];
            for (;;) {
                pollfd p{c, POLLIN, 0};
                if (poll(&p, 1, 5000) <= 0 || recv(c, buf, sizeof buf, 0) <= 0)
                    break;
            }
            close(c);
        });
        const int s = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0)
            break;
        const int yes = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sending.push_back(s);
    }
    close(lfd);
    const bool ok = static_cast<int>(sending.size()) == nclients;
    double cpu = -1;
    if (ok) {
        std::thread sender([&] {
            const std::string chunk(bytes, 'x');
            timespec c0{};
            timespec c1{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
            const auto start = Clock::now();
            auto next = start;
            while (Clock::now() - start < std::chrono::seconds(seconds)) {
                next += 10ms;
                std::this_thread::sleep_until(next);
                for (const int s : sending)
                    (void)send(s, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            }
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
            const double used =
                static_cast<double>(c1.tv_sec - c0.tv_sec) + 1e-9 * static_cast<double>(c1.tv_nsec - c0.tv_nsec);
            cpu = 100.0 * used / std::chrono::duration<double>(Clock::now() - start).count();
        });
        sender.join();
    }
    for (const int s : sending) {
        shutdown(s, SHUT_RDWR);
        close(s);
    }
    for (auto &t : readers)
        t.join();
    return cpu;
}

// The simulated device, the driver and a gateway in a sandbox.
struct Stand {
    vx7test::Sandbox sb;
    std::optional<vx7sim::Sim> sim;
    int pid = -1;
    int port = 0;
    int dev = -1;

    static vx7test::SandboxOptions options()
    {
        vx7test::SandboxOptions o;
        o.ro_binds = {VX7_TEST_BINARY_DIR, VX7SIM_LIBUSB_DIR};
        o.dirs = {"/sim", "/home/dev/vx7"};
        o.env = {{"LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR}, {"VX7SIM_STATE", "/sim/state"}};
        return o;
    }

    // False (with a message) when the driver or the gateway does not start.
    bool start(const std::string &gateway_options, const std::string &wrap)
    {
        for (int n = 1; n <= 4; ++n)
            sb.symlink("/home/dev/vx7/adc" + std::to_string(n) + ".adc", "/adc" + std::to_string(n) + ".adc");
        sim.emplace(vx7sim::Sim::create(sb.host("/sim/state").string()));
        dev = sim->add_vx7();
        for (int c = 0; c < 4; ++c)
            sim->set_waveform(dev, c, vx7sim::Waveform::sine(2.0, 997, 0.0), vx7sim::Input::A);
        sb.run(VX7_TEST_DRIVER " start");
        const auto g = sb.run(wrap + VX7_TEST_GATEWAY " --listen 127.0.0.1:0 " + gateway_options +
                              " >/gw.out 2>/gw.err & echo $!");
        pid = std::atoi(g.out.c_str());
        std::string err;
        if (!vx7test::Sandbox::wait_until(
                [&] { return (err = sb.read("/gw.err")).find("serving") != std::string::npos; }) ||
            !vx7test::Sandbox::wait_until([&] { return sb.wait_for_file("/home/dev/vx7/adc4.adc"); })) {
            std::fprintf(stderr, "probe: gateway or driver did not start: %s\n", err.c_str());
            return false;
        }
        port = std::atoi(err.c_str() + err.find("127.0.0.1:") + 10);
        std::this_thread::sleep_for(1s);
        return true;
    }

    long rss_kb()
    {
        const auto r = sb.run("grep VmRSS /proc/" + std::to_string(pid) + "/status");
        const std::size_t at = r.out.find_first_of("0123456789");
        return at == std::string::npos ? -1 : std::atol(r.out.c_str() + at);
    }

    ~Stand()
    {
        if (pid > 0) {
            sb.run("kill -TERM " + std::to_string(pid));
            sb.wait_exit(pid, 10s);
        }
        sb.run(VX7_TEST_DRIVER " stop");
    }

    Stand() : sb(options()) {}
    Stand(const Stand &) = delete;
    Stand &operator=(const Stand &) = delete;
};

// CPU (% of one core, all threads' schedstat) of the gateway over
// `seconds`, and its wake-ups per sample the device answered meanwhile.
double gateway_cpu(Stand &st, int seconds, double *wakeups_per_sample = nullptr)
{
    const long long n0 = cpu_ns(st.sb, st.pid);
    const long long v0 = wakeups(st.sb, st.pid);
    const std::uint64_t s0 = st.sim->sample_total(st.dev);
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long n1 = cpu_ns(st.sb, st.pid);
    const long long v1 = wakeups(st.sb, st.pid);
    const std::uint64_t s1 = st.sim->sample_total(st.dev);
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    if (wakeups_per_sample != nullptr)
        *wakeups_per_sample = s1 > s0 ? static_cast<double>(v1 - v0) / static_cast<double>(s1 - s0) : 0.0;
    return 100.0 * static_cast<double>(n1 - n0) / 1e9 / wall;
}

// The figures with `nclients` event-stream clients at full rate.
int streams_mode(Stand &st, int seconds, int nclients, const char *wrap)
{
    const int pid = st.pid;
    const int port = st.port;
    // The gateway alone first: what it costs with no client at all (the
    // sample stream's polling, the hub), which the floor does not include.
    const int idle_seconds = std::min(seconds, 10);
    double idle_wakeups = 0;
    const double idle_cpu = gateway_cpu(st, idle_seconds, &idle_wakeups);

    // Watcher: when each (channel, elapsed) record first appears in the files.
    std::mutex mu;
    std::map<std::pair<int, std::uint64_t>, Clock::time_point> written;
    std::vector<double> latencies_ms;
    std::atomic<bool> stop{false};
    // Ten stream clients; the first one measures latency.
    std::atomic<std::uint64_t> events{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < nclients; ++i) {
        clients.emplace_back([&, i] {
            vx7test::HttpClient cli("127.0.0.1", port);
            cli.set_read_timeout(5s);
            std::string buf;
            cli.Get("/api/v1/stream", [&](const char *d, std::size_t n) {
                const auto now = Clock::now();
                buf.append(d, n);
                for (std::size_t pos; (pos = buf.find("\n\n")) != std::string::npos; buf.erase(0, pos + 2)) {
                    if (buf.rfind("event: sample\ndata: ", 0) != 0)
                        continue;
                    ++events;
                    if (i != 0)
                        continue;
                    const auto j = nlohmann::json::parse(buf.substr(20, pos - 20));
                    std::lock_guard lock(mu);
                    const auto it = written.find({j["channel"].get<int>(), j["elapsed_ms"].get<std::uint64_t>()});
                    if (it != written.end())
                        latencies_ms.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
                }
                return !stop;
            });
        });
    }
    std::this_thread::sleep_for(2s);
    const auto t0 = cpu_ticks(st.sb, pid);
    const long long n0 = cpu_ns(st.sb, pid);
    const long long v0 = wakeups(st.sb, pid);
    const std::uint64_t s0 = st.sim->sample_total(st.dev);
    const auto w0 = Clock::now();
    const std::uint64_t e0 = events;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto t1 = cpu_ticks(st.sb, pid);
    const long long n1 = cpu_ns(st.sb, pid);
    const long long v1 = wakeups(st.sb, pid);
    const std::uint64_t s1 = st.sim->sample_total(st.dev);
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    const std::uint64_t e1 = events;
    const auto rss = st.sb.run("grep VmRSS /proc/" + std::to_string(pid) + "/status").out;

    // Latency, in a window of its own: the watcher polls every 100 us, which
    // would disturb the gateway's CPU figure above.
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        const char *maps[4] = {};
        for (int c = 0; c < 4; ++c) {
            const int fd =
                open(st.sb.host("/home/dev/vx7/adc" + std::to_string(c + 1) + ".adc").c_str(), O_RDONLY | O_CLOEXEC);
            maps[c] = static_cast<const char *>(mmap(nullptr, 100, PROT_READ, MAP_SHARED, fd, 0));
            close(fd);
        }
        std::uint64_t last[4] = {};
        while (watching) {
            for (int c = 0; c < 4; ++c) {
                char rec[101] = {};
                std::memcpy(rec, maps[c], 100);
                const char *tab = std::strchr(rec, '\t');
                if (tab == nullptr)
                    continue;
                const std::uint64_t e = std::strtoull(tab + 1, nullptr, 10);
                if (e != last[c]) {
                    last[c] = e;
                    std::lock_guard lock(mu);
                    written.emplace(std::make_pair(c + 1, e), Clock::now());
                }
            }
            std::this_thread::sleep_for(100us);
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, 20)));
    watching = false;
    watcher.join();

    // /metrics while the streams run.
    std::vector<double> metrics_ms;
    std::string last_metrics;
    {
        vx7test::HttpClient cli("127.0.0.1", port);
        cli.set_keep_alive(true);
        for (int i = 0; i < 1000; ++i) {
            const auto a = Clock::now();
            auto r = cli.Get("/metrics");
            metrics_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
            if (!r || r->status != 200) {
                std::fprintf(stderr, "probe: /metrics failed\n");
                break;
            }
            last_metrics = r->body;
        }
    }
    stop = true;
    st.sb.run("kill -TERM " + std::to_string(pid));
    st.sb.wait_exit(pid, 10s);
    st.pid = -1;
    for (auto &t : clients)
        t.join();

    const auto percent = [&](long long ticks) {
        return 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall;
    };
    const double cpu = 100.0 * static_cast<double>(n1 - n0) / 1e9 / wall;
    std::lock_guard lock(mu);
    std::printf("samples delivered to %d clients: %.0f/s\n", nclients, static_cast<double>(e1 - e0) / wall);
    std::printf(
        "gateway CPU over %.1f s: %.3f %% of one core (all threads' schedstat; in ticks: user %.2f %%, "
        "system %.2f %%)\n",
        wall, cpu, percent(t1.first - t0.first), percent(t1.second - t0.second));
    if (wrap != nullptr) {
        for (const auto &f : std::filesystem::directory_iterator(st.sb.host("/"))) {
            if (f.is_regular_file() && f.path().filename().string().rfind("wrap.", 0) == 0) {
                std::filesystem::copy_file(f.path(), f.path().filename(),
                                           std::filesystem::copy_options::overwrite_existing);
                std::printf("kept %s\n", f.path().filename().c_str());
            }
        }
    }
    std::printf(
        "gateway wake-ups per sample: %.3f (%lld voluntary context switches of its threads, %llu samples "
        "answered)\n",
        s1 > s0 ? static_cast<double>(v1 - v0) / static_cast<double>(s1 - s0) : 0.0, v1 - v0,
        static_cast<unsigned long long>(s1 - s0));
    std::printf("gateway %s", rss.c_str());
    std::printf("latency driver write -> stream client (%zu samples): median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                latencies_ms.size(), percentile(latencies_ms, 0.5), percentile(latencies_ms, 0.99),
                percentile(latencies_ms, 1.0));
    std::printf("GET /metrics (%zu requests): median %.3f ms, p99 %.3f ms\n", metrics_ms.size(),
                percentile(metrics_ms, 0.5), percentile(metrics_ms, 0.99));
    const std::string late = "\nvx7_stream_late_polls_total ";
    if (const std::size_t at = last_metrics.find(late); at != std::string::npos)
        std::printf("the gateway's late polls (gaps over 10 ms, when a sample may be missed): %llu\n",
                    std::strtoull(last_metrics.c_str() + at + late.size(), nullptr, 10));
    unsigned long long lost = 0;
    for (int c = 1; c <= 4; ++c) {
        const std::string series = "\nvx7_samples_lost_total{channel=\"" + std::to_string(c) + "\"} ";
        if (const std::size_t at = last_metrics.find(series); at != std::string::npos)
            lost += std::strtoull(last_metrics.c_str() + at + series.size(), nullptr, 10);
    }
    std::printf("the gateway's lost samples (vx7_samples_lost_total, all channels): %llu\n", lost);
    std::printf("the gateway with no client over %d s: %.3f %% of one core, %.3f wake-ups per sample\n", idle_seconds,
                idle_cpu, idle_wakeups);
    if (nclients > 0) {
        // The events' size on the wire: a sample's JSON, its SSE lines and chunk framing.
        const double floor = bare_sender_cpu(std::min(seconds, 60), nclients, 135);
        std::printf(
            "the floor, a bare loop sending as many events to %d loopback connections: %.2f %% of one core; "
            "gateway / floor = %.2f\n",
            nclients, floor, floor > 0 ? cpu / floor : 0.0);
        std::printf("(gateway - the gateway with no client) / floor = %.2f\n",
                    floor > 0 ? (cpu - idle_cpu) / floor : 0.0);
    }
    return 0;
}

// Under attack (attack.h) for `seconds`: a normal client's GET
// /api/v1/channels from 127.0.0.1 ten times a second, the gateway's memory,
// and `nclients` event-stream clients that must keep receiving.
int attack_mode(Stand &st, int seconds, int nclients)
{
    std::atomic<bool> stop{false};
    std::vector<std::atomic<std::uint64_t>> events(static_cast<std::size_t>(nclients));
    std::vector<std::atomic<std::int64_t>> longest_gap_us(static_cast<std::size_t>(nclients));
    std::vector<std::thread> clients;
    for (int i = 0; i < nclients; ++i) {
        clients.emplace_back([&, i] {
            vx7test::HttpClient cli("127.0.0.1", st.port);
            cli.set_read_timeout(5s);
            std::string buf;
            auto last = Clock::now();
            cli.Get("/api/v1/stream", [&](const char *d, std::size_t n) {
                buf.append(d, n);
                for (std::size_t pos; (pos = buf.find("\n\n")) != std::string::npos; buf.erase(0, pos + 2)) {
                    if (buf.rfind("event: sample", 0) != 0)
                        continue;
                    const auto now = Clock::now();
                    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
                    if (gap > longest_gap_us[static_cast<std::size_t>(i)])
                        longest_gap_us[static_cast<std::size_t>(i)] = gap;
                    last = now;
                    ++events[static_cast<std::size_t>(i)];
                }
                return !stop;
            });
        });
    }
    std::this_thread::sleep_for(2s);
    for (auto &g : longest_gap_us)
        g = 0;
    const long rss_before = st.rss_kb();
    vx7test::Attack attack(st.port);
    attack.start();
    std::vector<double> latencies_ms;
    std::uint64_t failed = 0;
    long rss_max = rss_before;
    const auto t0 = Clock::now();
    for (int tick = 0; Clock::now() - t0 < std::chrono::seconds(seconds); ++tick) {
        const auto a = Clock::now();
        vx7test::HttpClient cli("127.0.0.1", st.port);
        cli.set_read_timeout(10s);
        const auto r = cli.Get("/api/v1/channels");
        latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
        failed += !r || r->status != 200;
        if (tick % 10 == 0)
            rss_max = std::max(rss_max, st.rss_kb());
        std::this_thread::sleep_until(a + 100ms);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<std::uint64_t> received;
    for (const auto &e : events)
        received.push_back(e.load());
    attack.stop();
    stop = true;
    for (auto &t : clients)
        t.join();
    const auto c = attack.counts();

    std::printf("under attack for %.1f s: 16 slowloris, 200 idle, 1 MiB chunked POSTs (127.0.0.2-7)\n", wall);
    std::printf(
        "GET /api/v1/channels from 127.0.0.1 (%zu requests, %llu failed): median %.3f ms, p99 %.3f ms, "
        "max %.3f ms\n",
        latencies_ms.size(), static_cast<unsigned long long>(failed), percentile(latencies_ms, 0.5),
        percentile(latencies_ms, 0.99), percentile(latencies_ms, 1.0));
    std::printf("gateway VmRSS: %ld kB before, %ld kB at most: growth %ld kB\n", rss_before, rss_max,
                rss_max - rss_before);
    std::uint64_t least = received.empty() ? 0 : received[0];
    std::int64_t gap = 0;
    for (std::size_t i = 0; i < received.size(); ++i) {
        least = std::min(least, received[i]);
        gap = std::max<std::int64_t>(gap, longest_gap_us[i]);
    }
    std::printf("event-stream clients: %d, the least served got %.0f samples/s, the longest gap %.1f ms\n", nclients,
                static_cast<double>(least) / wall, static_cast<double>(gap) / 1000.0);
    std::printf(
        "attack: %llu chunked POSTs answered (%llu with 413, at most %.1f ms and %.1f MiB sent before the "
        "answer); slowloris closed %llu times (answered %llu); idle connections closed %llu times; %llu "
        "connects failed\n",
        static_cast<unsigned long long>(c.posts), static_cast<unsigned long long>(c.posts_413), c.post_answer_ms_max,
        static_cast<double>(c.post_bytes_max) / (1 << 20), static_cast<unsigned long long>(c.slowloris_closed),
        static_cast<unsigned long long>(c.slowloris_answered), static_cast<unsigned long long>(c.idle_closed),
        static_cast<unsigned long long>(c.connect_failures));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const bool attack = argc > 1 && std::string(argv[1]) == "attack";
    const int first = attack ? 2 : 1;
    const int seconds = argc > first ? std::atoi(argv[first]) : attack ? 60 : 20;
    const int nclients = argc > first + 1 ? std::atoi(argv[first + 1]) : 10;
    const char *wrap = std::getenv("VX7_PROBE_WRAP");
    Stand st;
    // Configuration allowed under attack, so that the oversized bodies are
    // read up to the limit (without, they are refused before any is read).
    if (!st.start(attack ? "--allow-configure" : "", wrap != nullptr ? std::string(wrap) + " " : std::string()))
        return 1;
    return attack ? attack_mode(st, seconds, nclients) : streams_mode(st, seconds, nclients, wrap);
}
