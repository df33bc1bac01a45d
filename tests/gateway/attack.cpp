#include "attack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx7test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void max_into(std::atomic<std::uint64_t> &m, std::uint64_t v)
{
    std::uint64_t old = m.load();
    while (v > old && !m.compare_exchange_weak(old, v)) {
    }
}

// What recv says without waiting: >0 bytes, 0 closed, -1 nothing yet.
ssize_t peek(int fd, char *buf, std::size_t size)
{
    const ssize_t n = ::recv(fd, buf, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return -1;
    return n < 0 ? 0 : n;
}

std::string source_address(int index)
{
    return "127.0.0." + std::to_string(index);
}

} // namespace

int connect_from(const char *source, int port, int rcvbuf)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    if (::poll(&p, 1, 2000) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Attack::Attack(int port) : port_(port) {}

Attack::~Attack()
{
    stop();
}

void Attack::start()
{
    threads_.emplace_back([this] { slowloris(); });
    threads_.emplace_back([this] { idle(); });
    threads_.emplace_back([this] { posts(); });
}

void Attack::stop()
{
    stop_ = true;
    for (auto &t : threads_)
        t.join();
    threads_.clear();
}

Attack::Counts Attack::counts() const
{
    Counts c;
    c.slowloris_closed = slowloris_closed_;
    c.slowloris_answered = slowloris_answered_;
    c.idle_closed = idle_closed_;
    c.connect_failures = connect_failures_;
    c.posts = posts_;
    c.posts_413 = posts_413_;
    c.post_answer_ms_max = static_cast<double>(post_answer_us_max_.load()) / 1000.0;
    c.post_bytes_max = post_bytes_max_;
    return c;
}

void Attack::slowloris()
{
    // A header that never ends: the request line, Host, then field after
    // field, a byte a second.
    const std::string head = "GET /api/v1/channels HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    const std::string more = "X-Slow: still coming\r\n";
    struct Conn {
        int fd = -1;
        std::size_t sent = 0;
    };
    std::vector<Conn> conns(16);
    const std::string source = source_address(2);
    auto next = Clock::now();
    while (!stop_) {
        for (Conn &c : conns) {
            char buf[512];
            const ssize_t n = c.fd < 0 ? 0 : peek(c.fd, buf, sizeof buf);
            if (n > 0)
                ++slowloris_answered_;
            if (c.fd >= 0 && n >= 0) {
                ++slowloris_closed_;
                ::close(c.fd);
                c.fd = -1;
            }
            if (c.fd < 0) {
                c = Conn{connect_from(source.c_str(), port_), 0};
                if (c.fd < 0) {
                    ++connect_failures_;
                    continue;
                }
            }
            const char byte = c.sent < head.size() ? head[c.sent] : more[(c.sent - head.size()) % more.size()];
            if (::send(c.fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1)
                ++c.sent;
        }
        next += 1s;
        while (!stop_ && Clock::now() < next)
            std::this_thread::sleep_for(50ms);
    }
    for (Conn &c : conns) {
        if (c.fd >= 0)
            ::close(c.fd);
    }
}

void Attack::idle()
{
    constexpr int kConnections = 200;
    constexpr int kPerAddress = 50;
    std::vector<int> fds(kConnections, -1);
    const auto source = [](int i) { return source_address(3 + i / kPerAddress); };
    while (!stop_) {
        std::vector<pollfd> ps;
        for (int i = 0; i < kConnections; ++i) {
            if (fds[i] < 0 && (fds[i] = connect_from(source(i).c_str(), port_)) < 0)
                ++connect_failures_;
            ps.push_back({fds[i], POLLIN, 0});
        }
        if (::poll(ps.data(), ps.size(), 100) <= 0)
            continue;
        for (int i = 0; i < kConnections; ++i) {
            char buf[512];
            if (fds[i] >= 0 && (ps[i].revents != 0) && peek(fds[i], buf, sizeof buf) >= 0) {
                ++idle_closed_;
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    for (const int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void Attack::posts()
{
    const std::string head = "POST /api/v1/channels/4/config HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                             "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string chunk = "100000\r\n" + std::string(1 << 20, 'x') + "\r\n";
    const std::string source = source_address(7);
    while (!stop_) {
        const int fd = connect_from(source.c_str(), port_);
        if (fd < 0) {
            ++connect_failures_;
            std::this_thread::sleep_for(10ms);
            continue;
        }
        const auto t0 = Clock::now();
        std::string out = head;
        std::size_t at = 0;
        std::uint64_t body = 0;
        std::string answer;
        // Sends chunk after chunk (300 MiB at most) until the gateway
        // answers, closes, or 5 s pass.
        for (int chunks = 0; !stop_ && Clock::now() - t0 < 5s;) {
            if (at == out.size() && chunks < 300) {
                out = chunk;
                at = 0;
                ++chunks;
            }
            pollfd p{fd, static_cast<short>(POLLIN | (at < out.size() ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[4096];
                const ssize_t n = peek(fd, buf, sizeof buf);
                if (n > 0) {
                    answer.append(buf, static_cast<std::size_t>(n));
                    if (answer.find("\r\n\r\n") != std::string::npos)
                        break;
                    continue;
                }
                if (n == 0)
                    break;
            }
            if (p.revents & POLLOUT) {
                const ssize_t n = ::send(fd, out.data() + at, out.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) {
                    at += static_cast<std::size_t>(n);
                    body += static_cast<std::uint64_t>(n);
                }
            }
        }
        ::close(fd);
        if (!answer.empty()) {
            ++posts_;
            if (answer.rfind("HTTP/1.1 413 ", 0) == 0)
                ++posts_413_;
            max_into(post_answer_us_max_,
                     static_cast<std::uint64_t>(
                         std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count()));
            max_into(post_bytes_max_, body);
        }
    }
}

} // namespace vx7test
