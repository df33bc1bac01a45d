// The gateway's open connections, counted in total and per peer address, so
// that no client can take them all: beyond the total the connection idle
// the longest (waiting for a request) is closed to make room, or the new
// one is refused; beyond the per-peer limit the new one is refused.
// Used from the I/O thread only.
#ifndef VX7_GATEWAY_CONNECTIONS_H
#define VX7_GATEWAY_CONNECTIONS_H

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace vx7::gateway {

class Connections : public std::enable_shared_from_this<Connections> {
public:
    using Clock = std::chrono::steady_clock;

    // One open connection; it stops counting when destroyed.
    class Entry {
    public:
        ~Entry();
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;

        // Waiting for a request (may be closed to make room) or not.
        void idle(bool is_idle);
        // How to close the connection when it must make room (it has
        // stopped counting by then) or the server stops.
        void on_close(std::function<void()> close) { close_ = std::move(close); }
        const boost::asio::ip::address &peer() const { return peer_; }

    private:
        friend class Connections;
        Entry(std::shared_ptr<Connections> owner, boost::asio::ip::address peer);

        std::shared_ptr<Connections> owner_; // null once evicted
        boost::asio::ip::address peer_;
        bool idle_ = false;
        Clock::time_point idle_since_{};
        std::function<void()> close_;
    };

    static std::shared_ptr<Connections> make(std::size_t max_total, std::size_t max_per_peer);

    // A new connection from `peer`, or null when it must be refused.
    std::unique_ptr<Entry> admit(const boost::asio::ip::address &peer);
    std::size_t open() const { return entries_.size(); }
    // Closes every connection that said how.
    void close_all();
    std::size_t from(const boost::asio::ip::address &peer) const;

private:
    Connections(std::size_t max_total, std::size_t max_per_peer) : max_total_(max_total), max_per_peer_(max_per_peer) {}
    void forget(Entry &e);
    static boost::asio::ip::address key(const boost::asio::ip::address &peer);

    const std::size_t max_total_;
    const std::size_t max_per_peer_;
    std::vector<Entry *> entries_;
    std::map<boost::asio::ip::address, std::size_t> per_peer_;
};

} // namespace vx7::gateway

#endif
