// vx7-gateway's MQTT side end to end: the real driver and gateway in a
// bubblewrap sandbox against the simulated device, a real mosquitto broker on
// loopback, and (for many hosts) a real Prometheus server.
#include "http_client.h"
#include "mqtt_support.h"
#include "sandbox.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cmath>
#include <set>

namespace {

using namespace std::chrono_literals;
using vx7test::Broker;
using vx7test::Message;
using vx7test::Sandbox;
using vx7test::Subscriber;

const std::string kDriver = VX7_TEST_DRIVER;
const std::string kGateway = VX7_TEST_GATEWAY;
constexpr double kLsb = vx7sim::kVoltsPerCount;

// One host: a sandbox with its own simulated device and driver, and gateways.
struct Host {
    static vx7test::SandboxOptions options()
    {
        vx7test::SandboxOptions o;
        o.ro_binds.push_back(VX7_TEST_BINARY_DIR);
        o.ro_binds.push_back(VX7SIM_LIBUSB_DIR);
        o.dirs.push_back("/sim");
        o.dirs.push_back("/etc-vx7");
        o.env.emplace_back("LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR);
        o.env.emplace_back("VX7SIM_STATE", "/sim/state");
        return o;
    }

    Host() : sb(options()), sim(vx7sim::Sim::create(sb.host("/sim/state").string())), dev(sim.add_vx7()) {}

    // Channel 1: a ramp of 0.02 V steps (-1 V .. 0.98 V); 2-4 constants.
    void start_driver()
    {
        sim.set_waveform(dev, 0, vx7sim::Waveform::ramp(1.0, 100));
        sim.set_waveform(dev, 1, vx7sim::Waveform::constant(1.25));
        sim.set_waveform(dev, 2, vx7sim::Waveform::constant(-0.5));
        sim.set_waveform(dev, 3, vx7sim::Waveform::constant(2.0));
        const auto r = sb.run(kDriver + " start");
        ASSERT_EQ(r.status, 1) << r.out << r.err;
        ASSERT_TRUE(sb.wait_for_file("/adc4.adc"));
    }

    // Starts a gateway reading the driver's files; returns its PID inside.
    int gateway(const std::string &args, const std::string &log = "/gateway.log")
    {
        const auto r = sb.run(kGateway + " --channels-dir / " + args + " >" + log + " 2>&1 & echo $!");
        EXPECT_EQ(r.status, 0) << r.err;
        return std::atoi(r.out.c_str());
    }
    void signal(int pid, const char *sig) { sb.run("kill -" + std::string(sig) + " " + std::to_string(pid)); }

    Sandbox sb;
    vx7sim::Sim sim;
    int dev;
};

std::vector<nlohmann::json> payloads(const std::vector<Message> &messages)
{
    std::vector<nlohmann::json> r;
    for (const auto &m : messages)
        r.push_back(nlohmann::json::parse(m.payload));
    return r;
}

// The sandboxes share the host's name, and with it the default client id:
// each gateway gets its own (a second client with the same id would take
// over the first one's connection).
std::string mqtt_args(const Broker &broker, const std::string &prefix)
{
    return "--mqtt " + broker.url() + " --mqtt-prefix " + prefix + " --mqtt-client-id gw-" + prefix;
}

TEST(MqttEndToEnd, EverySampleInOrderRetainedLatestAndWill)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Subscriber sub(broker.port(), "lab/h1/#");
    Host host;
    host.start_driver();
    const int gw = host.gateway("--listen none " + mqtt_args(broker, "lab/h1"));
    ASSERT_TRUE(sub.wait_count("lab/h1/status", 1)) << host.sb.read("/gateway.log");
    EXPECT_EQ(sub.on("lab/h1/status")[0].payload, "online");

    ASSERT_TRUE(sub.wait_count("lab/h1/1", 100, 15s)) << host.sb.read("/gateway.log");
    // The ramp: every sample of channel 1 is the previous one plus 0.02 V
    // (or the wrap from 0.98 V to -1 V); a lost, repeated or reordered
    // sample breaks the chain.
    const auto ramp = payloads(sub.on("lab/h1/1"));
    for (std::size_t k = 1; k < ramp.size(); ++k) {
        const double step = ramp[k].at("volts").get<double>() - ramp[k - 1].at("volts").get<double>();
        EXPECT_TRUE(std::fabs(step - 0.02) < 4 * kLsb || std::fabs(step + 1.98) < 4 * kLsb)
            << "#" << k << ": " << ramp[k - 1] << " -> " << ramp[k];
        EXPECT_GT(ramp[k].at("elapsed_ms").get<std::uint64_t>(), ramp[k - 1].at("elapsed_ms").get<std::uint64_t>());
        EXPECT_GE(ramp[k].at("time").get<std::string>(), ramp[k - 1].at("time").get<std::string>());
    }
    const double constants[] = {1.25, -0.5, 2.0};
    for (int ch = 2; ch <= 4; ++ch) {
        const auto got = payloads(sub.on("lab/h1/" + std::to_string(ch)));
        ASSERT_GT(got.size(), 50u) << ch;
        for (const auto &j : got)
            ASSERT_NEAR(j.at("volts").get<double>(), constants[ch - 2], kLsb) << ch;
        const std::string t = got[0].at("time");
        EXPECT_EQ(t.size(), 27u) << t;
        EXPECT_EQ(t.back(), 'Z') << t;
    }

