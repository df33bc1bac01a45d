// Hostile clients of a gateway, for the test that checks it holds and the
// probe that measures how well: at once, from loopback addresses other than
// 127.0.0.1 (127.0.0.2 and up, at most 50 connections from one),
//   * 16 slowloris connections: a request's header a byte a second, never
//     finished, opened again whenever the gateway closes one;
//   * 200 idle connections that send nothing, opened again likewise;
//   * a loop of POSTs with a chunked body of 1 MiB chunks, each read until
//     the gateway answers.
// Each part runs on a thread of its own until stop() (or the destructor).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace vx7test {

class Attack {
public:
    explicit Attack(int port);
    ~Attack();
    Attack(const Attack &) = delete;
    Attack &operator=(const Attack &) = delete;

    void start();
    void stop();

    struct Counts {
        std::uint64_t slowloris_closed = 0;   // slowloris connections the gateway closed
        std::uint64_t slowloris_answered = 0; // ... that got an answer (none should)
        std::uint64_t idle_closed = 0;        // idle connections the gateway closed
        std::uint64_t connect_failures = 0;
        std::uint64_t posts = 0;          // chunked POSTs answered
        std::uint64_t posts_413 = 0;      // ... with 413
        double post_answer_ms_max = 0;    // the longest wait for an answer
        std::uint64_t post_bytes_max = 0; // the most body bytes sent before the answer
    };
    Counts counts() const;

private:
    void slowloris();
    void idle();
    void posts();

    const int port_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
    std::atomic<std::uint64_t> slowloris_closed_{0}, slowloris_answered_{0}, idle_closed_{0}, connect_failures_{0},
        posts_{0}, posts_413_{0}, post_answer_us_max_{0}, post_bytes_max_{0};
};

// A connected, non-blocking TCP socket from `source` to 127.0.0.1:port, or
// -1.
int connect_from(const char *source, int port, int rcvbuf = 0);

} // namespace vx7test
