// vx7ctl record against the real driver on the simulated device, for more
// than 30 s with an unplug/replug and a driver restart in the middle: every
// sample report the device answered appears in the recording exactly once,
// in order per channel, with the text the driver wrote for it, or is counted
// lost. Started before the driver has made its channel files, it misses
// none of the first. The expected text is computed here from the raw
// report, independently of the driver.
#include "ctl_sandbox.h"
#include "sandbox.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using vx7test::channel;
using vx7test::kCtl;
using vx7test::Sandbox;
using vx7test::sandbox_options;

namespace {

const std::string kDriver = VX7_TEST_DRIVER;
const std::string kLock = "/home/dev/.log/vx7_driver.pid";

// The driver's record text of a sample report: 2.5/8388607 V per count of
// the offset-binary code, divided by 2^exponent, "%.11e".
std::string expected_text(const vx7sim::AnsweredSample &s)
{
    const double counts = static_cast<double>(static_cast<std::int32_t>(s.raw) - 0x800000);
    double volts = counts * (2.5 / 8388607.0);
    for (int i = 0; i < s.exponent; ++i)
        volts /= 2;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.11e", volts);
    return buf;
}

// A channel's values in the recording, split into the driver's runs: a
// "no value" line (the driver stopped and blanked its files) ends a run.
struct Recorded {
    std::vector<std::vector<std::string>> runs[4];
    std::vector<std::vector<std::uint64_t>> elapsed[4];
    std::size_t bad_lines = 0;
};

Recorded parse_csv(const std::string &file)
{
    Recorded r;
    for (int c = 0; c < 4; ++c) {
        r.runs[c].emplace_back();
        r.elapsed[c].emplace_back();
    }
    std::size_t pos = file.find('\n') + 1; // after the header
    while (pos < file.size()) {
        const std::size_t end = file.find('\n', pos);
        if (end == std::string::npos) {
            ++r.bad_lines; // a line without its end
            break;
        }
        const std::string line = file.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t a = line.find(','), b = line.find(',', a + 1), c = line.find(',', b + 1);
        const int ch = c == std::string::npos ? 0 : std::atoi(line.substr(b + 1, c - b - 1).c_str());
        if (a != 27 || ch < 1 || ch > 4) {
            ++r.bad_lines;
            continue;
        }
        const std::string elapsed = line.substr(a + 1, b - a - 1), volts = line.substr(c + 1);
        if (elapsed.empty() && volts.empty()) {
            r.runs[ch - 1].emplace_back();
            r.elapsed[ch - 1].emplace_back();
        } else {
            r.runs[ch - 1].back().push_back(volts);
            r.elapsed[ch - 1].back().push_back(std::stoull(elapsed));
        }
    }
    return r;
}

// Whether the recording in `file` (as far as written) holds `stops` "no
// value" lines on every channel: it has seen the driver's stops.
bool seen_stops(const std::string &file, std::size_t stops)
{
    const Recorded r = parse_csv(file);
    for (const auto &runs : r.runs) {
        if (runs.size() < stops + 1)
            return false;
    }
    return true;
}

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(RecordEndToEnd, EverySamplePublishedAppearsOnceInOrderAcrossUnplugAndRestart)
{
    Sandbox sb(sandbox_options());
    for (int n = 1; n <= 4; ++n) {
        sb.write(channel(n), std::string(100, ' '));
        sb.symlink(channel(n), "/adc" + std::to_string(n) + ".adc");
    }
    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    for (int c = 0; c < 4; ++c)
        sim.set_waveform(dev, c, vx7sim::Waveform::sine(0.5 + 0.5 * c, 30 + 7 * static_cast<unsigned>(c)));

    // The recording starts before the driver and ends after it has stopped,
    // so that it can see every sample the device answered.
    const auto rec = sb.run(kCtl + " record --output /rec.csv 2> /rec.err & echo $!");
    const int rec_pid = std::stoi(rec.out);
    // Its output file is made once its stream is open.
    ASSERT_TRUE(sb.wait_for_file("/rec.csv"));

    const auto run_for = [](int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); };
    std::int64_t stop_ns[2] = {}; // when each stop was asked for
    ASSERT_EQ(sb.run(kDriver + " start > /dev/null").status, 1);
    ASSERT_TRUE(sb.wait_for_file(kLock));
    run_for(10);
    sim.set_attached(dev, false); // pulled
    run_for(2);
    sim.set_attached(dev, true);
    run_for(8);
    stop_ns[0] = now_ns();
    ASSERT_EQ(sb.run(kDriver + " stop > /dev/null").status, 1);
    ASSERT_TRUE(sb.wait_for_no_file(kLock));
    run_for(1);
    const std::int64_t restart_ns = now_ns();
    ASSERT_EQ(sb.run(kDriver + " start > /dev/null").status, 1);
    ASSERT_TRUE(sb.wait_for_file(kLock));
    run_for(10);
    stop_ns[1] = now_ns();
    ASSERT_EQ(sb.run(kDriver + " stop > /dev/null").status, 1);
    ASSERT_TRUE(sb.wait_for_no_file(kLock));
    // The recording has seen both stops before it is ended.
    EXPECT_TRUE(Sandbox::wait_until([&] { return seen_stops(sb.read("/rec.csv"), 2); }));
    sb.run("kill -INT " + std::to_string(rec_pid));
    EXPECT_EQ(sb.wait_exit(rec_pid), 0);
    const std::string err = sb.read("/rec.err");

