// vx7-gateway: serves what the sample stream sees over HTTP (dashboard page,
// JSON and event-stream API, Prometheus metrics) and, with --mqtt, publishes
// it to an MQTT broker.
#include "configure.h"
#include "hub.h"
#include "mqtt_publisher.h"
#include "request_rules.h"
#include "server.h"
#include "vx7channelconfig/channel_config.h"
#include "vx7settings/settings.h"
#include "vx7stopsignals/stop_signals.h"
#include "vx7version/version.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kHelp[] =
    "Usage: vx7-gateway [OPTIONS]\n"
    "Serves the vx7's samples over HTTP: a dashboard page, a JSON and\n"
    "event-stream API and Prometheus metrics; with --mqtt, also publishes them\n"
    "to an MQTT broker.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT    address to listen on (default 127.0.0.1:8077;\n"
    "                        [::1]:PORT for IPv6; port 0 takes a free port;\n"
    "                        none: no HTTP, with --mqtt)\n"
    "  --allow-configure     accept POST /api/v1/channels/N/config (off by default)\n"
    "                        and, with --mqtt, messages on <prefix>/N/set\n"
    "  --channels-dir DIR    directory holding adc1.adc ... adc4.adc\n"
    "                        (default: the files vx7_read reads)\n"
    "  --allow-host NAME     also accept requests for NAME (Host header), beside\n"
    "                        the listen address, localhost and this machine's\n"
    "                        names; repeatable\n"
    "  --web-config FILE     TLS and logins, in the web-configuration format of\n"
    "                        Prometheus exporters (tls_server_config,\n"
    "                        basic_auth_users); read again when it changes\n"
    "  --channels-config FILE\n"
    "                        names, units, scaling (value = volts x scale +\n"
    "                        offset) and alarm limits of the channels (YAML;\n"
    "                        see the README)\n"
    "  --help                this text\n"
    "  --version             the program's version\n"
    "\n"
    "MQTT (topics <prefix>/N, <prefix>/N/last, <prefix>/status):\n"
    "%s"
    "\n"
    "Endpoints:\n"
    "  GET  /                         the dashboard page\n"
    "  GET  /api/v1/channels          latest value of each channel, driver status\n"
    "  GET  /api/v1/stream            every sample as Server-Sent Events\n"
    "  GET  /api/v1/history?seconds=N the last N seconds as CSV (N at most 600)\n"
    "  GET  /metrics                  Prometheus metrics\n"
    "  POST /api/v1/channels/N/config JSON with freq_hz, range_volts, calibrate,\n"
    "                                 input (with --allow-configure)\n"
    "\n"
    "SIGINT or SIGTERM closes the clients and ends the program with status 0.\n";

[[gnu::format(printf, 1, 2)]] int usage_error(const char *fmt, ...)
{
    std::va_list ap;
    va_start(ap, fmt);
    std::fputs("vx7-gateway: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputs(" (see --help)\n", stderr);
    va_end(ap);
    return kExitUsage;
}

// "ADDR:PORT" or "[V6ADDR]:PORT".
bool parse_listen(std::string_view v, std::string &host, int &port)
{
    const std::size_t colon = v.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    std::string_view h = v.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']')
            return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string_view::npos) {
        return false; // an IPv6 address needs brackets
    }
    unsigned long long p = 0;
    if (!vx7::settings::parse_uint(v.substr(colon + 1), 65535, p))
        return false;
    host = h;
    port = static_cast<int>(p);
    return true;
}

struct Options {
    vx7::gateway::ServerOptions server;
    bool http = true; // --listen none: false
    vx7::mqtt::Config mqtt;
    std::string channels_dir;
    bool have_channels_dir = false;
    std::string channels_config; // --channels-config FILE
    vx7::lines::ChannelConfig channels;
};

