// What the gateway makes of a request before answering it: the Host and
// Origin it accepts (DNS rebinding), routes, queries and Basic credentials;
// and the web-config file (TLS and logins) with passwords hashed by
// htpasswd, as users make them.
#include "request_rules.h"
#include "tempdir.h"
#include "web_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <openssl/ssl.h>
#include <string>
#include <sys/wait.h>

using vx7::gateway::HostRules;
using vx7::gateway::Route;

namespace {

// `htpasswd -nbBC 10 USER PASSWORD`'s hash of the password.
std::string htpasswd(const std::string &user, const std::string &password)
{
    const std::string cmd = "htpasswd -nbBC 10 '" + user + "' '" + password + "' 2>/dev/null";
    std::FILE *p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return {};
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    ::pclose(p);
    std::string s = got ? line : "";
    const std::size_t colon = s.find(':');
    if (colon == std::string::npos)
        return {};
    s = s.substr(colon + 1);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

} // namespace

TEST(HostRulesTest, OnlyThisGatewaysNamesWithItsPort)
{
    struct Case {
        const char *listen;
        int port;
        const char *host;
        bool tls;
        const char *local; // the connection's own address
        bool allowed;
    } cases[] = {
        {"127.0.0.1", 8077, "127.0.0.1:8077", false, "", true},
        {"127.0.0.1", 8077, "LOCALHOST:8077", false, "", true},
        {"127.0.0.1", 8077, "[::1]:8077", false, "", true},
        {"127.0.0.1", 8077, "stand01:8077", false, "", true},     // this machine's short name
        {"127.0.0.1", 8077, "stand01.lab:8077", false, "", true}, // and its full one
        {"127.0.0.1", 8077, "grafana.lab:8077", false, "", true}, // --allow-host
        {"127.0.0.1", 8077, "attacker.example:8077", false, "", false},
        {"127.0.0.1", 8077, "stand01.lab.attacker.example:8077", false, "", false},
        {"127.0.0.1", 8077, "stand01:8078", false, "", false},
        {"127.0.0.1", 8077, "stand01:08077", false, "", false},
        {"127.0.0.1", 8077, "stand01:", false, "", false},
        {"127.0.0.1", 8077, "stand01", false, "", false}, // no port: 80
        {"127.0.0.1", 8077, "", false, "", false},
        {"127.0.0.1", 8077, ":8077", false, "", false},
        {"127.0.0.1", 80, "stand01", false, "", true},
        {"127.0.0.1", 80, "stand01", true, "", false}, // no port with TLS: 443
        {"127.0.0.1", 443, "stand01", true, "", true},
        {"127.0.0.1", 443, "stand01", false, "", false},
        {"::1", 8077, "[::1]:8077", false, "", true},
        {"::1", 8077, "[::1", false, "", false},
        {"fe80::2", 8077, "[FE80::2]:8077", false, "", true},
        // Listening on every address: the address the client reached, as
        // an address, is the listen address.
        {"0.0.0.0", 8077, "192.0.2.17:8077", false, "192.0.2.17", true},
        {"0.0.0.0", 8077, "192.0.2.18:8077", false, "192.0.2.17", false},
        {"0.0.0.0", 8077, "0.0.0.0:8077", false, "192.0.2.17", false},
        {"::", 8077, "[2001:db8::5]:8077", false, "2001:db8::5", true},
        {"::", 8077, "2001:db8::5:8077", false, "2001:db8::5", false},
    };
    for (const Case &c : cases) {
        const HostRules rules(c.listen, c.port, {"stand01.lab", "stand01", "grafana.lab"});
        EXPECT_EQ(rules.host_allowed(c.host, c.tls, c.local), c.allowed)
            << c.host << " on " << c.listen << ":" << c.port << (c.tls ? " (TLS)" : "");
    }
}

TEST(HostRulesTest, WritesOnlyFromThePagesOwnOrigin)
{
    const HostRules rules("127.0.0.1", 8077, {"stand01"});
    struct Case {
        const char *origin;
        bool tls;
        bool allowed;
    } cases[] = {
        {"http://127.0.0.1:8077", false, true},
        {"http://stand01:8077", false, true},
        {"HTTP://LOCALHOST:8077", false, true},
        {"https://127.0.0.1:8077", false, false},
        {"https://127.0.0.1:8077", true, true},
        {"http://127.0.0.1:8077", true, false},
        {"http://127.0.0.1:8078", false, false},
        {"http://attacker.example:8077", false, false},
        {"null", false, false},
        {"http://127.0.0.1:8077/path", false, false},
        {"127.0.0.1:8077", false, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(rules.origin_allowed(c.origin, c.tls), c.allowed) << c.origin << (c.tls ? " (TLS)" : "");
}

TEST(RoutesTest, MethodAndTargetAsSentNothingDecoded)
{
    struct Case {
        const char *method;
        const char *target;
        Route route;
        const char *arg;
        const char *query;
    } cases[] = {
        {"GET", "/", Route::Page, "", ""},
        {"HEAD", "/", Route::Page, "", ""},
        {"GET", "/?x=1", Route::Page, "", "x=1"},
        {"GET", "/assets/uPlot.min.js", Route::Asset, "uPlot.min.js", ""},
        {"GET", "/assets/../server.cpp", Route::NotFound, "", ""},
        {"GET", "/assets/", Route::NotFound, "", ""},
        {"GET", "/assets/a%2fb", Route::NotFound, "", ""},
        {"GET", "/api/v1/channels", Route::Channels, "", ""},
        {"GET", "/api/v1/channels/", Route::NotFound, "", ""},
        {"GET", "/metrics", Route::Metrics, "", ""},
        {"GET", "/api/v1/stream", Route::Stream, "", ""},
        {"GET", "/api/v1/history?seconds=5", Route::History, "", "seconds=5"},
        {"POST", "/api/v1/history", Route::NotFound, "", ""},
        {"GET", "/api/v1/channels/1/config", Route::NotFound, "", ""},
        {"POST", "/api/v1/channels/1/config", Route::Configure, "1", ""},
        {"POST", "/api/v1/channels/%31/config", Route::Configure, "%31", ""},
        {"POST", "/api/v1/channels//config", Route::NotFound, "", ""},
        {"POST", "/api/v1/channels/1/2/config", Route::NotFound, "", ""},
        {"PUT", "/api/v1/channels/1/config", Route::NotFound, "", ""},
        {"GET", "http://127.0.0.1/metrics", Route::NotFound, "", ""},
        {"GET", "*", Route::NotFound, "", ""},
    };
    for (const Case &c : cases) {
        const auto t = vx7::gateway::match_route(c.method, c.target);
        EXPECT_EQ(t.route, c.route) << c.method << " " << c.target;
        EXPECT_EQ(t.arg, c.arg) << c.method << " " << c.target;
        EXPECT_EQ(t.query, c.query) << c.method << " " << c.target;
    }
}

TEST(QueryTest, EachParameterOnceAndWellEscaped)
{
    struct Case {
        const char *query;
        const char *error; // part of the message; "" when accepted
        std::vector<std::pair<std::string, std::string>> params;
    } cases[] = {
        {"", "", {}},
        {"seconds=5", "", {{"seconds", "5"}}},
        {"seconds=5&x", "", {{"seconds", "5"}, {"x", ""}}},
        {"a=%41+b&&c=", "", {{"a", "A b"}, {"c", ""}}},
        {"seconds=5&seconds=6", "'seconds' given more than once", {}},
        {"seconds=5&second%73=6", "'seconds' given more than once", {}},
        {"seconds=%3", "malformed query parameter 'seconds=%3'", {}},
        {"seconds=%zz", "malformed", {}},
    };
    for (const Case &c : cases) {
        std::vector<std::pair<std::string, std::string>> out;
        const std::string e = vx7::gateway::parse_query(c.query, out);
        if (c.error[0] == '\0') {
            EXPECT_EQ(e, "") << c.query;
            EXPECT_EQ(out, c.params) << c.query;
        } else {
            EXPECT_NE(e.find(c.error), std::string::npos) << c.query << " -> " << e;
        }
    }
}

TEST(BasicCredentialsTest, DecodesUserAndPassword)
{
    struct Case {
        const char *header;
        bool ok;
        const char *user;
        const char *password;
    } cases[] = {
        {"Basic cHJvbTpzM2NyZXQ=", true, "prom", "s3cret"}, // prom:s3cret
        {"basic cHJvbTpzM2NyZXQ=", true, "prom", "s3cret"}, // the scheme in any case
        {"Basic cHJvbTphOmI=", true, "prom", "a:b"},        // prom:a:b
        {"Basic OnB3", true, "", "pw"},                     // :pw
        {"Basic cHJvbQ==", false, "", ""},                  // no colon
        {"Basic cHJvbTpzM2NyZXQ", false, "", ""},           // not a multiple of 4
        {"Basic ****", false, "", ""},                      // not base64
        {"Bearer cHJvbTpzM2NyZXQ=", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case &c : cases) {
        std::string user = "unset";
        std::string password = "unset";
        EXPECT_EQ(vx7::gateway::basic_credentials(c.header, user, password), c.ok) << c.header;
        if (c.ok) {
            EXPECT_EQ(user, c.user) << c.header;
            EXPECT_EQ(password, c.password) << c.header;
        }
    }
}

TEST(AllowHostTest, NamesAndAddressesWithoutPorts)
{
    for (const char *good : {"stand01", "stand01.lab", "192.0.2.17", "[::1]", "[2001:db8::5]", "a-b_c.d"})
        EXPECT_TRUE(vx7::gateway::valid_host_name(good)) << good;
    for (const char *bad :
         {"", "stand01:8077", "::1", "[::1]:80", "*.lab", "a..b", ".lab", "lab.", "a b", "[zz]", "http://stand01"})
        EXPECT_FALSE(vx7::gateway::valid_host_name(bad)) << bad;
}

// The settings of the web-config format, read or refused with the setting
// named; relative files from the file's directory.
TEST(WebConfigTest, SettingsReadOrRefusedByName)
{
    const std::string hash = htpasswd("prom", "s3cret");
    ASSERT_EQ(hash.rfind("$2y$10$", 0), 0u) << "htpasswd (apache2-utils) is needed: " << hash;
    struct Case {
        std::string yaml;
        std::string error; // part of the message; "" when accepted
    } cases[] = {
        {"", ""},
        {"basic_auth_users:\n  prom: " + hash + "\n", ""},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n", ""},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  client_auth_type: RequireAndVerifyClientCert\n"
         "  client_ca_file: ca.pem\n  min_version: TLS13\n",
         ""},
        {"http_server_config:\n  http2: false\n", ""},
        {"basic_auth_users:\n  prom: s3cret\n", "basic_auth_users.prom must be a bcrypt hash"},
        {"basic_auth_users:\n  prom: " + hash + "\n  prom: " + hash + "\n", "basic_auth_users.prom is given twice"},
        {"basic_auth_users: [prom]\n", "basic_auth_users must map user names"},
        {"tls_server_config:\n  cert_file: s.pem\n", "needs one of key_file and key"},
        {"tls_server_config:\n  key_file: s.key\n", "needs one of cert_file and cert"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  min_version: TLS14\n",
         "min_version must be TLS10, TLS11, TLS12 or TLS13, not 'TLS14'"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  min_version: TLS13\n  max_version: TLS12\n",
         "min_version is above max_version"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  client_auth_type: RequireAndVerifyClientCert\n",
         "RequireAndVerifyClientCert needs client_ca_file"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  client_ca_file: ca.pem\n",
         "client_ca_file is given but client_auth_type does not verify"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  client_auth_type: Sometimes\n",
         "client_auth_type must be"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
         "tls_server_config.cipher_suites is not supported"},
        {"tls_server_config:\n  cert_file: s.pem\n  key_file: s.key\n  certfile: x\n",
         "unknown setting tls_server_config.certfile"},
        {"http_server_config:\n  headers:\n    X-Frame-Options: deny\n", "http_server_config.headers is not supported"},
        {"rate_limit:\n  interval: 1s\n", "rate_limit is not supported"},
        {"basic_auth_user:\n  prom: " + hash + "\n", "unknown setting basic_auth_user"},
        {"tls_server_config: [\n", "not valid YAML"},
        {"- a\n- b\n", "must be a map"},
    };
    for (const Case &c : cases) {
        vx7::gateway::WebConfig config;
        const std::string e = vx7::gateway::parse_web_config(c.yaml, "/etc/vx7", config);
        if (c.error.empty())
            EXPECT_EQ(e, "") << c.yaml;
        else
            EXPECT_NE(e.find(c.error), std::string::npos) << c.yaml << " -> " << e;
    }
    vx7::gateway::WebConfig config;
    ASSERT_EQ(
        vx7::gateway::parse_web_config("tls_server_config:\n  cert_file: s.pem\n  key_file: /k/s.key\n"
                                       "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n",
                                       "/etc/vx7", config),
        "");
    ASSERT_TRUE(config.tls);
    EXPECT_EQ(config.tls->cert_file, "/etc/vx7/s.pem");
    EXPECT_EQ(config.tls->key_file, "/k/s.key");
    EXPECT_EQ(config.tls->client_ca_file, "/etc/vx7/ca.pem");
    EXPECT_EQ(config.tls->client_auth, vx7::gateway::ClientAuth::RequireAndVerify);
    EXPECT_EQ(config.tls->min_version, TLS1_2_VERSION) << "TLS 1.2 at least unless the file says otherwise";
}

// Passwords against htpasswd's bcrypt hashes: the right one passes (and is
// remembered), a wrong one, another user's or an unknown user's does not.
TEST(WebConfigTest, LoginsCheckedAgainstBcryptHashes)
{
    const std::string prom = htpasswd("prom", "s3cret");
    const std::string admin = htpasswd("admin", "other one");
    ASSERT_FALSE(prom.empty());
    vx7::gateway::WebConfig config;
    ASSERT_EQ(
        vx7::gateway::parse_web_config("basic_auth_users:\n  prom: " + prom + "\n  admin: " + admin + "\n", "", config),
        "");
    std::string error;
    const auto p = vx7::gateway::Protection::make(config, error);
    ASSERT_TRUE(p) << error;
    EXPECT_TRUE(p->logins());
    EXPECT_EQ(p->tls(), nullptr);
    struct Case {
        const char *user;
        const char *password;
        bool ok;
    } cases[] = {
        {"prom", "s3cret", true}, {"admin", "other one", true}, {"prom", "s3cret ", false},  {"prom", "S3cret", false},
        {"prom", "", false},      {"admin", "s3cret", false},   {"nobody", "s3cret", false}, {"PROM", "s3cret", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(p->verify(c.user, c.password), c.ok) << c.user << ":" << c.password;

    // Known after a success ("prom:s3cret" in base64), checked again otherwise.
    std::string user;
    std::string password;
    using Login = vx7::gateway::Protection::Login;
    EXPECT_EQ(p->known("Basic cHJvbTpzM2NyZXQ=", user, password), Login::Ok);
    EXPECT_EQ(p->known("Basic cHJvbTpTM2NyZXQ=", user, password), Login::Check); // prom:S3cret
    EXPECT_EQ(p->known("Basic nonsense", user, password), Login::Refused);
    EXPECT_EQ(p->known("", user, password), Login::Refused);
}
