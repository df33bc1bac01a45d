#include "server.h"

#include "assets.h"
#include "channel_views.h"
#include "configure.h"
#include "daemon.h"
#include "http_connection.h"
#include "settings.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>

namespace vx7::gateway {

namespace {

constexpr const char *kDriverPrograms[] = {"vx7_driver", "vx7_driver_quiet"};

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The media type of a Content-Type value, without parameters, lower case.
std::string media_type(const std::string &content_type)
{
    std::string t = content_type.substr(0, content_type.find(';'));
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
        t.pop_back();
    return lower(t);
}

void json_reply(httplib::Response &res, int status, const std::string &body)
{
    res.status = status;
    res.set_content(body, "application/json");
}

} // namespace

bool driver_running(const std::string &home_dir)
{
    std::string home = home_dir;
    if (home.empty()) {
        const char *h = std::getenv("HOME");
        if (h == nullptr || h[0] == '\0')
            return false;
        home = h;
    }
    for (const char *p : kDriverPrograms) {
        // Started by a path, the driver keeps its lock in HOME/.log/; by a
        // bare name, in HOME itself as ".log<name>.pid".
        for (const std::string &lock : {home + "/.log/" + p + ".pid", home + "/.log" + p + ".pid"}) {
            if (lock.size() >= DMN_PATH_SIZE)
                continue;
            long pid = 0;
            if (dmn_lock_state(lock.c_str(), p, &pid) == DMN_LOCK_LIVE)
                return true;
        }
    }
    return false;
}

Server::Server(Hub &hub, ServerOptions options)
    : hub_(hub), options_(std::move(options)), http_(std::make_unique<HandoverServer>()),
      streams_(hub, options_.max_stream_clients)
{
    routes();
}

Server::~Server()
{
    stop();
}

void Server::add_metrics(MetricsSource source)
{
    metrics_sources_.push_back(std::move(source));
}

bool Server::bind(std::string &error)
{
    const int send_buffer = options_.send_buffer;
    http_->set_socket_options([send_buffer](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Connections inherit the listening socket's buffer size.
        if (send_buffer > 0)
            setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        fcntl(sock, F_SETFD, FD_CLOEXEC);
    });
    if (options_.port == 0) {
        port_ = http_->bind_to_any_port(options_.host);
        if (port_ < 0) {
            error = "cannot listen on " + options_.host + " (any port)";
            return false;
        }
    } else {
        if (!http_->bind_to_port(options_.host, options_.port)) {
            error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                    " (address in use, or not an address of this machine)";
            return false;
        }
        port_ = options_.port;
    }
    return streams_.start(error);
}

void Server::run()
{
    http_->listen_after_bind();
}

void Server::stop()
{
    streams_.stop();
    if (http_)
        http_->stop();
}

bool Server::running() const
{
    return http_->is_running();
}

bool Server::host_allowed(const std::string &host_header) const
{
    const std::string host = lower(host_header);
    const std::string port = std::to_string(port_);
    const std::string listen = options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
    for (const std::string &name :
         {lower(listen), std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]")}) {
        if (host == name + ":" + port || (port_ == 80 && host == name))
            return true;
    }
    return false;
}

bool Server::origin_allowed(const std::string &origin) const
{
    const std::string o = lower(origin);
    return o.rfind("http://", 0) == 0 && host_allowed(o.substr(7));
}

std::string Server::metrics() const
{
    const auto channels = hub_.channels();
    const std::int64_t now = now_ns();
    std::string out;
    out.reserve(2048);
    const auto family = [&](const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    };
    const auto series = [&](const char *name, int channel, const std::string &value) {
        out += name;
        if (channel > 0) {
            out += "{channel=\"";
            out += std::to_string(channel);
            out += "\"}";
        }
        out += ' ';
        out += value;
        out += '\n';
    };

    append_channel_metrics(out, channels, hub_.channel_config(), now);
    family("vx7_driver_up", "gauge", "1 when the acquisition driver daemon runs, else 0.");
    series("vx7_driver_up", 0, driver_running(options_.home) ? "1" : "0");
    family("vx7_stream_late_polls_total", "counter",
           "Polls of the channel files that came late, when a sample may have been missed.");
    series("vx7_stream_late_polls_total", 0, std::to_string(hub_.late_polls()));
    family("vx7_gateway_stream_clients", "gauge", "Event-stream clients connected now.");
    series("vx7_gateway_stream_clients", 0, std::to_string(streams_.clients()));
    family("vx7_gateway_dropped_clients_total", "counter", "Event-stream clients dropped because they fell behind.");
    series("vx7_gateway_dropped_clients_total", 0, std::to_string(streams_.dropped()));
    family("vx7_gateway_refused_requests_total", "counter",
           "Requests refused for their Host, Origin or the stream client limit.");
    series("vx7_gateway_refused_requests_total", 0, std::to_string(requests_refused_.load()));
    for (const auto &source : metrics_sources_)
        out += source();
    return out;
}

void Server::routes()
{
    httplib::Server &s = *http_;
    // Event-stream connections are handed over to streams_ and hold no
    // worker; these serve the other requests and kept-alive connections.
    const std::size_t workers = 16;
    s.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    s.set_payload_max_length(options_.max_body);
    s.set_keep_alive_timeout(options_.idle_timeout_s);
    s.set_read_timeout(options_.idle_timeout_s, 0);
    s.set_write_timeout(options_.idle_timeout_s, 0);
    s.set_tcp_nodelay(true);
    s.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                           {"X-Frame-Options", "DENY"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Cache-Control", "no-store"}});

    guard_requests();
    page_routes();
    channel_routes();
    stream_route();
    history_route();
}

// Every request: Host must name this gateway (DNS rebinding), and a request
// that may change state must come from the page's own origin.
void Server::guard_requests()
{
    httplib::Server &s = *http_;
    s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        if (!host_allowed(req.get_header_value("Host"))) {
            ++requests_refused_;
            json_reply(res, 403, error_json("Host '" + req.get_header_value("Host") + "' is not this gateway"));
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin") &&
            !origin_allowed(req.get_header_value("Origin"))) {
            ++requests_refused_;
            json_reply(res, 403,
                       error_json("cross-origin request from '" + req.get_header_value("Origin") + "' refused"));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Errors the library answers by itself (413 body too large, 404) get a
    // JSON body too.
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        std::string what = "HTTP status " + std::to_string(res.status);
        if (res.status == 404)
            what = "no such resource";
        else if (res.status == 413)
            what = "request body too large (at most 4096 bytes)";
        json_reply(res, res.status, error_json(what));
        return httplib::Server::HandlerResponse::Handled;
    }));
}

