// --web-config FILE: TLS and logins in the web-configuration format that
// Prometheus and its exporters share (YAML):
//
//   tls_server_config:
//     cert_file: server.pem        # or cert: <PEM text>
//     key_file: server.key         # or key: <PEM text>
//     client_auth_type: RequireAndVerifyClientCert   # default NoClientCert
//     client_ca_file: clients-ca.pem                 # or client_ca: <PEM text>
//     min_version: TLS12           # TLS10-TLS13; max_version too
//   basic_auth_users:
//     prometheus: $2y$10$...       # bcrypt, as htpasswd -nBC 10 makes it
//
// Relative file names are taken from the file's directory. A setting the
// gateway cannot honour (cipher_suites, rate_limit, ...) is an error rather
// than something left out: the file never asks for more than it gets.
#ifndef VX7_GATEWAY_WEB_CONFIG_H
#define VX7_GATEWAY_WEB_CONFIG_H

#include <boost/asio/ssl/context.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx7::gateway {

enum class ClientAuth { None, Request, RequireAny, VerifyIfGiven, RequireAndVerify };

struct TlsSettings {
    std::string cert_file, key_file, client_ca_file; // paths as resolved
    std::string cert, key, client_ca;                // inline PEM instead of a file
    ClientAuth client_auth = ClientAuth::None;
    int min_version = 0; // OpenSSL's numbers (TLS1_2_VERSION, ...)
    int max_version = 0;
    bool prefer_server_ciphers = true;
};

struct WebConfig {
    std::optional<TlsSettings> tls;
    std::vector<std::pair<std::string, std::string>> users; // name, bcrypt hash
};

// Parses the file's text; `dir` is where relative file names point. Returns
// an error text (naming the setting) or "".
std::string parse_web_config(std::string_view yaml, const std::string &dir, WebConfig &out);

// One version of the file in force: its TLS context (certificates loaded)
// and its logins. Shared by the connections that started under it.
class Protection {
public:
    // Loads the certificates and keys the settings name; null with an
    // error text when one cannot be used.
    static std::shared_ptr<Protection> make(const WebConfig &config, std::string &error);

    // The TLS context, or null for plain HTTP.
    boost::asio::ssl::context *tls() const { return tls_.get(); }
    bool logins() const { return !users_.empty(); }

    enum class Login { Ok, Refused, Check };
    // For an Authorization header value: Ok when these credentials were
    // verified before, Refused when it is no Basic login at all, Check
    // when verify() must decide (user and password are then set). Cheap.
    Login known(std::string_view authorization, std::string &user, std::string &password) const;
    // Verifies a password against the user's bcrypt hash (tens of
    // milliseconds by design: not on the I/O thread); an unknown user costs
    // as much. Remembers a success. Compared in constant time.
    bool verify(const std::string &user, const std::string &password);

private:
    using Digest = std::array<unsigned char, 32>;
    static Digest digest(std::string_view user, std::string_view password);

    std::unique_ptr<boost::asio::ssl::context> tls_;
    std::vector<std::pair<std::string, std::string>> users_;
    mutable std::mutex mu_;
    std::set<Digest> verified_; // logins that passed, as hashes
};

// The file given to --web-config, kept current: refresh() reads it again
// when it or a file it names changed. A version that cannot be used is
// reported (one line, stderr) and the previous one stays in force: the
// gateway never serves with less protection than the file asked for.
class WebConfigFile {
public:
    explicit WebConfigFile(std::string path) : path_(std::move(path)) {}

    // The first load; an error text naming the file when it fails.
    std::string load();
    void refresh();
    std::shared_ptr<Protection> current() const;
    const std::string &path() const { return path_; }

private:
    // What identifies a version of the file and the files it names.
    std::vector<std::array<std::int64_t, 5>> signature(const WebConfig *config) const;
    std::string read(WebConfig &config, std::shared_ptr<Protection> &protection) const;

    std::string path_;
    mutable std::mutex mu_;
    std::shared_ptr<Protection> current_;
    WebConfig config_;
    std::vector<std::array<std::int64_t, 5>> signature_;
    std::string last_error_;
};

} // namespace vx7::gateway

#endif
