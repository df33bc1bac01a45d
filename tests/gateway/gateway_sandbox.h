// The gateway end to end as users run it, for the tests that need it: the
// real driver and vx7-gateway inside a bubblewrap sandbox (private
// /home/dev, own PID namespace) against the simulated device, talked to over
// loopback from this process; programs run on the host beside it.
#pragma once

#include "http_client.h"
#include "sandbox.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vx7gw {

using namespace std::chrono_literals;
using vx7test::Sandbox;
using vx7test::SandboxOptions;

inline const std::string kGateway = VX7_TEST_GATEWAY;
inline const std::string kDriver = VX7_TEST_DRIVER;
inline const double kVolts[4] = {1.0, -0.5, 2.0, 0.25}; // input A of channels 1-4
inline const double kLsb = vx7sim::kVoltsPerCount;

struct Proc {
    int status = -1;
    std::string out, err;
};

// Runs a program on the host; standard output and error into `dir`.
inline Proc run_host(const vx7test::TempDir &dir, const std::vector<std::string> &args,
                     const std::string &in_file = "/dev/null")
{
    std::vector<std::string> a = args;
    std::vector<char *> argv;
    for (auto &s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string out = dir.file("p.out"), err = dir.file("p.err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in_file.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    Proc p;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return p;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    p.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    p.out = vx7test::read_file(out);
    p.err = vx7test::read_file(err);
    return p;
}

// Runs a program on the host with its standard input and output on pipes:
// each line it writes that starts with "@" is a request, answered with the
// line `answer` gives; the other lines are its output. Standard error goes
// to a file. The program is killed when it has not ended within `timeout`.
inline Proc run_interactive(const vx7test::TempDir &dir, const std::vector<std::string> &args,
                            const std::function<std::string(const std::string &)> &answer, std::chrono::seconds timeout)
{
    Proc p;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return p;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return p;
    }
    std::vector<std::string> a = args;
    std::vector<char *> argv;
    for (auto &s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string err = dir.file("p.err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    if (rc == 0) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::string buf;
        char chunk[4096];
        while (std::chrono::steady_clock::now() < end) {
            pollfd pf{out[0], POLLIN, 0};
            if (poll(&pf, 1, 100) <= 0)
                continue;
            const ssize_t n = read(out[0], chunk, sizeof chunk);
            if (n <= 0)
                break;
            buf.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = buf.find('\n')) != std::string::npos; buf.erase(0, nl + 1)) {
                const std::string line = buf.substr(0, nl);
                if (line.rfind('@', 0) != 0) {
                    p.out += line + "\n";
                    continue;
                }
                const std::string reply = answer(line.substr(1)) + "\n";
                p.out += line + " -> " + reply;
                (void)!write(in[1], reply.data(), reply.size());
            }
        }
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            p.out += "(killed after the time-out)\n";
        }
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        p.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    close(in[1]);
    close(out[0]);
    p.err = vx7test::read_file(err);
    return p;
}

