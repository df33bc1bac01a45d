#include "event_streams.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <string_view>
#include <sys/socket.h>
#include <thread>

namespace vx7::gateway {

namespace {

EventStreams::Frame chunk(std::string_view a, std::string_view b = {}, std::string_view c = {})
{
    auto out = std::make_shared<std::string>();
    char size[24];
    const int n = std::snprintf(size, sizeof size, "%zx\r\n", a.size() + b.size() + c.size());
    out->reserve(static_cast<std::size_t>(n) + a.size() + b.size() + c.size() + 2);
    out->append(size, static_cast<std::size_t>(n));
    *out += a;
    *out += b;
    *out += c;
    *out += "\r\n";
    return out;
}

} // namespace

EventStreams::EventStreams(Hub &hub, boost::asio::io_context &io, std::size_t max_clients, std::size_t max_backlog,
                           std::chrono::milliseconds keep_alive, std::chrono::milliseconds stall, int send_buffer)
    : hub_(hub), io_(io), max_clients_(max_clients), max_backlog_(max_backlog), keep_alive_(keep_alive), stall_(stall),
      send_buffer_(send_buffer), greeting_(chunk("retry: 2000\n\n")), // the browser reconnects 2 s after a loss
      keep_alive_frame_(chunk(": keep-alive\n\n")), last_chunk_(std::make_shared<const std::string>("0\r\n\r\n")),
      timer_(io)
{
}

EventStreams::~EventStreams()
{
    stop();
}

bool EventStreams::start(std::string &error)
{
    if (started_ || stopping_) {
        error = "event streams already started";
        return false;
    }
    started_ = true;
    listener_ = hub_.subscribe([this](const Event &e) { on_event(e); });
    return true;
}

void EventStreams::on_io(const std::function<void()> &fn)
{
    if (io_.get_executor().running_in_this_thread() || io_.stopped()) {
        fn();
        return;
    }
    std::promise<void> done;
    boost::asio::post(io_, [&] {
        fn();
        done.set_value();
    });
    done.get_future().wait();
}

void EventStreams::stop()
{
    if (stopping_)
        return;
    stopping_ = true;
    if (started_)
        hub_.unsubscribe(listener_);
    on_io([this] {
        std::lock_guard lock(mu_);
        stopped_ = true;
        timer_.cancel();
        for (const auto &c : clients_) {
            if (c->gone)
                continue;
            if (c->queued == 0) {
                // The response's last chunk, then the connection closes.
                c->ending = true;
                deliver(*c, last_chunk_, Clock::now());
                c->deadline(std::chrono::seconds(1));
                kick(*c);
            } else {
                remove(*c, false);
            }
        }
        retire();
    });
    // The last chunks take at most their deadline; then nothing of this
    // object may be left to run on the I/O thread.
    for (int i = 0; i < 150; ++i) {
        bool empty = false;
        on_io([&] {
            std::lock_guard lock(mu_);
            empty = clients_.empty();
        });
        if (empty)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    on_io([this] {
        std::lock_guard lock(mu_);
        for (const auto &c : clients_)
            remove(*c, false);
        retire();
    });
    on_io([] {}); // after the handlers the closing has queued
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

void EventStreams::on_event(const Event &e)
{
    if (slots_.load() == 0)
        return;
    const Frame f =
        chunk(e.kind == Event::Kind::Sample ? "event: sample\ndata: " : "event: status\ndata: ", *e.json(), "\n\n");
    std::lock_guard lock(mu_);
    if (stopped_)
        return;
    const auto now = Clock::now();
    bool kick = false;
    for (const auto &c : clients_) {
        if (c->gone)
            continue;
        if (c->fd >= 0 && c->queued == 0 && !c->writing) {
            // The common case: the socket takes the whole event now.
            const ssize_t n = ::send(c->fd, f->data(), f->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n == static_cast<ssize_t>(f->size())) {
                c->last_sent = c->last_progress = now;
                continue;
            }
            // The rest, or all of it when the socket is full or failed (the
            // I/O thread's write finds out which), waits for the I/O thread.
            deliver(*c, f, now);
            if (n > 0 && !c->gone) {
                c->offset = static_cast<std::size_t>(n);
                c->queued -= static_cast<std::size_t>(n);
            }
        } else {
            deliver(*c, f, now);
        }
        kick = true;
    }
    // One wake-up of the I/O thread for whatever comes until it runs.
    if (kick && !kick_posted_) {
        kick_posted_ = true;
        boost::asio::post(io_, [this] { kick_all(); });
    }
}

void EventStreams::kick_all()
{
    std::lock_guard lock(mu_);
    kick_posted_ = false;
    for (const auto &c : clients_)
        kick(*c);
    retire();
}

void EventStreams::add(const std::shared_ptr<Client> &c)
{
    std::lock_guard lock(mu_);
    if (c->gone) // stopped since it was adopted, and closed
        return;
    if (stopped_) { // adopted after the stop
        c->gone = true;
        --slots_;
        c->close();
        return;
    }
    c->fd = c->tune(send_buffer_);
    c->started = true;
    kick(*c);
    c->read();
    retire();
    arm();
}

void EventStreams::deliver(Client &c, const Frame &f, Clock::time_point now)
{
    if (c.gone || (c.ending && f != last_chunk_))
        return;
    // Over the bound while the socket is full: the client has fallen behind.
    // (A TLS write just started may still be taken whole: taken() judges;
    // never more than twice the bound in any case.) A client not started yet
    // has had no chance to read: what comes before its first write is
    // judged by that write.
    const std::size_t after = c.queued + f->size();
    if (c.started && ((after > max_backlog_ && c.full(now)) || after > 2 * max_backlog_)) {
        remove(c, true);
        return;
    }
    // The stall clock runs while something waits for the socket.
    if (c.queued == 0)
        c.last_progress = now;
    c.queue.push_back(f);
    c.queued += f->size();
    c.last_sent = now;
}

void EventStreams::kick(Client &c)
{
    if (c.started && !c.gone && !c.writing && c.queued > 0)
        c.write();
}

bool EventStreams::taken(Client &c, std::size_t n, std::size_t offered)
{
    if (c.gone)
        return false;
    if (n > 0)
        c.last_progress = Clock::now();
    c.queued -= n;
    std::size_t at = c.offset + n;
    while (!c.queue.empty() && at >= c.queue.front()->size()) {
        at -= c.queue.front()->size();
        c.queue.pop_front();
    }
    c.offset = at;
    // The socket took less than it was offered: it is full, and what is
    // left is over the bound.
    const bool over = n < offered && c.queued > max_backlog_;
    if (over || (c.ending && c.queued == 0)) {
        remove(c, over);
        return false;
    }
    return true;
}

void EventStreams::lost(Client &c)
{
    remove(c, false);
}

void EventStreams::remove(Client &c, bool dropped)
{
    if (c.gone)
        return;
    c.gone = true;
    if (dropped)
        ++dropped_;
    c.queue.clear();
    c.queued = 0;
    --slots_;
    // Closed by the I/O thread at the end of its turn (retire), whichever
    // thread dropped it.
}

// Called on the I/O thread where no loop over clients_ is under way: the end
// of each of its turns. Closes the connections of the clients gone.
void EventStreams::retire()
{
    std::erase_if(clients_, [](const std::shared_ptr<Client> &c) {
        if (c->gone)
            c->close();
        return c->gone;
    });
}

void EventStreams::arm()
{
    if (armed_ || stopped_ || clients_.empty())
        return;
    armed_ = true;
    // Often enough to keep both times within an eighth of themselves.
    const auto period = std::clamp<std::chrono::milliseconds>(std::min(keep_alive_, stall_) / 8,
                                                              std::chrono::milliseconds(10), std::chrono::seconds(1));
    timer_.expires_after(period);
    timer_.async_wait([this](boost::system::error_code ec) {
        std::lock_guard lock(mu_);
        armed_ = false;
        if (!ec)
            sweep();
    });
}

void EventStreams::sweep()
{
    if (stopped_)
        return;
    const auto now = Clock::now();
    for (const auto &c : clients_) {
        if (c->gone)
            continue;
        if (c->queued > 0) {
            // Its socket has taken nothing for the stall time: the client
            // has stopped reading.
            if (now - c->last_progress >= stall_)
                remove(*c, true);
        } else if (now - c->last_sent >= keep_alive_) {
            deliver(*c, keep_alive_frame_, now);
            kick(*c);
        }
    }
    retire();
    arm();
}

} // namespace vx7::gateway
