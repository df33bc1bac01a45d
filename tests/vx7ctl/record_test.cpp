// vx7ctl record: its lines, its options, what it does with an existing file,
// and how it ends (Ctrl+C, a full file system, a closed pipe). Channel files
// are written by the test where their content matters, by the real driver
// on the simulated device where a steady flow of samples is needed.
#include "ctl_sandbox.h"
#include "record_rule_cases.h"
#include "sandbox.h"
#include "vx7channelconfig/channel_config.h"
#include "vx7samplefmt/sample_lines.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

using vx7test::channel;
using vx7test::driver_file;
using vx7test::kCtl;
using vx7test::Sandbox;
using vx7test::sandbox_options;
using vx7test::write_channels;

namespace {

vx7_sample value_sample(int channel, std::uint64_t ms, const char *text, std::int64_t wall_ns)
{
    vx7_sample s{};
    s.channel = channel;
    s.has_value = 1;
    s.elapsed_ms = ms;
    s.volts = std::strtod(text, nullptr);
    std::snprintf(s.text, sizeof s.text, "%s", text);
    s.wall_ns = wall_ns;
    return s;
}

TEST(RecordLines, TimeIsUtcWithMicroseconds)
{
    const struct {
        std::int64_t ns;
        const char *text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {1796724672123456789, "2026-12-08T10:11:12.123456Z"}, // microseconds truncated, not rounded
        {1796724672999999999, "2026-12-08T10:11:12.999999Z"},
        {-1, "1969-12-31T23:59:59.999999Z"},
        {951782400000001000, "2000-02-29T00:00:00.000001Z"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vx7::lines::iso_time(c.ns), c.text) << c.ns;
}

TEST(RecordLines, CsvKeepsTheDriversTextJsonTheSameNumber)
{
    const vx7_sample samples[] = {
        value_sample(1, 5230, "1.25000000000e+00", 1796724672123456789),
        value_sample(4, 18446744073709551615ull, "-4.99999880791e-01", 1796724672123456789),
        value_sample(2, 7, "3.72529029846e-09", 0),
    };
    const char *const csv[] = {
        "2026-12-08T10:11:12.123456Z,5230,1,1.25000000000e+00\n",
        "2026-12-08T10:11:12.123456Z,18446744073709551615,4,-4.99999880791e-01\n",
        "1970-01-01T00:00:00.000000Z,7,2,3.72529029846e-09\n",
    };
    for (std::size_t i = 0; i < std::size(samples); ++i) {
        std::string line;
        vx7::lines::append_csv_line(line, samples[i]);
        EXPECT_EQ(line, csv[i]);

        std::string json;
        vx7::lines::append_jsonl_line(json, samples[i]);
        ASSERT_EQ(json.back(), '\n');
        const auto j = nlohmann::json::parse(json);
        EXPECT_EQ(j.size(), 4u) << json;
        EXPECT_EQ(j["time"], csv[i] == csv[2] ? "1970-01-01T00:00:00.000000Z" : "2026-12-08T10:11:12.123456Z");
        EXPECT_EQ(j["elapsed_ms"].get<std::uint64_t>(), samples[i].elapsed_ms);
        EXPECT_EQ(j["channel"], samples[i].channel);
        // The very double the driver's text gives.
        EXPECT_EQ(j["volts"].get<double>(), std::strtod(samples[i].text, nullptr)) << json;
    }
    std::string json;
    vx7::lines::append_jsonl_line(json, samples[0]);
    EXPECT_EQ(json, "{\"time\":\"2026-12-08T10:11:12.123456Z\",\"elapsed_ms\":5230,\"channel\":1,\"volts\":1.25}\n");
}

TEST(RecordLines, NoValueHasEmptyFieldsInCsvAndNullInJson)
{
    vx7_sample s{};
    s.channel = 3;
    s.wall_ns = 1796724672123456789;
    std::string csv, json;
    vx7::lines::append_csv_line(csv, s);
    vx7::lines::append_jsonl_line(json, s);
    EXPECT_EQ(csv, "2026-12-08T10:11:12.123456Z,,3,\n");
    EXPECT_EQ(json, "{\"time\":\"2026-12-08T10:11:12.123456Z\",\"elapsed_ms\":null,\"channel\":3,\"volts\":null}\n");
}

// ---- the command, in a sandbox ----

// Whether `s` starts with a time as record writes it.
bool starts_with_time(std::string_view s)
{
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
    if (s.size() < shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? (s[i] >= '0' && s[i] <= '9') : s[i] == shape[i];
        if (!ok)
            return false;
    }
    return true;
}

// The output with each line's time replaced by "T" (CSV) or "time" by "T"
// (JSON); "BAD TIME" where a line does not start with one.
std::string without_times(const std::string &out)
{
    std::string r;
    std::size_t pos = 0;
    while (pos < out.size()) {
        std::size_t end = out.find('\n', pos);
        end = end == std::string::npos ? out.size() : end + 1;
        std::string_view line(out.data() + pos, end - pos);
        pos = end;
        constexpr std::string_view json_start = "{\"time\":\"";
        std::string prefix;
        if (line.substr(0, json_start.size()) == json_start) {
            line.remove_prefix(json_start.size());
            prefix = "{\"time\":\"";
        }
        if (line.substr(0, 4) == "time") {
            r += line;
        } else if (starts_with_time(line)) {
            r += prefix + "T" + std::string(line.substr(27));
        } else {
            r += "BAD TIME: " + std::string(line);
        }
    }
    return r;
}

struct OptionCase {
    const char *args;
    const char *out; // times replaced by T
};

TEST(RecordSandbox, OptionsChooseChannelsFormatAndEnd)
{
    Sandbox sb(sandbox_options());
    write_channels(sb); // 1: 1.25 V at 1000 ms, 2: no value, 3: 0.5 V at 12345678901 ms, 4: missing
    const std::string csv_header = "time,elapsed_ms,channel,volts\n";
    const OptionCase cases[] = {
        {"--duration 0.3",
         "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\nT,12345678901,3,5.00000000000e-01\n"},
        {"--duration=0.3 --channels 3", "time,elapsed_ms,channel,volts\nT,12345678901,3,5.00000000000e-01\n"},
        {"--channels 2,4 --duration 0.3", "time,elapsed_ms,channel,volts\n"},
        {"--channels 2-3 --format jsonl --duration 0.3",
         "{\"time\":\"T\",\"elapsed_ms\":12345678901,\"channel\":3,\"volts\":0.5}\n"},
        // --count ends it without a duration (the test's time-out would catch a hang).
        {"--count 1", "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\n"},
        {"--count=2 --format=csv",
         "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\nT,12345678901,3,5.00000000000e-01\n"},
        {"--output - --count 1", "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\n"},
    };
    for (const OptionCase &c : cases) {
        const auto r = sb.run(kCtl + " record " + c.args, std::chrono::seconds(10));
        EXPECT_EQ(r.status, 0) << c.args << "\n" << r.err;
        EXPECT_EQ(without_times(r.out), c.out) << c.args;
    }

    // To a file: nothing on standard output, the summary on standard error.
    const auto r = sb.run(kCtl + " record --output /out.csv --duration 0.3");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(without_times(sb.read("/out.csv")),
              "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\nT,12345678901,3,5.00000000000e-01\n");
    EXPECT_NE(r.err.find("recorded 2 samples to /out.csv\n"
                         "  channel 1: 1 samples\n"
                         "  channel 2: 0 samples\n"
                         "  channel 3: 1 samples\n"
                         "  channel 4: 0 samples (its channel file is missing)\n"
                         "  time span: "),
              std::string::npos)
        << r.err;
    // These files carry no sequence counter: they are polled, and how many
    // polls a loaded machine makes late is not this test's concern.
    EXPECT_NE(r.err.find("\n  late polls: "), std::string::npos) << r.err;
}

// vx7ctl read (JSON), status and record (CSV and JSON lines) on the table
// every reader is tested with, four files at a time: each takes a record as
// a value exactly where the others do, with the same fields, and a volts
// text with a comma, quote or newline never reaches a line.
TEST(RecordSandbox, OneRuleInReadStatusAndRecord)
{
    Sandbox sb(sandbox_options());
    const auto &cases = vx7test::rule_cases();
    for (std::size_t first = 0; first < cases.size(); first += 4) {
        const vx7test::RuleCase *on[4] = {};
        for (int n = 1; n <= 4; ++n) {
            const std::size_t i = first + static_cast<std::size_t>(n) - 1;
            on[n - 1] = i < cases.size() ? &cases[i] : nullptr;
            sb.write(channel(n), on[n - 1] != nullptr ? on[n - 1]->file : std::string(100, ' '));
        }
        const auto read = sb.run(kCtl + " read --json");
        const auto status = sb.run(kCtl + " status");
        const auto csv = sb.run(kCtl + " record --duration 0.3");
        const auto jsonl = sb.run(kCtl + " record --format jsonl --duration 0.3");
        ASSERT_EQ(csv.status, 0) << csv.err;
        ASSERT_EQ(jsonl.status, 0) << jsonl.err;
        const auto read_json = nlohmann::json::parse(read.out);
        // The record's lines, by channel; each CSV line has its four fields.
        std::map<int, std::vector<std::string>> csv_fields;
        std::istringstream csv_lines(csv.out);
        std::string line;
        std::getline(csv_lines, line); // the header
        while (std::getline(csv_lines, line)) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            for (std::string x; std::getline(fields, x, ',');)
                f.push_back(x);
            ASSERT_EQ(f.size(), 4u) << line;
            csv_fields[std::stoi(f[2])] = f;
        }
        std::map<int, nlohmann::json> json_lines;
        std::istringstream jsonl_lines(jsonl.out);
        while (std::getline(jsonl_lines, line)) {
            const auto j = nlohmann::json::parse(line);
            json_lines[j["channel"].get<int>()] = j;
        }
        for (int n = 1; n <= 4; ++n) {
            const vx7test::RuleCase *c = on[n - 1];
            if (c == nullptr)
                continue;
            SCOPED_TRACE(c->name);
            const auto &volts = read_json["channels"][static_cast<std::size_t>(n - 1)]["volts"];
            const std::string status_line = "channel " + std::to_string(n) + ": ";
            if (!c->has_value) {
                EXPECT_TRUE(volts.is_null()) << read.out;
                EXPECT_NE(status.out.find(status_line + "no value\n"), std::string::npos) << status.out;
                EXPECT_EQ(csv_fields.count(n), 0u) << csv.out;
                EXPECT_EQ(json_lines.count(n), 0u) << jsonl.out;
                continue;
            }
            EXPECT_EQ(volts.get<double>(), c->volts) << read.out;
            char shown[64];
            std::snprintf(shown, sizeof shown, "%+.9f V at %llu ms\n", c->volts,
                          static_cast<unsigned long long>(c->elapsed));
            EXPECT_NE(status.out.find(status_line + shown), std::string::npos) << status.out;
            ASSERT_EQ(csv_fields.count(n), 1u) << csv.out;
            EXPECT_EQ(csv_fields[n][1], std::to_string(c->elapsed));
            EXPECT_EQ(csv_fields[n][3], c->text);
            ASSERT_EQ(json_lines.count(n), 1u) << jsonl.out;
            EXPECT_EQ(json_lines[n]["elapsed_ms"].get<std::uint64_t>(), c->elapsed);
            EXPECT_EQ(json_lines[n]["volts"].get<double>(), c->volts);
        }
    }
}

// A channel file shorter than 100 bytes is not "missing" in the summary.
TEST(RecordSandbox, SummaryTellsAShortFileFromAMissingOne)
{
    Sandbox sb(sandbox_options());
    sb.write(channel(1), std::string(60, ' '));
    sb.write(channel(2), "");
    const auto r = sb.run(kCtl + " record --channels 1-3 --duration 0.2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("  channel 1: 0 samples (its channel file is shorter than 100 bytes)\n"
                         "  channel 2: 0 samples (its channel file is shorter than 100 bytes)\n"
                         "  channel 3: 0 samples (its channel file is missing)\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("  lost: 0\n"), std::string::npos) << r.err;
}

// A channel that turns to "no value" while recording: one line without
// elapsed_ms and volts, then its next value.
TEST(RecordSandbox, NoValueIsOneLineBetweenValues)
{
    Sandbox sb(sandbox_options());
    write_channels(sb);
    sb.write("/new", driver_file(-2.0, 5));
    const std::string blank = "printf '%100s' '' | dd of=/home/dev/vx7/adc1.adc conv=notrunc status=none";
    const struct {
        const char *format;
        const char *out;
    } cases[] = {
        {"csv", "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\nT,,1,\nT,5,1,-2.00000000000e+00\n"},
        {"jsonl",
         "{\"time\":\"T\",\"elapsed_ms\":1000,\"channel\":1,\"volts\":1.25}\n"
         "{\"time\":\"T\",\"elapsed_ms\":null,\"channel\":1,\"volts\":null}\n"
         "{\"time\":\"T\",\"elapsed_ms\":5,\"channel\":1,\"volts\":-2.0}\n"},
    };
    for (const auto &c : cases) {
        sb.write(channel(1), driver_file(1.25, 1000));
        // Blanked twice: still one event.
        const auto r =
            sb.run(kCtl + " record --channels 1 --format " + c.format +
                       " > /out & p=$!; "
                       "while [ ! -s /out ]; do sleep 0.01; done; sleep 0.1; " +
                       blank + "; sleep 0.2; " + blank +
                       "; sleep 0.2; dd if=/new of=/home/dev/vx7/adc1.adc conv=notrunc status=none; sleep 0.2; "
                       "kill -INT $p; wait $p; echo status=$?",
                   std::chrono::seconds(10));
        EXPECT_EQ(r.out, "status=0\n") << r.err;
        EXPECT_EQ(without_times(sb.read("/out")), c.out) << c.format;
        EXPECT_NE(r.err.find("  channel 1: 2 samples, 1 no-value events\n"), std::string::npos) << r.err;
    }
}

} // namespace

namespace {

struct ExistingCase {
    const char *name;
    const char *args;   // after "record --output /out --count 1"
    const char *before; // the file's content; nullptr: no file
    int status;
    const char *message; // part of standard error
    const char *after;   // the file's content afterwards, times replaced by T
};

TEST(RecordSandbox, AnExistingFileIsKeptUnlessAppendOrForce)
{
    Sandbox sb(sandbox_options());
    write_channels(sb);
    const char *header = "time,elapsed_ms,channel,volts\n";
    const std::string one = std::string(header) + "2026-12-08T10:11:12.123456Z,7,2,1.00000000000e+00\n";
    const std::string json_one =
        "{\"time\":\"2026-12-08T10:11:12.123456Z\",\"elapsed_ms\":7,\"channel\":2,\"volts\":1.0}\n";
    const ExistingCase cases[] = {
        {"new file", "", nullptr, 0, "recorded 1 samples",
         "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\n"},
        {"refused", "", "keep me\n", 1, "vx7ctl: record: /out exists (--append adds to it, --force overwrites it)\n",
         "keep me\n"},
        {"refused, empty", "", "", 1, "/out exists", ""},
        {"force", " --force", "keep me\n", 0, "recorded 1 samples",
         "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\n"},
        {"append", " --append", one.c_str(), 0, "recorded 1 samples",
         "time,elapsed_ms,channel,volts\nT,7,2,1.00000000000e+00\nT,1000,1,1.25000000000e+00\n"},
        {"append to nothing", " --append", nullptr, 0, "recorded 1 samples",
         "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\n"},
        {"append to empty", " --append", "", 0, "recorded 1 samples",
         "time,elapsed_ms,channel,volts\nT,1000,1,1.25000000000e+00\n"},
        {"append, other header", " --append", "time,channel,volts\n", 1, "is not a CSV recording",
         "time,channel,volts\n"},
        {"append, half a line", " --append", "time,elapsed_ms,channel,volts\n2026-12-08T10:11", 1,
         "does not end with a whole line", "time,elapsed_ms,channel,volts\n2026-12-08T10:11"},
        {"append CSV to JSON lines", " --append", json_one.c_str(), 1, "is not a CSV recording", json_one.c_str()},
        {"append JSON lines", " --append --format jsonl", json_one.c_str(), 0, "recorded 1 samples",
         "{\"time\":\"T\",\"elapsed_ms\":7,\"channel\":2,\"volts\":1.0}\n"
         "{\"time\":\"T\",\"elapsed_ms\":1000,\"channel\":1,\"volts\":1.25}\n"},
        {"append JSON lines to CSV", " --append --format jsonl", one.c_str(), 1, "is not a JSON-lines recording",
         one.c_str()},
    };
    for (const ExistingCase &c : cases) {
        std::filesystem::remove(sb.host("/out"));
        if (c.before != nullptr)
            sb.write("/out", c.before);
        const auto r = sb.run(kCtl + " record --output /out --count 1" + c.args, std::chrono::seconds(10));
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << "\n" << r.err;
        const std::string after = sb.read("/out");
        EXPECT_EQ(c.status == 0 ? without_times(after) : after, c.after) << c.name;
    }
}

// --channels-config: the value column after volts (volts itself for a
// channel the file does not name), in CSV and JSON lines; a recording is
// only added to by one with the same columns; a bad file is a usage error
// naming the file, line and key, and nothing is written.
TEST(RecordSandbox, ChannelsConfigAddsTheValueColumn)
{
    if (!vx7::channels::available())
        GTEST_SKIP() << "this build reads no channel configuration files (no yaml-cpp)";
    Sandbox sb(sandbox_options());
    write_channels(sb); // 1: 1.25 V at 1000 ms, 3: 0.5 V at 12345678901 ms
    sb.write("/c.yaml", "channels:\n  1: {name: Oven, unit: \"\u00b0C\", scale: 100.0, offset: -5, max: 250}\n");
    sb.write("/bad.yaml", "channels:\n  1: {name: Oven, scale: ten}\n");
    const std::string plain = "time,elapsed_ms,channel,volts\n2026-12-08T10:11:12.123456Z,7,2,1.00000000000e+00\n";
    const std::string valued =
        "time,elapsed_ms,channel,volts,value\n2026-12-08T10:11:12.123456Z,7,2,1.00000000000e+00,1.00000000000e+00\n";
    const std::string json_valued =
        "{\"time\":\"2026-12-08T10:11:12.123456Z\",\"elapsed_ms\":7,\"channel\":2,\"volts\":1.0,\"value\":1.0}\n";
    const ExistingCase cases[] = {
        {"CSV", " --channels-config /c.yaml", nullptr, 0, "recorded 2 samples",
         "time,elapsed_ms,channel,volts,value\nT,1000,1,1.25000000000e+00,1.20000000000e+02\n"
         "T,12345678901,3,5.00000000000e-01,5.00000000000e-01\n"},
        {"JSON lines", " --format jsonl --channels-config=/c.yaml", nullptr, 0, "recorded 2 samples",
         "{\"time\":\"T\",\"elapsed_ms\":1000,\"channel\":1,\"volts\":1.25,\"value\":120.0}\n"
         "{\"time\":\"T\",\"elapsed_ms\":12345678901,\"channel\":3,\"volts\":0.5,\"value\":0.5}\n"},
        {"append with values to values", " --append --channels-config /c.yaml", valued.c_str(), 0, "recorded 2",
         "time,elapsed_ms,channel,volts,value\nT,7,2,1.00000000000e+00,1.00000000000e+00\n"
         "T,1000,1,1.25000000000e+00,1.20000000000e+02\nT,12345678901,3,5.00000000000e-01,5.00000000000e-01\n"},
        {"append JSON with values", " --append --format jsonl --channels-config /c.yaml", json_valued.c_str(), 0,
         "recorded 2",
         "{\"time\":\"T\",\"elapsed_ms\":7,\"channel\":2,\"volts\":1.0,\"value\":1.0}\n"
         "{\"time\":\"T\",\"elapsed_ms\":1000,\"channel\":1,\"volts\":1.25,\"value\":120.0}\n"
         "{\"time\":\"T\",\"elapsed_ms\":12345678901,\"channel\":3,\"volts\":0.5,\"value\":0.5}\n"},
        {"append with values to volts only", " --append --channels-config /c.yaml", plain.c_str(), 1,
         "vx7ctl: record: /out has no value column (it was recorded without --channels-config); not adding to it\n",
         plain.c_str()},
        {"append volts only to values", " --append", valued.c_str(), 1,
         "vx7ctl: record: /out has a value column (it was recorded with --channels-config); not adding to it\n",
         valued.c_str()},
        {"append JSON volts only to values", " --append --format jsonl", json_valued.c_str(), 1,
         "/out has a value column", json_valued.c_str()},
        {"a bad file", " --channels-config /bad.yaml", nullptr, 2,
         "vx7ctl: record: /bad.yaml:2: channels.1.scale: must be a number from -1e15 to 1e15, not 'ten'\n", ""},
        {"a missing file", " --channels-config /none.yaml", nullptr, 2,
         "vx7ctl: record: /none.yaml: cannot be read: No such file or directory\n", ""},
        {"no file name", " --channels-config", nullptr, 2, "record: --channels-config needs a file name", ""},
    };
    for (const ExistingCase &c : cases) {
        std::filesystem::remove(sb.host("/out"));
        if (c.before != nullptr)
            sb.write("/out", c.before);
        const auto r = sb.run(kCtl + " record --output /out --count 2" + c.args, std::chrono::seconds(10));
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << "\n" << r.err;
        if (c.status != 0) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << "\n" << r.err;
        }
        const std::string after = sb.read("/out");
        EXPECT_EQ(c.status == 0 ? without_times(after) : after, c.after) << c.name;
    }
}

// The real driver on the simulated device, at its full rate, with
// pre-made (blank) channel files so that its first records are seen.
class DriverRunning : public ::testing::Test {
protected:
    void start(vx7test::SandboxOptions o = sandbox_options())
    {
        sb_.emplace(std::move(o));
        // The driver writes adcN.adc in its working directory "/"; the links
        // an installation makes lead there from the paths readers use.
        for (int n = 1; n <= 4; ++n) {
            sb_->write(channel(n), std::string(100, ' '));
            sb_->symlink(channel(n), "/adc" + std::to_string(n) + ".adc");
        }
        sim_.emplace(vx7sim::Sim::create(sb_->host("/sim/state").string()));
        const int dev = sim_->add_vx7();
        for (int c = 0; c < 4; ++c)
            sim_->set_waveform(dev, c, vx7sim::Waveform::sine(1.0 + 0.25 * c, 40 + 10 * static_cast<unsigned>(c)));
        ASSERT_EQ(sb_->run(std::string(VX7_TEST_DRIVER) + " start > /dev/null").status, 1);
        ASSERT_TRUE(sb_->wait_for_file("/home/dev/.log/vx7_driver.pid"));
    }
    void TearDown() override
    {
        if (sb_) {
            sb_->run(std::string(VX7_TEST_DRIVER) + " stop > /dev/null");
            EXPECT_TRUE(sb_->wait_for_no_file("/home/dev/.log/vx7_driver.pid"));
        }
    }

