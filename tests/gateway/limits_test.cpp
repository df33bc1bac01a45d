// The limits every client is held to, on the gateway's HTTP side in this
// process: sizes of each part of a request whatever its framing, times for
// each phase whatever the pace of the bytes, open connections per peer and
// in total, and input that is refused rather than guessed at.
#include "http_client.h"
#include "hub.h"
#include "raw_client.h"
#include "server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vx7::gateway::Hub;
using vx7::gateway::Server;
using vx7::gateway::ServerOptions;
using vx7test::RawConnection;

namespace {

class Limits : public ::testing::Test {
protected:
    void start(ServerOptions o)
    {
        o.port = 0;
        o.home = "/nonexistent";
        server_ = std::make_unique<Server>(hub_, o);
        std::string error;
        ASSERT_TRUE(server_->bind(error)) << error;
        port_ = server_->port();
        thread_ = std::thread([this] { server_->run(); });
        for (int i = 0; i < 2000 && !server_->running(); ++i)
            std::this_thread::sleep_for(1ms);
    }
    void TearDown() override
    {
        if (server_)
            server_->stop();
        if (thread_.joinable())
            thread_.join();
    }
    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n"; }

    Hub hub_{1};
    std::unique_ptr<Server> server_;
    std::thread thread_;
    int port_ = 0;
};

std::string chunked(const std::string &body, std::size_t piece)
{
    std::string out;
    char size[24];
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const std::string part = body.substr(at, piece);
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        out += size + part + "\r\n";
    }
    return out + "0\r\n\r\n";
}

// A JSON body of exactly `size` bytes for channel 9: one that reaches the
// configure checks is answered 400 for the channel, not 413.
std::string body_of(std::size_t size)
{
    const std::string head = "{\"input\":\"GND\",\"pad\":\"";
    return head + std::string(size - head.size() - 2, 'x') + "\"}";
}

} // namespace

