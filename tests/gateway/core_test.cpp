// The gateway's core in this process: the hub fed with samples directly (no
// driver), the HTTP server on a free loopback port, real HTTP clients and raw
// sockets. The security rules and the behaviour of slow and surplus
// event-stream clients are checked here, where the feed rate is ours.
#include "configure.h"
#include "http_client.h"
#include "hub.h"
#include "server.h"
#include "vx7record/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vx7::gateway::Event;
using vx7::gateway::Hub;
using vx7::gateway::Server;
using vx7::gateway::ServerOptions;

namespace {

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

vx7_sample sample(int channel, double volts, std::uint64_t elapsed, std::int64_t wall_ns = 0)
{
    vx7_sample s{};
    s.channel = channel;
    s.has_value = 1;
    s.volts = volts;
    s.elapsed_ms = elapsed;
    std::snprintf(s.text, sizeof s.text, "%.11e", volts);
    s.wall_ns = wall_ns != 0 ? wall_ns : now_ns();
    return s;
}

// A raw connection that sends a request and reads what it is told to.
class RawClient {
public:
    explicit RawClient(int port, int rcvbuf = 0)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RawClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool send_get(int port, const std::string &path)
    {
        return send_raw("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    }
    bool send_raw(const std::string &bytes)
    {
        return ok_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until `what` has been seen or the time-out passes.
    bool read_until(const std::string &what, std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (data_.find(what) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count())))
                return false;
        }
        return true;
    }
    // Reads until the peer closes (true) or the time-out passes.
    bool read_to_eof(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[65536];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return true;
        }
        return false;
    }
    const std::string &data() const { return data_; }

private:
    bool read_some(int timeout_ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        data_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool ok_ = false;
    std::string data_;
};

// A hub (not reading any stream) with a server on a free port.
class Core : public ::testing::Test {
protected:
    void start(ServerOptions o = {})
    {
        o.port = 0;
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
        stop_feed();
        hub_.stop();
        if (server_)
            server_->stop();
        if (thread_.joinable())
            thread_.join();
    }
    // Publishes samples of all four channels at `per_second` samples a second.
    void feed(int per_second)
    {
        feeding_ = true;
        feeder_ = std::thread([this, per_second] {
            std::uint64_t n = 0;
            const auto period = std::chrono::microseconds(1000000 / per_second);
            auto next = std::chrono::steady_clock::now();
            while (feeding_) {
                hub_.publish(sample(static_cast<int>(n % 4) + 1, 0.001 * static_cast<double>(n % 1000), n));
                ++n;
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    void stop_feed()
    {
        feeding_ = false;
        if (feeder_.joinable())
            feeder_.join();
    }
    vx7test::HttpClient client() const
    {
        vx7test::HttpClient c("127.0.0.1", port_);
        c.set_connection_timeout(2s);
        c.set_read_timeout(5s);
        return c;
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

    Hub hub_{10};
    std::unique_ptr<Server> server_;
    std::thread thread_;
    std::thread feeder_;
    std::atomic<bool> feeding_{false};
    int port_ = 0;
};

} // namespace

// ---- the hub ----

TEST(HubTest, ListenersGetEveryEventInOrderUntilTheyUnsubscribe)
{
    Hub hub(1);
    std::vector<Event> got;
    const int id = hub.subscribe([&](const Event &e) { got.push_back(e); });
    for (int i = 0; i < 20; ++i)
        hub.publish(sample(1, i, static_cast<std::uint64_t>(i)));
    hub.unsubscribe(id);
    hub.publish(sample(1, 99, 99));
    // The first sample also announces that channel 1 has a value.
    ASSERT_EQ(got.size(), 21u);
    EXPECT_EQ(got[0].kind, Event::Kind::Status);
    for (int i = 0; i < 20; ++i) {
        const Event &e = got[static_cast<std::size_t>(i) + 1];
        EXPECT_EQ(e.kind, Event::Kind::Sample);
        EXPECT_EQ(e.sample.elapsed_ms, static_cast<std::uint64_t>(i));
        ASSERT_TRUE(e.json());
        EXPECT_EQ(nlohmann::json::parse(*e.json())["elapsed_ms"], i);
    }
}

TEST(HubTest, StatusEventsOnlyWhenAChannelLosesOrRegainsItsValue)
{
    Hub hub(1);
    std::vector<std::string> seen;
    hub.subscribe(
        [&](const Event &e) { seen.push_back((e.kind == Event::Kind::Status ? "status " : "sample ") + *e.json()); });
    vx7_sample none{};
    none.channel = 2;
    none.wall_ns = now_ns();
    hub.publish(sample(2, 1.5, 10));
    hub.publish(sample(2, 1.5, 20));
    hub.publish(none);
    hub.publish(sample(2, 0.5, 5));
    ASSERT_EQ(seen.size(), 6u);
    const auto j = [&](std::size_t i) { return nlohmann::json::parse(seen[i].substr(7)); };
    EXPECT_EQ(seen[0].substr(0, 7), "status ");
    EXPECT_TRUE(j(0)["has_value"].get<bool>());
    EXPECT_EQ(seen[1].substr(0, 7), "sample ");
    EXPECT_EQ(j(1)["volts"].get<double>(), 1.5);
    EXPECT_EQ(j(1)["channel"].get<int>(), 2);
    EXPECT_EQ(j(1)["elapsed_ms"].get<int>(), 10);
    EXPECT_EQ(seen[2].substr(0, 7), "sample ");
    EXPECT_EQ(seen[3].substr(0, 7), "status ");
    EXPECT_FALSE(j(3)["has_value"].get<bool>());
    EXPECT_EQ(seen[4].substr(0, 7), "status ");
    EXPECT_EQ(j(5)["elapsed_ms"].get<int>(), 5);
    const auto st = hub.channels()[1];
    EXPECT_TRUE(st.has_value);
    EXPECT_EQ(st.samples, 3u);
}

TEST(HubTest, HistoryKeepsTheNewestRowsOfEachChannelInTimeOrder)
{
    Hub hub(1); // 100 rows per channel
    ASSERT_EQ(hub.history_capacity(), 100u);
    const std::int64_t t0 = now_ns() - 900'000'000; // 0.9 s ago
    for (int i = 0; i < 250; ++i)
        hub.publish(sample(1 + i % 2, i, static_cast<std::uint64_t>(i), t0 + i * 1'000'000));
    const auto rows = hub.history(10);
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows.front().elapsed_ms, 50u);
    EXPECT_EQ(rows.back().elapsed_ms, 249u);
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_LT(rows[i - 1].wall_ns, rows[i].wall_ns);
    // A window of 0.8 s leaves out the rows older than that (0.8 s before
    // the call, at the latest).
    const std::int64_t window_start = now_ns() - 800'000'000;
    for (const auto &r : hub.history(0.8))
        EXPECT_GE(r.wall_ns, window_start);
    EXPECT_LT(hub.history(0.8).size(), 200u);
}

// The hub keeps what the stream counted as lost, per channel: records the
// driver published that it did not see (here three written without waking
// anyone, of which the stream sees the last at its next look).
TEST(HubTest, KeepsTheStreamsLostCountPerChannel)
{
    char tmpl[] = "/tmp/vx7hub.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string file = std::string(tmpl) + "/adc2.adc";
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, vx7::record::kSize), 0);
    void *p = ::mmap(nullptr, vx7::record::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(p, MAP_FAILED);
    char *map = static_cast<char *>(p);
    vx7::record::blank(map);
    vx7::record::publish(map, vx7::record::format(0.5, 10));
    {
        Hub hub(1);
        vx7_stream_options o{};
        o.paths[1] = file.c_str();
        o.channel_mask = 2;
        ASSERT_EQ(hub.start(o), VX7_STREAM_OK);
        const auto seen = [&](std::uint64_t elapsed) {
            for (int i = 0; i < 500 && hub.channels()[1].elapsed_ms != elapsed; ++i)
                std::this_thread::sleep_for(10ms);
            return hub.channels()[1].elapsed_ms == elapsed;
        };
        ASSERT_TRUE(seen(10));
        for (unsigned long ms : {20ul, 30ul, 40ul})
            vx7::record::publish(map, vx7::record::format(0.5, ms));
        ASSERT_TRUE(seen(40));
        for (int i = 0; i < 100 && hub.lost(2) != 2; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(hub.lost(2), 2u);
        EXPECT_EQ(hub.lost(1), 0u);
        EXPECT_EQ(hub.lost(5), 0u);
    }
    ::munmap(map, vx7::record::kSize);
    ::unlink(file.c_str());
    ::rmdir(tmpl);
}

TEST(HubTest, TimesAreUtcWithMicroseconds)
{
    EXPECT_EQ(vx7::gateway::iso_time(1796728272'123456789), "2026-12-08T11:11:12.123456Z");
    EXPECT_EQ(vx7::gateway::iso_time(0), "1970-01-01T00:00:00.000000Z");
}

// ---- security ----

struct RefusedCase {
    const char *what;
    std::string method;
    std::string path;
    vx7test::Headers headers;
    std::string body;
    std::string content_type;
    int status;
};

TEST_F(Core, RequestsABrowserCouldBeTrickedIntoSendingAreRefused)
{
    ServerOptions o;
    o.allow_configure = true;
    start(o);
    const std::string port = std::to_string(port_);
    const std::string json = "application/json";
    // Good values for a channel that does not exist on any device: every
    // case that passes the checks would reach vx7_configure, so none may.
    const RefusedCase cases[] = {
        {"foreign Host", "GET", "/metrics", {{"Host", "attacker.example:" + port}}, "", "", 403},
        {"foreign Host on the API", "GET", "/api/v1/channels", {{"Host", "evil.test"}}, "", "", 403},
        {"our name, other port", "GET", "/metrics", {{"Host", "localhost:1"}}, "", "", 403},
        {"cross-origin POST",
         "POST",
         "/api/v1/channels/1/config",
         {{"Origin", "http://attacker.example"}},
         "{}",
         json,
         403},
        {"cross-origin POST, our host other port",
         "POST",
         "/api/v1/channels/1/config",
         {{"Origin", "http://127.0.0.1:1"}},
         "{}",
         json,
         403},
        {"form post", "POST", "/api/v1/channels/1/config", {}, "input=GND", "application/x-www-form-urlencoded", 415},
        {"text/plain", "POST", "/api/v1/channels/1/config", {}, "{\"input\":\"GND\"}", "text/plain", 415},
        {"oversized body",
         "POST",
         "/api/v1/channels/1/config",
         {},
         "{\"x\":\"" + std::string(5000, 'a') + "\"}",
         json,
         413},
        {"GET cannot configure", "GET", "/api/v1/channels/1/config", {}, "", "", 404},
    };
    for (const RefusedCase &c : cases) {
        auto cli = client();
        vx7test::HttpResult r =
            c.method == "GET" ? cli.Get(c.path, c.headers) : cli.Post(c.path, c.headers, c.body, c.content_type);
        ASSERT_TRUE(r) << c.what;
        EXPECT_EQ(r->status, c.status) << c.what << ": " << r->body;
        EXPECT_NE(r->body.find("\"error\""), std::string::npos) << c.what << ": " << r->body;
    }
    // The same requests with the right Host, and from the page's own origin,
    // are served.
    for (const std::string &h : {"127.0.0.1:" + port, "localhost:" + port, "[::1]:" + port, "LOCALHOST:" + port}) {
        auto r = client().Get("/metrics", {{"Host", h}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << h;
    }
    auto r = client().Post("/api/v1/channels/9/config", {{"Origin", "http://localhost:" + port}}, "{}", json);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << r->body; // reached the checks: channel 9 is refused there
}

TEST_F(Core, ConfigureWithoutAllowConfigureIs403)
{
    start();
    auto r = client().Post("/api/v1/channels/1/config", "{\"input\":\"GND\"}", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    EXPECT_NE(r->body.find("--allow-configure"), std::string::npos) << r->body;
}

struct BadBody {
    std::string channel;
    std::string body;
    std::string message;
};

// The checks vx7ctl makes, with the JSON field's name in the message;
// nothing reaches the library (channel 1's values would be good otherwise).
TEST(ConfigureTest, InvalidRequestsGet400WithTheCheckersWords)
{
    const BadBody cases[] = {
        {"5", "{}", "channel must be 1-4 (channels are numbered 1-4; channel 1 is the first input), not '5'"},
        {"0", "{}", "channel must be 1-4"},
        {"one", "{}", "channel must be 1-4"},
        {"1", "{\"freq_hz\": 70000}", "freq_hz must be 0-65535 Hz, not '70000'"},
        {"1", "{\"freq_hz\": -1}", "freq_hz must be 0-65535 Hz, not '-1'"},
        {"1", "{\"freq_hz\": 10.5}", "freq_hz must be 0-65535 Hz, not '10.5'"},
        {"1", "{\"freq_hz\": true}", "freq_hz must be 0-65535 Hz, not 'true'"},
        {"1", "{\"range_volts\": 3}", "range_volts must be 0-2.5 V, not '3'"},
        {"1", "{\"range_volts\": \"abc\"}", "range_volts must be 0-2.5 V, not 'abc'"},
        {"1", "{\"range_volts\": 1e-50}", "too small"},
        {"1", "{\"calibrate\": \"sometimes\"}", "calibrate must be none, auto"},
        {"1", "{\"input\": \"C\"}", "input must be"},
        {"1", "{\"input\": 4}", "input must be"},
        {"1", "{\"input\": null}", "input must be"},
        {"1", "{\"gain\": 2}", "unknown field 'gain'"},
        {"1", "[1, 2]", "must be a JSON object"},
        {"1", "{\"input\": \"A\"", "not valid JSON"},
        {"1", "", "not valid JSON"},
        {"01", R"({"input": "GND"})",
         "channel must be 1-4 (channels are numbered 1-4; channel 1 is the first input), not '01'"},
        {"%31", R"({"input": "GND"})", "not '%31'"},
        {" 1", R"({"input": "GND"})", "not ' 1'"},
        {"1", "{}", "the body sets nothing"},
        {"1", R"({"input": "GND", "input": "A"})", "field 'input' given more than once"},
        {"1", R"({"input": "GND", "freq_hz": {"a": 1, "a": 2}})", "field 'a' given more than once"},
    };
    for (const BadBody &c : cases) {
        const auto r = vx7::gateway::configure_channel(c.channel, c.body);
        EXPECT_EQ(r.status, 400) << c.body;
        const auto j = nlohmann::json::parse(r.body, nullptr, false);
        ASSERT_TRUE(j.is_object()) << r.body;
        EXPECT_NE(j.value("error", "").find(c.message), std::string::npos) << c.body << " -> " << r.body;
    }
}

TEST_F(Core, The65thStreamClientGets503AndASlotFreesWhenOneLeaves)
{
    ServerOptions o;
    o.max_per_peer = 80; // every client here comes from 127.0.0.1
    start(o);
    // The driver's full rate, so that no client falls behind.
    feed(100);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<RawClient>(port_));
        ASSERT_TRUE(clients.back()->send_get(port_, "/api/v1/stream"));
        ASSERT_TRUE(clients.back()->read_until("event: sample", 5s))
            << "client " << i << ": " << clients.back()->data();
        EXPECT_EQ(clients.back()->data().rfind("HTTP/1.1 200", 0), 0u);
    }
    EXPECT_EQ(server_->stream_clients(), 64u);
    {
        RawClient extra(port_);
        ASSERT_TRUE(extra.send_get(port_, "/api/v1/stream"));
        ASSERT_TRUE(extra.read_until("\r\n\r\n", 5s)) << extra.data();
        EXPECT_EQ(extra.data().rfind("HTTP/1.1 503", 0), 0u) << extra.data();
    }
    // Plain requests are still served beside the 64 streams.
    auto m = client().Get("/metrics");
    ASSERT_TRUE(m);
    EXPECT_NE(m->body.find("vx7_gateway_stream_clients 64\n"), std::string::npos);

    clients.pop_back();
    ASSERT_TRUE(::testing::AssertionResult([&] {
        for (int i = 0; i < 500 && server_->stream_clients() != 63u; ++i)
            std::this_thread::sleep_for(10ms);
        return server_->stream_clients() == 63u;
    }()));
    RawClient again(port_);
    ASSERT_TRUE(again.send_get(port_, "/api/v1/stream"));
    ASSERT_TRUE(again.read_until("event: sample", 5s)) << again.data();
}

// A client that stops reading fills its socket, then its queue, and is
// dropped; a client beside it keeps getting every sample meanwhile.
TEST_F(Core, AStalledClientIsDroppedWithoutStallingOthers)
{
    ServerOptions o;
    o.send_buffer = 16384;
    start(o);

    RawClient stalled(port_, 4096);
    ASSERT_TRUE(stalled.send_get(port_, "/api/v1/stream"));
    ASSERT_TRUE(stalled.read_until("retry:", 5s));

    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> gaps{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        auto cli = client();
        std::string buf;
        std::uint64_t last = 0;
        bool first = true;
        cli.Get("/api/v1/stream", [&](const char *data, std::size_t n) {
            buf.append(data, n);
            for (std::size_t pos; (pos = buf.find("\n\n")) != std::string::npos; buf.erase(0, pos + 2)) {
                const std::string ev = buf.substr(0, pos);
                if (ev.rfind("event: sample\ndata: ", 0) != 0)
                    continue;
                const auto j = nlohmann::json::parse(ev.substr(20));
                const auto e = j["elapsed_ms"].get<std::uint64_t>();
                if (!first && e != last + 1)
                    ++gaps;
                first = false;
                last = e;
                ++received;
            }
            return !done;
        });
    });
    feed(800);
    const bool dropped = [&] {
        for (int i = 0; i < 1500 && server_->dropped_stream_clients() == 0; ++i)
            std::this_thread::sleep_for(10ms);
        return server_->dropped_stream_clients() > 0;
    }();
    const std::uint64_t at_drop = received.load();
    std::this_thread::sleep_for(500ms);
    const std::uint64_t after = received.load();
    done = true;
    stop_feed();
    reader.join();

    EXPECT_TRUE(dropped) << "the stalled client was never dropped";
    EXPECT_EQ(gaps.load(), 0u) << "the reading client missed samples";
    EXPECT_GT(at_drop, 100u);
    EXPECT_GT(after - at_drop, 200u) << "the reading client stalled";
    // The dropped client's connection ends (after what was buffered).
    EXPECT_TRUE(stalled.read_to_eof(15s));
}

// Requests on kept-alive connections, two of them sent in one go: each is
// answered (what the server read ahead is not lost), and a HEAD of the event
// stream ends with its headers and gives its client slot back.
TEST_F(Core, KeptAliveAndPipelinedRequestsAreAllAnswered)
{
    start();
    const std::string h = "Host: " + host() + "\r\n\r\n";
    RawClient raw(port_);
    ASSERT_TRUE(raw.send_raw("GET /metrics HTTP/1.1\r\n" + h + "GET /api/v1/channels HTTP/1.1\r\n" + h));
    ASSERT_TRUE(raw.read_until("\"channels\"", 5s)) << raw.data();
    EXPECT_EQ(raw.data().rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(raw.data().find("vx7_driver_up"), std::string::npos);
    EXPECT_NE(raw.data().find("HTTP/1.1 200", 1), std::string::npos);

    auto cli = client();
    cli.set_keep_alive(true);
    for (int i = 0; i < 12; ++i) {
        const auto r = cli.Get(i % 2 == 0 ? "/metrics" : "/api/v1/channels");
        ASSERT_TRUE(r) << "request " << i;
        EXPECT_EQ(r->status, 200);
    }

    RawClient head(port_);
    ASSERT_TRUE(head.send_raw("HEAD /api/v1/stream HTTP/1.1\r\n" + h));
    ASSERT_TRUE(head.read_until("\r\n\r\n", 5s)) << head.data();
    EXPECT_EQ(head.data().rfind("HTTP/1.1 200", 0), 0u) << head.data();
    EXPECT_NE(head.data().find("text/event-stream"), std::string::npos);
    EXPECT_TRUE([&] {
        for (int i = 0; i < 500 && server_->stream_clients() != 0; ++i)
            std::this_thread::sleep_for(10ms);
        return server_->stream_clients() == 0;
    }()) << "a HEAD request kept its stream slot";
}
