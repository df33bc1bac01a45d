// One HTTP connection of the gateway (plain or TLS), from its first byte to
// its close, on the I/O thread: reads each request under the limits, checks
// Host, Origin and the login, answers it (bodies from responses.h and
// configure.h) and hands event streams over to EventStreams.
//
// Limits per connection: the header block within request_timeout of the
// connection or of the previous response (TLS handshake included), the body
// within as long again, nothing at all for idle_timeout after a response;
// request target, header fields and body each bounded, a body refused as
// soon as it passes its bound, whatever its framing, without reading on.
#ifndef VX7_GATEWAY_HTTP_SESSION_H
#define VX7_GATEWAY_HTTP_SESSION_H

#include "connections.h"
#include "event_streams.h"
#include "hub.h"
#include "request_rules.h"
#include "web_config.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vx7::gateway {

struct ServerOptions;

// What connections share; it outlives every connection.
struct ServiceContext {
    Hub &hub;
    EventStreams &streams;
    const ServerOptions &options;
    const HostRules &hosts;
    boost::asio::thread_pool &configure_pool;
    boost::asio::thread_pool &work_pool;
    std::atomic<std::uint64_t> &refused; // requests refused for Host, Origin, the stream limit
    std::function<std::string()> metrics;
    std::atomic<int> histories{0}; // history downloads under way
    std::atomic<int> logins{0};    // password checks waiting or under way
};

// Serves an accepted connection, plain or with TLS as `protection` says.
void serve(ServiceContext &cx, boost::asio::ip::tcp::socket socket, std::unique_ptr<Connections::Entry> entry,
           std::shared_ptr<Protection> protection);

} // namespace vx7::gateway

#endif
