#include "request_rules.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace vx7::gateway {

namespace {

std::string lower(std::string_view s)
{
    std::string r(s);
    std::transform(r.begin(), r.end(), r.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return r;
}

bool asset_name(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '.' || c == '_' || c == '-';
    });
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX escapes (and '+' for a space when `plus`); false on a bad escape.
bool percent_decode(std::string_view in, bool plus, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%') {
            const int hi = i + 2 < in.size() ? hex_digit(in[i + 1]) : -1;
            const int lo = hi >= 0 ? hex_digit(in[i + 2]) : -1;
            if (lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (plus && in[i] == '+') {
            out += ' ';
        } else {
            out += in[i];
        }
    }
    return true;
}

bool is_ipv6(const std::string &s)
{
    in6_addr a{};
    return inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

bool wildcard(const std::string &host)
{
    return host == "0.0.0.0" || host == "::" || host.empty();
}

} // namespace

Target match_route(std::string_view method, std::string_view target)
{
    Target t;
    std::string_view path = target;
    if (const std::size_t q = target.find('?'); q != std::string_view::npos) {
        path = target.substr(0, q);
        t.query = target.substr(q + 1);
    }
    if (method == "GET" || method == "HEAD") {
        if (path == "/")
            t.route = Route::Page;
        else if (path == "/api/v1/channels")
            t.route = Route::Channels;
        else if (path == "/metrics")
            t.route = Route::Metrics;
        else if (path == "/api/v1/stream")
            t.route = Route::Stream;
        else if (path == "/api/v1/history")
            t.route = Route::History;
        else if (path.starts_with("/assets/") && asset_name(path.substr(8))) {
            t.route = Route::Asset;
            t.arg = path.substr(8);
        }
    } else if (method == "POST") {
        constexpr std::string_view prefix = "/api/v1/channels/";
        constexpr std::string_view suffix = "/config";
        if (path.size() > prefix.size() + suffix.size() && path.starts_with(prefix) && path.ends_with(suffix)) {
            const std::string_view channel = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
            if (channel.find('/') == std::string_view::npos) {
                t.route = Route::Configure;
                t.arg = channel;
            }
        }
    }
    return t;
}

std::string parse_query(std::string_view query, std::vector<std::pair<std::string, std::string>> &out)
{
    out.clear();
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        std::string name;
        std::string value;
        if (!percent_decode(item.substr(0, eq), true, name) ||
            (eq != std::string_view::npos && !percent_decode(item.substr(eq + 1), true, value)))
            return "malformed query parameter '" + std::string(item) + "'";
        for (const auto &p : out) {
            if (p.first == name)
                return "query parameter '" + name + "' given more than once";
        }
        out.emplace_back(std::move(name), std::move(value));
    }
    return {};
}

HostRules::HostRules(const std::string &listen_host, int port, const std::vector<std::string> &names)
    : port_(std::to_string(port))
{
    if (!wildcard(listen_host))
        names_.push_back(lower(is_ipv6(listen_host) ? "[" + listen_host + "]" : listen_host));
    for (const char *n : {"localhost", "127.0.0.1", "[::1]"})
        names_.emplace_back(n);
    for (const std::string &n : names) {
        if (!n.empty())
            names_.push_back(lower(n));
    }
}

bool HostRules::name_allowed(std::string_view name, std::string_view local_address) const
{
    if (std::find(names_.begin(), names_.end(), name) != names_.end())
        return true;
    if (local_address.empty())
        return false;
    // The address the client connected to, written as an address: a page
    // that a rebinding name made point here sends that name, not this.
    const std::string local(local_address);
    return name == (is_ipv6(local) ? "[" + lower(local) + "]" : local);
}

bool HostRules::host_allowed(std::string_view host_header, bool tls, std::string_view local_address) const
{
    const std::string host = lower(host_header);
    std::size_t name_end;
    if (host.starts_with("[")) {
        name_end = host.find(']');
        if (name_end == std::string::npos)
            return false;
        ++name_end;
    } else {
        name_end = std::min(host.find(':'), host.size());
    }
    const std::string_view name = std::string_view(host).substr(0, name_end);
    const std::string_view rest = std::string_view(host).substr(name_end);
    if (rest.empty()) {
        // No port: the scheme's own.
        if (port_ != (tls ? "443" : "80"))
            return false;
    } else if (rest.substr(1) != port_ || rest[0] != ':') {
        return false;
    }
    return !name.empty() && name_allowed(name, local_address);
}

bool HostRules::origin_allowed(std::string_view origin, bool tls, std::string_view local_address) const
{
    const std::string o = lower(origin);
    const std::string scheme = tls ? "https://" : "http://";
    return o.starts_with(scheme) && host_allowed(std::string_view(o).substr(scheme.size()), tls, local_address);
}

std::vector<std::string> machine_names()
{
    std::vector<std::string> out;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return out;
    out.push_back(lower(name));
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *info = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &info) == 0) {
        if (info != nullptr && info->ai_canonname != nullptr && lower(info->ai_canonname) != out[0])
            out.push_back(lower(info->ai_canonname));
        ::freeaddrinfo(info);
    }
    // The short name of a fully qualified host name as well.
    if (const std::size_t dot = out[0].find('.'); dot != std::string::npos && dot > 0)
        out.push_back(out[0].substr(0, dot));
    return out;
}

bool valid_host_name(std::string_view name)
{
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return is_ipv6(std::string(name.substr(1, name.size() - 2)));
    if (name.empty() || name.size() > 253)
        return false;
    std::size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_') {
            if (++label > 63)
                return false;
        } else {
            return false;
        }
    }
    return label > 0;
}

bool basic_credentials(std::string_view authorization, std::string &user, std::string &password)
{
    constexpr std::string_view scheme = "basic ";
    if (authorization.size() <= scheme.size() || lower(authorization.substr(0, scheme.size())) != scheme)
        return false;
    std::string_view b64 = authorization.substr(scheme.size());
    while (!b64.empty() && b64.front() == ' ')
        b64.remove_prefix(1);
    if (b64.empty() || b64.size() % 4 != 0 || b64.size() > 4096)
        return false;
    std::string decoded(b64.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(decoded.data()),
                                  reinterpret_cast<const unsigned char *>(b64.data()), static_cast<int>(b64.size()));
    if (n < 0)
        return false;
    // EVP_DecodeBlock counts the padding as decoded zeros.
    std::size_t size = static_cast<std::size_t>(n);
    for (std::size_t i = b64.size(); i > 0 && b64[i - 1] == '=' && size > 0; --i)
        --size;
    decoded.resize(size);
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

} // namespace vx7::gateway
