// The gateway's event-stream clients (GET /api/v1/stream) once their
// response headers are out: every hub event goes to each of them as one
// chunk of the response ("event: sample" or "event: status", then "data:"
// and the event's JSON).
//
// Each event is framed once, on the hub's stream thread, and written there
// to every plain connection that has nothing waiting, without waiting: a
// steady stream costs one send per client and event, and wakes no other
// thread. What a socket does not take at once, and every TLS connection's
// share, waits in that client's backlog for the I/O thread, which sends it
// as the socket drains (one wake-up for whatever comes together). A client
// whose backlog would pass its bound has fallen behind, and one whose socket
// has taken nothing of its backlog for the stall time has stopped reading:
// either is dropped (its connection closed and counted), and neither the
// stream nor the other clients wait for it. The sockets' send buffers are
// kept small so that the backlog, not the kernel, holds what a slow client
// has not taken.
//
// Clients that have had nothing for the keep-alive time (15 s) get a comment,
// so that idle connections show whether they are alive; a client closing its
// end ends its stream; stop() ends every response and closes every
// connection.
//
// Threads: the clients and all their state are guarded by one lock, taken
// by the stream thread for an event and by the I/O thread for each of its
// turns (under the hub's lock on the stream thread; the I/O thread never
// takes the hub's lock while it holds this one). Every operation on a
// connection's stream object (reads, waits, TLS writes, closing) is the I/O
// thread's; the stream thread only sends on a plain connection's socket
// descriptor, which stays open while its client is not gone.
#ifndef VX7_GATEWAY_EVENT_STREAMS_H
#define VX7_GATEWAY_EVENT_STREAMS_H

#include "connections.h"
#include "hub.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace vx7::gateway {

class EventStreams {
public:
    using Clock = std::chrono::steady_clock;
    using Frame = std::shared_ptr<const std::string>;

    static constexpr std::size_t kDefaultBacklog = std::size_t{64} * 1024; // bytes, about 500 events
    static constexpr std::chrono::milliseconds kDefaultKeepAlive{15000};
    static constexpr std::chrono::milliseconds kDefaultStall{30000};
    static constexpr int kDefaultSendBuffer = 16 * 1024; // SO_SNDBUF of a stream's socket

    EventStreams(Hub &hub, boost::asio::io_context &io, std::size_t max_clients,
                 std::size_t max_backlog = kDefaultBacklog, std::chrono::milliseconds keep_alive = kDefaultKeepAlive,
                 std::chrono::milliseconds stall = kDefaultStall, int send_buffer = kDefaultSendBuffer);
    ~EventStreams();
    EventStreams(const EventStreams &) = delete;
    EventStreams &operator=(const EventStreams &) = delete;

    // Listens to the hub. start() and stop() are the owner's, called from
    // one thread (not the I/O thread), while the I/O context runs; the rest
    // may be called from any thread.
    [[nodiscard]] bool start(std::string &error);
    // Ends every client's response, closes the connections and stops
    // listening. Idempotent; clients adopted afterwards are closed at once.
    void stop();

    // A client slot for a connection about to be adopted; false when
    // max_clients are connected or reserved. A reserved slot is either
    // adopted or released.
    [[nodiscard]] bool reserve();
    void release();
    // Takes over a connection (a Beast stream on the I/O context) whose
    // response headers (chunked transfer coding) have been sent, in a
    // reserved slot; `entry` is its place among the open connections.
    template <class Stream>
    void adopt(Stream stream, std::unique_ptr<Connections::Entry> entry = nullptr);

    // Clients connected or about to be.
    std::size_t clients() const { return slots_.load(); }
    // Clients dropped because they fell behind or stopped reading.
    std::uint64_t dropped() const { return dropped_.load(); }

private:
    // One client's connection and what waits for its socket.
    class Client : public std::enable_shared_from_this<Client> {
    public:
        explicit Client(EventStreams &owner) : owner_(owner) {}
        virtual ~Client() = default;
        Client(const Client &) = delete;
        Client &operator=(const Client &) = delete;

        // Sets the socket's options; returns the descriptor the stream thread
        // may send on, or -1.
        virtual int tune(int send_buffer) = 0;
        // Sends from the front of `queue` what the socket takes, passing
        // each piece to taken(); waits for the socket when it is full.
        virtual void write() = 0;
        virtual void read() = 0; // reads (and ignores) until the peer closes
        // Whether the socket is full: a write waits for it.
        virtual bool full(Clock::time_point now) const = 0;
        virtual void deadline(std::chrono::milliseconds d) = 0;
        virtual void close() = 0;

        EventStreams &owner_;
        std::unique_ptr<Connections::Entry> entry;
        int fd = -1; // a plain connection's socket, written on the stream thread; -1: TLS
        std::deque<Frame> queue;
        std::size_t offset = 0; // bytes of queue.front() already taken
        std::size_t queued = 0; // bytes in queue, not yet taken
        bool writing = false;   // a write waits for the socket or its answer
        Clock::time_point write_started{};
        bool started = false; // by add(), on the I/O thread: written from then on
        bool gone = false;
        bool ending = false;
        Clock::time_point last_progress{}; // the socket last took bytes, or the queue filled
        Clock::time_point last_sent{};     // the last frame queued
    };
    template <class Stream>
    class ClientOf;

    void on_event(const Event &e);
    void kick_all();
    void add(const std::shared_ptr<Client> &c);
    void deliver(Client &c, const Frame &f, Clock::time_point now);
    void kick(Client &c);
    // The socket took `n` of `offered` bytes; false when the client is done
    // with (dropped, or its response ended).
    bool taken(Client &c, std::size_t n, std::size_t offered);
    void lost(Client &c);
    void remove(Client &c, bool dropped);
    void retire();
    void sweep();
    void arm();
    void on_io(const std::function<void()> &fn);

