// An HTTP server (cpp-httplib's) whose handlers may take a connection over.
//
// cpp-httplib serves each connection on a worker thread until the
// connection ends. An event stream never ends, so a thread per stream client
// would wake for every event of every client. Here a handler may instead
// ask, with hand_over(), that once its response's headers are out the
// connection's socket goes to whoever will write the rest of it; the worker
// thread is then free at once.
//
// Parsing, routing and answering stay cpp-httplib's: this class only runs
// its per-connection loop (keep-alive, time-outs) over a socket stream of its
// own, which is what lets it know the connection's descriptor.
#ifndef VX7_GATEWAY_HTTP_CONNECTION_H
#define VX7_GATEWAY_HTTP_CONNECTION_H

#include <httplib.h>

#include <functional>

namespace vx7::gateway {

class HandoverServer : public httplib::Server {
public:
    // Receives a connection's socket and owns it from then on: it must
    // shut it down and close it.
    using Adopter = std::function<void(int fd)>;

    // From a handler or content provider running for a request of a
    // HandoverServer: when this request's processing ends (the provider
    // returns false to end it), the connection is not closed nor read again
    // but given to `adopt`, on the same thread. Whatever the response wrote
    // before that (its headers) has been sent. Returns false, and keeps
    // nothing, when called from elsewhere.
    [[nodiscard]] static bool hand_over(Adopter adopt);

private:
    bool process_and_close_socket(socket_t sock) override;
    // Waits for the next request on a kept-alive connection: false when the
    // keep-alive time passes, the peer closes, or the server stops.
    bool wait_for_request(int fd, bool buffered) const;
};

} // namespace vx7::gateway

#endif