    // A new subscriber gets each channel's latest value and the status at once.
    Subscriber late(broker.port(), "lab/h1/+/last");
    ASSERT_TRUE(late.wait([](auto &m) { return m.size() >= 4; }));
    std::set<std::string> topics;
    for (const auto &m : late.messages()) {
        if (!m.retain)
            continue; // live updates after the retained ones
        topics.insert(m.topic);
        EXPECT_FALSE(nlohmann::json::parse(m.payload).at("volts").is_null());
    }
    EXPECT_EQ(topics, (std::set<std::string>{"lab/h1/1/last", "lab/h1/2/last", "lab/h1/3/last", "lab/h1/4/last"}));

    // The driver stops: every channel says "no value" (null), retained too.
    ASSERT_EQ(host.sb.run(kDriver + " stop").status, 1);
    for (int ch = 1; ch <= 4; ++ch) {
        const std::string topic = "lab/h1/" + std::to_string(ch);
        ASSERT_TRUE(sub.wait([&](auto &) {
            const auto m = sub.on(topic);
            return !m.empty() && nlohmann::json::parse(m.back().payload).at("volts").is_null();
        })) << topic;
    }
    Subscriber after_stop(broker.port(), "lab/h1/2/last");
    ASSERT_TRUE(after_stop.wait_count("lab/h1/2/last", 1));
    EXPECT_TRUE(nlohmann::json::parse(after_stop.messages()[0].payload).at("volts").is_null());

    // Killed: the broker's will says "offline".
    host.signal(gw, "KILL");
    ASSERT_TRUE(sub.wait_count("lab/h1/status", 2));
    EXPECT_EQ(sub.on("lab/h1/status").back().payload, "offline");
}

TEST(MqttEndToEnd, BrokerStoppedFiveSecondsThenStartedAgain)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Host host;
    host.start_driver();
    const int port = vx7test::free_port();
    const int gw = host.gateway("--listen 127.0.0.1:" + std::to_string(port) + " " + mqtt_args(broker, "lab/h2"));
    vx7test::HttpClient http("127.0.0.1", port);
    const auto metric = [&](const std::string &name) {
        const auto r = http.Get("/metrics");
        if (!r || r->status != 200)
            return -1.0;
        const auto at = r->body.find("\n" + name + " ");
        return at == std::string::npos ? -1.0 : std::strtod(r->body.c_str() + at + name.size() + 2, nullptr);
    };
    ASSERT_TRUE(vx7test::poll_until([&] { return metric("vx7_mqtt_connected") == 1.0; }, 5s))
        << host.sb.read("/gateway.log");
    // (Samples seen before the first connection count as dropped too.)
    const double dropped_before = metric("vx7_mqtt_dropped_total");
    EXPECT_GE(dropped_before, 0.0);

    // The broker away for 5 s. Once the gateway has seen the connection go
    // (how soon depends on the machine's load), every sample is counted as
    // dropped: about 100 a second.
    const auto stopped = std::chrono::steady_clock::now();
    broker.stop();
    ASSERT_TRUE(vx7test::poll_until([&] { return metric("vx7_mqtt_connected") == 0.0; }, 4s))
        << "HTTP keeps serving while the broker is away, and says it is";
    const double dropped_at_loss = metric("vx7_mqtt_dropped_total");
    const auto loss_seen = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(std::max(stopped + 5s, loss_seen + 2s));
    const double dropped = metric("vx7_mqtt_dropped_total");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loss_seen).count();
    EXPECT_GE(dropped_at_loss, dropped_before);
    EXPECT_GT(dropped - dropped_at_loss, 30.0 * seconds) << "about 100 samples a second are dropped";
    EXPECT_TRUE(host.sb.alive(gw));

    broker.start();
    Subscriber sub(broker.port(), "lab/h2/1");
    ASSERT_TRUE(sub.wait_count("lab/h2/1", 50, 40s)) << host.sb.read("/gateway.log");
    EXPECT_EQ(metric("vx7_mqtt_connected"), 1.0);
    EXPECT_GE(metric("vx7_mqtt_dropped_total"), dropped);
    const std::string log = host.sb.read("/gateway.log");
    EXPECT_NE(log.find("lost the connection to the broker"), std::string::npos) << log;
    EXPECT_NE(log.find("trying again in"), std::string::npos) << log;
    host.signal(gw, "TERM");
    EXPECT_EQ(host.sb.wait_exit(gw), 0);
}

