#include "server.h"

#include "http_session.h"
#include "responses.h"
#include "vx7daemon/daemon.h"
#include "vx7daemon/daemon_paths.h"

#include <boost/asio/post.hpp>

#include <fcntl.h>

namespace vx7::gateway {

namespace {

template <class Socket>
void close_on_exec(Socket &s)
{
    if (s.is_open())
        ::fcntl(s.native_handle(), F_SETFD, FD_CLOEXEC);
}

} // namespace

bool driver_running(const std::string &home_dir)
{
    const char *home = home_dir.empty() ? dmn_home_directory() : home_dir.c_str();
    for (const char *const *p = dmn_driver_programs; *p != nullptr; ++p) {
        // Started by a path, and started by a bare name (daemon control
        // knows where each keeps its lock).
        for (const std::string &started_as : {std::string("/") + *p, std::string(*p)}) {
            char lock[DMN_PATH_SIZE];
            long pid = 0;
            if (dmn_lock_path_in(home, started_as.c_str(), lock, sizeof lock) == 0 &&
                dmn_lock_state(lock, *p, &pid) == DMN_LOCK_LIVE)
                return true;
        }
    }
    return false;
}

Server::Server(Hub &hub, ServerOptions options)
    : hub_(hub), options_(std::move(options)),
      streams_(hub, io_, options_.max_stream_clients, options_.stream_backlog, EventStreams::kDefaultKeepAlive,
               options_.stream_stall, options_.send_buffer),
      connections_(Connections::make(options_.max_connections, options_.max_per_peer))
{
    std::string error;
    plain_ = Protection::make(WebConfig{}, error);
}

Server::~Server()
{
    stop();
}

void Server::add_metrics(MetricsSource source)
{
    metrics_sources_.push_back(std::move(source));
}

bool Server::load_web_config(std::string &error)
{
    if (options_.web_config.empty() || web_config_)
        return true;
    auto file = std::make_unique<WebConfigFile>(options_.web_config);
    if (error = file->load(); !error.empty())
        return false;
    web_config_ = std::move(file);
    return true;
}

bool Server::tls() const
{
    return web_config_ && web_config_->current()->tls() != nullptr;
}

bool Server::logins() const
{
    return web_config_ && web_config_->current()->logins();
}

bool Server::bind(std::string &error)
{
    if (!load_web_config(error))
        return false;
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(options_.host, ec);
    if (ec) {
        error = "cannot listen on " + options_.host + ": not an address";
        return false;
    }
    const boost::asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(options_.port));
    acceptor_.open(endpoint.protocol(), ec);
    close_on_exec(acceptor_);
    if (!ec)
        acceptor_.set_option(boost::asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = options_.port == 0 ? "cannot listen on " + options_.host + " (any port)"
                                   : "cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                                         " (address in use, or not an address of this machine)";
        acceptor_.close(ec);
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();

    std::vector<std::string> names = machine_names();
    names.insert(names.end(), options_.allow_hosts.begin(), options_.allow_hosts.end());
    hosts_.emplace(options_.host, port_, names);
    context_.reset(new ServiceContext{hub_, streams_, options_, *hosts_, configure_pool_, work_pool_, requests_refused_,
                                      [this] { return metrics(); }});
    return streams_.start(error);
}

void Server::run()
{
    {
        std::lock_guard lock(run_mu_);
        if (stopped_ || !context_)
            return;
        running_ = true;
    }
    accept();
    watch_web_config();
    io_.run();
    running_ = false;
    std::lock_guard lock(run_mu_);
    run_done_ = true;
    run_cv_.notify_all();
}

void Server::stop()
{
    bool was_running = false;
    {
        std::lock_guard lock(run_mu_);
        if (stopped_)
            return;
        stopped_ = true;
        was_running = running_;
    }
    if (!was_running)
        io_.stop(); // run() will not serve: what is left is done here
    // The event streams end their responses first; then every other
    // connection closes, and run() returns when nothing is left to do.
    streams_.stop();
    boost::asio::post(io_, [this] {
        boost::system::error_code ec;
        acceptor_.close(ec);
        accept_retry_.cancel();
        web_config_timer_.cancel();
        connections_->close_all();
    });
    std::unique_lock lock(run_mu_);
    if (was_running && !run_cv_.wait_for(lock, std::chrono::seconds(3), [this] { return run_done_; }))
        io_.stop();
    lock.unlock();
    configure_pool_.join();
    work_pool_.join();
}

void Server::accept()
{
    acceptor_.async_accept([this](boost::system::error_code ec, boost::asio::ip::tcp::socket socket) {
        if (ec == boost::asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly instead of
            // spinning.
            accept_retry_.expires_after(std::chrono::milliseconds(100));
            accept_retry_.async_wait([this](boost::system::error_code e) {
                if (!e)
                    accept();
            });
            return;
        }
        start_session(std::move(socket));
        accept();
    });
}

void Server::start_session(boost::asio::ip::tcp::socket socket)
{
    close_on_exec(socket);
    boost::system::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    auto entry = ec ? nullptr : connections_->admit(peer.address());
    if (!entry) {
        // Over the limits (or gone already): closed at once.
        socket.close(ec);
        return;
    }
    serve(*context_, std::move(socket), std::move(entry), web_config_ ? web_config_->current() : plain_);
}

// A changed --web-config file (or certificate) applies to the connections
// that come after: checked every second, read on a worker.
void Server::watch_web_config()
{
    if (!web_config_ || !acceptor_.is_open())
        return;
    web_config_timer_.expires_after(std::chrono::seconds(1));
    web_config_timer_.async_wait([this](boost::system::error_code ec) {
        if (ec)
            return;
        boost::asio::post(work_pool_, [this] {
            web_config_->refresh();
            boost::asio::post(io_, [this] { watch_web_config(); });
        });
    });
}

std::string Server::metrics() const
{
    GatewayCounters counters;
    counters.stream_clients = streams_.clients();
    counters.dropped_clients = streams_.dropped();
    counters.refused_requests = requests_refused_.load();
    StreamCounters stream;
    for (int c = 1; c <= kChannels; ++c)
        stream.lost[static_cast<std::size_t>(c - 1)] = hub_.lost(c);
    stream.late_polls = hub_.late_polls();
    std::string out =
        metrics_text(hub_.channels(), hub_.channel_config(), now_ns(), driver_running(options_.home), stream, counters);
    for (const auto &source : metrics_sources_)
        out += source();
    return out;
}

} // namespace vx7::gateway
