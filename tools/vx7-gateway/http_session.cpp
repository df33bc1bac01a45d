#include "http_session.h"

#include "assets.h"
#include "channel_views.h"
#include "configure.h"
#include "responses.h"
#include "server.h"
#include "vx7settings/settings.h"

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <type_traits>
#include <vector>

namespace vx7::gateway {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using error_code = boost::system::error_code;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

constexpr std::size_t kHistoryRowsPerChunk = 1000; // about 60 KB, a millisecond of formatting
constexpr int kMaxHistories = 4;                   // each holds up to 240 000 rows meanwhile
constexpr int kMaxLoginChecks = 16;
constexpr auto kLinger = std::chrono::seconds(1); // for the rest of a refused request
constexpr std::size_t kLingerBytes = std::size_t{64} * 1024;

const char *const kPagePolicy =
    "default-src 'self'; connect-src 'self'; img-src 'self' data: blob:; "
    "style-src 'self' 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

// The media type of a Content-Type value, without parameters, lower case.
std::string media_type(std::string_view content_type)
{
    std::string t(content_type.substr(0, content_type.find(';')));
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
        t.pop_back();
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return t;
}

template <class Message>
void common_headers(Message &m)
{
    m.set("X-Content-Type-Options", "nosniff");
    m.set("X-Frame-Options", "DENY");
    m.set("Referrer-Policy", "no-referrer");
    m.set(http::field::cache_control, "no-store");
}

// Bytes of the header fields as sent ("Name: value" and CRLF each).
std::size_t fields_size(const Request &req)
{
    std::size_t n = 0;
    for (const auto &f : req)
        n += f.name_string().size() + f.value().size() + 4;
    return n;
}

// Counts while alive.
class Ticket {
public:
    explicit Ticket(std::atomic<int> &n) : n_(n) { ++n_; }
    ~Ticket() { --n_; }
    Ticket(const Ticket &) = delete;
    Ticket &operator=(const Ticket &) = delete;

private:
    std::atomic<int> &n_;
};

template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    Session(ServiceContext &cx, Stream stream, std::unique_ptr<Connections::Entry> entry,
            std::shared_ptr<Protection> protection, std::string local)
        : cx_(cx), o_(cx.options), stream_(std::move(stream)), buffer_(o_.max_target + o_.max_fields + 16384),
          entry_(std::move(entry)), protection_(std::move(protection)), local_(std::move(local))
    {
    }

