// Options, URL, credentials file and payload format of the MQTT side.
#include "mqtt_publisher.h"

#include "vx7settings/settings.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx7::mqtt {
namespace {

constexpr std::array<std::string_view, 8> kOptions = {
    "--mqtt",        "--mqtt-prefix", "--mqtt-qos", "--mqtt-client-id", "--mqtt-credentials",
    "--mqtt-cafile", "--mqtt-cert",   "--mqtt-key",
};

std::string quoted(std::string_view s)
{
    return "'" + std::string(s) + "'";
}

// The host's name as a topic level and client id may carry it.
std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    std::string r(name);
    for (char &c : r) {
        if (c == '/' || c == '+' || c == '#' || c == ' ')
            c = '_';
    }
    return r;
}

// Whether `s` is UTF-8 (shortest forms, no surrogates) without control
// characters (C0, DEL, C1), as MQTT topic names should be.
bool printable_utf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                return false;
            ++i;
            continue;
        }
        if (c >= 0xc2 && c <= 0xdf) {
            n = 1;
            cp = c & 0x1fu;
        } else if (c >= 0xe0 && c <= 0xef) {
            n = 2;
            cp = c & 0x0fu;
        } else if (c >= 0xf0 && c <= 0xf4) {
            n = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (i + n >= s.size())
            return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3fu);
        }
        const std::uint32_t min[] = {0, 0x80, 0x800, 0x10000};
        if (cp < min[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) || (cp >= 0x80 && cp <= 0x9f))
            return false;
        i += n + 1;
    }
    return true;
}

std::string check_readable(std::string_view option, const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "cannot read " + std::string(option) + " " + path + ": " + std::strerror(errno);
    ::close(fd);
    return {};
}

} // namespace

bool is_option(std::string_view name)
{
    for (std::string_view o : kOptions) {
        if (o == name)
            return true;
    }
    return false;
}

const char *options_help()
{
    return "  --mqtt URL               also publish to an MQTT broker: mqtt://HOST[:PORT] or\n"
           "                           mqtts://HOST[:PORT] (TLS; ports 1883 and 8883 by default)\n"
           "  --mqtt-prefix PREFIX     topic prefix (default vx7/<hostname>)\n"
           "  --mqtt-qos 0|1           quality of service of the samples (default 0)\n"
           "  --mqtt-client-id ID      client id (default vx7-gateway-<hostname>)\n"
           "  --mqtt-credentials FILE  user name (first line) and password (second line);\n"
           "                           the file must be readable by its owner only\n"
           "  --mqtt-cafile FILE       CA certificate(s) for mqtts:// (default: the system's)\n"
           "  --mqtt-cert FILE         client certificate for mqtts://, with --mqtt-key\n"
           "  --mqtt-key FILE          client private key (unencrypted) for --mqtt-cert\n";
}

std::string parse_url(std::string_view url, std::string &host, int &port, bool &tls)
{
    const auto bad = [&](const std::string &why) {
        return "--mqtt must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not " + quoted(url) + why;
    };
    std::string_view rest;
    if (url.starts_with("mqtt://")) {
        tls = false;
        rest = url.substr(7);
    } else if (url.starts_with("mqtts://")) {
        tls = true;
        rest = url.substr(8);
    } else {
        return bad("");
    }
    if (rest.find('@') != std::string_view::npos)
        return bad(" (user name and password go in the file given with --mqtt-credentials)");
    if (rest.ends_with("/"))
        rest.remove_suffix(1);
    std::string_view port_text;
    if (rest.starts_with("[")) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || close == 1)
            return bad("");
        host = std::string(rest.substr(1, close - 1));
        rest = rest.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return bad("");
            port_text = rest.substr(1);
            if (port_text.empty())
                return bad("");
        }
    } else {
        const auto colon = rest.find(':');
        host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = rest.substr(colon + 1);
            if (port_text.empty())
                return bad("");
        }
    }
    if (host.empty() || host.find_first_of("/?#[] ") != std::string::npos)
        return bad("");
    port = tls ? 8883 : 1883;
    if (!port_text.empty()) {
        unsigned long long n = 0;
        if (!settings::parse_uint(port_text, 65535, n) || n == 0)
            return bad(" (the port must be 1-65535)");
        port = static_cast<int>(n);
    }
    return {};
}

std::string read_credentials(const std::string &path, std::string &username, std::string &password)
{
    const std::string what = "--mqtt-credentials " + path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "cannot read " + what + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return what + " is not a regular file";
    }
    if ((st.st_mode & 077) != 0) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return what + " may be read or changed by others (mode " + mode +
               "); it must be for its owner only: chmod 600 " + path;
    }
    std::string text;
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return "cannot read " + what + ": " + std::strerror(e);
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > 4096) {
            ::close(fd);
            return what + " is too long (a user name line and a password line are expected)";
        }
    }
    ::close(fd);

    std::string lines[2];
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        pos = end + 1;
        if (count < 2)
            lines[count] = line;
        else if (!line.empty())
            return what + " has more than two lines (the user name on the first, the password on the second)";
        ++count;
    }
    if (lines[0].empty())
        return what + ": the first line must be the user name (and the second the password)";
    username = lines[0];
    password = lines[1];
    return {};
}

