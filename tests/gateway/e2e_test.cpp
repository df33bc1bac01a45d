// vx7-gateway as users run it: the real driver and the gateway inside a
// bubblewrap sandbox (private /home/dev, own PID namespace) against the
// simulated device; the test talks HTTP to the gateway over loopback, checks
// /metrics with promtool and python3-prometheus-client's parser, and drives
// the dashboard in headless Chromium (dashboard_test.py).
#include "gateway_sandbox.h"
#include "vx7channelconfig/channel_config.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

using namespace vx7gw;

bool is_utc_micro(const std::string &t)
{
    // 2026-12-08T10:11:12.123456Z
    if (t.size() != 27 || t[4] != '-' || t[10] != 'T' || t[19] != '.' || t[26] != 'Z')
        return false;
    return t.find_first_not_of("0123456789", 20) == 26;
}

} // namespace

TEST_F(Gateway, EveryEndpointServesWhatTheDriverPublishes)
{
    ASSERT_TRUE(start_gateway(""));
    nlohmann::json j;
    ASSERT_TRUE(Sandbox::wait_until([&] { return all_four_near(j = channels(), kVolts); })) << j.dump();
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(j["channels"][c]["channel"], c + 1);
        EXPECT_TRUE(j["channels"][c]["elapsed_ms"].is_number_unsigned()) << j.dump();
        EXPECT_LT(j["channels"][c]["age_seconds"].get<double>(), 1.0);
    }

    // Event stream: every channel, elapsed milliseconds rising per channel.
    const auto events =
        stream([](const std::vector<std::pair<std::string, nlohmann::json>> &ev) { return ev.size() >= 60; });
    ASSERT_GE(events.size(), 60u);
    std::map<int, std::uint64_t> last;
    for (const auto &[name, e] : events) {
        ASSERT_EQ(name, "sample") << e.dump();
        const int c = e["channel"].get<int>();
        ASSERT_GE(c, 1);
        ASSERT_LE(c, 4);
        EXPECT_TRUE(is_utc_micro(e["time"].get<std::string>())) << e.dump();
        EXPECT_NEAR(e["volts"].get<double>(), kVolts[c - 1], kLsb);
        const auto ms = e["elapsed_ms"].get<std::uint64_t>();
        if (last.count(c) != 0) {
            EXPECT_GT(ms, last[c]) << e.dump();
        }
        last[c] = ms;
    }
    EXPECT_EQ(last.size(), 4u);

    // History: the record columns, the driver's text, time order.
    auto h = client().Get("/api/v1/history?seconds=5");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->status, 200);
    EXPECT_EQ(h->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
    std::istringstream csv(h->body);
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "time,elapsed_ms,channel,volts");
    std::size_t rows = 0;
    std::string prev_time;
    std::map<int, std::uint64_t> hist_last;
    while (std::getline(csv, line)) {
        std::istringstream f(line);
        std::string time, ms, ch, volts;
        std::getline(f, time, ',');
        std::getline(f, ms, ',');
        std::getline(f, ch, ',');
        std::getline(f, volts, ',');
        ASSERT_TRUE(is_utc_micro(time)) << line;
        EXPECT_GE(time, prev_time);
        prev_time = time;
        const int c = std::stoi(ch);
        char want[40];
        std::snprintf(want, sizeof want, "%.11e", std::strtod(volts.c_str(), nullptr));
        EXPECT_EQ(volts, want) << "not the driver's text: " << line;
        EXPECT_NEAR(std::strtod(volts.c_str(), nullptr), kVolts[c - 1], kLsb) << line;
        if (hist_last.count(c) != 0) {
            EXPECT_GT(std::stoull(ms), hist_last[c]) << line;
        }
        hist_last[c] = std::stoull(ms);
        ++rows;
    }
    EXPECT_GT(rows, 40u);
    for (const char *bad : {"0", "601", "abc", "-1", "1.5"}) {
        auto r = client().Get(std::string("/api/v1/history?seconds=") + bad);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << bad;
    }

    // The page and its assets, with a policy that keeps every request here.
    auto page = client().Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type").rfind("text/html", 0), 0u);
    EXPECT_NE(page->body.find("/assets/uPlot.min.js"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    for (const char *a : {"/assets/uPlot.min.js", "/assets/uPlot.min.css", "/assets/app.js", "/assets/style.css"}) {
        auto r = client().Get(a);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << a;
        EXPECT_GT(r->body.size(), 100u) << a;
    }
    auto missing = client().Get("/assets/nothing.js");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
}

// /metrics through the two parsers Prometheus users have: promtool's lint and
// the client library's text parser, whose values must match the channels.
TEST_F(Gateway, MetricsParseWithPromtoolAndThePythonParser)
{
    // Every sample the gateway has seen came after this: no age is older.
    const auto before_gateway = std::chrono::steady_clock::now();
    ASSERT_TRUE(start_gateway(""));
    ASSERT_TRUE(Sandbox::wait_until([&] { return all_four_near(channels(), kVolts); }));
    auto m = client().Get("/metrics");
    ASSERT_TRUE(m);
    ASSERT_EQ(m->status, 200);
    EXPECT_EQ(m->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    const std::string file = dir_.file("metrics.txt");
    {
        std::FILE *f = std::fopen(file.c_str(), "w");
        std::fwrite(m->body.data(), 1, m->body.size(), f);
        std::fclose(f);
    }
    const Proc lint = run_host(dir_, {"promtool", "check", "metrics"}, file);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;

    const char *parse =
        "import sys, json\n"
        "from prometheus_client.parser import text_string_to_metric_families\n"
        "out = {}\n"
        "for fam in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
        "    for s in fam.samples:\n"
        "        out[s.name + json.dumps(s.labels, sort_keys=True)] = [fam.type, s.value]\n"
        "print(json.dumps(out))\n";
    const Proc p = run_host(dir_, {"/usr/bin/python3", "-c", parse, file});
    ASSERT_EQ(p.status, 0) << p.err;
    const auto j = nlohmann::json::parse(p.out);
    const auto get = [&](const std::string &key) { return j.contains(key) ? j[key] : nlohmann::json(); };
    const double oldest = std::chrono::duration<double>(std::chrono::steady_clock::now() - before_gateway).count();
    for (int c = 1; c <= 4; ++c) {
        const std::string label = "{\"channel\": \"" + std::to_string(c) + "\"}";
        const auto volts = get("vx7_channel_volts" + label);
        ASSERT_TRUE(volts.is_array()) << label << " " << p.out;
        EXPECT_EQ(volts[0], "gauge");
        EXPECT_NEAR(volts[1].get<double>(), kVolts[c - 1], kLsb);
        EXPECT_EQ(get("vx7_channel_sample_age_seconds" + label)[0], "gauge");
        const double age = get("vx7_channel_sample_age_seconds" + label)[1].get<double>();
        EXPECT_GE(age, 0.0) << label;
        EXPECT_LE(age, oldest) << label << ": older than the gateway";
        EXPECT_EQ(get("vx7_samples_total" + label)[0], "counter");
        EXPECT_GT(get("vx7_samples_total" + label)[1].get<double>(), 0);
        EXPECT_EQ(get("vx7_samples_lost_total" + label)[0], "counter");
    }
    EXPECT_EQ(get("vx7_driver_up{}"), nlohmann::json::array({"gauge", 1.0}));
    EXPECT_EQ(get("vx7_stream_late_polls_total{}")[0], "counter");
    EXPECT_EQ(get("vx7_gateway_stream_clients{}"), nlohmann::json::array({"gauge", 0.0}));

    // Driver stopped: down, and the stream says each channel lost its value.
    std::vector<std::pair<std::string, nlohmann::json>> events;
    std::atomic<bool> receiving{false};
    std::thread watcher([&] {
        events = stream(
            [](const std::vector<std::pair<std::string, nlohmann::json>> &ev) {
                int lost = 0;
                for (const auto &e : ev)
                    lost += e.first == "status" && !e.second["has_value"].get<bool>();
                return lost == 4;
            },
            &receiving);
    });
    // The watcher is receiving before the driver stops.
    EXPECT_TRUE(Sandbox::wait_until([&] { return receiving.load(); }));
    const auto r = sb_->run(kDriver + " stop");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    watcher.join();
    int lost = 0;
    for (const auto &e : events)
        lost += e.first == "status" && !e.second["has_value"].get<bool>();
    EXPECT_EQ(lost, 4);
    auto after = client().Get("/metrics");
    ASSERT_TRUE(after);
    EXPECT_NE(after->body.find("\nvx7_driver_up 0\n"), std::string::npos);
    EXPECT_EQ(after->body.find("vx7_channel_volts{"), std::string::npos) << "a value without a driver";
    EXPECT_FALSE(channels()["driver_running"].get<bool>());
}

// With a channel configuration, every output keeps volts and adds the value
// in the channel's unit: the channels JSON (with name, unit, alarm), the
// event stream, the history's value column and /metrics (its label values
// escaped, read back by Prometheus's own parser).
TEST_F(Gateway, ChannelConfigurationReachesEveryOutput)
{
    if (!vx7::channels::available())
        GTEST_SKIP() << "this build reads no channel configuration files (no yaml-cpp)";
    sb_->write("/channels.yaml",
               "channels:\n"
               "  1: {name: Oven, unit: \"\u00b0C\", scale: 100.0, offset: 0.0, max: 50}\n"
               "  2: {name: 'Supply \"p\" \\ 2', unit: bar, scale: 4.0, offset: 2}\n");
    ASSERT_TRUE(start_gateway("--channels-config /channels.yaml"));
    nlohmann::json j;
    ASSERT_TRUE(Sandbox::wait_until([&] { return all_four_near(j = channels(), kVolts); })) << j.dump();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(j["host"], host);
    EXPECT_NEAR(j["channels"][0]["value"].get<double>(), 100.0, 100 * kLsb);
    EXPECT_EQ(j["channels"][1]["name"], "Supply \"p\" \\ 2");

    const auto events =
        stream([](const std::vector<std::pair<std::string, nlohmann::json>> &ev) { return ev.size() >= 20; });
    std::set<int> scaled;
    for (const auto &[name, e] : events) {
        const int ch = e["channel"].get<int>();
        EXPECT_EQ(e.contains("value"), ch <= 2) << e.dump();
        if (ch == 1) {
            EXPECT_EQ(e["value"].get<double>(), e["volts"].get<double>() * 100.0) << e.dump();
            EXPECT_EQ(e["unit"], "\u00b0C");
            EXPECT_EQ(e["alarm"], "high");
            scaled.insert(ch);
        }
    }
    EXPECT_EQ(scaled.size(), 1u);

    auto h = client().Get("/api/v1/history?seconds=5");
    ASSERT_TRUE(h);
    std::istringstream csv(h->body);
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "time,elapsed_ms,channel,volts,value");
    const double scale[4] = {100.0, 4.0, 1.0, 1.0}, offset[4] = {0.0, 2.0, 0.0, 0.0};
    std::size_t rows = 0;
    while (std::getline(csv, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');)
            f.push_back(x);
        ASSERT_EQ(f.size(), 5u) << line;
        const int ch = std::stoi(f[2]);
        char want[40];
        std::snprintf(want, sizeof want, "%.11e", std::strtod(f[3].c_str(), nullptr) * scale[ch - 1] + offset[ch - 1]);
        EXPECT_EQ(f[4], want) << line;
        ++rows;
    }
    EXPECT_GT(rows, 10u);

    auto m = client().Get("/metrics");
    ASSERT_TRUE(m);
    const std::string file = dir_.file("metrics.txt");
    {
        std::FILE *f = std::fopen(file.c_str(), "w");
        std::fwrite(m->body.data(), 1, m->body.size(), f);
        std::fclose(f);
    }
    const Proc lint = run_host(dir_, {"promtool", "check", "metrics"}, file);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    const char *parse =
        "import sys, json\n"
        "from prometheus_client.parser import text_string_to_metric_families\n"
        "out = []\n"
        "for fam in text_string_to_metric_families(open(sys.argv[1], encoding='utf-8').read()):\n"
        "    if fam.name in ('vx7_channel_value', 'vx7_channel_alarm'):\n"
        "        out += [[s.name, s.labels, s.value] for s in fam.samples]\n"
        "print(json.dumps(out))\n";
    const Proc p = run_host(dir_, {"/usr/bin/python3", "-c", parse, file});
    ASSERT_EQ(p.status, 0) << p.err;
    const auto got = nlohmann::json::parse(p.out);
    ASSERT_EQ(got.size(), 3u) << p.out;
    EXPECT_EQ(got[0][0], "vx7_channel_value");
    EXPECT_EQ(got[0][1], nlohmann::json({{"channel", "1"}, {"name", "Oven"}, {"unit", "\u00b0C"}}));
    EXPECT_NEAR(got[0][2].get<double>(), 100.0, 100 * kLsb);
    EXPECT_EQ(got[1][1], nlohmann::json({{"channel", "2"}, {"name", "Supply \"p\" \\ 2"}, {"unit", "bar"}}));
    EXPECT_EQ(got[2], nlohmann::json::array({"vx7_channel_alarm", {{"channel", "1"}}, 1.0}));
}

// A channel file removed, or replaced by a directory, while the driver runs:
// the channel has no value (API and metrics) until the driver writes a file
// there again.
TEST_F(Gateway, ARemovedOrUnusableChannelFileMeansNoValue)
{
    ASSERT_TRUE(start_gateway(""));
    ASSERT_TRUE(Sandbox::wait_until([&] { return all_four_near(channels(), kVolts); }));
    const auto file_is = [&](const char *state) {
        const auto j = channels();
        return j.is_object() && j["channels"][1]["file"] == state && !j["channels"][1]["has_value"].get<bool>() &&
               j["channels"][0]["has_value"].get<bool>();
    };
    const auto metrics = [&] {
        auto m = client().Get("/metrics");
        return m ? m->body : std::string();
    };
    sb_->run("rm /home/dev/vx7/adc2.adc");
    EXPECT_TRUE(Sandbox::wait_until([&] { return file_is("missing"); })) << channels().dump();
    std::string text = metrics();
    EXPECT_EQ(text.find("vx7_channel_volts{channel=\"2\"}"), std::string::npos) << text;
    EXPECT_NE(text.find("vx7_channel_has_value{channel=\"2\"} 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vx7_channel_volts{channel=\"1\"}"), std::string::npos) << text;

    sb_->run("mkdir /home/dev/vx7/adc2.adc");
    EXPECT_TRUE(Sandbox::wait_until([&] { return file_is("unusable"); })) << channels().dump();
    EXPECT_EQ(channels()["channels"][1]["file_error"], "Is a directory");

    // A new driver creates the file again; the channel has a value again.
    sb_->run("rmdir /home/dev/vx7/adc2.adc");
    EXPECT_EQ(sb_->run(kDriver + " restart").status, 1);
    EXPECT_TRUE(Sandbox::wait_until([&] { return all_four_near(channels(), kVolts); })) << channels().dump();
    EXPECT_EQ(channels()["channels"][1]["file"], "ok");
}

TEST_F(Gateway, ConfigureReachesTheDeviceAndTheValueFollows)
{
    ASSERT_TRUE(start_gateway("--allow-configure"));
    ASSERT_TRUE(Sandbox::wait_until([&] { return all_four_near(channels(), kVolts); }));
    sim_->clear_commands(dev_);

    auto r = client().Post("/api/v1/channels/2/config", R"({"input": "GND"})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(nlohmann::json::parse(r->body), nlohmann::json({{"channel", 2}, {"result", 0}, {"meaning", "OK"}}));
    // Input (code 6) to GND (2) for channel 2 (mask bit 1), then apply (7).
    std::vector<std::array<int, 3>> cmds;
    for (const auto &c : sim_->commands(dev_))
        cmds.push_back({c.data[0], c.data[1], c.data[3]});
    EXPECT_EQ(cmds, (std::vector<std::array<int, 3>>{{6, 0x02, 2}, {7, 0x02, 2}}));
    const double gnd[4] = {kVolts[0], 0.0, kVolts[2], kVolts[3]};
    EXPECT_TRUE(Sandbox::wait_until([&] { return all_four_near(channels(), gnd); })) << channels().dump();

    // Refused values never reach the device.
    sim_->clear_commands(dev_);
    r = client().Post("/api/v1/channels/2/config", R"({"range_volts": 9})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(nlohmann::json::parse(r->body)["error"], "range_volts must be 0-2.5 V, not '9'");
    EXPECT_EQ(sim_->command_total(dev_), 0u);

    // A device that refuses: the result code and its words, as a 502.
    sim_->set_open_fails(dev_, true);
    r = client().Post("/api/v1/channels/1/config", R"({"freq_hz": 100})", "application/json");
    sim_->set_open_fails(dev_, false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 502);
    const auto j = nlohmann::json::parse(r->body);
    EXPECT_EQ(j["result"], 1);
    EXPECT_EQ(j["meaning"], "failed open device");
}

TEST_F(Gateway, SigtermEndsStreamsAndExitsZero)
{
    ASSERT_TRUE(start_gateway(""));
    std::atomic<bool> got_sample{false};
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        auto cli = client();
        cli.Get("/api/v1/stream", [&](const char *d, std::size_t n) {
            if (std::string_view(d, n).find("event: sample") != std::string_view::npos)
                got_sample = true;
            return true;
        });
        ended = true;
    });
    ASSERT_TRUE(Sandbox::wait_until([&] { return got_sample.load(); }));
    const auto t0 = std::chrono::steady_clock::now();
    sb_->run("kill -TERM " + std::to_string(gw_pid_));
    const auto status = sb_->wait_exit(gw_pid_, 10s);
    reader.join();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << sb_->read("/gw.err");
    EXPECT_TRUE(ended.load());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_NE(sb_->read("/gw.err").find("vx7-gateway: stopped"), std::string::npos);
    gw_pid_ = -1;
}

// The page in headless Chromium at a desktop's and a phone's size
// (dashboard_test.py says what it checks): one gateway with configuration
// allowed and a channel configuration, one with neither; the script asks
// for the driver to be stopped and started and for the device to fail.
TEST_F(Gateway, DashboardInHeadlessChromium)
{
    if (!vx7::channels::available())
        GTEST_SKIP() << "this build reads no channel configuration files (no yaml-cpp)";
    // Channel 4 a ramp, so that a recording's rows can be told apart.
    sim_->set_waveform(dev_, 3, vx7sim::Waveform::ramp(0.5, 1000), vx7sim::Input::A);
    sb_->write("/channels.yaml",
               "channels:\n"
               "  1: {name: Oven, unit: \"\u00b0C\", scale: 100.0, max: 50}\n"
               "  2: {name: Supply pressure, unit: bar, scale: 4.0, offset: 2}\n");
    ASSERT_TRUE(start_gateway("--allow-configure --channels-config /channels.yaml"));
    int plain_port = 0;
    ASSERT_TRUE(start_gateway("", "/gw2", gw2_pid_, plain_port));
    ASSERT_TRUE(Sandbox::wait_until([&] {
        const auto j = channels();
        return j.is_object() && j["channels"][3]["has_value"].get<bool>() && j["driver_running"].get<bool>();
    }));
    sim_->clear_commands(dev_);
    const auto answer = [&](const std::string &request) -> std::string {
        if (request == "stop-driver" || request == "start-driver" || request == "restart-driver") {
            const auto r = sb_->run(kDriver + " " + request.substr(0, request.find('-')));
            return r.status == 1 ? "ok" : "failed: " + r.out + r.err;
        }
        if (request == "open-fails on" || request == "open-fails off") {
            sim_->set_open_fails(dev_, request == "open-fails on");
            return "ok";
        }
        return "unknown request";
    };
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/";
    const Proc p =
        run_interactive(dir_,
                        {"/usr/bin/python3", VX7_TEST_DASHBOARD_PY, "--url", url, "--plain-url",
                         "http://127.0.0.1:" + std::to_string(plain_port) + "/", "--out", VX7_TEST_DASHBOARD_OUT,
                         "--sim-tool", VX7SIM_TOOL, "--sim-state", sb_->host("/sim/state").string(), "--channels",
                         sb_->host("/home/dev/vx7").string()},
                        answer, 240s);
    EXPECT_EQ(p.status, 0) << p.out << p.err;
    std::cout << p.out;
    bool gnd_sent = false;
    for (const auto &c : sim_->commands(dev_))
        gnd_sent = gnd_sent || (c.data[0] == 6 && c.data[1] == 0x04 && c.data[3] == 2);
    EXPECT_TRUE(gnd_sent) << "the page's input change did not reach the device";
}

TEST(GatewayOptions, BadOptionsGetOneLineAndStatus2)
{
    vx7test::TempDir dir;
    const std::string bad_config = dir.file("bad.yaml");
    {
        std::FILE *f = std::fopen(bad_config.c_str(), "w");
        std::fputs("channels:\n  1: {scale: x}\n", f);
        std::fclose(f);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--listen", "8077"}, "--listen must be ADDR:PORT"},
        {{"--listen", "127.0.0.1:70000"}, "--listen must be ADDR:PORT"},
        {{"--listen", "127.0.0.1:"}, "--listen must be ADDR:PORT"},
        {{"--listen", "::1:8077"}, "--listen must be ADDR:PORT"},
        {{"--listen"}, "--listen needs ADDR:PORT"},
        {{"--channels-dir"}, "--channels-dir needs"},
        {{"--channels-dir="}, "--channels-dir needs"},
        {{"--channels-config"}, "--channels-config needs a file name"},
        {{"--channels-config", bad_config},
         vx7::channels::available() ? bad_config + ":2: channels.1.scale: must be a number"
                                    : bad_config + ": this build cannot read channel configuration files"},
        {{"--channels-config", dir.file("none.yaml")}, "none.yaml: cannot be read: No such file or directory"},
        {{"--allow-configure=yes"}, "unknown option '--allow-configure=yes'"},
        {{"--frob"}, "unknown option '--frob'"},
        {{"extra"}, "unexpected argument 'extra'"},
        {{"--allow-host", "stand01:8077"}, "--allow-host must be a host name or address without a port"},
        {{"--allow-host", "*.lab"}, "--allow-host must be"},
        {{"--allow-host"}, "--allow-host needs a host name"},
        {{"--web-config"}, "--web-config needs a file"},
        {{"--web-config="}, "--web-config needs a file"},
        {{"--listen", "none", "--mqtt", "mqtt://h", "--web-config", "w.yml"}, "--web-config is for the HTTP side"},
        {{"--mqtt", "mqtt://h", "--mqtt-prefix", "$SYS/vx7"}, "--mqtt-prefix must not start with $"},
        {{"--mqtt", "mqtt://h", "--mqtt-prefix", "lab/\x01"}, "--mqtt-prefix must be UTF-8 text without control"},
        {{"--mqtt", "mqtt://h", "--mqtt-prefix", "lab/\xff"}, "--mqtt-prefix must be UTF-8 text without control"},
    };
    for (const auto &[args, message] : cases) {
        std::vector<std::string> argv{kGateway};
        argv.insert(argv.end(), args.begin(), args.end());
        const Proc p = run_host(dir, argv);
        EXPECT_EQ(p.status, 2) << args[0];
        EXPECT_EQ(p.err.rfind("vx7-gateway: ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find(message), std::string::npos) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
        EXPECT_EQ(p.out, "");
    }
    const Proc help = run_host(dir, {kGateway, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--allow-configure"), std::string::npos);
}