    void start()
    {
        entry_->on_close([weak = this->weak_from_this()] {
            if (auto s = weak.lock())
                s->abort();
        });
        header_deadline_ = Clock::now() + o_.request_timeout;
        if constexpr (kTls) {
            lowest().expires_at(header_deadline_);
            stream_.async_handshake(net::ssl::stream_base::server, [self = this->shared_from_this()](error_code ec) {
                if (ec)
                    return self->abort();
                self->wait_request();
            });
        } else {
            wait_request();
        }
    }

private:
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(stream_); }
    const Request &req() const { return parser_->get(); }

    // ---- reading a request ----

    void wait_request()
    {
        if (closed_)
            return; // closed meanwhile (to make room, or the server stops)
        entry_->idle(true);
        if (buffer_.size() > 0) // pipelined: the next request is here already
            return read_header();
        buffer_.shrink_to_fit();
        lowest().expires_at(std::min(header_deadline_, Clock::now() + o_.idle_timeout));
        stream_.async_read_some(buffer_.prepare(1024), [self = this->shared_from_this()](error_code ec, std::size_t n) {
            if (ec)
                return self->abort();
            self->buffer_.commit(n);
            self->read_header();
        });
    }

    void read_header()
    {
        if (closed_)
            return;
        entry_->idle(false);
        parser_.emplace();
        // Room for the longest allowed target and fields, and the request
        // line's other words; the parts are checked one by one below.
        parser_->header_limit(static_cast<std::uint32_t>(o_.max_target + o_.max_fields + 64));
        parser_->body_limit(o_.max_body);
        lowest().expires_at(header_deadline_);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](error_code ec, std::size_t) { self->on_header(ec); });
    }

    void on_header(error_code ec)
    {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            // The request line is taken as soon as it is whole: without it,
            // or with a target over its bound, it is the target that is too
            // long.
            const std::size_t target = req().target().size();
            return target == 0 || target > o_.max_target
                       ? refuse(http::status::uri_too_long, too_long_target())
                       : refuse(http::status::request_header_fields_too_large, too_large_fields());
        }
        if (ec)
            return read_failed(ec);
        if (req().target().size() > o_.max_target)
            return refuse(http::status::uri_too_long, too_long_target());
        if (fields_size(req()) > o_.max_fields)
            return refuse(http::status::request_header_fields_too_large, too_large_fields());
        for (const auto f :
             {http::field::host, http::field::origin, http::field::authorization, http::field::content_type}) {
            if (req().count(f) > 1)
                return refuse(http::status::bad_request,
                              "header field " + std::string(http::to_string(f)) + " given more than once");
        }
        head_ = req().method() == http::verb::head;
        guard();
    }

    // A failed read: malformed requests are answered, anything else
    // (time-out, the peer gone) ends the connection.
    void read_failed(error_code ec)
    {
        if (ec == http::error::body_limit)
            return refuse(http::status::payload_too_large,
                          "request body too large (at most " + std::to_string(o_.max_body) + " bytes)");
        if (ec.category() == make_error_code(http::error::bad_method).category() && ec != http::error::end_of_stream &&
            ec != http::error::partial_message)
            return refuse(http::status::bad_request, "malformed request: " + ec.message());
        abort();
    }

    std::string too_long_target() const
    {
        return "request target too long (at most " + std::to_string(o_.max_target) + " bytes)";
    }
    std::string too_large_fields() const
    {
        return "request header fields too large (at most " + std::to_string(o_.max_fields) + " bytes)";
    }

    // Host must name this gateway (DNS rebinding), a request that may change
    // state must come from the page's own origin, and with logins on, every
    // request needs one.
    void guard()
    {
        const std::string_view host = req()[http::field::host];
        if (!cx_.hosts.host_allowed(host, kTls, local_)) {
            ++cx_.refused;
            return refuse(http::status::forbidden, "Host '" + std::string(host) + "' is not this gateway");
        }
        const std::string_view origin = req()[http::field::origin];
        if (!head_ && req().method() != http::verb::get && req().count(http::field::origin) != 0 &&
            !cx_.hosts.origin_allowed(origin, kTls, local_)) {
            ++cx_.refused;
            return refuse(http::status::forbidden, "cross-origin request from '" + std::string(origin) + "' refused");
        }
        if (!protection_->logins())
            return route();
        std::string user;
        std::string password;
        switch (protection_->known(req()[http::field::authorization], user, password)) {
        case Protection::Login::Ok:
            return route();
        case Protection::Login::Refused:
            return unauthorized();
        case Protection::Login::Check:
            break;
        }
        if (cx_.logins.load() >= kMaxLoginChecks)
            return refuse(http::status::service_unavailable, "too many logins being checked; try again");
        // bcrypt takes its time by design: on a worker, the answer posted back.
        auto ticket = std::make_shared<Ticket>(cx_.logins);
        net::post(cx_.work_pool,
                  [self = this->shared_from_this(), ticket, user = std::move(user), password = std::move(password)] {
                      const bool ok = self->protection_->verify(user, password);
                      net::post(self->lowest().get_executor(), [self, ticket, ok] {
                          if (ok)
                              self->route();
                          else
                              self->unauthorized();
                      });
                  });
    }

    void unauthorized()
    {
        respond(http::status::unauthorized, error_json("login required"), "application/json",
                [](Response &r) { r.set(http::field::www_authenticate, "Basic realm=\"vx7\""); });
    }

    void route()
    {
        const Target t = match_route(req().method_string(), req().target());
        std::vector<std::pair<std::string, std::string>> params;
        if (std::string e = parse_query(t.query, params); !e.empty())
            return refuse(http::status::bad_request, e);
        switch (t.route) {
        case Route::Page:
        case Route::Asset: {
            const Asset *a = find_asset(t.route == Route::Page ? "index.html" : t.arg);
            if (a == nullptr)
                return respond(http::status::not_found, error_json("no such asset"));
            const bool page = t.route == Route::Page;
            return respond(http::status::ok, std::string(reinterpret_cast<const char *>(a->data), a->size),
                           a->content_type, [page](Response &r) {
                               // Nothing the page loads or connects to may come from elsewhere.
                               if (page)
                                   r.set("Content-Security-Policy", kPagePolicy);
                           });
        }
        case Route::Channels:
            return respond(http::status::ok, channels_json(cx_.hub.channels(), cx_.hub.channel_config(), host_name(),
                                                           driver_running(o_.home), o_.allow_configure, now_ns()));
        case Route::Metrics:
            return respond(http::status::ok, cx_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
        case Route::Stream:
        case Route::History:
            // Both answers come in chunks, which HTTP/1.0 does not have.
            if (req().version() < 11)
                return refuse(http::status::http_version_not_supported,
                              "the event stream and the history need HTTP/1.1");
            return t.route == Route::Stream ? event_stream() : history(params);
        case Route::Configure:
            return configure(std::string(t.arg));
        case Route::NotFound:
            break;
        }
        respond(http::status::not_found, error_json("no such resource"));
    }

    // ---- answers ----

    // Sends a whole response; the connection then waits for the next
    // request, or closes when the client asked, or this request's body was
    // left unread.
    void respond(http::status status, std::string body, const char *content_type = "application/json",
                 const std::function<void(Response &)> &extra = {})
    {
        auto res = std::make_shared<Response>(status, 11);
        common_headers(*res);
        res->set(http::field::content_type, content_type);
        if (extra)
            extra(*res);
        res->body() = std::move(body);
        const bool keep = keep_alive();
        keep_alive(*res, keep);
        res->prepare_payload();
        if (head_)
            res->body().clear(); // the length stays that of the GET answer
        lowest().expires_after(o_.request_timeout);
        http::async_write(stream_, *res, [self = this->shared_from_this(), res, keep](error_code ec, std::size_t) {
            if (ec)
                return self->abort();
            self->next(keep);
        });
    }

    // An answer after which the connection closes.
    void refuse(http::status status, const std::string &message)
    {
        close_after_ = true;
        respond(status, error_json(message));
    }

    // Answers are HTTP/1.1 whatever the request's version; an HTTP/1.0
    // client that asked to keep its connection is told it is kept.
    template <class Message>
    void keep_alive(Message &m, bool keep) const
    {
        m.keep_alive(keep);
        if (keep && req().version() < 11)
            m.set(http::field::connection, "keep-alive");
    }
    bool keep_alive() const { return !close_after_ && parser_ && parser_->is_done() && req().keep_alive(); }

    void next(bool keep)
    {
        if (!keep)
            return linger();
        parser_.reset();
        head_ = false;
        header_deadline_ = Clock::now() + o_.request_timeout;
        wait_request();
    }

    // Headers for a response whose body follows in chunks (or, for HEAD,
    // does not).
    void send_chunked_head(const char *content_type, const std::function<void(http::fields &)> &extra,
                           std::function<void(error_code)> then)
    {
        auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, 11);
        common_headers(*res);
        res->set(http::field::content_type, content_type);
        if (extra)
            extra(*res);
        keep_alive(*res, keep_alive());
        res->chunked(true);
        auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
        lowest().expires_after(o_.request_timeout);
        http::async_write_header(stream_, *sr,
                                 [self = this->shared_from_this(), res, sr,
                                  then = std::move(then)](error_code ec, std::size_t) { then(ec); });
    }

    void event_stream()
    {
        if (!cx_.streams.reserve()) {
            ++cx_.refused;
            return respond(http::status::service_unavailable, error_json("too many event-stream clients (at most " +
                                                                         std::to_string(o_.max_stream_clients) + ")"));
        }
        const bool head = head_;
        const bool keep = keep_alive();
        send_chunked_head(
            "text/event-stream", [](http::fields &f) { f.set("X-Accel-Buffering", "no"); },
            [self = this->shared_from_this(), head, keep](error_code ec) {
                if (ec || head || self->closed_) {
                    self->cx_.streams.release();
                    return ec ? self->abort() : self->next(keep);
                }
                // From now on the connection is the event streams'.
                self->handed_over_ = true;
                self->lowest().expires_never();
                self->cx_.streams.adopt(std::move(self->stream_), std::move(self->entry_));
            });
    }

    void history(const std::vector<std::pair<std::string, std::string>> &params)
    {
        unsigned long long seconds = Hub::kHistorySeconds;
        for (const auto &[name, value] : params) {
            if (name == "seconds" && (!settings::parse_uint(value, Hub::kHistorySeconds, seconds) || seconds == 0))
                return respond(
                    http::status::bad_request,
                    error_json("seconds must be 1-" + std::to_string(Hub::kHistorySeconds) + ", not '" + value + "'"));
        }
        if (!head_ && cx_.histories.load() >= kMaxHistories)
            return respond(
                http::status::service_unavailable,
                error_json("too many history downloads at once (at most " + std::to_string(kMaxHistories) + ")"));
        if (head_)
            return history_head(nullptr);
        // The copy takes the hub's lock briefly; the rows are then written
        // a chunk at a time, between the other connections' work.
        auto ticket = std::make_shared<Ticket>(cx_.histories);
        net::post(cx_.work_pool, [self = this->shared_from_this(), ticket, seconds] {
            auto rows = std::make_shared<std::vector<HistoryRow>>(self->cx_.hub.history(static_cast<double>(seconds)));
            net::post(self->lowest().get_executor(), [self, ticket, rows] {
                self->history_ticket_ = ticket;
                self->history_head(rows);
            });
        });
    }

    void history_head(std::shared_ptr<std::vector<HistoryRow>> rows)
    {
        const bool keep = keep_alive();
        send_chunked_head(
            "text/csv",
            [](http::fields &f) {
                f.set(http::field::content_disposition, "attachment; filename=\"vx7-history.csv\"");
            },
            [self = this->shared_from_this(), rows, keep](error_code ec) {
                if (ec)
                    return self->abort();
                if (!rows)
                    return self->next(keep);
                self->history_chunk(rows, 0, keep);
            });
    }

    void history_chunk(std::shared_ptr<std::vector<HistoryRow>> rows, std::size_t at, bool keep)
    {
        auto self = this->shared_from_this();
        if (at > rows->size()) {
            history_ticket_.reset();
            lowest().expires_after(o_.request_timeout);
            return net::async_write(stream_, http::make_chunk_last(), [self, keep](error_code ec, std::size_t) {
                if (ec)
                    return self->abort();
                self->next(keep);
            });
        }
        chunk_.clear();
        if (at == 0)
            chunk_ = history_csv_header(cx_.hub.channel_config());
        const std::size_t end = std::min(rows->size(), at + kHistoryRowsPerChunk);
        for (std::size_t i = at; i < end; ++i)
            append_history_csv_line(chunk_, (*rows)[i], cx_.hub.channel_config());
        // Past the end once the last rows are out: then the last chunk.
        const std::size_t next_at = end == rows->size() ? rows->size() + 1 : end;
        if (chunk_.empty())
            return history_chunk(rows, next_at, keep);
        lowest().expires_after(o_.request_timeout);
        net::async_write(stream_, http::make_chunk(net::buffer(chunk_)),
                         [self, rows, next_at, keep](error_code ec, std::size_t) {
                             if (ec)
                                 return self->abort();
                             self->history_chunk(rows, next_at, keep);
                         });
    }

    void configure(std::string channel)
    {
        if (!o_.allow_configure)
            return respond(http::status::forbidden,
                           error_json("configuration is turned off (start vx7-gateway with --allow-configure)"));
        if (media_type(req()[http::field::content_type]) != "application/json")
            return respond(http::status::unsupported_media_type, error_json("Content-Type must be application/json"));
        if (parser_->is_done())
            return run_configure(std::move(channel));
        auto read_body = [self = this->shared_from_this(), channel = std::move(channel)](error_code ec) {
            if (ec)
                return self->abort();
            self->lowest().expires_after(self->o_.request_timeout);
            http::async_read(self->stream_, self->buffer_, *self->parser_, [self, channel](error_code e, std::size_t) {
                if (e)
                    return self->read_failed(e);
                self->run_configure(channel);
            });
        };
        if (!beast::iequals(req()[http::field::expect], "100-continue"))
            return read_body({});
        auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
        lowest().expires_after(o_.request_timeout);
        http::async_write(stream_, *cont,
                          [cont, read_body = std::move(read_body)](error_code ec, std::size_t) { read_body(ec); });
    }

    // vx7_configure waits for the device (up to its 5 s time-out): on the
    // configuration worker, the answer posted back.
    void run_configure(std::string channel)
    {
        net::post(
            cx_.configure_pool, [self = this->shared_from_this(), channel = std::move(channel), body = req().body()] {
                Reply r = configure_channel(channel, body);
                net::post(self->lowest().get_executor(),
                          [self, r = std::move(r)] { self->respond(static_cast<http::status>(r.status), r.body); });
            });
    }

    // ---- closing ----

    // Closes after a last answer: what the client still sends is read and
    // dropped for a moment (at most kLingerBytes), so that closing does not
    // reset the connection before the client has read the answer.
    void linger()
    {
        if (closed_)
            return;
        entry_->idle(true); // the first to go when room is needed
        lowest().expires_after(kLinger);
        if constexpr (kTls) {
            stream_.async_shutdown([self = this->shared_from_this()](error_code) { self->abort(); });
        } else {
            error_code ec;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
            buffer_.consume(buffer_.size());
            drain();
        }
    }

    void drain()
    {
        stream_.async_read_some(buffer_.prepare(4096), [self = this->shared_from_this()](error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ >= kLingerBytes)
                return self->abort();
            self->drain();
        });
    }

    void abort()
    {
        if (closed_ || handed_over_)
            return;
        closed_ = true;
        error_code ec;
        lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
        lowest().close();
        entry_.reset();
        history_ticket_.reset();
    }

    ServiceContext &cx_;
    const ServerOptions &o_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::unique_ptr<Connections::Entry> entry_;
    std::shared_ptr<Protection> protection_;
    const std::string local_;
    Clock::time_point header_deadline_{};
    std::shared_ptr<Ticket> history_ticket_;
    std::string chunk_;
    std::size_t drained_ = 0;
    bool head_ = false;
    bool close_after_ = false;
    bool closed_ = false;
    bool handed_over_ = false;
};

} // namespace

void serve(ServiceContext &cx, tcp::socket socket, std::unique_ptr<Connections::Entry> entry,
           std::shared_ptr<Protection> protection)
{
    error_code ec;
    auto local = socket.local_endpoint(ec).address();
    if (local.is_v6() && local.to_v6().is_v4_mapped())
        local = net::ip::make_address_v4(net::ip::v4_mapped, local.to_v6());
    std::string local_text = ec ? std::string() : local.to_string();
    if (net::ssl::context *tls = protection->tls()) {
        using Tls = beast::ssl_stream<beast::tcp_stream>;
        std::make_shared<Session<Tls>>(cx, Tls(beast::tcp_stream(std::move(socket)), *tls), std::move(entry),
                                       std::move(protection), std::move(local_text))
            ->start();
    } else {
        std::make_shared<Session<beast::tcp_stream>>(cx, beast::tcp_stream(std::move(socket)), std::move(entry),
                                                     std::move(protection), std::move(local_text))
            ->start();
    }
}

} // namespace vx7::gateway
