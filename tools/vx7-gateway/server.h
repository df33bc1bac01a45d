// The gateway's HTTP side: the dashboard page, the JSON and event-stream API
// and the Prometheus metrics, on top of a Hub.
#ifndef VX7_GATEWAY_SERVER_H
#define VX7_GATEWAY_SERVER_H

#include "event_streams.h"
#include "hub.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vx7::gateway {

class HandoverServer;

struct ServerOptions {
    std::string host = "127.0.0.1"; // as given to --listen (IPv6 without brackets)
    int port = 8077;                // 0: any free port (see Server::port)
    bool allow_configure = false;
    std::size_t max_stream_clients = 64;
    std::size_t max_body = 4096; // bytes
    int idle_timeout_s = 5;      // idle keep-alive connections, slow requests
    int send_buffer = 0;         // SO_SNDBUF of connections; 0: the system's
    // Lock files that say whether the driver runs (see driver_running).
    std::string home; // empty: $HOME
};

// Whether a vx7 acquisition driver (vx7_driver or vx7_driver_quiet) holds its
// lock file under `home` (HOME/.log/NAME.pid or HOME/.logNAME.pid).
bool driver_running(const std::string &home);

// Extra lines for /metrics (for example from the MQTT publisher); each
// returns whole exposition-format lines, HELP and TYPE included.
using MetricsSource = std::function<std::string()>;

class Server {
public:
    Server(Hub &hub, ServerOptions options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    void add_metrics(MetricsSource source);

    // Binds the listening socket and starts the event streams' writer; on
    // failure returns false with a message.
    bool bind(std::string &error);
    int port() const { return port_; }
    // Serves until stop(); call after bind, from any thread.
    void run();
    // Ends the event streams and stops serving.
    void stop();
    bool running() const;

    std::size_t stream_clients() const { return streams_.clients(); }
    std::uint64_t dropped_stream_clients() const { return streams_.dropped(); }

    // The text of /metrics now.
    std::string metrics() const;

private:
    bool host_allowed(const std::string &host) const;
    bool origin_allowed(const std::string &origin) const;
    void routes();
    void guard_requests();
    void page_routes();
    void channel_routes();
    void stream_route();
    void history_route();

    Hub &hub_;
    ServerOptions options_;
    std::unique_ptr<HandoverServer> http_;
    EventStreams streams_;
    int port_ = 0;
    std::atomic<std::uint64_t> requests_refused_{0};
    std::vector<MetricsSource> metrics_sources_;
};

} // namespace vx7::gateway

#endif
