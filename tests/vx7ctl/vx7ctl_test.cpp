// vx7ctl as users run it: a separate process against the simulated device
// (stand-in libusb first on LD_LIBRARY_PATH, VX7SIM_STATE in the test's own
// directory). Commands that read the channel files or the driver's lock file
// (read, status) run inside a bubblewrap sandbox with a private /home/dev.
#include "vx7/vx7.h"

#include "ctl_sandbox.h"
#include "sandbox.h"
#include "tempdir.h"
#include "vx7record/record.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using vx7sim::DeviceSpec;
using vx7sim::Fault;
using vx7sim::Sim;
using vx7sim::TransferKind;
using vx7test::channel;
using vx7test::driver_file;
using vx7test::Sandbox;
using vx7test::sandbox_options;
using vx7test::SandboxOptions;
using vx7test::write_channels;

namespace {

using vx7test::kCtl;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs vx7ctl on the host with the given arguments; standard output and
// error go to files in `dir`.
Result run_ctl(const vx7test::TempDir &dir, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const std::string key = kv.substr(0, kv.find('='));
        if (env.count(key) == 0)
            envs.push_back(kv);
    }
    for (const auto &[k, v] : env)
        envs.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &s : envs)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv_s{kCtl};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    const std::string out = dir.file("ctl.out"), err = dir.file("ctl.err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, kCtl.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    Result r;
    if (rc != 0)
        return r;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = vx7test::read_file(out);
    r.err = vx7test::read_file(err);
    return r;
}