// Each part at its bound is served, one byte more is refused with its own
// status and the connection closed; a body over its bound is refused as soon
// as its length or a chunk's size says so, before the rest is sent.
TEST_F(Limits, SizesOfEveryPartWhateverTheFraming)
{
    ServerOptions o;
    o.allow_configure = true;
    start(o);
    // Reached the configure checks (channel 9 is refused there).
    const char *const kReached = "channel must be 1-4";
    const std::string post =
        "POST /api/v1/channels/9/config HTTP/1.1\r\n" + host() + "Content-Type: application/json\r\n";
    // Header fields of `size` bytes in all (Host's line included).
    const auto fields = [&](std::size_t size) {
        const std::size_t pad = size - (host().size() + 2) - std::string("X-Pad: \r\n").size() + 2;
        return host() + "X-Pad: " + std::string(pad, 'p') + "\r\n";
    };
    struct Case {
        const char *what;
        std::string request; // what is sent (maybe only the start of it)
        int status;
        bool closes;
        const char *says = ""; // in the answer's body
    } cases[] = {
        {"target of 8192 bytes", "GET /metrics?" + std::string(8192 - 9, 'a') + " HTTP/1.1\r\n" + host() + "\r\n", 200,
         false},
        {"target of 8193 bytes", "GET /metrics?" + std::string(8193 - 9, 'a') + " HTTP/1.1\r\n" + host() + "\r\n", 414,
         true},
        {"target of 20000 bytes", "GET /metrics?" + std::string(20000, 'a') + " HTTP/1.1\r\n" + host() + "\r\n", 414,
         true},
        {"fields of 8192 bytes", "GET /metrics HTTP/1.1\r\n" + fields(8192) + "\r\n", 200, false},
        {"fields of 8193 bytes", "GET /metrics HTTP/1.1\r\n" + fields(8193) + "\r\n", 431, true},
        {"a field of 30000 bytes",
         "GET /metrics HTTP/1.1\r\n" + host() + "X-Big: " + std::string(30000, 'b') + "\r\n\r\n", 431, true},
        {"body of 4096 bytes", post + "Content-Length: 4096\r\n\r\n" + body_of(4096), 400, false, kReached},
        {"Content-Length 4097, nothing sent", post + "Content-Length: 4097\r\n\r\n", 413, true},
        {"chunked, 4096 bytes in 4 chunks", post + "Transfer-Encoding: chunked\r\n\r\n" + chunked(body_of(4096), 1024),
         400, false, kReached},
        {"chunked, 4097 bytes a byte a chunk", post + "Transfer-Encoding: chunked\r\n\r\n" + chunked(body_of(4097), 1),
         413, true},
        {"chunked, a 1 MiB chunk announced",
         post + "Transfer-Encoding: chunked\r\n\r\n100000\r\n" + std::string(100, 'x'), 413, true},
        {"chunked, a chunk size of 40 digits",
         post + "Transfer-Encoding: chunked\r\n\r\n" + std::string(40, 'f') + "\r\n", 400, true, "malformed request"},
        {"chunked, a chunk extension without end",
         post + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(40000, 'e'), 400, true, "malformed request"},
    };
    for (const Case &c : cases) {
        RawConnection raw(port_);
        ASSERT_TRUE(raw.send(c.request)) << c.what;
        EXPECT_TRUE(raw.read_until("\r\n\r\n", 5s)) << c.what << ": no answer";
        EXPECT_EQ(raw.status(), c.status) << c.what << ": " << raw.data().substr(0, 300);
        EXPECT_NE(raw.data().find(c.says), std::string::npos) << c.what << ": " << raw.data();
        if (c.status != 200) {
            EXPECT_NE(raw.data().find("\"error\""), std::string::npos) << c.what << ": " << raw.data();
        }
        EXPECT_EQ(raw.closed_within(c.closes ? 3s : 300ms), c.closes) << c.what;
    }

    // A client that waits for "100 Continue" gets it before sending its body.
    RawConnection raw(port_);
    ASSERT_TRUE(raw.send(post + "Content-Length: 4096\r\nExpect: 100-continue\r\n\r\n"));
    ASSERT_TRUE(raw.read_until("HTTP/1.1 100 Continue\r\n\r\n", 5s)) << raw.data();
    ASSERT_TRUE(raw.send(body_of(4096)));
    EXPECT_TRUE(raw.read_until("channel must be 1-4", 5s)) << raw.data();

    // Without --allow-configure a body is refused (403) before it is read,
    // and the connection closed: what the body holds is never taken for a
    // request of its own.
    server_->stop();
    thread_.join();
    start(ServerOptions{});
    const std::string post_here =
        "POST /api/v1/channels/9/config HTTP/1.1\r\n" + host() + "Content-Type: application/json\r\n";
    const std::string inner = "GET /metrics HTTP/1.1\r\n" + host() + "\r\n";
    for (const std::string &framing : {std::string("Transfer-Encoding: chunked\r\n\r\n100000\r\n"),
                                       "Content-Length: " + std::to_string(inner.size()) + "\r\n\r\n"}) {
        RawConnection refused(port_);
        ASSERT_TRUE(refused.send(post_here + framing + inner));
        EXPECT_TRUE(refused.closed_within(3s)) << framing;
        EXPECT_EQ(refused.status(), 403) << refused.data();
        EXPECT_NE(refused.data().find("configuration is turned off"), std::string::npos) << refused.data();
        EXPECT_EQ(refused.data().find("HTTP/1.1", 1), std::string::npos) << "the body was taken for a request";
    }
}

