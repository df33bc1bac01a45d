// Options, URL, credentials file and payloads of the MQTT side.
#include "mqtt_publisher.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <sys/stat.h>

namespace {

using vx7::mqtt::Config;

TEST(MqttUrl, HostPortAndScheme)
{
    struct Case {
        const char *url;
        const char *host;
        int port;
        bool tls;
    } cases[] = {
        {"mqtt://broker.lab", "broker.lab", 1883, false},  {"mqtts://broker.lab", "broker.lab", 8883, true},
        {"mqtt://10.0.0.7:1884", "10.0.0.7", 1884, false}, {"mqtts://[::1]:9883", "::1", 9883, true},
        {"mqtt://[fe80::1]", "fe80::1", 1883, false},      {"mqtt://host/", "host", 1883, false},
    };
    for (const auto &c : cases) {
        std::string host;
        int port = 0;
        bool tls = !c.tls;
        EXPECT_EQ(vx7::mqtt::parse_url(c.url, host, port, tls), "") << c.url;
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
        EXPECT_EQ(tls, c.tls) << c.url;
    }
    for (const char *bad :
         {"", "broker", "http://broker", "mqtt://", "mqtt://host:", "mqtt://host:0", "mqtt://host:65536",
          "mqtt://host:12a", "mqtt://[::1", "mqtt://[::1]x", "mqtt://host/path", "tcp://host:1883"}) {
        std::string host;
        int port = 0;
        bool tls = false;
        EXPECT_NE(vx7::mqtt::parse_url(bad, host, port, tls).find("--mqtt must be mqtt://HOST[:PORT]"),
                  std::string::npos)
            << bad;
    }
    std::string host;
    int port = 0;
    bool tls = false;
    EXPECT_NE(vx7::mqtt::parse_url("mqtt://u:p@host", host, port, tls).find("--mqtt-credentials"), std::string::npos);
}

TEST(MqttOptions, ValuesAndCombinations)
{
    vx7test::TempDir dir;
    const std::string ca = dir.file("ca.pem");
    vx7test::write_file(ca, "x");

    // Each row: options, then the message expected from set_option or
    // finish_config ("" when all is well).
    struct Case {
        std::vector<std::pair<std::string, std::string>> options;
        std::string error;
    } cases[] = {
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-qos", "1"}}, ""},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-qos", "2"}}, "--mqtt-qos must be 0 or 1, not '2'"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab/+/x"}}, "--mqtt-prefix must be a topic without wildcards"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab/"}}, "without a trailing /"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab/#"}}, "--mqtt-prefix must be"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "$SYS/vx7"}}, "--mqtt-prefix must not start with $"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "$"}}, "must not start with $"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab/a$b"}}, ""},
        {{{"--mqtt", "mqtt://h"},
          {"--mqtt-prefix",
           "Pr\xc3\xbc"
           "fstand/\xe6\xb5\x8b/\xf0\x9f\x94\xac"}},
         ""},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\tstand"}}, "UTF-8 text without control characters"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\x7f"}}, "without control characters"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\xc2\x85"}}, "without control characters"}, // NEL, a C1 control
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\xff"}}, "without control characters"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\xc3"}}, "without control characters"},         // cut short
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\xc0\xaf"}}, "without control characters"},     // overlong '/'
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\xed\xa0\x80"}}, "without control characters"}, // surrogate
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-prefix", "lab\xf4\x90\x80\x80"}},
         "without control characters"}, // > U+10FFFF
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-client-id", ""}}, "--mqtt-client-id must be 1-256 characters"},
        {{{"--mqtt-qos", "1"}}, "--mqtt-qos needs --mqtt URL"},
        {{{"--mqtt-prefix", "a"}}, "--mqtt-prefix needs --mqtt URL"},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-cafile", ca}}, "--mqtt-cafile needs an mqtts:// URL"},
        {{{"--mqtt", "mqtts://h"}, {"--mqtt-cafile", ca}}, ""},
        {{{"--mqtt", "mqtts://h"}, {"--mqtt-cert", ca}}, "--mqtt-cert and --mqtt-key go together"},
        {{{"--mqtt", "mqtts://h"}, {"--mqtt-cafile", dir.file("none.pem")}}, "cannot read --mqtt-cafile"},
        {{{"--mqtt", "mqtts://h"}, {"--mqtt-cert", ca}, {"--mqtt-key", ca}}, ""},
        {{{"--mqtt", "mqtt://h"}, {"--mqtt-credentials", dir.file("none")}}, "cannot read --mqtt-credentials"},
    };
    for (const auto &c : cases) {
        Config config;
        std::string error;
        for (const auto &[name, value] : c.options) {
            EXPECT_TRUE(vx7::mqtt::is_option(name)) << name;
            if (error.empty())
                error = vx7::mqtt::set_option(config, name, value);
        }
        if (error.empty())
            error = vx7::mqtt::finish_config(config);
        const std::string label = c.options.back().first + " " + c.options.back().second;
        if (c.error.empty())
            EXPECT_EQ(error, "") << label;
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << label << ": " << error;
    }
    EXPECT_FALSE(vx7::mqtt::is_option("--mqtt-password"));
}

