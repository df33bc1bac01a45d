// The MQTT publisher against a real mosquitto broker, with synthetic samples.
#include "mqtt_publisher.h"
#include "mqtt_support.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

using namespace std::chrono_literals;
using vx7::mqtt::Config;
using vx7::mqtt::Publisher;
using vx7test::Broker;
using vx7test::Message;
using vx7test::Subscriber;

Config config_for(const std::string &url, const std::string &prefix,
                  std::vector<std::pair<std::string, std::string>> more = {})
{
    Config c;
    EXPECT_EQ(vx7::mqtt::set_option(c, "--mqtt", url), "");
    EXPECT_EQ(vx7::mqtt::set_option(c, "--mqtt-prefix", prefix), "");
    EXPECT_EQ(vx7::mqtt::set_option(c, "--mqtt-client-id", "test-" + prefix), "");
    for (const auto &[name, value] : more)
        EXPECT_EQ(vx7::mqtt::set_option(c, name, value), "") << name;
    EXPECT_EQ(vx7::mqtt::finish_config(c), "");
    return c;
}

vx7_sample sample(int channel, std::uint64_t elapsed, double volts)
{
    vx7_sample s{};
    s.channel = channel;
    s.has_value = 1;
    s.elapsed_ms = elapsed;
    s.volts = volts;
    std::snprintf(s.text, sizeof s.text, "%.11e", volts);
    s.wall_ns = 1796702953000000000 + static_cast<std::int64_t>(elapsed) * 1000000;
    return s;
}

struct Log {
    std::mutex mu;
    std::vector<std::string> lines;
    vx7::mqtt::LogFn fn()
    {
        return [this](const std::string &line) {
            std::lock_guard lock(mu);
            lines.push_back(line);
        };
    }
    std::size_t count(const std::string &part)
    {
        std::lock_guard lock(mu);
        std::size_t n = 0;
        for (const auto &l : lines)
            n += l.find(part) != std::string::npos;
        return n;
    }
    std::string all()
    {
        std::lock_guard lock(mu);
        std::string r;
        for (const auto &l : lines)
            r += l + "\n";
        return r;
    }
};

bool wait_connected(const Publisher &p, std::chrono::milliseconds timeout = 5s)
{
    return vx7test::poll_until([&] { return p.connected(); }, timeout);
}

// The values of the JSON payloads of `messages`.
std::vector<nlohmann::json> payloads(const std::vector<Message> &messages)
{
    std::vector<nlohmann::json> r;
    for (const auto &m : messages)
        r.push_back(nlohmann::json::parse(m.payload));
    return r;
}

// The reconnect delays double from 1 s and stay at 30 s from the sixth
// failure in a row on.
TEST(MqttPublisher, BackoffDoublesUpTo30Seconds)
{
    const int expected[] = {1, 2, 4, 8, 16, 30, 30};
    for (int failures = 0; failures < 7; ++failures)
        EXPECT_EQ(vx7::mqtt::backoff_seconds(failures), expected[failures]) << failures << " failures before";
    EXPECT_EQ(vx7::mqtt::backoff_seconds(1000), 30);
}

TEST(MqttPublisher, EverySampleInOrderOnItsTopic)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    for (int qos : {0, 1}) {
        SCOPED_TRACE("qos " + std::to_string(qos));
        const std::string prefix = "t/q" + std::to_string(qos);
        Subscriber sub(broker.port(), prefix + "/#");
        Publisher pub(config_for(broker.url(), prefix, {{"--mqtt-qos", std::to_string(qos)}}), {});
        ASSERT_EQ(pub.start(), "");
        ASSERT_TRUE(wait_connected(pub));
        ASSERT_TRUE(sub.wait_count(prefix + "/status", 1));
        EXPECT_EQ(sub.on(prefix + "/status").back().payload, "online");

        constexpr int kSamples = 400;
        for (int i = 0; i < kSamples; ++i)
            pub.publish(sample(i % 4 + 1, static_cast<std::uint64_t>(i) * 10, (i % 50 - 20) * 0.015625));
        vx7_sample none{};
        none.channel = 4;
        pub.publish(none);

        for (int ch = 1; ch <= 4; ++ch) {
            const std::string topic = prefix + "/" + std::to_string(ch);
            const std::size_t expected = kSamples / 4 + (ch == 4 ? 1 : 0);
            ASSERT_TRUE(sub.wait_count(topic, expected)) << topic << ": " << sub.on(topic).size();
            const auto got = payloads(sub.on(topic));
            ASSERT_EQ(got.size(), expected);
            for (std::size_t k = 0; k < kSamples / 4; ++k) {
                const int i = static_cast<int>(k) * 4 + ch - 1;
                EXPECT_EQ(got[k].at("elapsed_ms"), i * 10) << topic << " #" << k;
                EXPECT_DOUBLE_EQ(got[k].at("volts").get<double>(), (i % 50 - 20) * 0.015625) << topic << " #" << k;
            }
            if (ch == 4) {
                EXPECT_TRUE(got.back().at("volts").is_null());
            }
        }
        EXPECT_EQ(pub.published(), kSamples + 1u);
        EXPECT_EQ(pub.dropped(), 0u);
    }
}

