// The gateway's HTTP side: the dashboard page, the JSON and event-stream API
// and the Prometheus metrics, on top of a Hub; plain HTTP or TLS, with or
// without logins (--web-config).
//
// One I/O thread serves every connection without blocking (Boost.Beast on
// Boost.Asio); work that may take long (a device configuration, the copy of
// the history, a password check) runs on worker threads and its answer is
// posted back. Every client is held to limits (sizes, times, connections):
// none can take the service from the others.
#ifndef VX7_GATEWAY_SERVER_H
#define VX7_GATEWAY_SERVER_H

#include "connections.h"
#include "event_streams.h"
#include "hub.h"
#include "request_rules.h"
#include "web_config.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vx7::gateway {

struct ServerOptions {
    std::string host = "127.0.0.1"; // as given to --listen (IPv6 without brackets)
    int port = 8077;                // 0: any free port (see Server::port)
    bool allow_configure = false;
    std::vector<std::string> allow_hosts; // --allow-host names, beside this machine's
    std::string web_config;               // --web-config FILE; empty: plain HTTP, no logins

    // Limits.
    std::size_t max_stream_clients = 64;
    std::size_t max_body = 4096;                        // bytes, whatever the framing
    std::size_t max_target = 8192;                      // bytes of the request target
    std::size_t max_fields = 8192;                      // bytes of the header fields
    std::size_t max_connections = 512;                  // open at once
    std::size_t max_per_peer = 64;                      // open at once from one address
    std::chrono::milliseconds idle_timeout{5000};       // a connection waiting for a request
    std::chrono::milliseconds request_timeout{10000};   // for the header block, again for the body, for each write
    int send_buffer = EventStreams::kDefaultSendBuffer; // SO_SNDBUF of event-stream connections
    std::size_t stream_backlog = EventStreams::kDefaultBacklog;
    std::chrono::milliseconds stream_stall = EventStreams::kDefaultStall;

    // Lock files that say whether the driver runs (see driver_running).
    std::string home; // empty: the home directory daemon control uses
};

// Whether a vx7 acquisition driver (one of daemon control's driver names)
// holds its lock file under `home` (empty: the home directory daemon control
// uses, HOME or the password database's), where daemon control keeps it.
bool driver_running(const std::string &home);

// Extra lines for /metrics (for example from the MQTT publisher); each
// returns whole exposition-format lines, HELP and TYPE included.
using MetricsSource = std::function<std::string()>;

struct ServiceContext;

class Server {
public:
    Server(Hub &hub, ServerOptions options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    void add_metrics(MetricsSource source);

    // Reads --web-config (when given); false with one line naming the file
    // when it cannot be read, parsed or its certificates used.
    bool load_web_config(std::string &error);
    // Binds the listening socket and starts the event streams; on failure
    // returns false with a message. Loads --web-config first if not done.
    bool bind(std::string &error);
    int port() const { return port_; }
    // Whether the web-config in force asks for TLS, for logins.
    bool tls() const;
    bool logins() const;
    // Serves until stop(); call after bind, from any thread.
    void run();
    // Ends the event streams, closes every connection and makes run() return.
    void stop();
    bool running() const { return running_.load(); }

    std::size_t stream_clients() const { return streams_.clients(); }
    std::uint64_t dropped_stream_clients() const { return streams_.dropped(); }

    // The text of /metrics now.
    std::string metrics() const;

private:
    void accept();
    void start_session(boost::asio::ip::tcp::socket socket);
    void watch_web_config();

    Hub &hub_;
    ServerOptions options_;
    boost::asio::io_context io_{1};
    boost::asio::thread_pool configure_pool_{1}; // vx7_configure calls, one at a time anyway
    boost::asio::thread_pool work_pool_{1};      // history copies, password checks
    EventStreams streams_;
    std::shared_ptr<Connections> connections_;
    std::optional<HostRules> hosts_;
    std::unique_ptr<WebConfigFile> web_config_;
    std::shared_ptr<Protection> plain_;
    std::unique_ptr<ServiceContext> context_;
    boost::asio::ip::tcp::acceptor acceptor_{io_};
    boost::asio::steady_timer accept_retry_{io_};
    boost::asio::steady_timer web_config_timer_{io_};
    int port_ = 0;
    std::atomic<std::uint64_t> requests_refused_{0};
    std::vector<MetricsSource> metrics_sources_;

    std::atomic<bool> running_{false};
    std::mutex run_mu_;
    std::condition_variable run_cv_;
    bool run_done_ = false;
    bool stopped_ = false;
};

} // namespace vx7::gateway

#endif
