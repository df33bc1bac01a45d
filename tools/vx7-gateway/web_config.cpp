#include "web_config.h"

#include "request_rules.h"

#include <crypt.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vx7::gateway {

namespace {

namespace ssl = boost::asio::ssl;

// A bcrypt hash of a password nobody has: an unknown user's login costs as
// much as a known one's.
constexpr const char *kNobodyHash = "$2y$10$jQHbz/tgC.rYGmz85MXpAu8KfcL15.Wn/9/JGgvX2O6T8WL0yj4cu";

bool bcrypt_hash(std::string_view h)
{
    if (h.size() != 60 || !(h.starts_with("$2a$") || h.starts_with("$2b$") || h.starts_with("$2y$")) || h[6] != '$')
        return false;
    const int cost = (h[4] - '0') * 10 + (h[5] - '0');
    if (h[4] < '0' || h[4] > '3' || h[5] < '0' || h[5] > '9' || cost < 4 || cost > 31)
        return false;
    for (const char c : h.substr(7)) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '.' && c != '/')
            return false;
    }
    return true;
}

std::string read_file(const std::string &path, std::string &out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    out.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return std::strerror(e);
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > (1u << 20)) {
            ::close(fd);
            return "larger than 1 MiB";
        }
    }
    ::close(fd);
    return {};
}

// The keys of a map node, each once; an error text for a duplicate.
std::string unique_keys(const YAML::Node &map, const std::string &where)
{
    std::set<std::string> seen;
    for (const auto &kv : map) {
        if (!kv.first.IsScalar())
            return where + " has a key that is not a name";
        if (!seen.insert(kv.first.Scalar()).second)
            return where + "." + kv.first.Scalar() + " is given twice";
    }
    return {};
}

std::string scalar(const YAML::Node &n, const std::string &where, std::string &out)
{
    if (!n.IsScalar())
        return where + " must be a string";
    out = n.Scalar();
    return {};
}

std::string tls_version(const YAML::Node &n, const std::string &where, int &out)
{
    static const std::pair<const char *, int> versions[] = {
        {"TLS10", TLS1_VERSION}, {"TLS11", TLS1_1_VERSION}, {"TLS12", TLS1_2_VERSION}, {"TLS13", TLS1_3_VERSION}};
    if (n.IsScalar()) {
        for (const auto &[name, v] : versions) {
            if (n.Scalar() == name) {
                out = v;
                return {};
            }
        }
    }
    return where + " must be TLS10, TLS11, TLS12 or TLS13" + (n.IsScalar() ? ", not '" + n.Scalar() + "'" : "");
}

std::string client_auth(const YAML::Node &n, ClientAuth &out)
{
    static const std::pair<const char *, ClientAuth> types[] = {
        {"NoClientCert", ClientAuth::None},
        {"RequestClientCert", ClientAuth::Request},
        {"RequireAnyClientCert", ClientAuth::RequireAny},
        {"VerifyClientCertIfGiven", ClientAuth::VerifyIfGiven},
        {"RequireAndVerifyClientCert", ClientAuth::RequireAndVerify}};
    if (n.IsScalar()) {
        for (const auto &[name, v] : types) {
            if (n.Scalar() == name) {
                out = v;
                return {};
            }
        }
    }
    return "tls_server_config.client_auth_type must be NoClientCert, RequestClientCert, RequireAnyClientCert, "
           "VerifyClientCertIfGiven or RequireAndVerifyClientCert";
}

std::string resolve(const std::string &dir, const std::string &file)
{
    if (file.empty() || file.front() == '/' || dir.empty())
        return file;
    return dir + "/" + file;
}

