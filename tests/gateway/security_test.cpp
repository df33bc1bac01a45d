// vx7-gateway's protection end to end, with the real driver and gateway in
// the sandbox: TLS and logins from a --web-config file (certificates made by
// openssl in the test's directory, passwords hashed by htpasswd), checked
// with curl and a real Prometheus server; the file read again when it
// changes, never falling back to less; the Host names the gateway answers
// to; and the page behind a login in headless Chromium.
#include "child_process.h"
#include "gateway_sandbox.h"
#include "shell.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

namespace {

using namespace vx7gw;
using vx7test::shell;

// A test CA, the gateway's certificate (for 127.0.0.1 and localhost), a
// client certificate from that CA and one from a CA nobody trusts.
bool make_pki(const std::string &dir)
{
    const std::string script =
        "cd '" + dir + "' && exec >openssl.log 2>&1 && " +
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' >san.ext && "
        "printf 'extendedKeyUsage=clientAuth\\n' >client.ext && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=vx7-test-ca "
        "-keyout ca.key -out ca.pem && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=other-ca "
        "-keyout other-ca.key -out other-ca.pem && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 "
        "-keyout server.key -out server.csr && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext "
        "-out server.pem && "
        "for c in client:ca stranger:other-ca; do n=${c%%:*}; a=${c#*:}; "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=$n -keyout $n.key -out $n.csr "
        "&& openssl x509 -req -in $n.csr -CA $a.pem -CAkey $a.key -CAcreateserial -days 2 -extfile client.ext "
        "-out $n.pem || exit 1; done";
    return std::system(script.c_str()) == 0;
}

std::string htpasswd(const std::string &user, const std::string &password)
{
    const auto r = shell("htpasswd -nbBC 10 '" + user + "' '" + password + "'");
    const std::size_t colon = r.text.find(':');
    const std::size_t end = r.text.find('\n');
    return r.status == 0 && colon != std::string::npos ? r.text.substr(colon + 1, end - colon - 1) : std::string();
}

// curl's status code for a request (000 when none came), its output in `out`.
std::string curl(const std::string &args, std::string *out = nullptr)
{
    const auto r = shell("curl -sS --max-time 5 -o /dev/stdout -w '\\n%{http_code}' " + args);
    const std::size_t nl = r.text.rfind('\n');
    if (out != nullptr)
        *out = nl == std::string::npos ? r.text : r.text.substr(0, nl);
    return nl == std::string::npos ? r.text : r.text.substr(nl + 1);
}

class Secured : public Gateway {
protected:
    void SetUp() override
    {
        Gateway::SetUp();
        ASSERT_TRUE(make_pki(dir_.path().string())) << vx7test::read_file(dir_.file("openssl.log"));
        hash_ = htpasswd("prom", "s3cret");
        ASSERT_EQ(hash_.rfind("$2y$10$", 0), 0u) << "htpasswd (apache2-utils) is needed: " << hash_;
    }
    std::string web_config() const { return dir_.file("web.yml"); }
    void write_web_config(const std::string &yaml) const
    {
        // Replaced whole, as an editor or a deployment tool does.
        vx7test::write_file(web_config() + ".new", yaml);
        ::rename((web_config() + ".new").c_str(), web_config().c_str());
    }
    std::string tls(const std::string &more = "") const
    {
        return "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n" + more;
    }
    std::string url(const std::string &path) const
    {
        return "'https://127.0.0.1:" + std::to_string(port_) + path + "'";
    }
    std::string ca() const { return "--cacert '" + dir_.file("ca.pem") + "' "; }

    std::string hash_;
};

} // namespace