    Hub &hub_;
    boost::asio::io_context &io_;
    const std::size_t max_clients_;
    const std::size_t max_backlog_;
    const std::chrono::milliseconds keep_alive_;
    const std::chrono::milliseconds stall_;
    const int send_buffer_;
    const Frame greeting_;
    const Frame keep_alive_frame_;
    const Frame last_chunk_;

    // The clients and their state, kick_posted_ and stopped_.
    std::mutex mu_;
    std::vector<std::shared_ptr<Client>> clients_;
    bool kick_posted_ = false; // kick_all() waits for the I/O thread
    bool stopped_ = false;

    // I/O thread.
    boost::asio::steady_timer timer_;
    bool armed_ = false;

    // Owner's thread.
    bool started_ = false;
    bool stopping_ = false;
    int listener_ = 0;

    std::atomic<std::size_t> slots_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

// A plain TCP connection is written without waiting (the socket in
// non-blocking mode): whatever it takes is known at once, and a steady
// stream costs one send per client and event and nothing else. A TLS
// connection is written through its stream's asynchronous writes.
template <class Stream>
class EventStreams::ClientOf final : public Client {
public:
    static constexpr bool kPlain = std::is_same_v<Stream, boost::beast::tcp_stream>;

    ClientOf(EventStreams &owner, Stream stream) : Client(owner), stream_(std::move(stream)) {}

    int tune(int send_buffer) override
    {
        boost::system::error_code ec;
        auto &s = socket();
        s.set_option(boost::asio::ip::tcp::no_delay(true), ec);
        if (send_buffer > 0)
            s.set_option(boost::asio::socket_base::send_buffer_size(send_buffer), ec);
        if constexpr (kPlain) {
            s.non_blocking(true, ec);
            return s.native_handle();
        }
        return -1;
    }

    void write() override
    {
        write_started = Clock::now();
        if constexpr (kPlain) {
            while (!gone && queued > 0) {
                const std::size_t offered = gather();
                boost::system::error_code ec;
                const std::size_t n = socket().write_some(buffers_, ec);
                if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
                    writing = true;
                    socket().async_wait(boost::asio::socket_base::wait_write,
                                        [self = shared_from_this()](boost::system::error_code e) {
                                            std::lock_guard lock(self->owner_.mu_);
                                            self->writing = false;
                                            if (e)
                                                self->owner_.lost(*self);
                                            else
                                                self->owner_.kick(*self);
                                            self->owner_.retire();
                                        });
                    return;
                }
                if (ec)
                    return owner_.lost(*this);
                if (!owner_.taken(*this, n, offered))
                    return;
            }
        } else {
            const std::size_t offered = gather();
            writing = true;
            stream_.async_write_some(buffers_,
                                     [self = shared_from_this(), offered](boost::system::error_code ec, std::size_t n) {
                                         std::lock_guard lock(self->owner_.mu_);
                                         self->writing = false;
                                         if (ec)
                                             self->owner_.lost(*self);
                                         else if (self->owner_.taken(*self, n, offered))
                                             self->owner_.kick(*self);
                                         self->owner_.retire();
                                     });
        }
    }

    bool full(Clock::time_point now) const override
    {
        // A TLS write's answer comes on a later turn of the I/O thread even
        // when the socket took it all: full only when it has waited a while.
        return writing && (kPlain || now - write_started >= std::chrono::milliseconds(20));
    }

    void read() override
    {
        stream_.async_read_some(boost::asio::buffer(scratch_),
                                [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                                    std::lock_guard lock(self->owner_.mu_);
                                    if (!ec && !self->gone)
                                        return self->read();
                                    self->owner_.lost(*self);
                                    self->owner_.retire();
                                });
    }

    void deadline(std::chrono::milliseconds d) override { boost::beast::get_lowest_layer(stream_).expires_after(d); }

    void close() override
    {
        boost::system::error_code ec;
        socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
        boost::beast::get_lowest_layer(stream_).close();
    }

private:
    static constexpr std::size_t kGather = 32; // frames per write at most

    boost::asio::ip::tcp::socket &socket() { return boost::beast::get_lowest_layer(stream_).socket(); }

    std::shared_ptr<ClientOf> shared_from_this()
    {
        return std::static_pointer_cast<ClientOf>(Client::shared_from_this());
    }

    // The front of the queue as one write's buffers; their bytes.
    std::size_t gather()
    {
        buffers_.clear();
        std::size_t bytes = 0;
        for (const Frame &f : queue) {
            if (buffers_.size() == kGather)
                break;
            buffers_.push_back(boost::asio::buffer(*f) + (buffers_.empty() ? offset : 0));
            bytes += buffers_.back().size();
        }
        return bytes;
    }

    Stream stream_;
    std::vector<boost::asio::const_buffer> buffers_ = std::vector<boost::asio::const_buffer>(kGather);
    std::array<char, 512> scratch_{};
};

template <class Stream>
void EventStreams::adopt(Stream stream, std::unique_ptr<Connections::Entry> entry)
{
    auto c = std::make_shared<ClientOf<Stream>>(*this, std::move(stream));
    if (entry)
        entry->idle(false);
    c->entry = std::move(entry);
    {
        // Events from now on wait for it behind the greeting, until the I/O
        // thread starts it.
        std::lock_guard lock(mu_);
        if (!stopped_) {
            c->last_sent = c->last_progress = Clock::now();
            deliver(*c, greeting_, c->last_sent);
            clients_.push_back(c);
        }
    }
    boost::asio::post(io_, [this, c] { add(c); });
}

} // namespace vx7::gateway

#endif