std::string join(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

// One command report as the test compares it: code, mask and value byte.
struct Cmd {
    int code, mask, value;
    bool operator==(const Cmd &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Cmd &c)
{
    return os << "{" << c.code << ", " << c.mask << ", " << c.value << "}";
}

class Ctl : public ::testing::Test {
protected:
    void SetUp() override { sim_.emplace(Sim::create(dir_.file("device.state"))); }

    Result ctl(const std::vector<std::string> &args)
    {
        return run_ctl(dir_, args, {{"VX7SIM_STATE", sim_->path()}, {"LD_LIBRARY_PATH", VX7SIM_LIBUSB_DIR}});
    }

    std::vector<Cmd> commands(int dev)
    {
        std::vector<Cmd> v;
        for (const auto &c : sim_->commands(dev))
            v.push_back({c.data[0], c.data[1], c.data[3]});
        return v;
    }

    Sim &sim() { return *sim_; }

    vx7test::TempDir dir_;
    std::optional<Sim> sim_;
};

// ---- bad command lines ----

struct BadCase {
    std::vector<std::string> args;
    const char *message; // part of the one-line error
};

TEST_F(Ctl, BadInputIsRefusedWithOneLineAndStatus2BeforeTouchingTheDevice)
{
    const int dev = sim().add_vx7();
    const BadCase cases[] = {
        {{}, "no command"},
        {{"frob"}, "unknown command 'frob'"},
        {{"configure"}, "--chan CHANNEL (1-4) is required"},
        {{"configure", "--chan", "0"}, "--chan must be 1-4 (channels are numbered 1-4; channel 1 is the first input)"},
        {{"configure", "--chan", "5"}, "--chan must be 1-4"},
        {{"configure", "--chan", "-1"}, "--chan must be 1-4"},
        {{"configure", "--chan", "256"}, "--chan must be 1-4"},
        {{"configure", "--chan"}, "--chan must be 1-4"},
        {{"configure", "--chan", "1", "--freq", "65536"}, "--freq must be 0-65535"},
        {{"configure", "--chan", "1", "--freq", "-5"}, "--freq must be 0-65535"},
        {{"configure", "--chan", "1", "--freq", "1e3"}, "--freq must be 0-65535"},
        {{"configure", "--chan", "1", "--freq", "18446744073709551617"}, "--freq must be 0-65535"},
        {{"configure", "--chan", "1", "--range", "abc"}, "--range must be 0-2.5"},
        {{"configure", "--chan", "1", "--range", "-1"}, "--range must be 0-2.5"},
        {{"configure", "--chan", "1", "--range", "2.6"}, "--range must be 0-2.5"},
        {{"configure", "--chan", "1", "--range", "nan"}, "--range must be 0-2.5"},
        {{"configure", "--chan", "1", "--range", "inf"}, "--range must be 0-2.5"},
        {{"configure", "--chan", "1", "--range", "1.0x"}, "--range must be 0-2.5"},
        {{"configure", "--chan", "1", "--range", "1e-50"}, "too small"},
        {{"configure", "--chan", "1", "--calibrate", "sometimes"}, "--calibrate must be"},
        {{"configure", "--chan", "1", "--calibrate", "8"}, "--calibrate must be"},
        {{"configure", "--chan", "1", "--input", "C"}, "--input must be"},
        {{"configure", "--chan", "1", "--input", "4"}, "--input must be"},
        {{"configure", "--chan", "1", "extra"}, "unexpected argument 'extra'"},
        {{"read", "0"}, "channel must be 1-4"},
        {{"read", "7"}, "channel must be 1-4"},
        {{"read", "x"}, "channel must be 1-4"},
        {{"read", "1", "2"}, "only one CHANNEL"},
        {{"read", "--watch", "2"}, "--watch interval must be 10-3600000 ms"},
        {{"read", "--watch=abc"}, "--watch interval"},
        {{"read", "--count", "0"}, "--count needs"},
        {{"read", "--count"}, "--count needs"},
        {{"read", "--bogus"}, "unknown option '--bogus'"},
        {{"record", "--format", "xml"}, "--format must be csv or jsonl, not 'xml'"},
        {{"record", "--format"}, "--format must be csv or jsonl"},
        {{"record", "--channels", "0"}, "--channels must list channels 1-4"},
        {{"record", "--channels", "5"}, "--channels must list channels 1-4"},
        {{"record", "--channels", "1,,2"}, "--channels must list channels 1-4"},
        {{"record", "--channels", "3-1"}, "--channels must list channels 1-4"},
        {{"record", "--channels", "1-"}, "--channels must list channels 1-4"},
        {{"record", "--channels", ""}, "--channels must list channels 1-4"},
        {{"record", "--duration", "0"}, "--duration must be a number of seconds above 0"},
        {{"record", "--duration", "-1"}, "--duration must be"},
        {{"record", "--duration", "1s"}, "--duration must be"},
        {{"record", "--duration", "1e9"}, "--duration must be"},
        {{"record", "--count", "0"}, "--count must be a number of samples"},
        {{"record", "--count", "1.5"}, "--count must be"},
        {{"record", "--output", ""}, "--output needs a file name"},
        {{"record", "--output", "x.csv", "--append", "--force"}, "--append or --force, not both"},
        {{"record", "--append"}, "--append needs --output FILE"},
        {{"record", "--force"}, "--force needs --output FILE"},
        {{"record", "now"}, "record: unexpected argument 'now'"},
        {{"list", "all"}, "unexpected argument 'all'"},
        {{"reset", "now"}, "unexpected argument 'now'"},
        {{"help", "me"}, "unexpected argument 'me'"},
        {{"status", "--program"}, "--program needs"},
        {{"status", "--program", "/usr/bin/"}, "names no program"},
        {{"status", "--frob"}, "unexpected argument '--frob'"},
    };
    for (const BadCase &c : cases) {
        const Result r = ctl(c.args);
        const std::string what = "vx7ctl " + join(c.args);
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << what << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("vx7ctl: ", 0), 0u) << what << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << "\n" << r.err;
    }
    const auto counters = sim().counters(dev);
    EXPECT_EQ(counters.opens + counters.open_failures, 0u) << "a refused command line reached the device";
    EXPECT_EQ(sim().command_total(dev), 0u);
}

TEST_F(Ctl, HelpCommandPrintsTheLibrarysTextVerbatim)
{
    const Result r = ctl({"help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(vx7_help()));
    EXPECT_EQ(r.out.size(), 1427u);
}

// ---- configure ----

struct ConfigureCase {
    std::vector<std::string> args;
    std::vector<Cmd> sent;
};

TEST_F(Ctl, ConfigureSendsTheCommandsOfItsOptions)
{
    const int dev = sim().add_vx7();
    // --chan numbers the channels 1-4; the command bytes carry the device's
    // channel as the mask bit 1 << (channel - 1).
    const ConfigureCase cases[] = {
        {{"--chan", "3", "--freq", "1000", "--range", "2.5", "--calibrate", "auto", "--input", "A"},
         {{3, 0x04, 0xE8}, {4, 0x04, 0}, {5, 0x04, 0x10}, {6, 0x04, 0}, {7, 0x04, 0}}},
        // Nothing to change: the apply command alone.
        {{"--chan", "1"}, {{7, 0x01, 0}}},
        {{"--chan=4", "--freq=0", "--range=0"}, {{7, 0x08, 0}}},
        {{"--chan", "2", "--freq", "65535"}, {{3, 0x02, 0xFF}, {7, 0x02, 0xFF}}},
        {{"--chan", "1", "--range", "1.25"}, {{4, 0x01, 1}, {7, 0x01, 1}}},
        {{"--chan", "1", "--range", "0.01"}, {{4, 0x01, 7}, {7, 0x01, 7}}},
        {{"--chan", "1", "--calibrate", "none"}, {{5, 0x01, 0x00}, {7, 0x01, 0x00}}},
        {{"--chan", "1", "--calibrate", "INT_RANGE"}, {{5, 0x01, 0x70}, {7, 0x01, 0x70}}},
        {{"--chan", "1", "--calibrate", "background"}, {{5, 0x01, 0x50}, {7, 0x01, 0x50}}},
        {{"--chan", "1", "--calibrate", "6"}, {{5, 0x01, 0x60}, {7, 0x01, 0x60}}},
        {{"--chan", "1", "--input", "gnd"}, {{6, 0x01, 2}, {7, 0x01, 2}}},
        {{"--chan", "1", "--input", "test"}, {{6, 0x01, 3}, {7, 0x01, 3}}},
        {{"--chan", "1", "--input", "B"}, {{6, 0x01, 1}, {7, 0x01, 1}}},
        {{"--chan", "1", "--input", "0"}, {{6, 0x01, 0}, {7, 0x01, 0}}},
    };
    for (const ConfigureCase &c : cases) {
        sim().clear_commands(dev);
        std::vector<std::string> args{"configure"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = ctl(args);
        EXPECT_EQ(r.status, 0) << join(args) << "\n" << r.err;
        EXPECT_EQ(r.out, "OK\n") << join(args);
        EXPECT_EQ(commands(dev), c.sent) << join(args);
    }
    EXPECT_EQ(sim().counters(dev).open_handles(), 0);
}

struct FailureCase {
    const char *name;
    std::vector<std::string> args;
    std::uint32_t failing_set; // the k-th SET_REPORT fails
    int status;
    const char *message;
    std::size_t delivered; // commands accepted before the failure
};

TEST_F(Ctl, ConfigureFailuresPrintTheMeaningAndExitNonZero)
{
    const int dev = sim().add_vx7();
    const std::vector<std::string> all{"configure", "--chan",      "2",     "--freq",  "50", "--range",
                                       "1",         "--calibrate", "mixed", "--input", "B"};
    const FailureCase cases[] = {
        {"frequency", all, 1, 1, "can not set frequency (result 3)", 0},
        {"range", all, 2, 1, "can not set range (result 4)", 1},
        {"calibration", all, 3, 1, "can not set calibration (result 5)", 2},
        {"input", all, 4, 1, "can not set subchannel (result 6)", 3},
        {"apply", all, 5, 1, "can not apply changes (result 7)", 4},
    };
    for (const FailureCase &c : cases) {
        sim().clear_commands(dev);
        sim().clear_faults(dev);
        sim().inject_fault(dev, Fault::fail(TransferKind::Set).from_nth(c.failing_set));
        const Result r = ctl(c.args);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, std::string("vx7ctl: configure: ") + c.message + "\n") << c.name;
        std::size_t accepted = 0;
        for (const auto &cmd : sim().commands(dev))
            accepted += cmd.accepted() ? 1 : 0;
        EXPECT_EQ(accepted, c.delivered) << c.name;
    }

    // No device at all: its own exit status.
    sim().set_attached(dev, false);
    const Result r = ctl({"configure", "--chan", "1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "vx7ctl: configure: failed open device (result 1)\n");
    EXPECT_EQ(sim().counters(dev).open_handles(), 0);
}

// ---- reset ----

TEST_F(Ctl, ResetTellsSuccessMissingDeviceAndUndeliveredCommandApart)
{
    const int dev = sim().add_vx7();
    Result r = ctl({"reset"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "OK\n");
    ASSERT_EQ(sim().commands(dev).size(), 1u);
    EXPECT_EQ(sim().commands(dev)[0].code(), 10);

    sim().inject_fault(dev, Fault::fail(TransferKind::Set));
    r = ctl({"reset"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vx7ctl: reset: the reset command was not delivered\n");

    sim().set_attached(dev, false);
    r = ctl({"reset"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "vx7ctl: reset: failed open device\n");
    EXPECT_EQ(sim().counters(dev).open_handles(), 0);
}

// ---- list ----

TEST_F(Ctl, ListMarksTheVx7DeviceAmongAllDevices)
{
    sim().add_device(DeviceSpec::with(0x16C0, 0x05DF, "ZANDRIVELO", "vx7 hid")); // case differs
    sim().add_vx7();
    const int locked = sim().add_device(DeviceSpec::with(0x1234, 0x5678, "Locked", "Box"));
    sim().set_open_fails(locked, true);
    const int mute = sim().add_device(DeviceSpec::with(0x1234, 0x5679, "Mute", "Box"));
    sim().set_string_fails(mute, vx7sim::StringFault::Product);
    DeviceSpec mouse = DeviceSpec::with(0x046D, 0xC077, "Mouse Maker", "Optical Mouse");
    mouse.bus = 1;
    sim().add_device(mouse);

    Result r = ctl({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  ZANDRIVELO\tvx7 hid\n"
              "* ZANDRIVELO\tvx7 HID\n"
              "  (a device that cannot be opened)\n"
              "  (a device whose strings cannot be read)\n"
              "  Mouse Maker\tOptical Mouse\n"
              "vx7 device: found\n");
    EXPECT_EQ(r.err, "");
    for (const auto &d : sim().devices())
        EXPECT_EQ(sim().counters(d.id).open_handles(), 0) << d.id;
}

TEST_F(Ctl, ListWithoutTheVx7DeviceExitsWithDeviceNotFound)
{
    Result r = ctl({"list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "no USB devices\nvx7 device: not found\n");

    const int dev = sim().add_vx7();
    sim().add_device(DeviceSpec::with(0x046D, 0xC077, "Mouse Maker", "Optical Mouse"));
    sim().set_attached(dev, false);
    r = ctl({"list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "  Mouse Maker\tOptical Mouse\nvx7 device: not found\n");
}

// ---- read and status, in a sandbox ----

struct ReadCase {
    const char *args;
    int status;
    const char *out;
};

TEST(CtlSandbox, ReadPrintsValuesNoValueAndJson)
{
    Sandbox sb(sandbox_options());
    write_channels(sb);
    const ReadCase cases[] = {
        {"read 1", 0, "channel 1: +1.250000000 V\n"},
        {"read 3", 0, "channel 3: +0.500000000 V\n"},
        {"read 2", 1, "channel 2: no value\n"},
        {"read 4", 1, "channel 4: no value\n"},
        {"read", 1, "channel 1: +1.250000000 V\nchannel 2: no value\nchannel 3: +0.500000000 V\nchannel 4: no value\n"},
        {"read 1 --json", 0, "{\"channels\":[{\"channel\":1,\"volts\":1.25}]}\n"},
        {"read --json", 1,
         "{\"channels\":[{\"channel\":1,\"volts\":1.25},{\"channel\":2,\"volts\":null},"
         "{\"channel\":3,\"volts\":0.5},{\"channel\":4,\"volts\":null}]}\n"},
        // Watching into a pipe: one block (or JSON line) per reading.
        {"read 1 --watch 10 --count 3", 0,
         "channel 1: +1.250000000 V\nchannel 1: +1.250000000 V\nchannel 1: +1.250000000 V\n"},
        {"read --count 2 --json 3", 0,
         "{\"channels\":[{\"channel\":3,\"volts\":0.5}]}\n{\"channels\":[{\"channel\":3,\"volts\":0.5}]}\n"},
    };
    for (const ReadCase &c : cases) {
        const auto r = sb.run(kCtl + " " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_EQ(sb.read(channel(1)), driver_file(1.25, 1000)) << "read changed a channel file";
    EXPECT_FALSE(std::filesystem::exists(sb.host(channel(4)))) << "read created a channel file";
}

// On a terminal a watch redraws its block in place: cursor up over the
// previous reading, each line cleared to its end.
TEST(CtlSandbox, WatchOnATerminalRedrawsInPlace)
{
    Sandbox sb(sandbox_options());
    write_channels(sb);
    const auto r = sb.run("script -qec '" + kCtl + " read --watch 10 --count 2' /dev/null");
    EXPECT_EQ(r.status, 1) << r.err; // channels 2 and 4 have no value
    std::string out;
    for (char c : r.out) {
        if (c != '\r')
            out += c;
    }
    const std::string block =
        "channel 1: +1.250000000 V\nchannel 2: no value\nchannel 3: +0.500000000 V\n"
        "channel 4: no value\n";
    EXPECT_EQ(out, block +
                       "\033[4Achannel 1: +1.250000000 V\033[K\nchannel 2: no value\033[K\n"
                       "channel 3: +0.500000000 V\033[K\nchannel 4: no value\033[K\n");
}

// A watch sees the files change between readings; Ctrl+C ends it at once,
// however long the interval, with the status of the last reading.
TEST(CtlSandbox, WatchFollowsChangesAndEndsOnInterrupt)
{
    Sandbox sb(sandbox_options());
    write_channels(sb);
    const auto r = sb.run(kCtl +
                              " read 1 --watch 100000 > /tmp/watch.out & p=$!; "
                              "while [ ! -s /tmp/watch.out ]; do sleep 0.01; done; "
                              "kill -INT $p; wait $p; echo status=$?; cat /tmp/watch.out",
                          std::chrono::seconds(10));
    EXPECT_EQ(r.out, "status=0\nchannel 1: +1.250000000 V\n") << r.err;

    const auto w = sb.run(kCtl +
                              " read 2 --watch 10 > /tmp/watch2.out & p=$!; "
                              "while [ ! -s /tmp/watch2.out ]; do sleep 0.01; done; "
                              "cp /home/dev/vx7/adc1.adc /home/dev/vx7/adc2.adc.new; "
                              "mv /home/dev/vx7/adc2.adc.new /home/dev/vx7/adc2.adc; sleep 0.1; "
                              "kill -TERM $p; wait $p; echo status=$?; sort -u /tmp/watch2.out",
                          std::chrono::seconds(10));
    EXPECT_EQ(w.out, "status=0\nchannel 2: +1.250000000 V\nchannel 2: no value\n") << w.err;
}

TEST(CtlSandbox, StatusWithoutDriverShowsChannelsAndExits4)
{
    Sandbox sb(sandbox_options());
    write_channels(sb);
    // A lock file whose PID names no process.
    sb.write("/home/dev/.log/vx7_driver.pid", "4000000");
    sb.write("/home/dev/.logvx7_driver_quiet.pid", "junk");
    const auto r = sb.run(kCtl + " status");
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(r.out,
              "driver: not running\n"
              "  stale lock file /home/dev/.log/vx7_driver.pid (PID 4000000 is no vx7_driver daemon)\n"
              "  stale lock file /home/dev/.logvx7_driver_quiet.pid (holds no PID)\n"
              "channel 1: +1.250000000 V at 1000 ms\n"
              "channel 2: no value\n"
              "channel 3: +0.500000000 V at 12345678901 ms\n"
              "channel 4: no value (/home/dev/vx7/adc4.adc cannot be read)\n");
}

// The real driver, started by path and by bare name, in both builds: status
// finds each through its lock file, and shows the values it writes.
TEST(CtlSandbox, StatusAndReadWithTheRealDriver)
{
    SandboxOptions o = sandbox_options();
    Sandbox sb(o);
    for (int n = 1; n <= 4; ++n)
        sb.symlink(channel(n), "/adc" + std::to_string(n) + ".adc");
    auto sim = Sim::create(sb.host("/sim/state").string());
    const int dev = sim.add_vx7();
    const double volts[] = {1.0, -0.5, 2.5, 0.25};
    // As status and read show them: the device's count (v / (2.5 / 8388607),
    // rounded) back in volts, printed with "%+.9f".
    const char *const shown[] = {"+1.000000060 V", "-0.499999881 V", "+2.500000000 V", "+0.250000089 V"};
    for (int c = 0; c < 4; ++c)
        sim.set_waveform(dev, c, vx7sim::Waveform::constant(volts[c]), vx7sim::Input::A);

    struct Start {
        std::string command; // how the driver is started
        std::string program;
        std::string lock;
    };
    const std::string driver_dir = std::filesystem::path(VX7_TEST_DRIVER).parent_path().string();
    const Start starts[] = {
        {VX7_TEST_DRIVER, "vx7_driver", "/home/dev/.log/vx7_driver.pid"},
        {"PATH=" + driver_dir + ":$PATH vx7_driver_quiet", "vx7_driver_quiet", "/home/dev/.logvx7_driver_quiet.pid"},
    };
    for (const Start &s : starts) {
        const auto started = sb.run(s.command + " start > /dev/null");
        ASSERT_EQ(started.status, 1) << s.command << started.err;
        ASSERT_TRUE(sb.wait_for_file(s.lock)) << s.command;
        std::string pid;
        ASSERT_TRUE(Sandbox::wait_until([&] {
            pid = sb.read(s.lock);
            return !pid.empty();
        }));

        // Status once every channel has a value.
        Sandbox::Run r;
        EXPECT_TRUE(Sandbox::wait_until(
            [&] {
                r = sb.run(kCtl + " status");
                return r.status == 0 && r.out.find("no value") == std::string::npos;
            },
            std::chrono::seconds(5)))
            << s.command << "\n"
            << r.out << r.err;
        EXPECT_EQ(r.out.rfind("driver: running (" + s.program + ", PID " + pid + ", lock file " + s.lock + ")\n", 0),
                  0u)
            << r.out;
        for (int n = 1; n <= 4; ++n) {
            const std::string expected = "\nchannel " + std::to_string(n) + ": " + shown[n - 1] + " at ";
            EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
        }

        // Only the named program counts with --program.
        const std::string other = s.program == "vx7_driver" ? "vx7_driver_quiet" : "vx7_driver";
        EXPECT_EQ(sb.run(kCtl + " status --program " + other).status, 4);
        EXPECT_EQ(sb.run(kCtl + " status --program /opt/bin/" + s.program).status, 0);

        const auto read = sb.run(kCtl + " read 3 --json");
        EXPECT_EQ(read.status, 0);
        EXPECT_EQ(read.out, "{\"channels\":[{\"channel\":3,\"volts\":2.5}]}\n");

        // configure and reset reach the device the driver holds open.
        EXPECT_EQ(sb.run(kCtl + " configure --chan 4 --input GND").status, 0);
        EXPECT_TRUE(Sandbox::wait_until([&] { return sb.run(kCtl + " read 4").out == "channel 4: +0.000000000 V\n"; }));
        EXPECT_EQ(sb.run(kCtl + " reset").status, 0);
        EXPECT_TRUE(Sandbox::wait_until(
            [&] { return sb.run(kCtl + " read 4").out == std::string("channel 4: ") + shown[3] + "\n"; }));

        ASSERT_EQ(sb.run(s.command + " stop > /dev/null").status, 1);
        ASSERT_TRUE(sb.wait_for_no_file(s.lock));
        r = sb.run(kCtl + " status");
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.out,
                  "driver: not running\n"
                  "channel 1: no value\nchannel 2: no value\nchannel 3: no value\nchannel 4: no value\n");
    }
}

} // namespace