    // Checks that `file` is whole lines of a CSV recording: the header, then
    // lines of four fields each.
    static void expect_whole_csv_lines(const std::string &file, const char *what)
    {
        ASSERT_FALSE(file.empty()) << what;
        EXPECT_EQ(file.back(), '\n') << what << ": the file ends inside a line";
        EXPECT_EQ(file.rfind("time,elapsed_ms,channel,volts\n", 0), 0u) << what;
        std::size_t pos = file.find('\n') + 1, lines = 0;
        while (pos < file.size()) {
            const std::size_t end = file.find('\n', pos);
            const std::string line = file.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            // A whole line ends with the two exponent digits of its volts.
            const std::size_t e = line.rfind('e');
            EXPECT_TRUE(starts_with_time(line) && std::count(line.begin(), line.end(), ',') == 3 &&
                        e != std::string::npos && e + 4 == line.size())
                << what << ": line " << lines << " '" << line << "'";
            pos = end == std::string::npos ? file.size() : end + 1;
            ++lines;
        }
        EXPECT_GT(lines, 10u) << what;
    }

    std::optional<Sandbox> sb_;
    std::optional<vx7sim::Sim> sim_;
};

TEST_F(DriverRunning, CtrlCInTheMiddleLeavesWholeLinesAndASummary)
{
    start();
    const auto r = sb_->run(kCtl + " record --output /out.csv & p=$!; sleep 1.5; kill -INT $p; wait $p; echo status=$?",
                            std::chrono::seconds(10));
    EXPECT_EQ(r.out, "status=0\n") << r.err;
    expect_whole_csv_lines(sb_->read("/out.csv"), "after Ctrl+C");
    EXPECT_NE(r.err.find("  late polls: "), std::string::npos) << r.err;

    // SIGTERM the same way, into a pipe.
    const auto t = sb_->run(kCtl + " record > /out2.csv & p=$!; sleep 1; kill -TERM $p; wait $p; echo status=$?",
                            std::chrono::seconds(10));
    EXPECT_EQ(t.out, "status=0\n") << t.err;
    expect_whole_csv_lines(sb_->read("/out2.csv"), "after SIGTERM");
}

TEST_F(DriverRunning, AFullFileSystemEndsItWithWholeLines)
{
    auto o = sandbox_options();
    o.tmpfs.emplace_back("/small", 12 * 1024);
    start(o);
    const auto r = sb_->run(kCtl + " record --output /small/out.csv --duration 20", std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "vx7ctl: record: cannot write to /small/out.csv: No space left on device\n");
    // The tmpfs is seen only inside.
    const auto file = sb_->run("cat /small/out.csv");
    expect_whole_csv_lines(file.out, "full file system");
    EXPECT_LT(file.out.size(), 12u * 1024) << "the part of a line that fitted was left in the file";
}

TEST_F(DriverRunning, AClosedPipeEndsItWithAMessage)
{
    start();
    const auto r = sb_->run("(" + kCtl + " record --duration 20; echo status=$? >&2) | head -n 3 > /head.csv",
                            std::chrono::seconds(30));
    EXPECT_EQ(r.err, "vx7ctl: record: cannot write to standard output: Broken pipe\nstatus=1\n");
    const std::string head = sb_->read("/head.csv");
    EXPECT_EQ(head.rfind("time,elapsed_ms,channel,volts\n", 0), 0u) << head;
    EXPECT_EQ(std::count(head.begin(), head.end(), '\n'), 3) << head;
}

} // namespace