std::string set_option(Config &config, std::string_view name, std::string_view value)
{
    const std::string v(value);
    if (name == "--mqtt") {
        config.enabled = true;
        return parse_url(value, config.host, config.port, config.tls);
    }
    if (name == "--mqtt-prefix") {
        if (value.empty() || value.find_first_of("+#") != std::string_view::npos || value.ends_with("/") ||
            value.find('\0') != std::string_view::npos || value.size() > 1000)
            return "--mqtt-prefix must be a topic without wildcards (+ #) and without a trailing /, not " +
                   quoted(value);
        if (value.starts_with("$"))
            return "--mqtt-prefix must not start with $ (the broker's own topics), not " + quoted(value);
        if (!printable_utf8(value))
            return "--mqtt-prefix must be UTF-8 text without control characters";
        config.prefix = v;
        return {};
    }
    if (name == "--mqtt-qos") {
        if (value != "0" && value != "1")
            return "--mqtt-qos must be 0 or 1, not " + quoted(value);
        config.qos = value == "1" ? 1 : 0;
        return {};
    }
    if (name == "--mqtt-client-id") {
        if (value.empty() || value.size() > 256 || value.find('\0') != std::string_view::npos)
            return "--mqtt-client-id must be 1-256 characters, not " + quoted(value);
        config.client_id = v;
        return {};
    }
    std::string *file = name == "--mqtt-credentials" ? &config.credentials_file
                        : name == "--mqtt-cafile"    ? &config.cafile
                        : name == "--mqtt-cert"      ? &config.certfile
                        : name == "--mqtt-key"       ? &config.keyfile
                                                     : nullptr;
    if (file == nullptr)
        return "unknown option " + quoted(name);
    if (value.empty())
        return std::string(name) + " needs a file name";
    *file = v;
    return {};
}

std::string finish_config(Config &config)
{
    if (!config.enabled) {
        const std::pair<const char *, bool> given[] = {
            {"--mqtt-prefix", !config.prefix.empty()},       {"--mqtt-qos", config.qos != 0},
            {"--mqtt-client-id", !config.client_id.empty()}, {"--mqtt-credentials", !config.credentials_file.empty()},
            {"--mqtt-cafile", !config.cafile.empty()},       {"--mqtt-cert", !config.certfile.empty()},
            {"--mqtt-key", !config.keyfile.empty()},
        };
        for (const auto &[option, set] : given) {
            if (set)
                return std::string(option) + " needs --mqtt URL";
        }
        return {};
    }
    if (!config.tls) {
        for (const auto &[option, file] :
             {std::pair{"--mqtt-cafile", &config.cafile}, std::pair{"--mqtt-cert", &config.certfile},
              std::pair{"--mqtt-key", &config.keyfile}}) {
            if (!file->empty())
                return std::string(option) + " needs an mqtts:// URL";
        }
    }
    if (config.certfile.empty() != config.keyfile.empty())
        return "--mqtt-cert and --mqtt-key go together";
    for (const auto &[option, file] :
         {std::pair{"--mqtt-cafile", &config.cafile}, std::pair{"--mqtt-cert", &config.certfile},
          std::pair{"--mqtt-key", &config.keyfile}}) {
        if (!file->empty()) {
            if (std::string e = check_readable(option, *file); !e.empty())
                return e;
        }
    }
    if (!config.credentials_file.empty()) {
        if (std::string e = read_credentials(config.credentials_file, config.username, config.password); !e.empty())
            return e;
    }
    const std::string host = host_name();
    if (config.prefix.empty())
        config.prefix = "vx7/" + host;
    if (config.client_id.empty())
        config.client_id = "vx7-gateway-" + host;
    return {};
}

std::string sample_json(const vx7_sample &sample, const vx7::lines::ChannelSpec *spec)
{
    nlohmann::ordered_json j;
    j["time"] = iso_time(sample.wall_ns);
    j["elapsed_ms"] = sample.elapsed_ms;
    if (sample.has_value == 0) {
        j["volts"] = nullptr;
    } else {
        // The number as the driver wrote it ("%.11e" is a JSON number); the
        // parsed double when the text is not one.
        char text[sizeof sample.text + 1] = {};
        std::memcpy(text, sample.text, sizeof sample.text);
        nlohmann::json volts = nlohmann::json::parse(text, nullptr, false);
        if (volts.is_number())
            j["volts"] = volts;
        else if (std::isfinite(sample.volts))
            j["volts"] = sample.volts;
        else
            j["volts"] = nullptr;
    }
    if (spec != nullptr && spec->configured) {
        // The value of the volts sent.
        if (j["volts"].is_number())
            j["value"] = vx7::lines::scaled(*spec, j["volts"].get<double>());
        else
            j["value"] = nullptr;
        j["unit"] = spec->unit;
    }
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace vx7::mqtt