// After the options: the channel configuration read, MQTT's settings
// completed, and how the options go together checked; -1 to go on, else
// the exit status.
int finish(Options &o)
{
    o.mqtt.allow_configure = o.server.allow_configure;
    if (!o.channels_config.empty()) {
        if (const std::string e = vx7::channels::load(o.channels_config, o.channels); !e.empty()) {
            std::fprintf(stderr, "vx7-gateway: %s\n", e.c_str());
            return kExitUsage;
        }
    }
    o.mqtt.channels = o.channels;
    if (const std::string e = vx7::mqtt::finish_config(o.mqtt); !e.empty())
        return usage_error("%s", e.c_str());
    if (!o.http && !o.mqtt.enabled)
        return usage_error("--listen none leaves nothing to serve without --mqtt URL");
    if (!o.http && (!o.server.web_config.empty() || !o.server.allow_hosts.empty()))
        return usage_error("%s is for the HTTP side, which --listen none turns off",
                           o.server.web_config.empty() ? "--allow-host" : "--web-config");
    return -1;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        std::string_view value;
        bool has_value = false;
        if (a.rfind("--", 0) == 0) {
            const std::size_t eq = a.find('=');
            if (eq != std::string_view::npos) {
                value = a.substr(eq + 1);
                a = a.substr(0, eq);
                has_value = true;
            }
        }
        const auto take_value = [&](const char *what) {
            if (has_value)
                return true;
            if (i + 1 < argc) {
                value = argv[++i];
                return true;
            }
            usage_error("%s needs %s", std::string(a).c_str(), what);
            return false;
        };
        if (a == "--help") {
            std::printf(kHelp, vx7::mqtt::options_help());
            return kExitOk;
        } else if (a == "--version" && !has_value) {
            std::puts("vx7-gateway " VX7_VERSION);
            return kExitOk;
        } else if (a == "--allow-configure" && !has_value) {
            o.server.allow_configure = true;
        } else if (a == "--listen") {
            if (!take_value("ADDR:PORT"))
                return kExitUsage;
            o.http = value != "none";
            if (o.http && !parse_listen(value, o.server.host, o.server.port))
                return usage_error("--listen must be ADDR:PORT (for example 127.0.0.1:8077), not '%.*s'",
                                   static_cast<int>(value.size()), value.data());
        } else if (a == "--channels-dir") {
            if (!take_value("a directory"))
                return kExitUsage;
            if (value.empty())
                return usage_error("--channels-dir needs a directory");
            o.channels_dir = value;
            o.have_channels_dir = true;
        } else if (a == "--allow-host") {
            if (!take_value("a host name"))
                return kExitUsage;
            if (!vx7::gateway::valid_host_name(value))
                return usage_error("--allow-host must be a host name or address without a port, not '%.*s'",
                                   static_cast<int>(value.size()), value.data());
            o.server.allow_hosts.emplace_back(value);
        } else if (a == "--web-config") {
            if (!take_value("a file"))
                return kExitUsage;
            if (value.empty())
                return usage_error("--web-config needs a file");
            o.server.web_config = value;
        } else if (a == "--channels-config") {
            if (!take_value("a file name"))
                return kExitUsage;
            if (value.empty())
                return usage_error("--channels-config needs a file name");
            o.channels_config = value;
        } else if (vx7::mqtt::is_option(a)) {
            if (!take_value("a value"))
                return kExitUsage;
            if (const std::string e = vx7::mqtt::set_option(o.mqtt, a, value); !e.empty())
                return usage_error("%s", e.c_str());
        } else if (a.rfind("-", 0) == 0) {
            return usage_error("unknown option '%s'", argv[i]);
        } else {
            return usage_error("unexpected argument '%s'", argv[i]);
        }
    }
    return finish(o);
}