// Over HTTPS with the test CA: every route needs the login, a wrong one or
// none gets 401 with the realm; the right one reaches everything, the event
// stream included. The password never reaches the log.
TEST_F(Secured, LoginsOverTlsOnEveryRoute)
{
    write_web_config(tls() + "basic_auth_users:\n  prom: " + hash_ + "\n");
    ASSERT_TRUE(start_gateway("--web-config " + web_config()));
    EXPECT_NE(sb_->read("/gw.err").find("serving https://127.0.0.1:"), std::string::npos) << sb_->read("/gw.err");
    struct Case {
        const char *what;
        std::string login; // curl -u
        std::string path;
        std::string code;
    } cases[] = {
        {"no login", "", "/api/v1/channels", "401"},
        {"no login, page", "", "/", "401"},
        {"no login, metrics", "", "/metrics", "401"},
        {"no login, stream", "", "/api/v1/stream", "401"},
        {"wrong password", "prom:s3cret2", "/api/v1/channels", "401"},
        {"empty password", "prom:", "/api/v1/channels", "401"},
        {"unknown user", "nobody:s3cret", "/api/v1/channels", "401"},
        {"login", "prom:s3cret", "/api/v1/channels", "200"},
        {"login, page", "prom:s3cret", "/", "200"},
        {"login, asset", "prom:s3cret", "/assets/app.js", "200"},
        {"login, metrics", "prom:s3cret", "/metrics", "200"},
        {"login, history", "prom:s3cret", "/api/v1/history?seconds=1", "200"},
        {"login again (remembered)", "prom:s3cret", "/metrics", "200"},
    };
    for (const Case &c : cases) {
        const std::string login = c.login.empty() ? "" : "-u '" + c.login + "' ";
        const std::string dump = dir_.file("headers.txt");
        EXPECT_EQ(curl(ca() + login + "-D '" + dump + "' " + url(c.path)), c.code) << c.what;
        const std::string headers = vx7test::read_file(dump);
        if (c.code == "401") {
            EXPECT_NE(headers.find("WWW-Authenticate: Basic realm=\"vx7\""), std::string::npos) << c.what << headers;
        }
    }
    std::string events;
    curl(ca() + "-u prom:s3cret -N --max-time 2 " + url("/api/v1/stream"), &events);
    EXPECT_NE(events.find("event: sample\ndata: {"), std::string::npos) << events;
    // Still the Host check behind the login; plain HTTP gets nothing.
    EXPECT_EQ(curl(ca() + "-u prom:s3cret -H 'Host: attacker.example' " + url("/metrics")), "403");
    EXPECT_EQ(curl("http://127.0.0.1:" + std::to_string(port_) + "/metrics"), "000");
    EXPECT_EQ(sb_->read("/gw.err").find("s3cret"), std::string::npos) << "a password in the log";
}

// A client certificate from the trusted CA is required once the file asks
// for it, for the connections after the change; a file that then cannot be
// read leaves that in force.
TEST_F(Secured, ClientCertificatesAndAChangedFile)
{
    write_web_config(tls());
    ASSERT_TRUE(start_gateway("--web-config " + web_config()));
    const auto with = [&](const std::string &who) {
        return who.empty() ? "" : "--cert '" + dir_.file(who + ".pem") + "' --key '" + dir_.file(who + ".key") + "' ";
    };
    EXPECT_EQ(curl(ca() + url("/metrics")), "200") << "no client certificate asked for yet";

    write_web_config(tls("  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n"));
    EXPECT_TRUE(vx7test::poll_until([&] { return curl(ca() + url("/metrics")) == "000"; }, 10s))
        << "the changed file was not picked up: " << sb_->read("/gw.err");
    struct Case {
        const char *who; // whose certificate, "" for none
        std::string code;
    } cases[] = {{"", "000"}, {"client", "200"}, {"stranger", "000"}};
    for (const Case &c : cases)
        EXPECT_EQ(curl(ca() + with(c.who) + url("/metrics")), c.code) << "certificate: " << c.who;

    // Broken, then removed: the last good settings stay.
    write_web_config("tls_server_config: [\n");
    EXPECT_TRUE(
        vx7test::poll_until([&] { return sb_->read("/gw.err").find("stay in force") != std::string::npos; }, 10s))
        << sb_->read("/gw.err");
    ::unlink(web_config().c_str());
    // Noticed as the broken one was: the gateway says so once more.
    const auto said = [&] {
        const std::string err = sb_->read("/gw.err");
        std::size_t n = 0;
        for (std::size_t at = err.find("stay in force"); at != std::string::npos;
             at = err.find("stay in force", at + 1))
            ++n;
        return n;
    };
    EXPECT_TRUE(vx7test::poll_until([&] { return said() >= 2; }, 10s)) << sb_->read("/gw.err");
    for (const Case &c : cases)
        EXPECT_EQ(curl(ca() + with(c.who) + url("/metrics")), c.code) << "certificate: " << c.who;
}