TEST(MqttEndToEnd, PasswordFileAndTls)
{
    vx7test::TempDir dir;
    const std::string d = dir.path().string();
    const std::string script =
        "cd " + d +
        " && exec >setup.log 2>&1 && "
        "mosquitto_passwd -b -c passwd gw 'gw pw' && mosquitto_passwd -b passwd reader r && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=vx7-test-ca -keyout ca.key -out ca.pem && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' >san.ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext "
        "-out server.pem";
    ASSERT_EQ(std::system(script.c_str()), 0) << vx7test::read_file(d + "/setup.log");
    const int tls_port = vx7test::free_port();
    Broker broker(dir.path(), "allow_anonymous false\npassword_file " + d + "/passwd\nlistener " +
                                  std::to_string(tls_port) + " 127.0.0.1\ncafile " + d + "/ca.pem\ncertfile " + d +
                                  "/server.pem\nkeyfile " + d + "/server.key\n");
    Subscriber sub(broker.port(), "lab/#", "reader", "r");

    Host host;
    host.start_driver();
    host.sb.write("/etc-vx7/good", "gw\ngw pw\n");
    host.sb.write("/etc-vx7/bad", "gw\nnot it\n");
    host.sb.write("/etc-vx7/ca.pem", vx7test::read_file(d + "/ca.pem"));
    ::chmod(host.sb.host("/etc-vx7/good").c_str(), 0600);
    ::chmod(host.sb.host("/etc-vx7/bad").c_str(), 0600);

    // A wrong password: a clear message, and the gateway keeps trying.
    host.gateway("--listen none " + mqtt_args(broker, "lab/bad") + " --mqtt-credentials /etc-vx7/bad", "/bad.log");
    // TLS, with the password from the file.
    host.gateway("--listen none --mqtt mqtts://127.0.0.1:" + std::to_string(tls_port) +
                     " --mqtt-prefix lab/tls --mqtt-client-id gw-tls --mqtt-credentials /etc-vx7/good --mqtt-cafile "
                     "/etc-vx7/ca.pem",
                 "/tls.log");
    ASSERT_TRUE(sub.wait_count("lab/tls/2", 20)) << host.sb.read("/tls.log");
    EXPECT_NEAR(nlohmann::json::parse(sub.on("lab/tls/2").back().payload).at("volts").get<double>(), 1.25, kLsb);
    EXPECT_EQ(sub.on("lab/tls/status")[0].payload, "online");

    ASSERT_TRUE(vx7test::poll_until(
        [&] {
            const std::string log = host.sb.read("/bad.log");
            return log.find("trying again in 2 s") != std::string::npos;
        },
        8s))
        << host.sb.read("/bad.log");
    const std::string bad = host.sb.read("/bad.log");
    EXPECT_NE(bad.find("refused the connection: Connection Refused: not authorised. (check the user name and "
                       "password in /etc-vx7/bad); trying again in 1 s"),
              std::string::npos)
        << bad;
    EXPECT_TRUE(sub.on("lab/bad/status").empty());

    // A credentials file others may read is refused before anything starts.
    ::chmod(host.sb.host("/etc-vx7/good").c_str(), 0644);
    const auto r =
        host.sb.run(kGateway + " --listen none " + mqtt_args(broker, "lab/x") + " --mqtt-credentials /etc-vx7/good");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "vx7-gateway: --mqtt-credentials /etc-vx7/good may be read or changed by others (mode 0644); "
              "it must be for its owner only: chmod 600 /etc-vx7/good (see --help)\n");
}

