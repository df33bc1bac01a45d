// A raw TCP connection to the gateway for tests that send what no HTTP
// client would: partial requests, bytes at a crawl, oversized parts, from a
// chosen loopback address (127.0.0.2 and up count as other peers).
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace vx7test {

class RawConnection {
public:
    explicit RawConnection(int port, const char *source = "127.0.0.1", int rcvbuf = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return;
        if (rcvbuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &a.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RawConnection()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    bool send(std::string_view bytes)
    {
        while (connected_ && !bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return connected_;
    }

    // Reads until `what` has come, the peer closes or `timeout` passes.
    bool read_until(std::string_view what, std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (data_.find(what) == std::string::npos) {
            if (!read_some(end))
                return false;
        }
        return true;
    }

    // Whether the peer closes (EOF or reset) within `timeout`; what comes
    // before is kept.
    bool closed_within(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (read_some(end)) {
        }
        return closed_;
    }

    const std::string &data() const { return data_; }
    // The status of the first response received, 0 if none yet.
    int status() const
    {
        return data_.rfind("HTTP/1.1 ", 0) == 0 && data_.size() >= 12 ? std::atoi(data_.c_str() + 9) : 0;
    }

private:
    // False when the peer closed or the deadline passed.
    bool read_some(std::chrono::steady_clock::time_point end)
    {
        while (!closed_) {
            // At least one look, without waiting once the time is up.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) {
                if (left.count() <= 0)
                    return false;
                continue;
            }
            char buf[16384];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                return false;
            }
            data_.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        return false;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string data_;
};

} // namespace vx7test