// Debian's Prometheus scrapes the gateway over HTTPS with a login and the
// test CA, as the README's job says, and sees it up.
TEST_F(Secured, PrometheusScrapesOverHttpsWithALogin)
{
    write_web_config(tls() + "basic_auth_users:\n  prom: " + hash_ + "\n");
    ASSERT_TRUE(start_gateway("--web-config " + web_config()));
    vx7test::write_file(dir_.file("prometheus.yml"),
                        "global:\n  scrape_interval: 1s\n"
                        "scrape_configs:\n"
                        "  - job_name: vx7\n"
                        "    scheme: https\n"
                        "    basic_auth:\n      username: prom\n      password: s3cret\n"
                        "    tls_config:\n      ca_file: " +
                            dir_.file("ca.pem") +
                            "\n"
                            "    static_configs:\n      - targets: ['127.0.0.1:" +
                            std::to_string(port_) + "']\n");
    const int prom_port = vx7test::free_port();
    vx7test::Process prometheus({"prometheus", "--config.file=" + dir_.file("prometheus.yml"),
                                 "--storage.tsdb.path=" + dir_.file("tsdb"),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)},
                                dir_.file("prometheus.log"));
    vx7test::HttpClient prom("127.0.0.1", prom_port);
    nlohmann::json up;
    const bool scraped = vx7test::poll_until(
        [&] {
            const auto r = prom.Get("/api/v1/query?query=up%7Bjob%3D%22vx7%22%7D");
            up = r && r->status == 200 ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
            return up.is_object() && up["data"]["result"].size() == 1 && up["data"]["result"][0]["value"][1] == "1";
        },
        30s);
    EXPECT_TRUE(scraped) << up.dump() << vx7test::read_file(dir_.file("prometheus.log"));
}

