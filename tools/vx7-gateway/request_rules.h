// What the gateway makes of a request before any handler sees it, without
// the HTTP engine: which route a target names, its query, whether its Host
// and Origin name this gateway, and the credentials of a Basic login.
#ifndef VX7_GATEWAY_REQUEST_RULES_H
#define VX7_GATEWAY_REQUEST_RULES_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx7::gateway {

// The resources the gateway serves.
enum class Route { Page, Asset, Channels, Metrics, Configure, Stream, History, NotFound };

struct Target {
    Route route = Route::NotFound;
    std::string_view arg;   // Asset: the file name; Configure: the channel as written
    std::string_view query; // after '?', without it
};

// The route of `method` (GET, HEAD, POST) and `target` (origin form, as
// sent: nothing is decoded). HEAD is served wherever GET is.
Target match_route(std::string_view method, std::string_view target);

// The parameters of a query ("a=1&b=2"), %XX decoded, '+' as a space in
// values. Returns an error text for a malformed escape or a parameter
// given twice (which one counts would depend on who reads it).
std::string parse_query(std::string_view query, std::vector<std::pair<std::string, std::string>> &out);

// The names a Host header may give for this gateway, each with its port; a
// Host without a port is the scheme's default port (80, or 443 with TLS).
// Against DNS rebinding, names that could belong to anyone else are
// refused: only the listen address, the connection's own address,
// localhost, 127.0.0.1 and [::1], this machine's names and those the user
// allowed are accepted.
class HostRules {
public:
    // `listen_host`: as given to --listen (IPv6 without brackets);
    // `names`: this machine's names and --allow-host names.
    HostRules(const std::string &listen_host, int port, const std::vector<std::string> &names);

    // Whether a Host header value names this gateway, on a connection with
    // TLS or without; `local_address` is the connection's own address (IPv6
    // without brackets), empty if unknown.
    bool host_allowed(std::string_view host, bool tls, std::string_view local_address = {}) const;
    // Whether an Origin header value is this gateway's own page.
    bool origin_allowed(std::string_view origin, bool tls, std::string_view local_address = {}) const;

private:
    bool name_allowed(std::string_view name, std::string_view local_address) const;

    std::vector<std::string> names_; // lower case, IPv6 in brackets
    std::string port_;
};

// This machine's host name and, when the resolver knows one, its fully
// qualified name (lower case; empty entries left out).
std::vector<std::string> machine_names();

// Whether `name` may be given to --allow-host: a DNS name, an IPv4 address
// or a bracketed IPv6 address, without a port.
bool valid_host_name(std::string_view name);

// The user name and password of an "Authorization: Basic ..." value; false
// when it is not one.
bool basic_credentials(std::string_view authorization, std::string &user, std::string &password);

} // namespace vx7::gateway

#endif