TEST(MqttPublisher, NewSubscriberGetsRetainedLatestAndStatus)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Subscriber live(broker.port(), "lab/s1/#");
    auto pub = std::make_unique<Publisher>(config_for(broker.url(), "lab/s1"), nullptr);
    ASSERT_EQ(pub->start(), "");
    ASSERT_TRUE(wait_connected(*pub));
    for (int i = 0; i < 40; ++i)
        pub->publish(sample(i % 4 + 1, 1000 + static_cast<std::uint64_t>(i), i * 0.05));
    // Through the broker (seen live), then a new subscriber: only retained messages come, at once.
    ASSERT_TRUE(live.wait_count("lab/s1/4/last", 10));
    Subscriber late(broker.port(), "lab/s1/#");
    ASSERT_TRUE(late.wait([](auto &m) { return m.size() >= 5; }));
    // A message of its own, sent after the subscription took effect, comes
    // back after everything the broker had for it by then.
    late.publish("lab/s1/end", "end");
    ASSERT_TRUE(late.wait_count("lab/s1/end", 1));
    auto got = late.messages();
    ASSERT_EQ(got.back().topic, "lab/s1/end");
    got.pop_back();
    ASSERT_EQ(got.size(), 5u) << "status and four lasts, nothing else";
    for (const auto &m : got) {
        EXPECT_TRUE(m.retain) << m.topic;
        if (m.topic == "lab/s1/status") {
            EXPECT_EQ(m.payload, "online");
            continue;
        }
        const int ch = m.topic[7] - '0';
        ASSERT_EQ(m.topic, "lab/s1/" + std::to_string(ch) + "/last");
        const int i = 36 + ch - 1; // the channel's last sample
        const auto j = nlohmann::json::parse(m.payload);
        EXPECT_EQ(j.at("elapsed_ms"), 1000 + i) << m.topic;
        EXPECT_DOUBLE_EQ(j.at("volts").get<double>(), i * 0.05) << m.topic;
    }

    // A clean stop says "offline", and that stays.
    pub.reset();
    ASSERT_TRUE(late.wait([](auto &m) { return m.back().topic == "lab/s1/status"; }));
    EXPECT_EQ(late.on("lab/s1/status").back().payload, "offline");
    Subscriber after(broker.port(), "lab/s1/status");
    ASSERT_TRUE(after.wait_count("lab/s1/status", 1));
    EXPECT_EQ(after.messages()[0].payload, "offline");
    EXPECT_TRUE(after.messages()[0].retain);
}