std::string parse_tls(const YAML::Node &node, const std::string &dir, TlsSettings &t)
{
    const std::string w = "tls_server_config";
    if (!node.IsMap())
        return w + " must hold cert_file and key_file";
    if (std::string e = unique_keys(node, w); !e.empty())
        return e;
    t.min_version = TLS1_2_VERSION;
    t.max_version = TLS1_3_VERSION;
    for (const auto &kv : node) {
        const std::string key = kv.first.Scalar();
        const std::string where = w + "." + key;
        std::string e;
        if (key == "cert_file" || key == "key_file" || key == "client_ca_file") {
            std::string &dst = key == "cert_file" ? t.cert_file : key == "key_file" ? t.key_file : t.client_ca_file;
            e = scalar(kv.second, where, dst);
            dst = resolve(dir, dst);
        } else if (key == "cert" || key == "key" || key == "client_ca") {
            e = scalar(kv.second, where, key == "cert" ? t.cert : key == "key" ? t.key : t.client_ca);
        } else if (key == "client_auth_type") {
            e = client_auth(kv.second, t.client_auth);
        } else if (key == "min_version" || key == "max_version") {
            e = tls_version(kv.second, where, key == "min_version" ? t.min_version : t.max_version);
        } else if (key == "prefer_server_cipher_suites") {
            std::string v;
            e = scalar(kv.second, where, v);
            if (e.empty() && v != "true" && v != "false")
                e = where + " must be true or false";
            t.prefer_server_ciphers = v == "true";
        } else if (key == "cipher_suites" || key == "curve_preferences" || key == "client_allowed_sans") {
            e = where + " is not supported by vx7-gateway (leave it out)";
        } else {
            e = "unknown setting " + where;
        }
        if (!e.empty())
            return e;
    }
    if (t.cert_file.empty() == t.cert.empty())
        return w + " needs one of cert_file and cert";
    if (t.key_file.empty() == t.key.empty())
        return w + " needs one of key_file and key";
    if (!t.client_ca_file.empty() && !t.client_ca.empty())
        return w + " takes client_ca_file or client_ca, not both";
    const bool ca = !t.client_ca_file.empty() || !t.client_ca.empty();
    const bool verifies = t.client_auth == ClientAuth::VerifyIfGiven || t.client_auth == ClientAuth::RequireAndVerify;
    if (verifies && !ca)
        return w + ".client_auth_type " +
               (t.client_auth == ClientAuth::VerifyIfGiven ? "VerifyClientCertIfGiven" : "RequireAndVerifyClientCert") +
               " needs client_ca_file";
    if (ca && !verifies)
        return w +
               ".client_ca_file is given but client_auth_type does not verify client certificates "
               "(RequireAndVerifyClientCert)";
    if (t.min_version > t.max_version)
        return w + ".min_version is above max_version";
    return {};
}

std::string parse_users(const YAML::Node &node, WebConfig &out)
{
    const std::string w = "basic_auth_users";
    if (node.IsNull())
        return {};
    if (!node.IsMap())
        return w + " must map user names to bcrypt hashes";
    if (std::string e = unique_keys(node, w); !e.empty())
        return e;
    for (const auto &kv : node) {
        const std::string user = kv.first.Scalar();
        if (user.empty() || user.find(':') != std::string::npos)
            return w + ": a user name must not be empty nor hold ':'";
        if (!kv.second.IsScalar() || !bcrypt_hash(kv.second.Scalar()))
            return w + "." + user + " must be a bcrypt hash ($2y$10$..., as htpasswd -nBC 10 makes it)";
        out.users.emplace_back(user, kv.second.Scalar());
    }
    return {};
}

std::string parse_http(const YAML::Node &node)
{
    if (node.IsNull())
        return {};
    if (!node.IsMap())
        return "http_server_config must be a map";
    for (const auto &kv : node) {
        const std::string key = kv.first.IsScalar() ? kv.first.Scalar() : std::string();
        // HTTP/2 would only be offered; without it clients speak HTTP/1.1.
        if (key == "http2" && kv.second.IsScalar() && (kv.second.Scalar() == "true" || kv.second.Scalar() == "false"))
            continue;
        return "http_server_config." + key + " is not supported by vx7-gateway (leave it out)";
    }
    return {};
}

std::string load_pem(const std::string &file, const std::string &text, const char *what, std::string &out)
{
    if (file.empty()) {
        out = text;
        return {};
    }
    if (std::string e = read_file(file, out); !e.empty())
        return std::string("cannot read ") + what + " " + file + ": " + e;
    return {};
}

