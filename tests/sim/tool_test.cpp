// The vx7sim tool: what its commands do to the shared state and what it prints.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tempdir.h"
#include "vx7sim/sim.h"

namespace {

using namespace vx7sim;

struct ToolRun {
    int status;
    std::string out;
};

ToolRun tool(const std::string &state, const std::string &args)
{
    const std::string cmd = std::string(VX7SIM_TOOL) + " --state " + state + " " + args + " 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return {-1, ""};
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    const int st = ::pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(Tool, ScriptsTheDeviceThroughTheStateFile)
{
    vx7test::TempDir dir;
    const std::string state = dir.file("state");
    ASSERT_EQ(tool(state, "create").status, 0);
    ASSERT_EQ(tool(state, "queue 80FFFFFF 9D:FF:FF:FF").status, 0);
    ASSERT_EQ(tool(state, "idle 7F000000").status, 0);
    ASSERT_EQ(tool(state, "wave 2 sine 0.5 40 0.1 --input B").status, 0);
    ASSERT_EQ(tool(state, "fault set fail --nth 2").status, 0);
    const ToolRun added = tool(state, "add 16c0 05df ZANDRIVELO other --bus 2 --detached");
    ASSERT_EQ(added.status, 0);
    EXPECT_EQ(added.out, "1\n");

    Sim sim = Sim::open(state);
    const DeviceInfo vx7 = sim.device(0);
    EXPECT_TRUE(vx7.attached);
    EXPECT_EQ(vx7.vendor_id, kVx7Vendor);
    const DeviceInfo other = sim.device(1);
    EXPECT_FALSE(other.attached);
    EXPECT_EQ(other.bus, 1);
    const ChannelConfig c = sim.channel_config(0, 2);
    EXPECT_EQ(c.wave_b.wave, Wave::Sine);
    EXPECT_DOUBLE_EQ(c.wave_b.amplitude, 0.5);
    EXPECT_EQ(c.wave_b.period, 40u);
    EXPECT_DOUBLE_EQ(c.wave_b.offset, 0.1);

    const HostHandle h = *sim.host_open(0);
    std::uint8_t r[4];
    ASSERT_EQ(sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).count, 4);
    EXPECT_EQ(r[0], 0x80);
    ASSERT_EQ(sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).count, 4);
    EXPECT_EQ(r[0], 0x9D);
    ASSERT_EQ(sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).count, 4);
    EXPECT_EQ(r[0], 0x7F);
    std::uint8_t cmd[4] = {7, 1, 0, 0};
    EXPECT_TRUE(sim.host_control(h, kSetReportType, kSetReportRequest, 0x0307, 0, cmd, 4, 100).ok());
    EXPECT_EQ(sim.host_control(h, kSetReportType, kSetReportRequest, 0x0307, 0, cmd, 4, 100).status,
              TransferStatus::Stall);
    sim.host_close(h);

    const ToolRun log = tool(state, "log");
    EXPECT_EQ(log.status, 0);
    EXPECT_NE(log.out.find("1: type 0x20 request 9 value 0x0307 index 0 length 4 timeout 100: 07 01 00 00 accepted"),
              std::string::npos)
        << log.out;
    EXPECT_NE(log.out.find("2: type 0x20 request 9 value 0x0307 index 0 length 4 timeout 100: 07 01 00 00 failed"),
              std::string::npos)
        << log.out;
    const ToolRun counters = tool(state, "counters");
    EXPECT_NE(counters.out.find("opens 1 closes 1 open-handles 0"), std::string::npos) << counters.out;

    ASSERT_EQ(tool(state, "detach").status, 0);
    EXPECT_FALSE(sim.device(0).attached);
    ASSERT_EQ(tool(state, "--dev 1 attach").status, 0);
    EXPECT_TRUE(sim.device(1).attached);
}

TEST(Tool, PrintsTheAnsweredSamplesFromANumberOn)
{
    vx7test::TempDir dir;
    const std::string state = dir.file("state");
    ASSERT_EQ(tool(state, "create").status, 0);
    ASSERT_EQ(tool(state, "queue 80FFFFFF 9DFFFFFF 7F000000 8E400000").status, 0);
    EXPECT_EQ(tool(state, "samples").out, "");
    EXPECT_EQ(tool(state, "samples --total").out, "0\n");
    {
        Sim sim = Sim::open(state);
        const HostHandle h = *sim.host_open(0);
        std::uint8_t r[4];
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).ok());
        sim.host_close(h);
    }
    const ToolRun all = tool(state, "samples");
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out,
              "1 0 0 16777215 2.50000000000e+00\n"
              "2 1 7 16777215 1.95312500000e-02\n"
              "3 2 3 4194304 -1.56250018626e-01\n"); // 7F000000 is no sample
    EXPECT_EQ(tool(state, "samples --since 2").out, "3 2 3 4194304 -1.56250018626e-01\n");
    EXPECT_EQ(tool(state, "samples --since 3").out, "");
    EXPECT_EQ(tool(state, "samples --total").out, "3\n");
    for (const char *bad : {"samples 2", "samples --since", "samples --since x", "samples --total --since 1"})
        EXPECT_EQ(tool(state, bad).status, 2) << bad;
}

TEST(Tool, SaysSoWhenSamplesWereOverwritten)
{
    vx7test::TempDir dir;
    const std::string state = dir.file("state");
    ASSERT_EQ(tool(state, "create").status, 0);
    {
        Sim sim = Sim::open(state);
        const HostHandle h = *sim.host_open(0);
        std::uint8_t r[4];
        for (int i = 0; i < kSampleLogSize + 2; ++i)
            ASSERT_TRUE(sim.host_control(h, kGetReportType, kGetReportRequest, kGetReportValue, 0, r, 4, 100).ok());
        sim.host_close(h);
    }
    const ToolRun behind = tool(state, "samples --since 1");
    EXPECT_EQ(behind.status, 3);
    EXPECT_TRUE(behind.out.ends_with("\nvx7sim: 1 samples after 1 were overwritten before this read\n"));
    EXPECT_EQ(behind.out.rfind("3 2 0 ", 0), 0u); // the oldest retained comes first
    const ToolRun in_time = tool(state, "samples --since 2");
    EXPECT_EQ(in_time.status, 0);
    EXPECT_EQ(in_time.out.rfind("3 2 0 ", 0), 0u);
}

TEST(Tool, RefusesBadUsage)
{
    vx7test::TempDir dir;
    const std::string state = dir.file("state");
    EXPECT_EQ(tool(state, "counters").status, 1); // no state file yet
    ASSERT_EQ(tool(state, "create --no-device").status, 0);
    EXPECT_TRUE(Sim::open(state).devices().empty());
    ASSERT_EQ(tool(state, "create").status, 0);
    for (const char *bad :
         {"", "frobnicate", "queue 80F", "queue zz", "wave 1 sine 0.5", "fault get melt", "string-fails sometimes"})
        EXPECT_EQ(tool(state, bad).status, 2) << bad;
    EXPECT_EQ(tool(state, "--dev 5 detach").status, 1); // no such device
    EXPECT_EQ(Sim::open(state).queued(0), 0u);
}

} // namespace