void Server::page_routes()
{
    httplib::Server &s = *http_;
    s.Get("/", [](const httplib::Request &, httplib::Response &res) {
        const Asset *a = find_asset("index.html");
        res.set_content(reinterpret_cast<const char *>(a->data), a->size, a->content_type);
        // Nothing the page loads or connects to may come from elsewhere.
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; connect-src 'self'; img-src 'self' data: blob:; "
                       "style-src 'self' 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    });
    s.Get("/assets/([A-Za-z0-9._-]+)", [](const httplib::Request &req, httplib::Response &res) {
        const Asset *a = find_asset(req.matches[1].str());
        if (a == nullptr) {
            json_reply(res, 404, error_json("no such asset"));
            return;
        }
        res.set_content(reinterpret_cast<const char *>(a->data), a->size, a->content_type);
    });
}

// The channels' state, /metrics and the configure call.
void Server::channel_routes()
{
    httplib::Server &s = *http_;
    s.Get("/api/v1/channels", [this](const httplib::Request &, httplib::Response &res) {
        json_reply(res, 200,
                   channels_json(hub_.channels(), hub_.channel_config(), host_name(), driver_running(options_.home),
                                 options_.allow_configure, now_ns()));
    });

    s.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });

    s.Post("/api/v1/channels/([^/]+)/config", [this](const httplib::Request &req, httplib::Response &res) {
        if (!options_.allow_configure) {
            json_reply(res, 403, error_json("configuration is turned off (start vx7-gateway with --allow-configure)"));
            return;
        }
        if (media_type(req.get_header_value("Content-Type")) != "application/json") {
            json_reply(res, 415, error_json("Content-Type must be application/json"));
            return;
        }
        const Reply r = configure_channel(req.matches[1].str(), req.body);
        json_reply(res, r.status, r.body);
    });
}

void Server::stream_route()
{
    httplib::Server &s = *http_;
    s.Get("/api/v1/stream", [this](const httplib::Request &, httplib::Response &res) {
        if (!streams_.reserve()) {
            ++requests_refused_;
            json_reply(res, 503,
                       error_json("too many event-stream clients (at most " +
                                  std::to_string(options_.max_stream_clients) + ")"));
            return;
        }
        // Once the headers are out the connection goes to streams_, which
        // writes the events; a HEAD request ends here and frees its slot.
        auto handed_over = std::make_shared<bool>(false);
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, handed_over](std::size_t, httplib::DataSink &) {
                *handed_over = HandoverServer::hand_over([this](int fd) { streams_.adopt(fd); });
                return false; // this worker is done with the connection
            },
            [this, handed_over](bool) {
                if (!*handed_over)
                    streams_.release();
            });
    });
}

void Server::history_route()
{
    httplib::Server &s = *http_;
    s.Get("/api/v1/history", [this](const httplib::Request &req, httplib::Response &res) {
        unsigned long long seconds = Hub::kHistorySeconds;
        if (req.has_param("seconds") &&
            (!settings::parse_uint(req.get_param_value("seconds"), Hub::kHistorySeconds, seconds) || seconds == 0)) {
            json_reply(res, 400,
                       error_json("seconds must be 1-" + std::to_string(Hub::kHistorySeconds) + ", not '" +
                                  req.get_param_value("seconds") + "'"));
            return;
        }
        auto rows = std::make_shared<std::vector<HistoryRow>>(hub_.history(static_cast<double>(seconds)));
        auto pos = std::make_shared<std::size_t>(0);
        res.set_header("Content-Disposition", "attachment; filename=\"vx7-history.csv\"");
        res.set_chunked_content_provider("text/csv", [this, rows, pos](std::size_t, httplib::DataSink &sink) {
            std::string chunk;
            if (*pos == 0)
                chunk = history_csv_header(hub_.channel_config());
            const std::size_t end = std::min(rows->size(), *pos + 2000);
            for (; *pos < end; ++*pos)
                append_history_csv_line(chunk, (*rows)[*pos], hub_.channel_config());
            if (!chunk.empty() && !sink.write(chunk.data(), chunk.size()))
                return false;
            if (*pos >= rows->size()) {
                ++*pos; // past the end: the header is not written again
                sink.done();
            }
            return true;
        });
    });
}

} // namespace vx7::gateway