std::string make_context(const TlsSettings &t, std::unique_ptr<ssl::context> &out)
{
    auto ctx = std::make_unique<ssl::context>(ssl::context::tls_server);
    boost::system::error_code ec;
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::single_dh_use,
                     ec);
    SSL_CTX *h = ctx->native_handle();
    SSL_CTX_set_min_proto_version(h, t.min_version);
    SSL_CTX_set_max_proto_version(h, t.max_version);
    if (t.prefer_server_ciphers)
        SSL_CTX_set_options(h, SSL_OP_CIPHER_SERVER_PREFERENCE);
    std::string pem;
    const auto what = [](const char *name, const std::string &file) {
        return std::string(name) + (file.empty() ? "" : " " + file);
    };
    if (std::string e = load_pem(t.cert_file, t.cert, "cert_file", pem); !e.empty())
        return e;
    if (ctx->use_certificate_chain(boost::asio::buffer(pem), ec); ec)
        return "cannot use " + what("cert_file", t.cert_file) + ": " + ec.message();
    if (std::string e = load_pem(t.key_file, t.key, "key_file", pem); !e.empty())
        return e;
    ctx->use_private_key(boost::asio::buffer(pem), ssl::context::pem, ec);
    OPENSSL_cleanse(pem.data(), pem.size());
    const bool mismatch = ec && ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == X509_R_KEY_VALUES_MISMATCH;
    if (mismatch || (!ec && SSL_CTX_check_private_key(h) != 1))
        return what("key_file", t.key_file) + " is not the key of " + what("cert_file", t.cert_file);
    if (ec)
        return "cannot use " + what("key_file", t.key_file) + ": " + ec.message();
    if (!t.client_ca_file.empty() || !t.client_ca.empty()) {
        if (std::string e = load_pem(t.client_ca_file, t.client_ca, "client_ca_file", pem); !e.empty())
            return e;
        if (ctx->add_certificate_authority(boost::asio::buffer(pem), ec); ec)
            return "cannot use " + what("client_ca_file", t.client_ca_file) + ": " + ec.message();
    }
    using V = ssl::context;
    switch (t.client_auth) {
    case ClientAuth::None:
        ctx->set_verify_mode(V::verify_none);
        break;
    case ClientAuth::Request:
    case ClientAuth::RequireAny:
        // Any certificate, unverified: what the setting's name says.
        ctx->set_verify_mode(V::verify_peer |
                             (t.client_auth == ClientAuth::RequireAny ? V::verify_fail_if_no_peer_cert : 0));
        ctx->set_verify_callback([](bool, ssl::verify_context &) { return true; });
        break;
    case ClientAuth::VerifyIfGiven:
        ctx->set_verify_mode(V::verify_peer);
        break;
    case ClientAuth::RequireAndVerify:
        ctx->set_verify_mode(V::verify_peer | V::verify_fail_if_no_peer_cert);
        break;
    }
    static const unsigned char id[] = "vx7-gateway";
    SSL_CTX_set_session_id_context(h, id, sizeof id - 1);
    out = std::move(ctx);
    return {};
}

} // namespace

std::string parse_web_config(std::string_view yaml, const std::string &dir, WebConfig &out)
{
    out = WebConfig{};
    YAML::Node root;
    try {
        root = YAML::Load(std::string(yaml));
    } catch (const YAML::Exception &e) {
        return "not valid YAML (line " + std::to_string(e.mark.line + 1) + "): " + e.msg;
    }
    if (root.IsNull())
        return {};
    if (!root.IsMap())
        return "must be a map of tls_server_config, basic_auth_users";
    if (std::string e = unique_keys(root, "the file"); !e.empty())
        return e;
    for (const auto &kv : root) {
        const std::string key = kv.first.Scalar();
        std::string e;
        if (key == "tls_server_config") {
            out.tls.emplace();
            e = parse_tls(kv.second, dir, *out.tls);
        } else if (key == "basic_auth_users") {
            e = parse_users(kv.second, out);
        } else if (key == "http_server_config") {
            e = parse_http(kv.second);
        } else if (key == "rate_limit") {
            e = "rate_limit is not supported by vx7-gateway (leave it out)";
        } else {
            e = "unknown setting " + key + " (tls_server_config, basic_auth_users)";
        }
        if (!e.empty())
            return e;
    }
    return {};
}

std::shared_ptr<Protection> Protection::make(const WebConfig &config, std::string &error)
{
    std::shared_ptr<Protection> p(new Protection);
    p->users_ = config.users;
    if (config.tls) {
        if (std::string e = make_context(*config.tls, p->tls_); !e.empty()) {
            error = e;
            return nullptr;
        }
    }
    return p;
}