// The header block must be complete within the request time of the
// connection (or of the previous answer), whatever the pace of its bytes;
// the body within as long again; a connection that sends nothing is closed
// after the idle time. A request that keeps to them is served.
TEST_F(Limits, TimesForEveryPhaseWhateverThePace)
{
    ServerOptions o;
    o.request_timeout = 1s;
    o.idle_timeout = 500ms;
    o.allow_configure = true;
    start(o);
    const std::string get = "GET /metrics HTTP/1.1\r\n" + host();
    // Sends `bytes` a piece at a time, one every `every`, until `stop` or the
    // peer closes; returns whether it was closed and how long that took.
    const auto crawl = [](RawConnection &raw, const std::string &bytes, std::chrono::milliseconds every,
                          std::chrono::milliseconds stop) {
        const auto t0 = std::chrono::steady_clock::now();
        std::size_t at = 0;
        while (std::chrono::steady_clock::now() - t0 < stop) {
            if (at < bytes.size() && !raw.send(bytes.substr(at, 1)))
                return std::pair(true, std::chrono::steady_clock::now() - t0);
            ++at;
            if (raw.closed_within(every))
                return std::pair(true, std::chrono::steady_clock::now() - t0);
        }
        return std::pair(false, std::chrono::steady_clock::now() - t0);
    };

    // Headers a byte every 50 ms, without end: closed near 1 s, never served.
    {
        RawConnection raw(port_);
        const auto [closed, after] = crawl(raw, get + std::string(1000, 'X'), 50ms, 5s);
        EXPECT_TRUE(closed) << "a header block that never ends kept its connection";
        EXPECT_LT(after, 3s);
        EXPECT_EQ(raw.status(), 0) << raw.data();
    }
    // A body at a crawl: closed near 1 s after the header.
    {
        RawConnection raw(port_);
        ASSERT_TRUE(raw.send("POST /api/v1/channels/9/config HTTP/1.1\r\n" + host() +
                             "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n"));
        const auto [closed, after] = crawl(raw, std::string(1000, ' '), 50ms, 5s);
        EXPECT_TRUE(closed) << "a body that never ends kept its connection";
        EXPECT_LT(after, 3s);
    }
    // Nothing at all, on a new connection and after an answer.
    {
        RawConnection fresh(port_);
        EXPECT_TRUE(fresh.closed_within(3s)) << "an idle new connection was kept";
        RawConnection kept(port_);
        ASSERT_TRUE(kept.send(get + "\r\n"));
        EXPECT_TRUE(kept.read_until("vx7_driver_up", 3s));
        EXPECT_TRUE(kept.closed_within(3s)) << "an idle kept-alive connection was kept";
        EXPECT_EQ(kept.status(), 200);
    }
    // Slow but within the time: served.
    {
        RawConnection raw(port_);
        const std::string request = get + "\r\n";
        for (std::size_t at = 0; at < request.size(); at += request.size() / 5) {
            ASSERT_TRUE(raw.send(request.substr(at, request.size() / 5)));
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_TRUE(raw.read_until("vx7_driver_up", 3s)) << raw.data();
        EXPECT_EQ(raw.status(), 200);
    }
}

// Beyond the per-peer limit a new connection is refused; beyond the total
// the connection idle the longest makes room; other peers are served.
TEST_F(Limits, ConnectionsPerPeerAndInTotal)
{
    ServerOptions o;
    o.max_per_peer = 4;
    o.max_connections = 6;
    start(o);
    std::vector<std::unique_ptr<RawConnection>> a;
    for (int i = 0; i < 4; ++i) {
        a.push_back(std::make_unique<RawConnection>(port_, "127.0.0.2"));
        ASSERT_TRUE(a.back()->connected());
        std::this_thread::sleep_for(20ms); // in order of idleness
    }
    RawConnection fifth(port_, "127.0.0.2");
    EXPECT_TRUE(fifth.closed_within(2s)) << "a fifth connection from one peer was kept";
    for (auto &c : a)
        EXPECT_FALSE(c->closed_within(10ms)) << "a connection within the peer's limit was closed";

    RawConnection b1(port_, "127.0.0.3");
    RawConnection b2(port_, "127.0.0.3");
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(b1.closed_within(10ms));
    EXPECT_FALSE(b2.closed_within(10ms));

    // The seventh: the first of 127.0.0.2's (idle the longest) makes room.
    RawConnection c(port_, "127.0.0.4");
    ASSERT_TRUE(c.send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n"));
    EXPECT_TRUE(c.read_until("vx7_driver_up", 3s)) << c.data();
    EXPECT_TRUE(a[0]->closed_within(2s)) << "the idlest connection was not closed to make room";
    for (std::size_t i = 1; i < a.size(); ++i)
        EXPECT_FALSE(a[i]->closed_within(10ms)) << "connection " << i << " was closed, not the idlest";
}

// Requests whose meaning would depend on who reads them are refused with a
// 400 that says why; nothing is decoded that the routes did not ask for.
TEST_F(Limits, AmbiguousRequestsGet400)
{
    ServerOptions o;
    o.allow_configure = true;
    start(o);
    const std::string port = std::to_string(port_);
    struct Case {
        const char *what;
        std::string method, path;
        vx7test::Headers headers;
        std::string body;
        const char *message;
    } cases[] = {
        {"an escaped channel",
         "POST",
         "/api/v1/channels/%31/config",
         {},
         R"({"input":"GND"})",
         "channel must be 1-4 (channels are numbered 1-4; channel 1 is the first input), not '%31'"},
        {"a channel with a leading zero", "POST", "/api/v1/channels/01/config", {}, R"({"input":"GND"})", "not '01'"},
        {"nothing to configure", "POST", "/api/v1/channels/1/config", {}, "{}", "the body sets nothing"},
        {"a field twice",
         "POST",
         "/api/v1/channels/1/config",
         {},
         R"({"input":"GND","input":"A"})",
         "field 'input' given more than once"},
        {"a parameter twice",
         "GET",
         "/api/v1/history?seconds=5&seconds=600",
         {},
         "",
         "query parameter 'seconds' given more than once"},
        {"a parameter twice, once escaped",
         "GET",
         "/api/v1/history?seconds=5&%73econds=6",
         {},
         "",
         "given more than once"},
        {"two Hosts",
         "GET",
         "/metrics",
         {{"Host", "127.0.0.1:" + port}, {"hOST", "attacker.example"}},
         "",
         "header field Host given more than once"},
    };
    for (const Case &c : cases) {
        vx7test::HttpClient cli("127.0.0.1", port_);
        vx7test::Headers h = c.headers;
        const auto r = cli.send(c.method, c.path, h, c.body, c.method == "POST" ? "application/json" : "", {});
        ASSERT_TRUE(r) << c.what << ": " << r.error();
        EXPECT_EQ(r->status, 400) << c.what << ": " << r->body;
        EXPECT_NE(r->body.find(c.message), std::string::npos) << c.what << ": " << r->body;
    }
    // Escapes in a query are values like any other.
    vx7test::HttpClient cli("127.0.0.1", port_);
    const auto r = cli.Get("/api/v1/history?seconds=%35");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    // HTTP/1.0: answered in HTTP/1.1, the connection kept only when asked;
    // the answers in chunks need 1.1.
    struct Old {
        std::string request;
        int status;
        bool closes;
    } olds[] = {
        {"GET /metrics HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", 200, true},
        {"GET /metrics HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\nConnection: keep-alive\r\n\r\n", 200, false},
        {"GET /api/v1/stream HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", 505, true},
        {"GET /api/v1/history HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", 505, true},
    };
    for (const Old &c : olds) {
        RawConnection raw(port_);
        ASSERT_TRUE(raw.send(c.request));
        EXPECT_TRUE(raw.read_until("\r\n\r\n", 3s)) << c.request;
        EXPECT_EQ(raw.status(), c.status) << raw.data();
        EXPECT_EQ(raw.closed_within(c.closes ? 3s : 300ms), c.closes) << c.request;
        if (!c.closes) {
            EXPECT_NE(raw.data().find("Connection: keep-alive\r\n"), std::string::npos) << raw.data();
        }
    }
    // HEAD: the GET answer's headers, no body.
    RawConnection head(port_);
    ASSERT_TRUE(head.send("HEAD /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"));
    EXPECT_TRUE(head.closed_within(3s));
    EXPECT_EQ(head.status(), 200);
    EXPECT_NE(head.data().find("Content-Length: "), std::string::npos) << head.data();
    EXPECT_EQ(head.data().size(), head.data().find("\r\n\r\n") + 4) << "a body after HEAD";
}