// The publisher in a child process, fed through a pipe.
class Probe {
public:
    Probe(const vx7test::TempDir &dir, const std::vector<std::string> &args)
        : out_(dir.file("probe.out")), err_(dir.file("probe.err"))
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[0], 0);
            std::freopen(out_.c_str(), "w", stdout);
            std::freopen(err_.c_str(), "w", stderr);
            std::vector<char *> argv{const_cast<char *>(VX7_MQTT_PROBE)};
            for (const auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(VX7_MQTT_PROBE, argv.data());
            std::_Exit(127);
        }
        ::close(fds[0]);
        in_ = fds[1];
    }
    ~Probe()
    {
        if (in_ >= 0)
            ::close(in_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    void send(const std::string &line) const
    {
        const std::string l = line + "\n";
        EXPECT_EQ(::write(in_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // Closes its input and waits for its exit status.
    int finish()
    {
        ::close(in_);
        in_ = -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void kill9()
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::string out() const { return vx7test::read_file(out_); }
    std::string err() const { return vx7test::read_file(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int in_ = -1;
};

TEST(MqttPublisher, WillSaysOfflineWhenKilled)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Subscriber sub(broker.port(), "lab/s2/#");
    Probe probe(dir, {"--mqtt", broker.url(), "--mqtt-prefix", "lab/s2"});
    ASSERT_TRUE(sub.wait_count("lab/s2/status", 1)) << probe.err();
    EXPECT_EQ(sub.on("lab/s2/status").back().payload, "online");
    probe.send("2 77 1.50000000000e+00");
    ASSERT_TRUE(sub.wait_count("lab/s2/2", 1));
    EXPECT_EQ(nlohmann::json::parse(sub.on("lab/s2/2")[0].payload).at("volts"), 1.5);

    probe.kill9();
    ASSERT_TRUE(sub.wait_count("lab/s2/status", 2)) << "no will after SIGKILL";
    EXPECT_EQ(sub.on("lab/s2/status").back().payload, "offline");
    Subscriber later(broker.port(), "lab/s2/status");
    ASSERT_TRUE(later.wait_count("lab/s2/status", 1));
    EXPECT_EQ(later.messages()[0].payload, "offline");
    EXPECT_TRUE(later.messages()[0].retain);
}

TEST(MqttPublisher, BadOptionsExitWithStatus2)
{
    vx7test::TempDir dir;
    const std::string cred = dir.file("cred");
    vx7test::write_file(cred, "u\np\n");
    ::chmod(cred.c_str(), 0644);
    Probe refused(dir, {"--mqtt", "mqtt://127.0.0.1:1", "--mqtt-credentials", cred});
    EXPECT_EQ(refused.finish(), 2);
    const std::string err = refused.err();
    EXPECT_NE(err.find("may be read or changed by others (mode 0644)"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
}

TEST(MqttPublisher, BrokerGoneThroughTwoRetriesThenBack)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Log log;
    Publisher pub(config_for(broker.url(), "lab/s3"), nullptr, log.fn());
    ASSERT_EQ(pub.start(), "");
    ASSERT_TRUE(wait_connected(pub));
    EXPECT_NE(pub.metrics().find("\nvx7_mqtt_connected 1\n"), std::string::npos);

    broker.stop();
    ASSERT_TRUE(vx7test::poll_until([&] { return !pub.connected(); }, 5s));
    // Samples keep coming while the broker is away, until the publisher has
    // failed to reconnect twice (1 s and 3 s after the loss): every one of
    // them is dropped and counted.
    const std::uint64_t dropped_before = pub.dropped();
    std::uint64_t sent = 0;
    ASSERT_TRUE(vx7test::poll_until(
        [&] {
            pub.publish(sample(1, ++sent * 10, 0.5));
            return log.count("cannot connect to the broker") >= 2;
        },
        20s))
        << log.all();
    EXPECT_FALSE(pub.connected());
    EXPECT_EQ(pub.dropped() - dropped_before, sent);
    EXPECT_NE(pub.metrics().find("\nvx7_mqtt_connected 0\n"), std::string::npos);
    EXPECT_GE(log.count("lost the connection to the broker at 127.0.0.1:"), 1u) << log.all();

    broker.start();
    ASSERT_TRUE(wait_connected(pub, 20s)) << log.all();
    EXPECT_EQ(pub.connections(), 2u);
    Subscriber sub(broker.port(), "lab/s3/#");
    const std::uint64_t dropped = pub.dropped();
    pub.publish(sample(1, 99999, 0.25));
    ASSERT_TRUE(sub.wait_count("lab/s3/1", 1));
    EXPECT_EQ(nlohmann::json::parse(sub.on("lab/s3/1")[0].payload).at("elapsed_ms"), 99999);
    EXPECT_EQ(pub.dropped(), dropped);
    EXPECT_NE(pub.metrics().find("\nvx7_mqtt_dropped_total " + std::to_string(dropped) + "\n"), std::string::npos)
        << pub.metrics();
}

TEST(MqttPublisher, SlowBrokerDoesNotMakeTheQueueGrow)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Publisher pub(config_for(broker.url(), "lab/s4"), nullptr);
    ASSERT_EQ(pub.start(), "");
    ASSERT_TRUE(wait_connected(pub));
    broker.pause(); // accepts bytes until the socket buffers are full, then nothing
    constexpr std::uint64_t kSamples = 200000;
    for (std::uint64_t i = 0; i < kSamples; ++i)
        pub.publish(sample(static_cast<int>(i % 4) + 1, i, 0.125));
    EXPECT_GT(pub.dropped(), 0u);
    EXPECT_EQ(pub.published() + pub.dropped(), kSamples);
    broker.resume();
    // And it carries on (after a reconnection, if the pause outlasted the keep-alive).
    Subscriber sub(broker.port(), "lab/s4/1");
    EXPECT_TRUE(sub.wait(
        [&](auto &m) {
            pub.publish(sample(1, kSamples, 0.5));
            return !m.empty() && m.back().payload.find("\"volts\":0.5") != std::string::npos;
        },
        40s));
}

TEST(MqttPublisher, PasswordFileOnTheBroker)
{
    vx7test::TempDir dir;
    const std::string pw = dir.file("passwd");
    ASSERT_EQ(
        std::system(
            ("mosquitto_passwd -b -c " + pw + " gw7 'right pw' && mosquitto_passwd -b " + pw + " reader r3ad").c_str()),
        0);
    Broker broker(dir.path(), "allow_anonymous false\npassword_file " + pw + "\n");
    Subscriber sub(broker.port(), "lab/s5/#", "reader", "r3ad");

    const std::string good = dir.file("good"), bad = dir.file("bad");
    vx7test::write_file(good, "gw7\nright pw\n");
    vx7test::write_file(bad, "gw7\nwrong pw\n");
    ::chmod(good.c_str(), 0600);
    ::chmod(bad.c_str(), 0600);

    {
        Log log;
        Publisher pub(config_for(broker.url(), "lab/s5", {{"--mqtt-credentials", bad}}), nullptr, log.fn());
        ASSERT_EQ(pub.start(), "");
        // Refused, told clearly, and tried again (after 1 s, then 2 s).
        ASSERT_TRUE(vx7test::poll_until([&] { return log.count("refused the connection") >= 2; }, 8s)) << log.all();
        EXPECT_FALSE(pub.connected());
        EXPECT_GE(log.count("not authorised. (check the user name and password in " + bad + "); trying again in"), 2u)
            << log.all();
        EXPECT_EQ(log.count("connected to the broker"), 0u);
    }
    Publisher pub(config_for(broker.url(), "lab/s5", {{"--mqtt-credentials", good}}), nullptr);
    ASSERT_EQ(pub.start(), "");
    ASSERT_TRUE(wait_connected(pub));
    pub.publish(sample(3, 5, -0.75));
    ASSERT_TRUE(sub.wait_count("lab/s5/3", 1));
    EXPECT_EQ(nlohmann::json::parse(sub.on("lab/s5/3")[0].payload).at("volts"), -0.75);
}

TEST(MqttPublisher, TlsWithTheTestsOwnCertificates)
{
    vx7test::TempDir dir;
    const auto f = [&](const char *name) { return dir.file(name); };
    const std::string script =
        "cd " + dir.path().string() +
        " && exec >openssl.log 2>&1 && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=vx7-test-ca -keyout ca.key -out ca.pem && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' >san.ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext "
        "-out server.pem && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=gw7 -keyout client.key -out client.csr && "
        "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out client.pem";
    ASSERT_EQ(std::system(script.c_str()), 0) << vx7test::read_file(f("openssl.log"));
    const int tls_port = vx7test::free_port();
    Broker broker(dir.path(), "allow_anonymous true\nlistener " + std::to_string(tls_port) + " 127.0.0.1\ncafile " +
                                  f("ca.pem") + "\ncertfile " + f("server.pem") + "\nkeyfile " + f("server.key") +
                                  "\nrequire_certificate true\n");
    Subscriber sub(broker.port(), "lab/s6/#"); // on the plain listener
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(tls_port);

    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> options;
        bool connects;
    } cases[] = {
        {"CA, client certificate and key",
         {{"--mqtt-cafile", f("ca.pem")}, {"--mqtt-cert", f("client.pem")}, {"--mqtt-key", f("client.key")}},
         true},
        {"no client certificate", {{"--mqtt-cafile", f("ca.pem")}}, false},
        {"the system's CAs do not know the server",
         {{"--mqtt-cert", f("client.pem")}, {"--mqtt-key", f("client.key")}},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Log log;
        Publisher pub(config_for(url, "lab/s6", c.options), nullptr, log.fn());
        ASSERT_EQ(pub.start(), "");
        if (c.connects) {
            ASSERT_TRUE(wait_connected(pub)) << log.all();
            pub.publish(sample(4, 1, 2.0));
            ASSERT_TRUE(sub.wait_count("lab/s6/4", 1));
            EXPECT_EQ(nlohmann::json::parse(sub.on("lab/s6/4")[0].payload).at("volts"), 2.0);
        } else {
            // Fails, and keeps trying (libmosquitto's own loop would give up).
            ASSERT_TRUE(vx7test::poll_until([&] { return log.count("trying again in 2 s") >= 1; }, 8s)) << log.all();
            EXPECT_FALSE(pub.connected());
            EXPECT_EQ(log.count("connected to the broker"), 0u);
        }
    }
}

TEST(MqttPublisher, ConfigureOverMqtt)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Subscriber sub(broker.port(), "lab/+/+/set/result");
    std::mutex mu;
    std::vector<std::pair<int, std::string>> calls;
    const auto configure = [&](int channel, const std::string &body) {
        std::lock_guard lock(mu);
        calls.emplace_back(channel, body);
        return std::pair<int, std::string>{200,
                                           R"({"result":0,"meaning":"OK","n":)" + std::to_string(calls.size()) + "}"};
    };
    // Left retained before the gateway starts: refused, not carried out.
    sub.publish("lab/s7/3/set", R"({"input":"gnd"})", true);
    {
        Subscriber stored(broker.port(), "lab/s7/3/set");
        ASSERT_TRUE(stored.wait_count("lab/s7/3/set", 1)) << "the broker keeps it";
    }

    Config allowed = config_for(broker.url(), "lab/s7");
    allowed.allow_configure = true;
    Publisher pub(allowed, configure);
    ASSERT_EQ(pub.start(), "");
    ASSERT_TRUE(wait_connected(pub));
    ASSERT_TRUE(sub.wait_count("lab/s7/3/set/result", 1));
    EXPECT_NE(sub.on("lab/s7/3/set/result")[0].payload.find("retained set messages are not carried out"),
              std::string::npos);
    sub.publish("lab/s7/3/set", "", true); // clears it; the empty message comes through live and is refused
    ASSERT_TRUE(sub.wait_count("lab/s7/3/set/result", 2));

    struct Case {
        std::string channel;
        std::string body;
        const char *answer; // part of the answer
    } cases[] = {
        {"2", R"({"range_volts":1.25})", R"("meaning":"OK","n":1)"},
        {"5", R"({"input":"gnd"})", "channel must be 1-4"},
        {"0", R"({"input":"gnd"})", "channel must be 1-4"},
        {"x", R"({"input":"gnd"})", "channel must be 1-4"},
        {"1", "{bad", "the request body must be a JSON object"},
        {"1", "[1,2]", "the request body must be a JSON object"},
        {"1", R"({"input":")" + std::string(5000, 'a') + "\"}", "larger than 4096 bytes"},
        {"4", R"({"input":"A","freq_hz":100})", R"("meaning":"OK","n":2)"},
    };
    std::size_t answers = sub.messages().size();
    for (const auto &c : cases) {
        const std::string topic = "lab/s7/" + c.channel + "/set";
        sub.publish(topic, c.body);
        ASSERT_TRUE(sub.wait([&](auto &m) { return m.size() > answers; })) << topic << " " << c.body;
        const auto m = sub.messages().back();
        answers = sub.messages().size();
        EXPECT_EQ(m.topic, topic + "/result");
        EXPECT_NE(m.payload.find(c.answer), std::string::npos) << c.channel << " " << c.body << ": " << m.payload;
        EXPECT_TRUE(nlohmann::json::accept(m.payload)) << m.payload;
    }
    {
        std::lock_guard lock(mu);
        ASSERT_EQ(calls.size(), 2u) << "only the two valid requests reach the device";
        EXPECT_EQ(calls[0], (std::pair<int, std::string>{2, R"({"range_volts":1.25})"}));
        EXPECT_EQ(calls[1], (std::pair<int, std::string>{4, R"({"input":"A","freq_hz":100})"}));
    }

    // Without --allow-configure: answered with a refusal, never carried out.
    Publisher locked(config_for(broker.url(), "lab/s8"), configure);
    ASSERT_EQ(locked.start(), "");
    ASSERT_TRUE(wait_connected(locked));
    sub.publish("lab/s8/1/set", R"({"input":"gnd"})");
    ASSERT_TRUE(sub.wait_count("lab/s8/1/set/result", 1));
    EXPECT_NE(sub.on("lab/s8/1/set/result")[0].payload.find("vx7-gateway runs without --allow-configure"),
              std::string::npos);
    std::lock_guard lock(mu);
    EXPECT_EQ(calls.size(), 2u);
}

} // namespace