Protection::Digest Protection::digest(std::string_view user, std::string_view password)
{
    std::string in;
    in.reserve(user.size() + password.size() + 1);
    in += user;
    in += '\0';
    in += password;
    Digest d{};
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), d.data(), &n, EVP_sha256(), nullptr);
    OPENSSL_cleanse(in.data(), in.size());
    return d;
}

Protection::Login Protection::known(std::string_view authorization, std::string &user, std::string &password) const
{
    if (!basic_credentials(authorization, user, password))
        return Login::Refused;
    const Digest d = digest(user, password);
    std::lock_guard lock(mu_);
    return verified_.count(d) != 0 ? Login::Ok : Login::Check;
}

bool Protection::verify(const std::string &user, const std::string &password)
{
    const char *hash = kNobodyHash;
    bool known_user = false;
    for (const auto &[name, h] : users_) {
        if (name == user) {
            hash = h.c_str();
            known_user = true;
        }
    }
    auto data = std::make_unique<crypt_data>();
    const char *r = crypt_rn(password.c_str(), hash, data.get(), sizeof *data);
    const std::size_t n = std::strlen(hash);
    const bool ok = known_user && r != nullptr && std::strlen(r) == n && CRYPTO_memcmp(r, hash, n) == 0;
    OPENSSL_cleanse(data.get(), sizeof *data);
    if (ok) {
        std::lock_guard lock(mu_);
        if (verified_.size() >= 256)
            verified_.clear();
        verified_.insert(digest(user, password));
    }
    return ok;
}

std::vector<std::array<std::int64_t, 5>> WebConfigFile::signature(const WebConfig *config) const
{
    std::vector<std::string> files{path_};
    if (config != nullptr && config->tls)
        files.insert(files.end(), {config->tls->cert_file, config->tls->key_file, config->tls->client_ca_file});
    std::vector<std::array<std::int64_t, 5>> out;
    for (const std::string &f : files) {
        struct stat st {};
        if (f.empty() || ::stat(f.c_str(), &st) != 0) {
            out.push_back({-1, -1, -1, -1, -1});
            continue;
        }
        out.push_back({static_cast<std::int64_t>(st.st_ino), static_cast<std::int64_t>(st.st_size),
                       st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec,
                       st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec, static_cast<std::int64_t>(st.st_dev)});
    }
    return out;
}

std::string WebConfigFile::read(WebConfig &config, std::shared_ptr<Protection> &protection) const
{
    std::string text;
    if (std::string e = read_file(path_, text); !e.empty())
        return "cannot read it: " + e;
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash == 0 ? 1 : slash);
    if (std::string e = parse_web_config(text, dir, config); !e.empty())
        return e;
    std::string error;
    protection = Protection::make(config, error);
    return error;
}

std::string WebConfigFile::load()
{
    WebConfig config;
    std::shared_ptr<Protection> p;
    const auto before = signature(nullptr);
    if (std::string e = read(config, p); !e.empty())
        return "--web-config " + path_ + ": " + e;
    std::lock_guard lock(mu_);
    current_ = std::move(p);
    signature_ = signature(&config);
    signature_[0] = before[0];
    config_ = std::move(config);
    return {};
}

void WebConfigFile::refresh()
{
    WebConfig old;
    std::vector<std::array<std::int64_t, 5>> known;
    {
        std::lock_guard lock(mu_);
        old = config_;
        known = signature_;
    }
    if (signature(&old) == known)
        return;
    const auto before = signature(nullptr);
    WebConfig config;
    std::shared_ptr<Protection> p;
    const std::string e = read(config, p);
    std::lock_guard lock(mu_);
    if (!e.empty()) {
        // Not read again until something changes.
        signature_ = signature(&old);
        if (e != last_error_)
            std::fprintf(stderr, "vx7-gateway: --web-config %s: %s (the settings read before stay in force)\n",
                         path_.c_str(), e.c_str());
        last_error_ = e;
        return;
    }
    current_ = std::move(p);
    signature_ = signature(&config);
    signature_[0] = before[0];
    config_ = std::move(config);
    last_error_.clear();
    std::fprintf(stderr, "vx7-gateway: --web-config %s read again\n", path_.c_str());
}

std::shared_ptr<Protection> WebConfigFile::current() const
{
    std::lock_guard lock(mu_);
    return current_;
}

} // namespace vx7::gateway
