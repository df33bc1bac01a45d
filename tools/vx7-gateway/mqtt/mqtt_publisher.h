// vx7-gateway's MQTT side: every sample published to a broker, the latest
// value of each channel and the gateway's status kept retained there, and,
// when allowed, channel configuration taken from the broker.
//
// Topics, under a prefix (default "vx7/<hostname>"):
//   <prefix>/<channel>             every sample, JSON {"time","elapsed_ms","volts"}
//                                  (and "value", "unit" for a configured channel)
//   <prefix>/<channel>/last        the same, retained: the channel's latest sample
//   <prefix>/status                retained "online"; "offline" on a clean stop
//                                  and, through the broker's will, when the
//                                  gateway dies or loses its connection
//   <prefix>/<channel>/set         configuration requests (JSON body of the
//                                  HTTP configure call), answered on
//   <prefix>/<channel>/set/result
//
// The connection is kept by a thread of the publisher: it connects, and after
// a failure or a lost connection tries again after 1, 2, 4, 8, 16, then every
// 30 seconds. While it is not connected, samples are dropped and counted,
// never queued; while connected, at most kMaxPending messages wait in the
// client library, and samples beyond that are dropped and counted too.
#ifndef VX7_GATEWAY_MQTT_PUBLISHER_H
#define VX7_GATEWAY_MQTT_PUBLISHER_H

#include "vx7/stream.h"
#include "vx7samplefmt/sample_lines.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

struct mosquitto;
struct mosquitto_message;

namespace vx7::mqtt {

// What the command-line options say, completed by finish_config().
struct Config {
    bool enabled = false;         // --mqtt given
    std::string host;             // from the URL
    int port = 0;                 // from the URL, or 1883 / 8883
    bool tls = false;             // mqtts://
    std::string prefix;           // --mqtt-prefix; default vx7/<hostname>
    int qos = 0;                  // --mqtt-qos 0|1
    std::string client_id;        // --mqtt-client-id; default vx7-gateway-<hostname>
    std::string credentials_file; // --mqtt-credentials
    std::string username;         // read from the credentials file
    std::string password;
    std::string cafile;                 // --mqtt-cafile
    std::string certfile;               // --mqtt-cert
    std::string keyfile;                // --mqtt-key
    bool allow_configure = false;       // --allow-configure (the gateway's option)
    vx7::lines::ChannelConfig channels; // --channels-config (the gateway's option)
};

// Whether `name` ("--mqtt-qos") is one of the options below; each takes a value.
[[nodiscard]] bool is_option(std::string_view name);
// Takes one option and its value. Returns "" or a one-line message.
[[nodiscard]] std::string set_option(Config &config, std::string_view name, std::string_view value);
// After all options: checks how they go together, fills in the defaults and
// reads the credentials file. Returns "" or a one-line message. Does nothing
// without --mqtt.
[[nodiscard]] std::string finish_config(Config &config);
// The options' lines for --help.
[[nodiscard]] const char *options_help();

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (HOST may be [IPv6]).
[[nodiscard]] std::string parse_url(std::string_view url, std::string &host, int &port, bool &tls);
// The credentials file: the user name on the first line, the password on the
// second (may be empty or missing). Refused unless only its owner may read or
// write it.
[[nodiscard]] std::string read_credentials(const std::string &path, std::string &username, std::string &password);

// The payload of a sample: {"time":"2026-12-08T10:11:12.123456Z",
// "elapsed_ms":N,"volts":X}, volts null for a "no value" sample; for a
// configured channel (`spec`) also "value" (volts x scale + offset, null
// with volts) and "unit".
[[nodiscard]] std::string sample_json(const vx7_sample &sample, const vx7::lines::ChannelSpec *spec = nullptr);
// Wall-clock nanoseconds as ISO 8601 UTC with microseconds: the time of
// vx7ctl record's lines and the gateway's events.
using vx7::lines::iso_time;

// Seconds the publisher waits after a failed connection attempt, given how
// many attempts in a row had failed before it: 1, 2, 4, 8, 16, then 30.
[[nodiscard]] int backoff_seconds(int failures);

// Answers a configuration request: (HTTP-like status, JSON body). Called on
// the publisher's own worker thread, one request at a time.
using ConfigureFn = std::function<std::pair<int, std::string>(int channel, const std::string &body)>;
// Receives one line for the log (connection lost, refused, ...).
using LogFn = std::function<void(const std::string &line)>;

class Publisher {
public:
    static constexpr int kMaxPending = 1000;         // messages waiting in the client library
    static constexpr std::size_t kMaxSetBody = 4096; // same limit as the HTTP body
    static constexpr std::size_t kMaxSetQueue = 8;   // configuration requests waiting

    // `log` defaults to standard error, each line prefixed "vx7-gateway: ".
    Publisher(Config config, ConfigureFn configure, LogFn log = {});
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // Sets up the client (will, credentials, TLS) and starts connecting in
    // the background. Returns "" or a message (for example a TLS file that
    // cannot be used); an unreachable broker is not an error.
    [[nodiscard]] std::string start();
    // Publishes one sample (from one thread at a time); never blocks on the network.
    void publish(const vx7_sample &sample);
    // Publishes "offline" (waiting for it at most `wait_ms`), disconnects and
    // ends the threads. Called by the destructor too.
    void stop(int wait_ms = 2000);

    [[nodiscard]] bool connected() const { return connected_.load(); }
    [[nodiscard]] std::uint64_t dropped() const { return dropped_.load(); }
    [[nodiscard]] std::uint64_t published() const { return published_.load(); }
    // How many times a connection was established.
    [[nodiscard]] std::uint64_t connections() const { return connections_.load(); }
    // vx7_mqtt_connected and vx7_mqtt_dropped_total in the Prometheus text format.
    [[nodiscard]] std::string metrics() const;

    const Config &config() const { return config_; }

private:
    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message);

    void network_loop();
    void configure_loop();
    void handle_set(const std::string &topic, std::string body, bool retained);
    void answer(const std::string &channel_text, const std::string &body);
    bool wait_backoff(int seconds);
    void log(const std::string &line);

    Config config_;
    ConfigureFn configure_;
    LogFn log_;
    mosquitto *mosq_ = nullptr;
    std::string status_topic_;

    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<std::int64_t> pending_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<int> failures_{0}; // connection attempts failed in a row
    std::string last_refusal_;     // network thread only

    std::thread network_;
    std::mutex wake_mu_;
    std::condition_variable wake_;

    std::thread worker_;
    std::mutex set_mu_;
    std::condition_variable set_cv_;
    std::deque<std::pair<std::string, std::string>> set_queue_; // (channel text, body)
};

} // namespace vx7::mqtt

#endif
