// The channel configuration file through yaml-cpp. The file's scalars are
// taken by their text (not by what YAML would make of them), so that the
// Python module, on another YAML library, reads every file the same way.
// Mappings are walked with range-for, which holds each key/value pair by
// value: a reference into what yaml-cpp's iterator -> gives would dangle.
#include "vx7channelconfig/channel_config.h"
#include "vx7common/unique_fd.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vx7::channels {

namespace {

using vx7::lines::ChannelConfig;
using vx7::lines::ChannelSpec;

constexpr std::size_t kMaxFileBytes = 65536;
constexpr std::size_t kMaxTextBytes = 64;
constexpr double kMaxMagnitude = 1e15;
constexpr const char *kChannelKeys = "name, unit, scale, offset, min, max";

// A failure: the line (1-based; 0 when none applies), the key and what is
// wrong.
struct Problem {
    int line = 0;
    std::string key;
    std::string what;
};

std::string message(const std::string &path, const Problem &p)
{
    std::string m = path;
    if (p.line > 0)
        m += ":" + std::to_string(p.line);
    m += ": ";
    if (!p.key.empty())
        m += p.key + ": ";
    return m + p.what;
}

int line_of(const YAML::Node &n)
{
    return n.Mark().is_null() ? 1 : n.Mark().line + 1;
}

// The offset of the first byte that is not part of valid UTF-8, or npos.
std::size_t invalid_utf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        unsigned min = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1, min = 0x80, cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, min = 0x800, cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, min = 0x10000, cp = c & 0x07u;
        } else {
            return i;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size())
                return i;
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0u) != 0x80u)
                return i;
            cp = (cp << 6) | (d & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return i;
        i += n + 1;
    }
    return std::string_view::npos;
}

std::string key_text(const YAML::Node &key)
{
    return key.IsScalar() ? key.Scalar() : std::string("?");
}

// A decimal number: [-+]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][-+]?[0-9]+)?
// (what the Python module's pattern takes too).
bool decimal_number(std::string_view t)
{
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            ++i;
        return i - from;
    };
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    std::size_t mantissa = digits();
    if (i < t.size() && t[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == t.size();
}

bool parse_number(const std::string &text, double &out)
{
    if (!decimal_number(text))
        return false;
    errno = 0;
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v) || std::fabs(v) > kMaxMagnitude)
        return false;
    out = v;
    return true;
}

bool number_field(const YAML::Node &v, const std::string &key, double &out, Problem &p)
{
    if (!v.IsScalar() || !parse_number(v.Scalar(), out)) {
        p = {line_of(v), key, "must be a number from -1e15 to 1e15"};
        if (v.IsScalar())
            p.what += ", not '" + v.Scalar() + "'";
        return false;
    }
    return true;
}

bool text_field(const YAML::Node &v, const std::string &key, std::string &out, Problem &p)
{
    const auto bad = [&] {
        p = {line_of(v), key, "must be text of at most 64 bytes, without control characters"};
        return false;
    };
    if (!v.IsScalar())
        return bad();
    const std::string &s = v.Scalar();
    if (s.size() > kMaxTextBytes)
        return bad();
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            return bad();
    }
    out = s;
    return true;
}

// Checks a mapping's keys for repeats; `prefix` is the key path above it.
bool no_repeats(const YAML::Node &map, const std::string &prefix, Problem &p)
{
    std::vector<std::string> seen;
    for (const auto &kv : map) {
        const std::string k = key_text(kv.first);
        if (std::find(seen.begin(), seen.end(), k) != seen.end()) {
            p = {line_of(kv.first), prefix + k, "given twice"};
            return false;
        }
        seen.push_back(k);
    }
    return true;
}

bool channel_field(const std::string &k, const YAML::Node &v, const std::string &key, ChannelSpec &spec, bool &scaled,
                   Problem &p)
{
    if (k == "name")
        return text_field(v, key, spec.name, p);
    if (k == "unit")
        return text_field(v, key, spec.unit, p);
    double x = 0.0;
    if (!number_field(v, key, x, p))
        return false;
    if (k == "scale") {
        if (x == 0.0) {
            p = {line_of(v), key, "must not be 0"};
            return false;
        }
        spec.scale = x;
        scaled = true;
    } else if (k == "offset") {
        spec.offset = x;
        scaled = true;
    } else if (k == "min") {
        spec.min = x;
        spec.has_min = true;
    } else {
        spec.max = x;
        spec.has_max = true;
    }
    return true;
}

