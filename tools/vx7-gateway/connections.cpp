#include "connections.h"

#include <algorithm>

namespace vx7::gateway {

Connections::Entry::Entry(std::shared_ptr<Connections> owner, boost::asio::ip::address peer)
    : owner_(std::move(owner)), peer_(peer)
{
}

Connections::Entry::~Entry()
{
    if (owner_)
        owner_->forget(*this);
}

void Connections::Entry::idle(bool is_idle)
{
    if (is_idle && !idle_)
        idle_since_ = Clock::now();
    idle_ = is_idle;
}

std::shared_ptr<Connections> Connections::make(std::size_t max_total, std::size_t max_per_peer)
{
    return std::shared_ptr<Connections>(new Connections(max_total, max_per_peer));
}

boost::asio::ip::address Connections::key(const boost::asio::ip::address &peer)
{
    // An IPv4 client of an IPv6 socket is the same peer as over IPv4.
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, peer.to_v6());
    return peer;
}

std::size_t Connections::from(const boost::asio::ip::address &peer) const
{
    const auto it = per_peer_.find(key(peer));
    return it == per_peer_.end() ? 0 : it->second;
}

std::unique_ptr<Connections::Entry> Connections::admit(const boost::asio::ip::address &peer)
{
    const auto k = key(peer);
    if (from(k) >= max_per_peer_)
        return nullptr;
    if (entries_.size() >= max_total_) {
        Entry *idlest = nullptr;
        for (Entry *e : entries_) {
            if (e->idle_ && e->close_ && (idlest == nullptr || e->idle_since_ < idlest->idle_since_))
                idlest = e;
        }
        if (idlest == nullptr)
            return nullptr;
        forget(*idlest);
        idlest->owner_.reset();
        const auto close = std::move(idlest->close_);
        close();
    }
    std::unique_ptr<Entry> e(new Entry(shared_from_this(), k));
    entries_.push_back(e.get());
    ++per_peer_[k];
    return e;
}

void Connections::close_all()
{
    std::vector<std::function<void()>> closers;
    for (Entry *e : entries_) {
        if (e->close_)
            closers.push_back(e->close_);
    }
    for (const auto &close : closers)
        close();
}

void Connections::forget(Entry &e)
{
    std::erase(entries_, &e);
    if (const auto it = per_peer_.find(e.peer_); it != per_peer_.end() && --it->second == 0)
        per_peer_.erase(it);
}

} // namespace vx7::gateway