TEST(MqttEndToEnd, ConfigureOverMqtt)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Subscriber sub(broker.port(), "lab/#");
    Host host;
    host.start_driver();
    host.gateway("--listen none --allow-configure " + mqtt_args(broker, "lab/cfg"), "/cfg.log");
    host.gateway("--listen none " + mqtt_args(broker, "lab/ro"), "/ro.log");
    ASSERT_TRUE(sub.wait_count("lab/cfg/status", 1) && sub.wait_count("lab/ro/status", 1));

    const auto ask = [&](const std::string &topic, const std::string &body) {
        const std::size_t before = sub.on(topic + "/result").size();
        sub.publish(topic, body);
        EXPECT_TRUE(sub.wait_count(topic + "/result", before + 1)) << topic;
        const auto answers = sub.on(topic + "/result");
        return answers.empty() ? nlohmann::json() : nlohmann::json::parse(answers.back().payload);
    };
    const auto accepted_commands = [&] {
        std::size_t n = 0;
        for (const auto &c : host.sim.commands(host.dev))
            n += c.accepted();
        return n;
    };

    // Invalid requests and requests to the gateway without --allow-configure:
    // answered, and nothing reaches the device.
    const std::size_t commands = accepted_commands();
    EXPECT_NE(ask("lab/cfg/2/set", R"({"input":"xyz"})").value("error", "").find("input"), std::string::npos);
    EXPECT_NE(ask("lab/cfg/2/set", "{oops").value("error", "").find("JSON"), std::string::npos);
    EXPECT_NE(ask("lab/cfg/9/set", R"({"input":"gnd"})").value("error", "").find("channel must be 1-4"),
              std::string::npos);
    EXPECT_NE(ask("lab/ro/2/set", R"({"input":"gnd"})").value("error", "").find("--allow-configure"),
              std::string::npos);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(accepted_commands(), commands);
    EXPECT_EQ(host.sim.channel_config(host.dev, 1).applied.input, vx7sim::Input::A);

    // A valid one: the device switches channel 2 to GND, and its samples read 0 V.
    const auto answer = ask("lab/cfg/2/set", R"({"input":"gnd"})");
    EXPECT_EQ(answer.value("result", -1), 0) << answer;
    EXPECT_EQ(answer.value("meaning", ""), "OK") << answer;
    EXPECT_GT(accepted_commands(), commands);
    EXPECT_EQ(host.sim.channel_config(host.dev, 1).applied.input, vx7sim::Input::Gnd);
    EXPECT_TRUE(sub.wait([&](auto &) {
        const auto m = sub.on("lab/cfg/2");
        return !m.empty() && nlohmann::json::parse(m.back().payload).at("volts") == 0.0;
    })) << sub.on("lab/cfg/2").back().payload;
}

TEST(MqttEndToEnd, TwoHostsOneBrokerAndPrometheus)
{
    vx7test::TempDir dir;
    Broker broker(dir.path());
    Subscriber sub(broker.port(), "vx7/#");
    Host a, b;
    a.start_driver();
    b.start_driver();
    b.sim.set_waveform(b.dev, 1, vx7sim::Waveform::constant(-1.75));
    const int port_a = vx7test::free_port(), port_b = vx7test::free_port();
    a.gateway("--listen 127.0.0.1:" + std::to_string(port_a) + " " + mqtt_args(broker, "vx7/stand-a"));
    b.gateway("--listen 127.0.0.1:" + std::to_string(port_b) + " " + mqtt_args(broker, "vx7/stand-b"));

    ASSERT_TRUE(sub.wait_count("vx7/stand-a/2", 10) && sub.wait_count("vx7/stand-b/2", 10))
        << a.sb.read("/gateway.log") << b.sb.read("/gateway.log");
    EXPECT_NEAR(nlohmann::json::parse(sub.on("vx7/stand-a/2").back().payload).at("volts").get<double>(), 1.25, kLsb);
    EXPECT_NEAR(nlohmann::json::parse(sub.on("vx7/stand-b/2").back().payload).at("volts").get<double>(), -1.75, kLsb);

    // Debian's Prometheus server scrapes both gateways.
    const std::string targets =
        "'127.0.0.1:" + std::to_string(port_a) + "', '127.0.0.1:" + std::to_string(port_b) + "'";
    vx7test::write_file(dir.file("prometheus.yml"),
                        "global:\n  scrape_interval: 1s\n"
                        "scrape_configs:\n  - job_name: vx7\n    static_configs:\n"
                        "      - targets: [" +
                            targets + "]\n");
    const int prom_port = vx7test::free_port();
    vx7test::Process prometheus({"prometheus", "--config.file=" + dir.file("prometheus.yml"),
                                 "--storage.tsdb.path=" + dir.file("tsdb"),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)},
                                dir.file("prometheus.log"));
    vx7test::HttpClient prom("127.0.0.1", prom_port);
    std::map<std::string, double> channel2; // instance -> volts of channel 2
    const bool both = vx7test::poll_until(
        [&] {
            const auto r = prom.Get("/api/v1/query?query=vx7_channel_volts");
            if (!r || r->status != 200)
                return false;
            const auto j = nlohmann::json::parse(r->body, nullptr, false);
            if (j.is_discarded() || j.value("status", "") != "success")
                return false;
            channel2.clear();
            for (const auto &series : j["data"]["result"]) {
                if (series["metric"].value("channel", "") == "2")
                    channel2[series["metric"].value("instance", "")] = std::stod(series["value"][1].get<std::string>());
            }
            return channel2.size() == 2;
        },
        30s);
    ASSERT_TRUE(both) << vx7test::read_file(dir.file("prometheus.log"));
    EXPECT_NEAR(channel2.at("127.0.0.1:" + std::to_string(port_a)), 1.25, kLsb);
    EXPECT_NEAR(channel2.at("127.0.0.1:" + std::to_string(port_b)), -1.75, kLsb);
}

} // namespace