    const vx7sim::SampleLog log = sim.samples(dev);
    ASSERT_EQ(log.lost, 0u) << "the sample log wrapped";
    // The driver opened the device at its start, after the replug, after its restart.
    EXPECT_EQ(sim.counters(dev).opens, 3u);
    // What the device answered, per channel and driver run.
    struct Answered {
        std::vector<std::string> text;
        std::vector<std::int64_t> ns;
    } expected[4][2];
    for (const auto &s : log.samples) {
        Answered &a = expected[s.channel][s.time_ns < restart_ns ? 0 : 1];
        a.text.push_back(expected_text(s));
        a.ns.push_back(s.time_ns);
    }

    const std::string file = sb.read("/rec.csv");
    ASSERT_EQ(file.rfind("time,elapsed_ms,channel,volts\n", 0), 0u) << file.substr(0, 200);
    const Recorded got = parse_csv(file);
    EXPECT_EQ(got.bad_lines, 0u);
    // A sample can be missed only when the recorder was not scheduled for
    // longer than a channel's period (a loaded machine), and then the
    // channel files' counters count it as lost: loss is never silent. (One
    // the driver published just before a stop, unseen before its blank took
    // the counter away, cannot be counted; nor, strictly, one at the turn
    // from one run to the next: only misses within a run must be.)
    const std::size_t lost_at = err.find("  lost: ");
    ASSERT_NE(lost_at, std::string::npos) << err;
    const unsigned long lost = std::stoul(err.substr(lost_at + 8));
    std::size_t recorded = 0, missed = 0, inner = 0;
    for (int c = 0; c < 4; ++c) {
        // Two runs, each ended by the "no value" of its stop.
        ASSERT_EQ(got.runs[c].size(), 3u) << "channel " << c + 1;
        EXPECT_TRUE(got.runs[c][2].empty()) << "channel " << c + 1;
        for (int run = 0; run < 2; ++run) {
            auto want = expected[c][run];
            const auto &have = got.runs[c][static_cast<std::size_t>(run)];
            recorded += have.size();
            // The driver's last cycle, after the stop was asked for,
            // publishes a record and blanks it within microseconds, where
            // no reader can see it: that one sample may be absent.
            if (!want.ns.empty() && want.ns.back() >= stop_ns[run] &&
                (have.empty() || have.back() != want.text.back())) {
                want.text.pop_back();
                want.ns.pop_back();
            }
            // The device's samples of the channel, each once, in its order,
            // with the driver's text: the recording is the answered list
            // with at most the missed ones left out.
            std::size_t i = 0, run_missed = 0;
            for (const std::string &v : have) {
                std::size_t j = i;
                while (j < want.text.size() && want.text[j] != v)
                    ++j;
                ASSERT_LT(j, want.text.size()) << "channel " << c + 1 << ", run " << run + 1 << ": '" << v
                                               << "' recorded but not answered next (a repeat, or out of order)";
                run_missed += j - i;
                if (i > 0)
                    inner += j - i;
                i = j + 1;
            }
            run_missed += want.text.size() - i;
            if (run_missed > 0)
                std::printf("channel %d, run %d: %zu of %zu answered samples missed\n", c + 1, run + 1, run_missed,
                            want.text.size());
            missed += run_missed;
            // The elapsed milliseconds rise within a run.
            const auto &ms = got.elapsed[c][static_cast<std::size_t>(run)];
            EXPECT_TRUE(std::is_sorted(ms.begin(), ms.end())) << "channel " << c + 1 << ", run " << run + 1;
        }
    }
    EXPECT_GE(lost, inner) << "samples missed within a run that the lost count does not account for\n" << err;
    EXPECT_LE(lost, missed) << "more counted lost than were missed\n" << err;
    EXPECT_GT(recorded, 2000u) << "fewer samples than 30 s at the driver's rate";
    EXPECT_NE(err.find("recorded " + std::to_string(recorded) + " samples to /rec.csv\n"), std::string::npos) << err;
}

