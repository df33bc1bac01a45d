#include "event_streams.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace vx7::gateway {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kGreeting = "retry: 2000\n\n"; // the browser reconnects 2 s after a loss
constexpr const char *kLastChunk = "0\r\n\r\n";

void append_chunk(std::string &out, std::string_view a, std::string_view b = {}, std::string_view c = {})
{
    char size[24];
    const int n = std::snprintf(size, sizeof size, "%zx\r\n", a.size() + b.size() + c.size());
    out.append(size, static_cast<std::size_t>(n));
    out += a;
    out += b;
    out += c;
    out += "\r\n";
}

// send() that never waits; the bytes the socket took, 0 when it is full,
// -1 when the connection failed.
ssize_t send_now(int fd, const char *p, std::size_t n)
{
    ssize_t r;
    do {
        r = ::send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    return r;
}

} // namespace

EventStreams::EventStreams(Hub &hub, std::size_t max_clients, std::size_t max_backlog,
                           std::chrono::milliseconds keep_alive)
    : hub_(hub), max_clients_(max_clients), max_backlog_(max_backlog), keep_alive_(keep_alive)
{
}

EventStreams::~EventStreams()
{
    stop();
}

bool EventStreams::start(std::string &error)
{
    {
        std::lock_guard lock(mu_);
        if (started_ || stopped_) {
            error = "event streams already started";
            return false;
        }
        wake_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_fd_.valid()) {
            error = std::string("cannot create an eventfd: ") + std::strerror(errno);
            return false;
        }
        thread_ = std::thread([this] { run(); });
        started_ = true;
    }
    // Not under mu_: the hub calls on_event with its own lock held, and
    // on_event takes mu_.
    listener_ = hub_.subscribe([this](const Event &e) { on_event(e); });
    return true;
}

void EventStreams::stop()
{
    bool started;
    {
        std::lock_guard lock(mu_);
        if (stopped_)
            return;
        stopped_ = true;
        started = started_;
    }
    if (started)
        hub_.unsubscribe(listener_);
    wake();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mu_);
    for (Client &c : clients_)
        close_client(c, true);
    clients_.clear();
}

bool EventStreams::reserve()
{
    std::size_t n = slots_.load();
    do {
        if (n >= max_clients_)
            return false;
    } while (!slots_.compare_exchange_weak(n, n + 1));
    return true;
}

void EventStreams::release()
{
    --slots_;
}

void EventStreams::adopt(int fd)
{
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::string greeting;
    append_chunk(greeting, kGreeting);
    {
        std::lock_guard lock(mu_);
        if (!stopped_) {
            Client c{fd, {}, Clock::now()};
            if (!send_to(c, greeting, c.last_write))
                c.gone = true;
            clients_.push_back(std::move(c));
            fd = -1;
        }
    }
    if (fd >= 0) {
        Client c{fd, {}, {}};
        close_client(c, false);
        return;
    }
    wake(); // the writer watches the new connection from now on
}

void EventStreams::wake()
{
    if (!wake_fd_.valid())
        return;
    const std::uint64_t one = 1;
    const ssize_t n = ::write(wake_fd_.get(), &one, sizeof one);
    (void)n; // a full counter still wakes the writer
}

bool EventStreams::send_to(Client &c, const std::string &bytes, Clock::time_point now)
{
    if (!c.backlog.empty()) {
        if (c.backlog.size() + bytes.size() > max_backlog_) {
            c.dropped = true;
            return false;
        }
        c.backlog += bytes;
        return true;
    }
    const ssize_t n = send_now(c.fd, bytes.data(), bytes.size());
    if (n < 0)
        return false;
    if (n > 0)
        c.last_write = now;
    const auto sent = static_cast<std::size_t>(n);
    if (sent < bytes.size()) {
        if (bytes.size() - sent > max_backlog_) {
            c.dropped = true;
            return false;
        }
        c.backlog.assign(bytes, sent);
    }
    return true;
}