bool channel(const YAML::Node &node, const std::string &prefix, ChannelSpec &spec, Problem &p)
{
    if (!node.IsMap()) {
        p = {line_of(node), prefix, std::string("must be a mapping of ") + kChannelKeys};
        return false;
    }
    if (!no_repeats(node, prefix + ".", p))
        return false;
    spec = ChannelSpec{};
    spec.configured = true;
    bool scaled = false, have_unit = false;
    int min_line = 0;
    for (const auto &kv : node) {
        const std::string k = key_text(kv.first);
        const std::string key = prefix + "." + k;
        const YAML::Node v = kv.second;
        if (k != "name" && k != "unit" && k != "scale" && k != "offset" && k != "min" && k != "max") {
            p = {line_of(kv.first), key, std::string("unknown key (") + kChannelKeys + ")"};
            return false;
        }
        if (v.IsNull())
            continue;
        if (!channel_field(k, v, key, spec, scaled, p))
            return false;
        have_unit = have_unit || k == "unit";
        if (k == "min")
            min_line = line_of(v);
    }
    if (spec.has_min && spec.has_max && !(spec.min < spec.max)) {
        p = {min_line, prefix + ".min", "must be below max"};
        return false;
    }
    if (!have_unit && !scaled)
        spec.unit = "V";
    return true;
}

bool channels(const YAML::Node &node, ChannelConfig &config, Problem &p)
{
    if (node.IsNull())
        return true;
    if (!node.IsMap()) {
        p = {line_of(node), "channels", "must be a mapping of channels 1-4"};
        return false;
    }
    if (!no_repeats(node, "channels.", p))
        return false;
    for (const auto &kv : node) {
        const std::string k = key_text(kv.first);
        if (k.size() != 1 || k[0] < '1' || k[0] > '4') {
            p = {line_of(kv.first), "channels." + k, "not a channel (1-4)"};
            return false;
        }
        if (kv.second.IsNull())
            continue;
        if (!channel(kv.second, "channels." + k, config.channels[static_cast<std::size_t>(k[0] - '1')], p))
            return false;
    }
    return true;
}

bool document(const YAML::Node &top, ChannelConfig &config, Problem &p)
{
    if (!top.IsDefined() || top.IsNull()) {
        p = {1, "channels", "missing (the file holds no 'channels' mapping)"};
        return false;
    }
    if (!top.IsMap()) {
        p = {line_of(top), "channels", "missing (the file must be a mapping holding 'channels')"};
        return false;
    }
    if (!no_repeats(top, "", p))
        return false;
    bool found = false;
    for (const auto &kv : top) {
        const std::string k = key_text(kv.first);
        if (k != "channels") {
            p = {line_of(kv.first), k, "unknown key (the file holds 'channels' only)"};
            return false;
        }
        found = true;
        if (!channels(kv.second, config, p))
            return false;
    }
    if (!found) {
        p = {1, "channels", "missing (the file holds no 'channels' mapping)"};
        return false;
    }
    return true;
}

} // namespace

bool available()
{
    return true;
}

std::string parse(std::string_view text, const std::string &path, ChannelConfig &out)
{
    if (const std::size_t bad = invalid_utf8(text); bad != std::string_view::npos) {
        const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bad), '\n');
        return message(path, {static_cast<int>(line), "", "not UTF-8 text"});
    }
    ChannelConfig config;
    config.given = true;
    Problem p;
    try {
        const std::vector<YAML::Node> docs = YAML::LoadAll(std::string(text));
        if (docs.size() > 1)
            return message(path, {line_of(docs[1]), "", "more than one YAML document"});
        if (!document(docs.empty() ? YAML::Node() : docs[0], config, p))
            return message(path, p);
    } catch (const YAML::Exception &e) {
        return message(path, {e.mark.is_null() ? 0 : e.mark.line + 1, "", "not valid YAML: " + e.msg});
    } catch (const std::exception &e) {
        return message(path, {0, "", std::string("cannot be read: ") + e.what()});
    }
    out = std::move(config);
    return {};
}

std::string load(const std::string &path, ChannelConfig &out)
{
    const UniqueFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        return path + ": cannot be read: " + std::strerror(errno);
    std::string text;
    char buf[8192];
    while (true) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return path + ": cannot be read: " + std::strerror(errno);
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileBytes)
            return path + ": larger than 65536 bytes; not a channel configuration";
    }
    return parse(text, path, out);
}

} // namespace vx7::channels
