#include "http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <fcntl.h>

#include <cstdint>
#include <limits>

namespace vx7test {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

} // namespace

struct HttpClient::Impl {
    std::string host;
    int port;
    std::chrono::milliseconds connect_timeout{2000};
    std::chrono::milliseconds read_timeout{5000};
    bool keep_alive = false;
    std::string source;
    net::io_context io;
    std::optional<beast::tcp_stream> stream;
    beast::flat_buffer buffer;

    // Runs one asynchronous step to its end.
    template <class Start>
    error_code step(std::chrono::milliseconds timeout, Start start)
    {
        error_code ec = net::error::would_block;
        stream->expires_after(timeout);
        start([&ec](error_code e, std::size_t = 0) { ec = e; });
        io.restart();
        io.run();
        return ec;
    }

    void close()
    {
        if (stream) {
            error_code ec;
            stream->socket().shutdown(tcp::socket::shutdown_both, ec);
            stream->close();
        }
        stream.reset();
        buffer.clear();
    }

    error_code connect()
    {
        close();
        error_code ec;
        const auto address = net::ip::make_address(host, ec);
        if (ec)
            return ec;
        stream.emplace(io);
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
        stream->socket().open(endpoint.protocol(), ec);
        if (!ec)
            ::fcntl(stream->socket().native_handle(), F_SETFD, FD_CLOEXEC);
        if (!ec && !source.empty())
            stream->socket().bind(tcp::endpoint(net::ip::make_address(source, ec), 0), ec);
        if (ec)
            return ec;
        return step(connect_timeout, [&](auto done) { stream->async_connect(endpoint, done); });
    }
};

std::string HttpResponse::get_header_value(const std::string &name) const
{
    for (const auto &[n, v] : headers) {
        if (beast::iequals(n, name))
            return v;
    }
    return {};
}

bool HttpResponse::has_header(const std::string &name) const
{
    for (const auto &h : headers) {
        if (beast::iequals(h.first, name))
            return true;
    }
    return false;
}

HttpClient::HttpClient(std::string host, int port) : impl_(std::make_unique<Impl>())
{
    impl_->host = std::move(host);
    impl_->port = port;
}

HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient &&) noexcept = default;
HttpClient &HttpClient::operator=(HttpClient &&) noexcept = default;

void HttpClient::set_connection_timeout(std::chrono::milliseconds t)
{
    impl_->connect_timeout = t;
}

void HttpClient::set_read_timeout(std::chrono::milliseconds t)
{
    impl_->read_timeout = t;
}

void HttpClient::set_keep_alive(bool on)
{
    impl_->keep_alive = on;
}

void HttpClient::set_source_address(std::string address)
{
    impl_->source = std::move(address);
}

HttpResult HttpClient::Get(const std::string &path, const Headers &headers)
{
    return send("GET", path, headers, {}, {}, {});
}

HttpResult HttpClient::Get(const std::string &path, const ContentReceiver &receiver)
{
    return send("GET", path, {}, {}, {}, receiver);
}

HttpResult HttpClient::Get(const std::string &path, const Headers &headers, const ContentReceiver &receiver)
{
    return send("GET", path, headers, {}, {}, receiver);
}

HttpResult HttpClient::Post(const std::string &path, const std::string &body, const std::string &content_type)
{
    return send("POST", path, {}, body, content_type, {});
}

HttpResult HttpClient::Post(const std::string &path, const Headers &headers, const std::string &body,
                            const std::string &content_type)
{
    return send("POST", path, headers, body, content_type, {});
}

HttpResult HttpClient::send(const std::string &method, const std::string &path, const Headers &headers,
                            const std::string &body, const std::string &content_type, const ContentReceiver &receiver)
{
    // A kept-alive connection may have been closed by the server meanwhile:
    // then once more on a new one.
    const bool reused = impl_->stream && impl_->keep_alive;
    HttpResult r = exchange(method, path, headers, body, content_type, receiver);
    if (!r && reused && r.error().rfind("no answer", 0) == 0)
        r = exchange(method, path, headers, body, content_type, receiver);
    return r;
}

HttpResult HttpClient::exchange(const std::string &method, const std::string &path, const Headers &headers,
                                const std::string &body, const std::string &content_type,
                                const ContentReceiver &receiver)
{
    Impl &c = *impl_;
    if (!c.stream || !c.keep_alive) {
        if (const error_code ec = c.connect())
            return HttpResult("connect: " + ec.message());
    }
    http::request<http::string_body> req;
    req.method_string(method);
    req.target(path);
    req.version(11);
    bool host = false;
    for (const auto &[name, value] : headers) {
        req.insert(name, value);
        host = host || beast::iequals(name, "Host");
    }
    if (!host)
        req.set(http::field::host, c.host + ":" + std::to_string(c.port));
    if (!content_type.empty())
        req.set(http::field::content_type, content_type);
    req.body() = body;
    if (method != "GET" || !body.empty())
        req.prepare_payload();
    req.keep_alive(c.keep_alive);
    if (const error_code ec = c.step(c.read_timeout, [&](auto done) { http::async_write(*c.stream, req, done); })) {
        c.close();
        return HttpResult("no answer: write: " + ec.message());
    }

    http::response_parser<http::buffer_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    if (method == "HEAD")
        parser.skip(true);
    HttpResponse out;
    char buf[16384];
    bool header = false;
    while (!parser.is_done()) {
        parser.get().body().data = buf;
        parser.get().body().size = sizeof buf;
        error_code ec =
            c.step(c.read_timeout, [&](auto done) { http::async_read_some(*c.stream, c.buffer, parser, done); });
        if (ec == http::error::need_buffer)
            ec = {};
        if (ec) {
            c.close();
            return HttpResult((header ? "read: " : "no answer: read: ") + ec.message());
        }
        if (!header && parser.is_header_done()) {
            header = true;
            out.status = static_cast<int>(parser.get().result_int());
            for (const auto &f : parser.get())
                out.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
        }
        const std::size_t n = sizeof buf - parser.get().body().size;
        if (n == 0)
            continue;
        if (receiver && out.status == 200) {
            if (!receiver(buf, n)) {
                c.close();
                return HttpResult(std::move(out));
            }
        } else {
            out.body.append(buf, n);
        }
    }
    if (!c.keep_alive || !parser.keep_alive())
        c.close();
    return HttpResult(std::move(out));
}

} // namespace vx7test