bool EventStreams::flush(Client &c, Clock::time_point now)
{
    const ssize_t n = send_now(c.fd, c.backlog.data(), c.backlog.size());
    if (n < 0)
        return false;
    if (n > 0) {
        c.backlog.erase(0, static_cast<std::size_t>(n));
        c.last_write = now;
    }
    return true;
}

void EventStreams::on_event(const Event &e)
{
    if (!e.json)
        return;
    frame_.clear();
    append_chunk(frame_, e.kind == Event::Kind::Sample ? "event: sample\ndata: " : "event: status\ndata: ", *e.json,
                 "\n\n");
    const auto now = Clock::now();
    bool wake_writer = false;
    {
        std::lock_guard lock(mu_);
        for (Client &c : clients_) {
            if (c.gone)
                continue;
            const bool had_backlog = !c.backlog.empty();
            if (!send_to(c, frame_, now)) {
                c.gone = true;
                wake_writer = true;
            } else if (!had_backlog && !c.backlog.empty()) {
                wake_writer = true; // to send the rest when the socket drains
            }
        }
    }
    if (wake_writer)
        wake();
}

void EventStreams::close_client(Client &c, bool end_response)
{
    if (c.dropped)
        ++dropped_;
    if (end_response && c.backlog.empty() && !c.gone)
        send_now(c.fd, kLastChunk, std::strlen(kLastChunk));
    ::shutdown(c.fd, SHUT_RDWR);
    ::close(c.fd);
    c.fd = -1;
    --slots_;
}

void EventStreams::run()
{
    std::vector<pollfd> fds;
    char scratch[1024];
    std::string keep_alive;
    append_chunk(keep_alive, ": keep-alive\n\n");
    for (;;) {
        int timeout_ms;
        {
            std::lock_guard lock(mu_);
            if (stopped_)
                return;
            const auto now = Clock::now();
            auto next = now + keep_alive_;
            for (Client &c : clients_) {
                if (!c.gone && now - c.last_write >= keep_alive_) {
                    // Nothing sent for that long: a comment when all was
                    // taken; a client that has taken nothing of its
                    // backlog meanwhile has stalled.
                    if (!c.backlog.empty())
                        c.dropped = true;
                    if (c.dropped || !send_to(c, keep_alive, now))
                        c.gone = true;
                }
                if (!c.gone)
                    next = std::min(next, c.last_write + keep_alive_);
            }
            std::erase_if(clients_, [this](Client &c) {
                if (c.gone)
                    close_client(c, false);
                return c.fd < 0;
            });
            fds.clear();
            fds.push_back({wake_fd_.get(), POLLIN, 0});
            for (const Client &c : clients_)
                fds.push_back({c.fd, static_cast<short>(POLLIN | (c.backlog.empty() ? 0 : POLLOUT)), 0});
            timeout_ms = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(std::max(next - now, Clock::duration::zero())).count());
        }

        if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR)
            return; // cannot happen with valid descriptors; stop() still closes the clients
        if (fds[0].revents != 0) {
            std::uint64_t n;
            while (::read(wake_fd_.get(), &n, sizeof n) > 0) {
            }
        }

        std::lock_guard lock(mu_);
        const auto now = Clock::now();
        // Clients are only ever removed by this thread, and adopt() appends:
        // fds[i] is still clients_[i - 1].
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Client &c = clients_[i - 1];
            const short ev = fds[i].revents;
            if (c.gone || ev == 0)
                continue;
            if (ev & (POLLERR | POLLNVAL)) {
                c.gone = true;
                continue;
            }
            if (ev & (POLLIN | POLLHUP)) {
                // A client has nothing to say on an event stream: what it
                // sends is read and ignored; its end of the connection
                // closing ends the stream.
                const ssize_t n = ::recv(c.fd, scratch, sizeof scratch, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    c.gone = true;
                    continue;
                }
            }
            if ((ev & POLLOUT) && !c.backlog.empty() && !flush(c, now))
                c.gone = true;
        }
    }
}

} // namespace vx7::gateway
