// Measures vx7-gateway's MQTT side (run through tools/vx7-gateway/mqtt/measure-mqtt):
//   latency from the driver's write of a record to a subscriber receiving it
//   through a local broker (median, 99th percentile, maximum), and the
//   gateway's CPU time per second of running with MQTT and HTTP both on (one
//   event-stream client, /metrics scraped every second).
// The driver runs in a bubblewrap sandbox against the simulated device; the
// gateway reads the sandbox's channel files from outside. The driver's writes
// are seen by a thread of this program that watches the four mapped files
// every 100 us and notes when each record first appeared.
#include "http_client.h"
#include "mqtt_support.h"
#include "sandbox.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

long ticks_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    const auto close = s.rfind(')');
    std::istringstream rest(s.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

} // namespace

int main(int argc, char **argv)
{
    using namespace std::chrono_literals;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    // both (default), http (no --mqtt) or mqtt (--listen none)
    const std::string mode = argc > 2 ? argv[2] : "both";
    const bool with_http = mode != "mqtt", with_mqtt = mode != "http";

    vx7test::TempDir dir;
    vx7test::Broker broker(dir.path());
    vx7test::SandboxOptions o;
    o.ro_binds.push_back(VX7_TEST_BINARY_DIR);
    o.ro_binds.push_back(VX7SIM_LIBUSB_DIR);
    o.dirs.push_back("/sim");
    o.env.emplace_back("LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR);
    o.env.emplace_back("VX7SIM_STATE", "/sim/state");
    vx7test::Sandbox sb(o);
    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    for (int ch = 0; ch < 4; ++ch)
        sim.set_waveform(dev, ch, vx7sim::Waveform::sine(1.0, 97 + ch));
    if (sb.run(std::string(VX7_TEST_DRIVER) + " start").status != 1 || !sb.wait_for_file("/adc4.adc")) {
        std::fprintf(stderr, "measure-mqtt: the driver did not start\n");
        return 1;
    }

    // The driver's writes, as this program sees them.
    std::mutex mu;
    std::map<std::pair<int, std::uint64_t>, std::int64_t> written; // (channel, elapsed) -> ns
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        const char *maps[4] = {};
        for (int ch = 1; ch <= 4; ++ch) {
            const int fd = ::open(sb.host("/adc" + std::to_string(ch) + ".adc").c_str(), O_RDONLY | O_CLOEXEC);
            void *m = ::mmap(nullptr, 100, PROT_READ, MAP_SHARED, fd, 0);
            ::close(fd);
            maps[ch - 1] = m == MAP_FAILED ? nullptr : static_cast<const char *>(m);
        }
        char last[4][100] = {};
        while (!stop) {
            for (int ch = 1; ch <= 4; ++ch) {
                if (maps[ch - 1] == nullptr)
                    continue;
                char now[100];
                std::memcpy(now, maps[ch - 1], 100);
                if (std::memcmp(now, last[ch - 1], 100) == 0)
                    continue;
                std::memcpy(last[ch - 1], now, 100);
                double v = 0;
                unsigned long elapsed = 0;
                now[99] = '\0';
                if (std::sscanf(now, "%lf\t%lu", &v, &elapsed) == 2) {
                    const std::int64_t t = vx7test::realtime_ns();
                    std::lock_guard lock(mu);
                    written.emplace(std::pair{ch, std::uint64_t{elapsed}}, t);
                }
            }
            std::this_thread::sleep_for(100us);
        }
    });

    const int http_port = vx7test::free_port();
    const std::string gateway = VX7_TEST_GATEWAY;
    const std::string root = sb.root().string();
    const std::string listen = "127.0.0.1:" + std::to_string(http_port);
    const pid_t gw = ::fork();
    if (gw == 0) {
        std::freopen(dir.file("gateway.log").c_str(), "w", stderr);
        const std::string url = broker.url();
        std::vector<const char *> args{gateway.c_str(), "--channels-dir", root.c_str(), "--listen",
                                       with_http ? listen.c_str() : "none"};
        if (with_mqtt) {
            for (const char *a : {"--mqtt", url.c_str(), "--mqtt-prefix", "measure"})
                args.push_back(a);
        }
        args.push_back(nullptr);
        ::execv(gateway.c_str(), const_cast<char *const *>(args.data()));
        std::_Exit(127);
    }
    vx7test::Subscriber sub(broker.port(), "measure/+");
    vx7test::HttpClient http("127.0.0.1", http_port);
    const auto ready = [&] {
        if (with_mqtt)
            return !sub.on("measure/status").empty();
        const auto r = http.Get("/metrics");
        return r && r->status == 200;
    };
    if (!vx7test::poll_until(ready, 10s)) {
        std::fprintf(stderr, "measure-mqtt: the gateway did not connect:\n%s",
                     vx7test::read_file(dir.file("gateway.log")).c_str());
        ::kill(gw, SIGKILL);
        stop = true;
        watcher.join();
        return 1;
    }

    // HTTP on: one event-stream client and a scrape of /metrics every second.
    std::atomic<std::size_t> sse_bytes{0};
    std::thread sse([&] {
        if (!with_http)
            return;
        vx7test::HttpClient c("127.0.0.1", http_port);
        c.set_read_timeout(2s);
        c.Get("/api/v1/stream", [&](const char *, std::size_t n) {
            sse_bytes += n;
            return !stop.load();
        });
    });
    std::this_thread::sleep_for(1s);
    const std::size_t messages_before = sub.messages().size();
    const long ticks_before = ticks_of(gw);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < seconds; ++i) {
        std::this_thread::sleep_for(1s);
        if (with_http)
            (void)http.Get("/metrics");
    }
    const long ticks_after = ticks_of(gw);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto messages = sub.messages();
    std::this_thread::sleep_for(200ms);
    stop = true;
    watcher.join();
    ::kill(gw, SIGTERM);
    sse.join();
    int status = 0;
    ::waitpid(gw, &status, 0);

    std::vector<double> latency_ms;
    std::size_t samples = 0;
    for (std::size_t i = messages_before; i < messages.size(); ++i) {
        const auto &m = messages[i];
        if (m.topic == "measure/status")
            continue;
        ++samples;
        const int ch = m.topic.back() - '0';
        const auto j = nlohmann::json::parse(m.payload, nullptr, false);
        if (j.is_discarded() || !j.contains("elapsed_ms"))
            continue;
        std::lock_guard lock(mu);
        const auto it = written.find({ch, j["elapsed_ms"].get<std::uint64_t>()});
        if (it != written.end())
            latency_ms.push_back(static_cast<double>(m.received_ns - it->second) / 1e6);
    }
    std::sort(latency_ms.begin(), latency_ms.end());
    const auto pct = [&](double p) {
        return latency_ms.empty()
                   ? 0.0
                   : latency_ms[static_cast<std::size_t>(p * static_cast<double>(latency_ms.size() - 1))];
    };
    const double cpu =
        static_cast<double>(ticks_after - ticks_before) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / wall;
    std::printf("mode %s (%s)\n", mode.c_str(),
                with_http && with_mqtt ? "MQTT and HTTP"
                : with_http            ? "HTTP only"
                                       : "MQTT only, --listen none");
    if (with_mqtt) {
        std::printf("samples published and received: %zu in %.1f s (%.0f per second), %zu matched to a driver write\n",
                    samples, wall, static_cast<double>(samples) / wall, latency_ms.size());
        std::printf("latency driver write -> subscriber: median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n",
                    pct(0.5), pct(0.99), latency_ms.empty() ? 0.0 : latency_ms.back());
    }
    std::printf("gateway CPU: %.2f %% of one core%s\n", cpu * 100.0,
                with_http ? " (with 1 event-stream client, /metrics every 1 s)" : "");
    return 0;
}
