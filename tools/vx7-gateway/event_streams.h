// The gateway's event-stream clients (GET /api/v1/stream) once their
// response headers are out: every hub event goes to each of them as one
// chunk of the response ("event: sample" or "event: status", then "data:"
// and the event's JSON).
//
// Each event is framed once and written to every client's socket without
// waiting, on the hub's stream thread, so that a steady stream costs one
// send() per client and event and no thread wake-ups. What a client's socket
// does not take at once waits in that client's backlog, which a writer
// thread of this class sends when the socket drains. A client whose backlog
// would pass its bound has fallen behind: it is dropped (its connection
// closed), and neither the stream nor the other clients wait for it.
//
// The writer thread also closes connections whose peer has gone, sends a
// comment to clients that have had nothing for a keep-alive time (15 s; so
// that idle connections show whether they are alive), drops a client whose
// socket has taken nothing of its backlog for as long, and on stop() ends
// every response and closes every connection.
#ifndef VX7_GATEWAY_EVENT_STREAMS_H
#define VX7_GATEWAY_EVENT_STREAMS_H

#include "hub.h"
#include "vx7common/unique_fd.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx7::gateway {

class EventStreams {
public:
    static constexpr std::size_t kDefaultBacklog = 64 * 1024; // bytes, about 500 events

    static constexpr std::chrono::seconds kDefaultKeepAlive{15};

    EventStreams(Hub &hub, std::size_t max_clients, std::size_t max_backlog = kDefaultBacklog,
                 std::chrono::milliseconds keep_alive = kDefaultKeepAlive);
    ~EventStreams();
    EventStreams(const EventStreams &) = delete;
    EventStreams &operator=(const EventStreams &) = delete;

    // Starts the writer thread and listens to the hub. False, with a
    // message, when it cannot. start() and stop() are the owner's, called
    // from one thread; the rest may be called from any.
    [[nodiscard]] bool start(std::string &error);
    // Ends every client's response, closes the connections and stops
    // listening. Idempotent; clients adopted afterwards are closed at once.
    void stop();

    // A client slot for a connection about to be adopted; false when
    // max_clients are connected or reserved. A reserved slot is either
    // adopted or released.
    [[nodiscard]] bool reserve();
    void release();
    // Takes over a connection whose response headers (chunked transfer
    // coding) have been sent, in a reserved slot; owns `fd` from now on.
    void adopt(int fd);

    // Clients connected or about to be.
    std::size_t clients() const { return slots_.load(); }
    // Clients dropped because they fell behind.
    std::uint64_t dropped() const { return dropped_.load(); }

private:
    struct Client {
        int fd;
        std::string backlog; // bytes not yet taken by the socket
        std::chrono::steady_clock::time_point last_write;
        bool gone = false;    // dropped or failed: the writer thread closes it
        bool dropped = false; // fell behind
    };

    void on_event(const Event &e);
    // Sends `bytes` to `c` after its backlog, without waiting; false when
    // the client must go (its connection failed, or it fell behind). Locked.
    bool send_to(Client &c, const std::string &bytes, std::chrono::steady_clock::time_point now);
    // Sends what the backlog's socket takes now; false when it failed. Locked.
    bool flush(Client &c, std::chrono::steady_clock::time_point now);
    void run();
    void wake();
    void close_client(Client &c, bool end_response);

    Hub &hub_;
    const std::size_t max_clients_;
    const std::size_t max_backlog_;
    const std::chrono::milliseconds keep_alive_;

    std::mutex mu_;
    std::vector<Client> clients_;
    std::string frame_; // the event being sent, framed (stream thread only)
    bool stopped_ = false;
    bool started_ = false;

    UniqueFD wake_fd_; // eventfd: clients added, backlog, gone, stop
    std::thread thread_;
    int listener_ = 0;
    std::atomic<std::size_t> slots_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace vx7::gateway

#endif