TEST(MqttOptions, DefaultsNameTheHost)
{
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    Config config;
    ASSERT_EQ(vx7::mqtt::set_option(config, "--mqtt", "mqtt://127.0.0.1"), "");
    ASSERT_EQ(vx7::mqtt::finish_config(config), "");
    EXPECT_EQ(config.prefix, std::string("vx7/") + host);
    EXPECT_EQ(config.client_id, std::string("vx7-gateway-") + host);
    EXPECT_EQ(config.qos, 0);

    Config given;
    ASSERT_EQ(vx7::mqtt::set_option(given, "--mqtt", "mqtt://127.0.0.1"), "");
    ASSERT_EQ(vx7::mqtt::set_option(given, "--mqtt-prefix", "lab/stand7"), "");
    ASSERT_EQ(vx7::mqtt::set_option(given, "--mqtt-client-id", "stand7"), "");
    ASSERT_EQ(vx7::mqtt::finish_config(given), "");
    EXPECT_EQ(given.prefix, "lab/stand7");
    EXPECT_EQ(given.client_id, "stand7");
}

TEST(MqttCredentials, OwnerOnlyAndTwoLines)
{
    vx7test::TempDir dir;
    const std::string path = dir.file("cred");
    struct Case {
        const char *text;
        mode_t mode;
        const char *user; // expected, or null when refused
        const char *password;
        const char *error;
    } cases[] = {
        {"gw7\ns3cr:et\n", 0600, "gw7", "s3cr:et", ""},
        {"gw7\r\npw\r\n", 0400, "gw7", "pw", ""},
        {"gw7\n", 0600, "gw7", "", ""},
        {"gw7\npw", 0600, "gw7", "pw", ""},
        {"gw7\npw\n", 0640, nullptr, nullptr, "may be read or changed by others (mode 0640)"},
        {"gw7\npw\n", 0604, nullptr, nullptr, "chmod 600"},
        {"gw7\npw\n", 0620, nullptr, nullptr, "mode 0620"},
        {"\npw\n", 0600, nullptr, nullptr, "the first line must be the user name"},
        {"", 0600, nullptr, nullptr, "the first line must be the user name"},
        {"a\nb\nc\n", 0600, nullptr, nullptr, "more than two lines"},
    };
    for (const auto &c : cases) {
        vx7test::write_file(path, c.text);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        std::string user = "?", password = "?";
        const std::string error = vx7::mqtt::read_credentials(path, user, password);
        if (c.user != nullptr) {
            EXPECT_EQ(error, "") << c.text;
            EXPECT_EQ(user, c.user);
            EXPECT_EQ(password, c.password);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
            EXPECT_EQ(user, "?") << "nothing is taken from a refused file";
        }
    }
    std::string user, password;
    EXPECT_NE(vx7::mqtt::read_credentials(dir.path().string(), user, password).find("not a regular file"),
              std::string::npos);
}

TEST(MqttPayload, TimeVoltsAndNoValue)
{
    struct Case {
        std::int64_t ns;
        const char *time;
    } times[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {1796702953123456789, "2026-12-08T04:09:13.123456Z"},
        {951782400000001999, "2000-02-29T00:00:00.000001Z"},
        {-1, "1969-12-31T23:59:59.999999Z"},
    };
    for (const auto &c : times)
        EXPECT_EQ(vx7::mqtt::iso_time(c.ns), c.time);

    vx7_sample s{};
    s.channel = 3;
    s.has_value = 1;
    s.elapsed_ms = 123456789012ULL;
    s.volts = -1.25;
    std::strcpy(s.text, "-1.25000000000e+00");
    s.wall_ns = 1796702953123456789;
    const auto j = nlohmann::json::parse(vx7::mqtt::sample_json(s));
    EXPECT_EQ(j.size(), 3u);
    EXPECT_EQ(j.at("time"), "2026-12-08T04:09:13.123456Z");
    EXPECT_EQ(j.at("elapsed_ms"), 123456789012ULL);
    EXPECT_EQ(j.at("volts"), -1.25);
    EXPECT_EQ(vx7::mqtt::sample_json(s).find("\"time\""), 1u) << "time comes first, as in the event stream";

    // The text wins over the double: it is what the driver wrote.
    s.volts = 9.0;
    std::strcpy(s.text, "2.34567890123e-01");
    EXPECT_EQ(nlohmann::json::parse(vx7::mqtt::sample_json(s)).at("volts"), 0.234567890123);

    vx7_sample none{};
    none.channel = 1;
    none.wall_ns = 0;
    const auto n = nlohmann::json::parse(vx7::mqtt::sample_json(none));
    EXPECT_TRUE(n.at("volts").is_null());
    EXPECT_EQ(n.at("elapsed_ms"), 0);

    // A configured channel: the value of those volts in its unit; a channel
    // the configuration does not name: the same payload as without one.
    vx7::lines::ChannelSpec bar{true, "Supply", "bar", 4.0, 0.5, false, 0.0, false, 0.0};
    const auto v = nlohmann::json::parse(vx7::mqtt::sample_json(s, &bar));
    EXPECT_EQ(v.size(), 5u) << v.dump();
    EXPECT_DOUBLE_EQ(v.at("value").get<double>(), 1.438271560492);
    EXPECT_EQ(v.at("unit"), "bar");
    const auto vn = nlohmann::json::parse(vx7::mqtt::sample_json(none, &bar));
    EXPECT_TRUE(vn.at("value").is_null());
    EXPECT_EQ(vn.at("unit"), "bar");
    const vx7::lines::ChannelSpec unconfigured;
    EXPECT_EQ(vx7::mqtt::sample_json(s, &unconfigured), vx7::mqtt::sample_json(s));
}

} // namespace