// The Host names the gateway answers to: its listen address, this machine's
// names, and --allow-host names, each with the port; nothing else, and no
// name without the port on a port other than 80.
TEST_F(Gateway, HostNamesItAnswersTo)
{
    ASSERT_TRUE(start_gateway("--allow-host grafana.lab --allow-host 192.0.2.9"));
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    const std::string port = ":" + std::to_string(port_);
    struct Case {
        std::string host;
        std::string code;
    } cases[] = {
        {"127.0.0.1" + port, "200"},
        {std::string(name) + port, "200"},
        {"grafana.lab" + port, "200"},
        {"GRAFANA.LAB" + port, "200"},
        {"192.0.2.9" + port, "200"},
        {"other.lab" + port, "403"},
        {"grafana.lab.other" + port, "403"},
        {"grafana.lab", "403"},
        {"127.0.0.1", "403"},
        {std::string(name), "403"},
        {"grafana.lab:1", "403"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(curl("-H 'Host: " + c.host + "' http://127.0.0.1" + port + "/metrics"), c.code) << c.host;
    // The fully qualified name, when the resolver knows one.
    const auto fqdn = shell("hostname -f");
    if (fqdn.status == 0 && fqdn.text.find('.') != std::string::npos) {
        const std::string full = fqdn.text.substr(0, fqdn.text.find('\n'));
        EXPECT_EQ(curl("-H 'Host: " + full + port + "' http://127.0.0.1" + port + "/metrics"), "200") << full;
    }
}

// The page behind a login: the browser asks once and the page, its chart,
// event stream and controls work as without.
TEST_F(Secured, DashboardBehindALogin)
{
    write_web_config("basic_auth_users:\n  prom: " + hash_ + "\n");
    ASSERT_TRUE(start_gateway("--allow-configure --web-config " + web_config()));
    ASSERT_TRUE(Sandbox::wait_until([&] {
        return curl("-u prom:s3cret http://127.0.0.1:" + std::to_string(port_) + "/api/v1/channels") == "200";
    }));
    sim_->clear_commands(dev_);
    const std::string page = "http://127.0.0.1:" + std::to_string(port_) + "/";
    const Proc refused = run_host(dir_, {"/usr/bin/python3", VX7_TEST_DASHBOARD_PY, "--login-only", "--url", page,
                                         "--out", dir_.file("refused")});
    EXPECT_NE(refused.status, 0) << "the page worked without a login";
    const Proc p = run_host(dir_, {"env", "VX7_DASHBOARD_LOGIN=prom:s3cret", "/usr/bin/python3", VX7_TEST_DASHBOARD_PY,
                                   "--login-only", "--url", page, "--out", dir_.file("login")});
    EXPECT_EQ(p.status, 0) << p.out << p.err;
    bool gnd_sent = false;
    for (const auto &c : sim_->commands(dev_))
        gnd_sent = gnd_sent || (c.data[0] == 6 && c.data[1] == 0x04 && c.data[3] == 2);
    EXPECT_TRUE(gnd_sent) << "the page's input change did not reach the device";
}

// A --web-config file that cannot be used stops the start: one line naming
// the file and what is wrong, status 2, nothing served meanwhile.
TEST(GatewayWebConfig, AFileThatCannotBeUsedStopsTheStart)
{
    vx7test::TempDir dir;
    ASSERT_TRUE(make_pki(dir.path().string())) << vx7test::read_file(dir.file("openssl.log"));
    const std::string tls = "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n";
    struct Case {
        const char *what;
        const char *file; // in dir; written with `yaml` unless empty
        std::string yaml;
        std::string message;
    } cases[] = {
        {"missing", "none.yml", "", "none.yml: cannot read it: No such file or directory"},
        {"a directory", ".", "", "cannot read it"},
        {"not YAML", "a.yml", "tls_server_config: [\n", "a.yml: not valid YAML"},
        {"a password in clear", "b.yml", "basic_auth_users:\n  prom: s3cret\n", "must be a bcrypt hash"},
        {"no certificate", "c.yml", "tls_server_config:\n  cert_file: nothere.pem\n  key_file: server.key\n",
         "cannot read cert_file " + dir.file("nothere.pem")},
        {"another's key", "d.yml", "tls_server_config:\n  cert_file: server.pem\n  key_file: client.key\n",
         "is not the key of cert_file"},
        {"not a certificate", "e.yml", "tls_server_config:\n  cert_file: ca.key\n  key_file: server.key\n",
         "cannot use cert_file"},
    };
    for (const Case &c : cases) {
        const std::string path = dir.file(c.file);
        if (!c.yaml.empty())
            vx7test::write_file(path, c.yaml);
        const Proc p = run_host(dir, {kGateway, "--listen", "127.0.0.1:0", "--web-config", path});
        EXPECT_EQ(p.status, 2) << c.what << ": " << p.err;
        EXPECT_EQ(p.err.rfind("vx7-gateway: --web-config " + path + ": ", 0), 0u) << c.what << ": " << p.err;
        EXPECT_NE(p.err.find(c.message), std::string::npos) << c.what << ": " << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << c.what << ": " << p.err;
        EXPECT_EQ(p.err.find("serving"), std::string::npos) << c.what;
    }
}
