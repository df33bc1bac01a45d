// A small HTTP/1.1 client for tests (Boost.Beast): GET and POST, optional
// keep-alive, a receiver for bodies that never end (event streams), and
// time-outs on every step so that no test hangs on a server.
//
//   vx7test::HttpClient cli("127.0.0.1", port);
//   auto r = cli.Get("/metrics");
//   if (r && r->status == 200) use(r->body);
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vx7test {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    int status = 0;
    Headers headers;
    std::string body;
    // The first value of a header field (any case), or "".
    std::string get_header_value(const std::string &name) const;
    bool has_header(const std::string &name) const;
};

// A response, or why there is none.
class HttpResult {
public:
    HttpResult() = default;
    explicit HttpResult(HttpResponse r) : response_(std::move(r)) {}
    explicit HttpResult(std::string error) : error_(std::move(error)) {}
    explicit operator bool() const { return response_.has_value(); }
    const HttpResponse *operator->() const { return &*response_; }
    const HttpResponse &operator*() const { return *response_; }
    const std::string &error() const { return error_; }

private:
    std::optional<HttpResponse> response_;
    std::string error_;
};

// Gets each piece of a body as it arrives; returning false ends the
// request (and closes the connection).
using ContentReceiver = std::function<bool(const char *data, std::size_t size)>;

class HttpClient {
public:
    HttpClient(std::string host, int port);
    ~HttpClient();
    HttpClient(HttpClient &&) noexcept;
    HttpClient &operator=(HttpClient &&) noexcept;

    void set_connection_timeout(std::chrono::milliseconds t);
    // For each read and write.
    void set_read_timeout(std::chrono::milliseconds t);
    // Keeps the connection for the next request (off by default).
    void set_keep_alive(bool on);
    // The local address to connect from (for example 127.0.0.2).
    void set_source_address(std::string address);

    HttpResult Get(const std::string &path, const Headers &headers = {});
    HttpResult Get(const std::string &path, const ContentReceiver &receiver);
    HttpResult Get(const std::string &path, const Headers &headers, const ContentReceiver &receiver);
    HttpResult Post(const std::string &path, const std::string &body, const std::string &content_type);
    HttpResult Post(const std::string &path, const Headers &headers, const std::string &body,
                    const std::string &content_type);
    // Any method; a Host header in `headers` replaces the default one.
    HttpResult send(const std::string &method, const std::string &path, const Headers &headers, const std::string &body,
                    const std::string &content_type, const ContentReceiver &receiver);

private:
    HttpResult exchange(const std::string &method, const std::string &path, const Headers &headers,
                        const std::string &body, const std::string &content_type, const ContentReceiver &receiver);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vx7test
