#include "http_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx7::gateway {

namespace {

// Waits up to `timeout_ms` for `events` on `fd`; > 0 when they came, 0 on
// time-out, < 0 on error.
int wait_fd(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (p.revents & events) == 0)
        return -1; // POLLERR, POLLHUP or POLLNVAL only
    return r;
}

int to_ms(time_t sec, time_t usec)
{
    return static_cast<int>(sec * 1000 + usec / 1000);
}

void address_of(int fd, bool peer, std::string &ip, int &port)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len)
                       : ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (r != 0 || ::getnameinfo(reinterpret_cast<sockaddr *>(&a), len, host, sizeof host, serv, sizeof serv,
                                NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        ip.clear();
        port = -1;
        return;
    }
    ip = host;
    port = std::atoi(serv);
}

// One connection's byte stream, as cpp-httplib reads and writes it: reads
// wait at most the read time-out and go through a buffer (the library reads
// request lines a byte at a time); writes wait at most the write time-out.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, int read_timeout_ms, int write_timeout_ms)
        : fd_(fd), read_timeout_ms_(read_timeout_ms), write_timeout_ms_(write_timeout_ms)
    {
    }

    bool buffered() const { return off_ < len_; }

    bool is_readable() const override { return buffered() || wait_fd(fd_, POLLIN, read_timeout_ms_) > 0; }
    bool is_writable() const override { return wait_fd(fd_, POLLOUT, write_timeout_ms_) > 0; }

    using httplib::Stream::write;

    ssize_t read(char *ptr, size_t size) override
    {
        if (!buffered()) {
            if (!is_readable())
                return -1;
            off_ = len_ = 0;
            const ssize_t n = recv_some(buf_, sizeof buf_);
            if (n <= 0)
                return n;
            len_ = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min(size, len_ - off_);
        std::memcpy(ptr, buf_ + off_, n);
        off_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n;
        do {
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { address_of(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { address_of(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    ssize_t recv_some(char *p, std::size_t size) const
    {
        ssize_t n;
        do {
            n = ::recv(fd_, p, size, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    const int fd_;
    const int read_timeout_ms_;
    const int write_timeout_ms_;
    char buf_[4096];
    std::size_t off_ = 0;
    std::size_t len_ = 0;
};

// The connection the current worker thread is serving, for hand_over().
struct Current {
    HandoverServer::Adopter adopt;
};
thread_local Current *t_current = nullptr;

} // namespace

bool HandoverServer::hand_over(Adopter adopt)
{
    if (t_current == nullptr || t_current->adopt)
        return false;
    t_current->adopt = std::move(adopt);
    return true;
}

bool HandoverServer::wait_for_request(int fd, bool buffered) const
{
    if (buffered)
        return true;
    // In slices, so that a stopping server is noticed soon.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (svr_sock_ != INVALID_SOCKET) {
        const int r = wait_fd(fd, POLLIN, 100);
        if (r != 0)
            return r > 0;
        if (std::chrono::steady_clock::now() >= until)
            return false;
    }
    return false;
}

bool HandoverServer::process_and_close_socket(socket_t sock)
{
    ConnectionStream stream(sock, to_ms(read_timeout_sec_, read_timeout_usec_),
                            to_ms(write_timeout_sec_, write_timeout_usec_));
    Current current;
    t_current = &current;
    bool ok = false;
    for (std::size_t left = keep_alive_max_count_; left > 0 && wait_for_request(sock, stream.buffered()); --left) {
        bool closed = false;
        ok = process_request(stream, left == 1, closed, nullptr);
        if (!ok || closed || current.adopt)
            break;
    }
    t_current = nullptr;
    if (current.adopt) {
        current.adopt(sock);
        return true;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

} // namespace vx7::gateway