// MQTT, when asked for: every sample (and every "no value") handed on from
// the stream thread; publish() only queues and never waits for the network.
// False (with the message printed) when it cannot start.
bool start_mqtt(const Options &o, vx7::gateway::Hub &hub, std::unique_ptr<vx7::mqtt::Publisher> &mqtt, int &listener)
{
    if (!o.mqtt.enabled)
        return true;
    mqtt = std::make_unique<vx7::mqtt::Publisher>(o.mqtt, [](int channel, const std::string &body) {
        const vx7::gateway::Reply r = vx7::gateway::configure_channel(std::to_string(channel), body);
        return std::pair<int, std::string>{r.status, r.body};
    });
    if (const std::string e = mqtt->start(); !e.empty()) {
        std::fprintf(stderr, "vx7-gateway: %s\n", e.c_str());
        return false;
    }
    listener = hub.subscribe([p = mqtt.get()](const vx7::gateway::Event &e) {
        if (e.kind == vx7::gateway::Event::Kind::Sample || e.sample.has_value == 0)
            p->publish(e.sample);
    });
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (const int rc = parse(argc, argv, o); rc >= 0)
        return rc;
    // One malloc arena per thread would cost megabytes of resident memory
    // for nothing: the threads beside the I/O thread allocate little.
    mallopt(M_ARENA_MAX, 2);

    vx7::gateway::Hub hub;
    vx7::gateway::Server server(hub, o.server);
    // TLS and logins as the file asks, or no start at all: never less.
    if (std::string error; o.http && !server.load_web_config(error)) {
        std::fprintf(stderr, "vx7-gateway: %s\n", error.c_str());
        return kExitUsage;
    }

    // From here on SIGINT and SIGTERM wait for the main thread, in every
    // thread started below too.
    vx7::InterruptWait stop_signals;
    std::signal(SIGPIPE, SIG_IGN); // a client that went away is a failed write, not the end

    hub.configure_channels(o.channels);
    // The stream sleeps until the driver wakes it: its own period matters
    // only for files without a sequence counter.
    vx7_stream_options so{};
    if (o.have_channels_dir)
        so.dir = o.channels_dir.c_str();
    if (const int rc = hub.start(so); rc != VX7_STREAM_OK) {
        std::fprintf(stderr, "vx7-gateway: cannot open the sample stream: %s\n", vx7_stream_strerror(rc));
        return kExitFailure;
    }

    std::unique_ptr<vx7::mqtt::Publisher> mqtt;
    int mqtt_listener = 0;
    if (!start_mqtt(o, hub, mqtt, mqtt_listener)) {
        hub.stop();
        return kExitFailure;
    }

    if (mqtt)
        server.add_metrics([p = mqtt.get()] { return p->metrics(); });
    std::thread http;
    if (o.http) {
        std::string error;
        if (!server.bind(error)) {
            std::fprintf(stderr, "vx7-gateway: %s\n", error.c_str());
            if (mqtt)
                hub.unsubscribe(mqtt_listener);
            hub.stop();
            return kExitFailure;
        }
        const bool v6 = o.server.host.find(':') != std::string::npos;
        std::fprintf(stderr, "vx7-gateway: serving %s://%s%s%s:%d/%s%s\n", server.tls() ? "https" : "http",
                     v6 ? "[" : "", o.server.host.c_str(), v6 ? "]" : "", server.port(),
                     o.server.allow_configure ? " (configuration allowed)" : "",
                     server.logins() ? " (logins required)" : "");
        http = std::thread([&] { server.run(); });
        // stop() only reaches a server that is running.
        for (int i = 0; i < 5000 && !server.running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
        std::fprintf(stderr, "vx7-gateway: no HTTP (--listen none)\n");
    }
    while (stop_signals.wait(60000)) {
    }

    // The stream stops first; then the server ends every event stream,
    // closes every connection and waits for its workers. The MQTT side says
    // "offline" last.
    if (mqtt)
        hub.unsubscribe(mqtt_listener);
    hub.stop();
    if (http.joinable()) {
        server.stop();
        http.join();
    }
    if (mqtt)
        mqtt->stop();
    std::fprintf(stderr, "vx7-gateway: stopped\n");
    return kExitOk;
}
