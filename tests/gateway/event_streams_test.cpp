// The event-stream writer over a loopback connection, where this test controls when
// the reading end reads: what a full socket does not take waits in the
// client's backlog and arrives whole and in order; a client whose backlog
// passes its bound is dropped; stop() ends each response with the last
// chunk.
#include "event_streams.h"
#include "hub.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using vx7::gateway::EventStreams;
using vx7::gateway::Hub;

namespace {

vx7_sample sample(std::uint64_t elapsed)
{
    vx7_sample s{};
    s.channel = 1;
    s.has_value = 1;
    s.volts = 0.25;
    s.elapsed_ms = elapsed;
    s.wall_ns = 1'800'000'000'000'000'000;
    return s;
}

// The gateway's end and the client's end of a loopback TCP connection with
// small buffers (TCP takes part of a write when nearly full, as a client's
// connection does).
struct Pair {
    int gateway = -1;
    int client = -1;
    explicit Pair(int sndbuf)
    {
        const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (l >= 0 && bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(l, 1) == 0 &&
            getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int rcvbuf = 4096;
            setsockopt(client, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
            if (connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                gateway = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
            if (sndbuf > 0)
                setsockopt(gateway, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        }
        if (l >= 0)
            close(l);
    }
    ~Pair()
    {
        if (client >= 0)
            close(client);
    }
};

// The I/O thread the writer runs on; declared before the EventStreams, so
// that it outlives them.
struct Io {
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread{[this] { context.run(); }};
    ~Io()
    {
        work.reset();
        context.stop();
        thread.join();
    }
};

// Gives `streams` the gateway's end `fd` of a connection as a client.
void adopt(EventStreams &streams, Io &io, int fd)
{
    streams.adopt(boost::beast::tcp_stream(boost::asio::ip::tcp::socket(io.context, boost::asio::ip::tcp::v4(), fd)));
}

// Starts `streams` and gives it the connection of `pair` as a client.
void start_with_client(EventStreams &streams, Io &io, Pair &pair)
{
    std::string error;
    ASSERT_TRUE(streams.start(error)) << error;
    ASSERT_GE(pair.gateway, 0);
    ASSERT_TRUE(streams.reserve());
    adopt(streams, io, pair.gateway);
}

// Appends what the client end gets to `out` until `enough` says so, the
// writer closes the connection, or `timeout` passes.
void read_until(int fd, std::string &out, const std::function<bool()> &enough, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!enough() && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// Everything the client end gets until the writer closes it (or `timeout`).
std::string read_to_eof(int fd, std::chrono::milliseconds timeout)
{
    std::string out;
    read_until(
        fd, out, [] { return false; }, timeout);
    return out;
}

// Splits a chunked body into its chunks' payloads; `last` tells whether it
// ended with the last (empty) chunk. Fails the test on a malformed frame.
std::vector<std::string> chunks(const std::string &body, bool &last)
{
    std::vector<std::string> out;
    last = false;
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t eol = body.find("\r\n", at);
        if (eol == std::string::npos)
            break; // cut off: the connection was closed
        char *end = nullptr;
        const unsigned long size = std::strtoul(body.c_str() + at, &end, 16);
        EXPECT_EQ(end, body.c_str() + eol) << "bad chunk size line at " << at;
        if (size == 0) {
            last = body.compare(eol, 4, "\r\n\r\n") == 0;
            break;
        }
        if (eol + 2 + size + 2 > body.size())
            break; // cut off
        out.push_back(body.substr(eol + 2, size));
        EXPECT_EQ(body.compare(eol + 2 + size, 2, "\r\n"), 0) << "chunk not followed by CRLF at " << at;
        at = eol + 2 + size + 2;
    }
    return out;
}

// The elapsed_ms of each sample event in `payloads`, in order.
std::vector<std::uint64_t> sample_elapsed(const std::vector<std::string> &payloads)
{
    std::vector<std::uint64_t> out;
    for (const std::string &p : payloads) {
        if (p.rfind("event: sample\ndata: ", 0) != 0)
            continue;
        EXPECT_EQ(p.substr(p.size() - 2), "\n\n");
        out.push_back(nlohmann::json::parse(p.substr(20, p.size() - 22))["elapsed_ms"].get<std::uint64_t>());
    }
    return out;
}

bool wait_for(const std::function<bool()> &done)
{
    for (int i = 0; i < 500; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

} // namespace

// 2000 events (about 250 KB) to a client that reads only afterwards: the
// socket takes part, the backlog the rest, and the client gets the greeting
// and every event whole and in order once it reads.
TEST(EventStreams, WhatTheSocketCannotTakeWaitsAndArrivesInOrder)
{
    Hub hub(1);
    Io io;
    EventStreams streams(hub, io.context, 4, 1 << 20, EventStreams::kDefaultKeepAlive, EventStreams::kDefaultStall, 0);
    Pair pair(4096);
    ASSERT_NO_FATAL_FAILURE(start_with_client(streams, io, pair));
    constexpr std::uint64_t kEvents = 2000;
    for (std::uint64_t i = 0; i < kEvents; ++i)
        hub.publish(sample(i));

    std::string body;
    bool last = false;
    std::vector<std::string> payloads;
    std::vector<std::uint64_t> got;
    read_until(
        pair.client, body,
        [&] {
            payloads = chunks(body, last);
            got = sample_elapsed(payloads);
            return got.size() >= kEvents;
        },
        10s);
    ASSERT_FALSE(payloads.empty());
    EXPECT_EQ(payloads[0], "retry: 2000\n\n");
    ASSERT_EQ(got.size(), kEvents);
    for (std::uint64_t i = 0; i < kEvents; ++i)
        ASSERT_EQ(got[i], i) << "event " << i;
    EXPECT_EQ(streams.dropped(), 0u);
    EXPECT_EQ(streams.clients(), 1u);

    streams.stop();
    const std::string rest = read_to_eof(pair.client, 5s);
    EXPECT_EQ(rest, "0\r\n\r\n") << "stop() ends the response with the last chunk";
    EXPECT_EQ(streams.clients(), 0u);
}

// A client that never reads: once the socket and then the backlog (8 KiB
// here) are full it is dropped and its connection closed; what it had been
// sent is whole events, a prefix of the stream.
TEST(EventStreams, AClientWhoseBacklogPassesItsBoundIsDropped)
{
    Hub hub(1);
    Io io;
    EventStreams streams(hub, io.context, 4, 8192, EventStreams::kDefaultKeepAlive, EventStreams::kDefaultStall, 0);
    Pair pair(4096);
    ASSERT_NO_FATAL_FAILURE(start_with_client(streams, io, pair));
    for (std::uint64_t i = 0; i < 2000; ++i)
        hub.publish(sample(i));
    EXPECT_TRUE(wait_for([&] { return streams.clients() == 0; })) << "the stalled client was not closed";
    EXPECT_EQ(streams.dropped(), 1u);

    bool last = true;
    const auto got = sample_elapsed(chunks(read_to_eof(pair.client, 5s), last));
    EXPECT_FALSE(last);
    ASSERT_FALSE(got.empty());
    EXPECT_LT(got.size(), 2000u);
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], i);
}

// A client that goes away frees its slot; slots are limited to max_clients,
// reserved or connected.
TEST(EventStreams, SlotsAreLimitedAndFreedWhenAClientLeaves)
{
    Hub hub(1);
    Io io;
    EventStreams streams(hub, io.context, 2, EventStreams::kDefaultBacklog, EventStreams::kDefaultKeepAlive,
                         EventStreams::kDefaultStall, 0);
    std::string error;
    ASSERT_TRUE(streams.start(error)) << error;
    ASSERT_TRUE(streams.reserve());
    ASSERT_TRUE(streams.reserve());
    EXPECT_FALSE(streams.reserve());
    streams.release();
    EXPECT_EQ(streams.clients(), 1u);

    auto pair = std::make_unique<Pair>(65536);
    adopt(streams, io, pair->gateway);
    EXPECT_EQ(streams.clients(), 1u);
    pair.reset(); // the client closes its end
    EXPECT_TRUE(wait_for([&] { return streams.clients() == 0; }));
    EXPECT_EQ(streams.dropped(), 0u) << "a client that left was not dropped";
}

// With nothing to send for the keep-alive time, a client that took all it
// was sent gets a comment; one whose socket has taken nothing of its
// backlog meanwhile (the stall time, here as long) is dropped, though no new
// event comes to overflow it.
TEST(EventStreams, IdleClientsGetACommentStalledOnesAreDropped)
{
    Hub hub(1);
    Io io;
    EventStreams streams(hub, io.context, 4, 1 << 20, 300ms, 300ms, 0);
    std::string error;
    ASSERT_TRUE(streams.start(error)) << error;
    Pair idle(65536);
    Pair stalled(4096);
    ASSERT_GE(idle.gateway, 0);
    ASSERT_GE(stalled.gateway, 0);
    // Both adopted before the first event, so that the stalled client's
    // socket fills and its backlog starts.
    ASSERT_TRUE(streams.reserve());
    adopt(streams, io, idle.gateway);
    ASSERT_TRUE(streams.reserve());
    adopt(streams, io, stalled.gateway);
    // The idle client reads everything as it comes, and goes on reading
    // while the stalled one is waited for, so that it never stalls itself.
    std::string idle_got;
    const auto read_idle = [&] {
        char buf[65536];
        for (ssize_t n; (n = recv(idle.client, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            idle_got.append(buf, static_cast<std::size_t>(n));
    };
    const auto t0 = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < 1000; ++i) {
        hub.publish(sample(i));
        read_idle();
    }
    EXPECT_TRUE(wait_for([&] {
        read_idle();
        return streams.clients() == 1;
    })) << "the stalled client was not dropped";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms) << "dropped before its keep-alive time";
    EXPECT_EQ(streams.dropped(), 1u);

    read_until(
        idle.client, idle_got, [&] { return idle_got.find(": keep-alive\n\n") != std::string::npos; }, 3s);
    bool last = false;
    const auto payloads = chunks(idle_got, last);
    ASSERT_FALSE(payloads.empty());
    EXPECT_EQ(payloads.back(), ": keep-alive\n\n");
    EXPECT_EQ(sample_elapsed(payloads).size(), 1000u);
}

// A client that stops reading while events still come now and then (or
// none, and only keep-alive comments would be due) is dropped once its
// socket has taken nothing for the stall time: what the writer queues for
// it does not count as the client taking anything.
TEST(EventStreams, AClientThatStopsReadingIsDroppedAfterTheStallTime)
{
    struct Case {
        const char *what;
        int trickle_ms; // an event this often after the burst; 0: none
    } cases[] = {{"no events after the burst", 0}, {"an event every 40 ms", 40}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Hub hub(1);
        Io io;
        // Keep-alive comments due every 50 ms, a backlog that takes minutes
        // to fill: only the stall time (400 ms) can drop the client.
        EventStreams streams(hub, io.context, 4, 1 << 20, 50ms, 400ms, 4096);
        Pair pair(4096);
        ASSERT_NO_FATAL_FAILURE(start_with_client(streams, io, pair));
        const auto burst = std::chrono::steady_clock::now();
        std::uint64_t n = 0;
        for (; n < 2000; ++n) // well past what the sockets hold
            hub.publish(sample(n));
        const auto burst_end = std::chrono::steady_clock::now();
        bool dropped = false;
        while (!dropped && std::chrono::steady_clock::now() - burst_end < 5s) {
            std::this_thread::sleep_for(c.trickle_ms > 0 ? std::chrono::milliseconds(c.trickle_ms) : 10ms);
            if (c.trickle_ms > 0)
                hub.publish(sample(n++));
            dropped = streams.dropped() == 1;
        }
        EXPECT_TRUE(dropped) << "a client that reads nothing was kept";
        EXPECT_GE(std::chrono::steady_clock::now() - burst, 400ms) << "dropped before its stall time";
        EXPECT_TRUE(wait_for([&] { return streams.clients() == 0; }));
    }
}

// What the socket could not take when the events stopped is sent as soon
// as the client reads again, not when the next event or keep-alive comes.
TEST(EventStreams, ABacklogIsSentAsTheSocketDrainsWithoutNewEvents)
{
    Hub hub(1);
    Io io;
    EventStreams streams(hub, io.context, 4, 1 << 20, 60s, 60s, 4096);
    Pair pair(4096);
    ASSERT_NO_FATAL_FAILURE(start_with_client(streams, io, pair));
    constexpr std::uint64_t kEvents = 1000;
    for (std::uint64_t i = 0; i < kEvents; ++i)
        hub.publish(sample(i));
    std::this_thread::sleep_for(300ms); // the socket full, the rest waiting

    std::string body;
    bool last = false;
    std::vector<std::uint64_t> got;
    read_until(
        pair.client, body,
        [&] {
            got = sample_elapsed(chunks(body, last));
            return got.size() >= kEvents;
        },
        5s);
    ASSERT_EQ(got.size(), kEvents) << "the backlog was not sent while no new event came";
    EXPECT_EQ(got.back(), kEvents - 1);
}

// The connection's send buffer is bounded: a client that never reads is
// dropped after its backlog fills, not after the kernel has queued megabytes
// for it.
TEST(EventStreams, TheSendBufferIsBoundedSoTheBacklogBites)
{
    Hub hub(1);
    Io io;
    EventStreams streams(hub, io.context, 4, 64 * 1024); // the gateway's defaults
    Pair pair(0);                                        // the kernel's own buffer sizing
    ASSERT_NO_FATAL_FAILURE(start_with_client(streams, io, pair));
    std::size_t published = 0;
    for (std::uint64_t i = 0; i < 40000 && streams.dropped() == 0; ++i) {
        hub.publish(sample(i));
        published += 135; // about an event's framed size
        if (i % 50 == 0)
            std::this_thread::sleep_for(1ms); // let the I/O thread keep up
    }
    ASSERT_TRUE(wait_for([&] { return streams.dropped() == 1; }));
    EXPECT_LT(published, 512u * 1024) << "the socket took far more than its bound";
}