// Started before the driver has made its channel files (none there, only
// the links the driver creates them through), the recording takes each file
// up the moment it is made: the first samples the device answered are all
// recorded, and a sample missed later (a loaded machine) is counted lost on
// its channel.
TEST(RecordEndToEnd, StartedBeforeTheDriverMissesNoSample)
{
    Sandbox sb(sandbox_options());
    for (int n = 1; n <= 4; ++n)
        sb.symlink(channel(n), "/adc" + std::to_string(n) + ".adc");
    auto sim = vx7sim::Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    for (int c = 0; c < 4; ++c)
        sim.set_waveform(dev, c, vx7sim::Waveform::ramp(0.25 * (c + 1), 13));

    const auto rec = sb.run(kCtl + " record --output /rec.csv 2> /rec.err & echo $!");
    const int rec_pid = std::stoi(rec.out);
    // Its output file is made once its stream is open.
    ASSERT_TRUE(sb.wait_for_file("/rec.csv"));
    ASSERT_EQ(sb.run(kDriver + " start > /dev/null").status, 1);
    ASSERT_TRUE(sb.wait_for_file(kLock));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::int64_t stop_ns = now_ns();
    ASSERT_EQ(sb.run(kDriver + " stop > /dev/null").status, 1);
    ASSERT_TRUE(sb.wait_for_no_file(kLock));
    EXPECT_TRUE(Sandbox::wait_until([&] { return seen_stops(sb.read("/rec.csv"), 1); }));
    sb.run("kill -INT " + std::to_string(rec_pid));
    EXPECT_EQ(sb.wait_exit(rec_pid), 0);
    const std::string err = sb.read("/rec.err");

    const Recorded got = parse_csv(sb.read("/rec.csv"));
    EXPECT_EQ(got.bad_lines, 0u);
    std::vector<std::string> want[4];
    std::int64_t last_ns[4] = {};
    for (const auto &s : sim.samples(dev).samples) {
        want[s.channel].push_back(expected_text(s));
        last_ns[s.channel] = s.time_ns;
    }
    for (int c = 0; c < 4; ++c) {
        SCOPED_TRACE(c + 1);
        ASSERT_EQ(got.runs[c].size(), 2u) << "one run, ended by the stop's no value";
        const auto &have = got.runs[c][0];
        std::vector<std::string> expected = want[c];
        // The driver's last cycle publishes and blanks at once.
        if (last_ns[c] >= stop_ns && !have.empty() && have.back() != expected.back())
            expected.pop_back();
        // The driver's first samples, which a recording that looked for the
        // files only now and then missed, are there.
        ASSERT_GE(expected.size(), 6u);
        ASSERT_GE(have.size(), 6u);
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 6, have.begin())) << "the first samples missed";
        // Each recorded once, in order; what is missing between two
        // recorded samples the summary counts as lost on this channel, and
        // it counts no more than are missing.
        std::size_t i = 0, missed = 0, inner = 0;
        for (const std::string &v : have) {
            std::size_t j = i;
            while (j < expected.size() && expected[j] != v)
                ++j;
            ASSERT_LT(j, expected.size()) << v << " recorded but not answered next";
            missed += j - i;
            inner += i > 0 ? j - i : 0;
            i = j + 1;
        }
        missed += expected.size() - i;
        const std::string line =
            "  channel " + std::to_string(c + 1) + ": " + std::to_string(have.size()) + " samples, 1 no-value events";
        const std::size_t at = err.find(line);
        ASSERT_NE(at, std::string::npos) << line << err;
        const std::string rest = err.substr(at + line.size(), err.find('\n', at) - at - line.size());
        const std::size_t lost = rest.empty() ? 0 : std::stoul(rest.substr(2));
        EXPECT_EQ(rest, lost == 0 ? "" : ", " + std::to_string(lost) + " lost");
        EXPECT_GE(lost, inner) << err;
        EXPECT_LE(lost, missed) << err;
    }
}

} // namespace
