// The channel configuration file as vx7ctl and the gateway read it, and the
// value they make of a sample's volts, against the table of cases that
// python/vx7.py is checked against too.
#include "tempdir.h"
#include "vx7channelconfig/channel_config.h"
#include "vx7samplefmt/sample_lines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using vx7::lines::ChannelConfig;
using vx7::lines::ChannelSpec;

nlohmann::json cases()
{
    std::ifstream in(VX7_TEST_CASES);
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str());
}

// The table's UTF-8 text as the bytes of the file: the text itself, or each
// character as one byte ("encoding": "latin-1", for bytes that are not UTF-8).
std::string file_bytes(const nlohmann::json &c)
{
    const std::string text = c["yaml"].get<std::string>();
    if (c.value("encoding", "utf-8") != "latin-1")
        return text;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            bytes += static_cast<char>(b);
        } else {
            bytes += static_cast<char>(((b & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu));
            ++i;
        }
    }
    return bytes;
}

ChannelSpec expected_spec(const nlohmann::json &j)
{
    ChannelSpec s;
    s.configured = true;
    s.name = j.value("name", "");
    s.unit = j.value("unit", "");
    s.scale = j.value("scale", 1.0);
    s.offset = j.value("offset", 0.0);
    s.has_min = j.contains("min");
    s.min = j.value("min", 0.0);
    s.has_max = j.contains("max");
    s.max = j.value("max", 0.0);
    return s;
}

std::string describe(const ChannelSpec &s)
{
    std::ostringstream o;
    o << (s.configured ? "configured" : "not configured") << " name='" << s.name << "' unit='" << s.unit
      << "' scale=" << s.scale << " offset=" << s.offset;
    if (s.has_min)
        o << " min=" << s.min;
    if (s.has_max)
        o << " max=" << s.max;
    return o.str();
}

std::string replace_file(std::string text, const std::string &path)
{
    const std::size_t at = text.find("FILE");
    if (at != std::string::npos)
        text.replace(at, 4, path);
    return text;
}

TEST(ChannelConfigFile, TableOfFilesAndTheirMessages)
{
    vx7test::TempDir dir;
    const std::string path = dir.file("channels.yaml");
    const nlohmann::json all = cases();
    ASSERT_GT(all.at("files").size(), 30u);
    for (const auto &c : all.at("files")) {
        SCOPED_TRACE(c["what"].get<std::string>());
        {
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            f << file_bytes(c);
        }
        ChannelConfig config;
        config.channels[0].name = "untouched";
        const std::string error = vx7::channels::load(path, config);
        if (c.contains("channels")) {
            ASSERT_EQ(error, "");
            EXPECT_TRUE(config.given);
            for (int ch = 1; ch <= 4; ++ch) {
                const std::string key = std::to_string(ch);
                const ChannelSpec want =
                    c["channels"].contains(key) ? expected_spec(c["channels"][key]) : ChannelSpec{};
                EXPECT_EQ(describe(config.of(ch)), describe(want)) << "channel " << ch;
            }
        } else if (c.contains("error")) {
            EXPECT_EQ(error, replace_file(c["error"].get<std::string>(), path));
            EXPECT_EQ(config.channels[0].name, "untouched") << "a refused file changed the configuration";
            EXPECT_FALSE(config.given);
        } else {
            EXPECT_EQ(error.rfind(replace_file(c["error_prefix"].get<std::string>(), path), 0), 0u) << error;
            EXPECT_NE(error.find(c["error_contains"].get<std::string>()), std::string::npos) << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        }
    }
}

TEST(ChannelConfigFile, FilesThatCannotBeRead)
{
    vx7test::TempDir dir;
    ChannelConfig config;
    const std::string missing = dir.file("missing.yaml");
    EXPECT_EQ(vx7::channels::load(missing, config), missing + ": cannot be read: No such file or directory");
    EXPECT_EQ(vx7::channels::load(dir.path().string(), config).rfind(dir.path().string() + ": cannot be read: ", 0),
              0u);
    const std::string big = dir.file("big.yaml");
    {
        std::ofstream f(big);
        f << "channels:\n" << std::string(70000, '#') << "\n";
    }
    EXPECT_EQ(vx7::channels::load(big, config), big + ": larger than 65536 bytes; not a channel configuration");
    EXPECT_FALSE(config.given);
}

TEST(ScaledValues, TableOfVoltsValuesAndAlarms)
{
    const nlohmann::json all = cases();
    ASSERT_GT(all.at("values").size(), 5u);
    for (const auto &c : all.at("values")) {
        SCOPED_TRACE(c["what"].get<std::string>());
        const auto &j = c["spec"];
        ChannelSpec spec = expected_spec(j);
        const double volts = std::strtod(c["volts"].get<std::string>().c_str(), nullptr);
        const double value = vx7::lines::scaled(spec, volts);
        EXPECT_EQ(vx7::lines::number_text(value), c["value"].get<std::string>());
        EXPECT_STREQ(vx7::lines::alarm_text(vx7::lines::alarm(spec, value)), c["alarm"].get<std::string>().c_str());
    }
}

} // namespace