// One sandbox with the simulated device, the driver and a gateway.
class Gateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        SandboxOptions o;
        // The test's own directory too, for files it gives the gateway.
        o.ro_binds = {VX7_TEST_BINARY_DIR, VX7SIM_LIBUSB_DIR, dir_.path().string()};
        o.dirs = {"/sim", "/home/dev/vx7"};
        o.env = {{"LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR}, {"VX7SIM_STATE", "/sim/state"}};
        sb_ = std::make_unique<Sandbox>(o);
        for (int n = 1; n <= 4; ++n)
            sb_->symlink("/home/dev/vx7/adc" + std::to_string(n) + ".adc", "/adc" + std::to_string(n) + ".adc");
        sim_.emplace(vx7sim::Sim::create(sb_->host("/sim/state").string()));
        dev_ = sim_->add_vx7();
        for (int c = 0; c < 4; ++c)
            sim_->set_waveform(dev_, c, vx7sim::Waveform::constant(kVolts[c]), vx7sim::Input::A);
        const auto r = sb_->run(kDriver + " start");
        ASSERT_EQ(r.status, 1) << r.out << r.err;
    }

    void TearDown() override
    {
        for (const int pid : {gw_pid_, gw2_pid_}) {
            if (pid > 0) {
                sb_->run("kill -TERM " + std::to_string(pid));
                sb_->wait_exit(pid, 10s);
            }
        }
        sb_->run(kDriver + " stop");
        sb_.reset(); // ends everything left inside
    }

    // Starts the gateway inside on a free port; returns false on failure.
    bool start_gateway(const std::string &options) { return start_gateway(options, "/gw", gw_pid_, port_); }
    // Another one, with its output in `log`.out and `log`.err.
    bool start_gateway(const std::string &options, const std::string &log, int &pid, int &port)
    {
        const auto r =
            sb_->run(kGateway + " --listen 127.0.0.1:0 " + options + " >" + log + ".out 2>" + log + ".err & echo $!");
        pid = std::atoi(r.out.c_str());
        std::string err;
        const bool up = Sandbox::wait_until([&] {
            err = sb_->read(log + ".err");
            const std::size_t at = err.find("://127.0.0.1:");
            return err.find("serving http") != std::string::npos && at != std::string::npos &&
                   err.find('/', at + 3) != std::string::npos;
        });
        if (!up) {
            ADD_FAILURE() << "gateway did not start: " << err;
            return false;
        }
        port = std::atoi(err.c_str() + err.find("://127.0.0.1:") + 13);
        return port > 0;
    }

    vx7test::HttpClient client() const
    {
        vx7test::HttpClient c("127.0.0.1", port_);
        c.set_connection_timeout(2s);
        c.set_read_timeout(5s);
        return c;
    }

    nlohmann::json channels()
    {
        auto r = client().Get("/api/v1/channels");
        if (!r || r->status != 200)
            return nullptr;
        return nlohmann::json::parse(r->body);
    }

    // Event-stream events until `enough` says so (or 5 s pass); `receiving`,
    // when given, is set once the first event has come.
    std::vector<std::pair<std::string, nlohmann::json>>
    stream(const std::function<bool(const std::vector<std::pair<std::string, nlohmann::json>> &)> &enough,
           std::atomic<bool> *receiving = nullptr)
    {
        std::vector<std::pair<std::string, nlohmann::json>> events;
        std::string buf;
        const auto end = std::chrono::steady_clock::now() + 5s;
        auto cli = client();
        cli.Get("/api/v1/stream", [&](const char *d, std::size_t n) {
            buf.append(d, n);
            for (std::size_t pos; (pos = buf.find("\n\n")) != std::string::npos; buf.erase(0, pos + 2)) {
                const std::string ev = buf.substr(0, pos);
                const std::size_t nl = ev.find('\n');
                if (ev.rfind("event: ", 0) == 0 && nl != std::string::npos && ev.compare(nl + 1, 6, "data: ") == 0)
                    events.emplace_back(ev.substr(7, nl - 7), nlohmann::json::parse(ev.substr(nl + 7)));
            }
            if (receiving != nullptr && !events.empty())
                *receiving = true;
            return !enough(events) && std::chrono::steady_clock::now() < end;
        });
        return events;
    }

    std::unique_ptr<Sandbox> sb_;
    std::optional<vx7sim::Sim> sim_;
    int dev_ = -1;
    int gw_pid_ = -1;
    int port_ = 0;
    int gw2_pid_ = -1;
    vx7test::TempDir dir_;
};

inline bool all_four_near(const nlohmann::json &j, const double (&want)[4])
{
    if (!j.is_object() || !j["driver_running"].get<bool>())
        return false;
    for (int c = 0; c < 4; ++c) {
        const auto &ch = j["channels"][c];
        if (!ch["has_value"].get<bool>() || std::fabs(ch["volts"].get<double>() - want[c]) > kLsb)
            return false;
    }
    return true;
}

} // namespace vx7gw
