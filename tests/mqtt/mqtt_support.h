// A real mosquitto broker and a subscriber for tests of the MQTT side.
//
// Broker: Debian's mosquitto with a config file of the test's own (in the
// test's temporary directory), listening on a free loopback port, stopped by
// the destructor. Extra config lines (password_file, TLS listener) are added
// after the listener. Run as root, mosquitto would switch to its own user and
// could not read the test's files: "user root" keeps it as it is.
//
// Subscriber: a libmosquitto client that records every message of its
// subscription; the constructor returns once the broker confirmed it.
#pragma once

#include "child_process.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vx7test {

using namespace std::chrono_literals;

class Broker {
public:
    // `extra` follows "listener PORT 127.0.0.1"; without it, anonymous clients are allowed.
    Broker(std::filesystem::path dir, std::string extra = "allow_anonymous true\n")
        : dir_(std::move(dir)), extra_(std::move(extra)), port_(free_port())
    {
        start();
    }
    ~Broker() { stop(); }
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string log() const
    {
        std::ifstream in(dir_ / "mosquitto.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Starts it again (on the same port) after stop().
    void start()
    {
        const auto conf = dir_ / "mosquitto.conf";
        {
            std::ofstream out(conf);
            if (::geteuid() == 0)
                out << "user root\n";
            out << "persistence false\nlog_dest stderr\nlog_type all\n";
            out << "listener " << port_ << " 127.0.0.1\n" << extra_;
        }
        const std::string log_path = (dir_ / "mosquitto.log").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "r", stdin);
            std::freopen(log_path.c_str(), "a", stdout);
            std::freopen(log_path.c_str(), "a", stderr);
            ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
            std::_Exit(127);
        }
        if (!poll_until([&] { return port_open(port_) || exited(); }, 10s) || exited())
            throw std::runtime_error("mosquitto did not start: " + log());
    }

    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGTERM);
        int status = 0;
        if (!poll_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    // Freezes and thaws the broker (its sockets stay open).
    void pause() const { ::kill(pid_, SIGSTOP); }
    void resume() const { ::kill(pid_, SIGCONT); }

private:
    bool exited()
    {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return pid_ <= 0;
    }

    std::filesystem::path dir_;
    std::string extra_;
    int port_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
    std::int64_t received_ns = 0; // CLOCK_REALTIME when it arrived
};

inline std::int64_t realtime_ns()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

class Subscriber {
public:
    Subscriber(int port, const std::string &topic, const std::string &user = "", const std::string &password = "")
    {
        mosquitto_lib_init();
        m_ = mosquitto_new(nullptr, true, this);
        if (!user.empty())
            mosquitto_username_pw_set(m_, user.c_str(), password.c_str());
        mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard lock(s->mu_);
            s->messages_.push_back(
                {msg->topic,
                 std::string(static_cast<const char *>(msg->payload), static_cast<std::size_t>(msg->payloadlen)),
                 msg->retain, realtime_ns()});
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto *, void *self, int, int, const int *) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard lock(s->mu_);
            s->subscribed_ = true;
        });
        topic_ = topic;
        mosquitto_connect_callback_set(m_, [](mosquitto *m, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber *>(self)->topic_.c_str(), 1);
        });
        if (mosquitto_connect(m_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m_) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("subscriber cannot connect");
        if (!poll_until(
                [&] {
                    std::lock_guard lock(mu_);
                    return subscribed_;
                },
                5s))
            throw std::runtime_error("subscription not confirmed");
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    std::vector<Message> messages() const
    {
        std::lock_guard lock(mu_);
        return messages_;
    }
    std::vector<Message> on(const std::string &topic) const
    {
        std::vector<Message> r;
        for (auto &m : messages())
            if (m.topic == topic)
                r.push_back(m);
        return r;
    }
    // Waits until `pred` holds for the messages so far.
    bool wait(const std::function<bool(const std::vector<Message> &)> &pred,
              std::chrono::milliseconds timeout = 5s) const
    {
        return poll_until([&] { return pred(messages()); }, timeout);
    }
    bool wait_count(const std::string &topic, std::size_t n, std::chrono::milliseconds timeout = 5s) const
    {
        return poll_until([&] { return on(topic).size() >= n; }, timeout);
    }
    // Publishes from this client.
    void publish(const std::string &topic, const std::string &payload, bool retain = false)
    {
        mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

private:
    mosquitto *m_ = nullptr;
    std::string topic_;
    mutable std::mutex mu_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

} // namespace vx7test
