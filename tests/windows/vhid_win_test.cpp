// HID transport, Windows form, against the simulated machine (stand-in
// hid.dll and setupapi.dll beside this program): the interface walk and its
// ID filter, matching and listing, exclusive opens, and the report-ID byte
// in front of every feature report.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>

#include "device_files.h"
#include "vx7/vhid.h"
#include "wintest.h"

namespace {

using namespace vx7test::win;
using vx7sim::DeviceSpec;
using vx7sim::Sim;

constexpr int kVid = 0x16C0;
constexpr int kPid = 0x05DF;

void *open_vx7()
{
    return HidOpenDevice(kVid, kPid, L"ZANDRIVELO", L"vx7 HID");
}

std::string file_of(const Sim &sim, int d)
{
    return vx7sim::win::device_file(sim.device(d).interface_path, sim.path());
}

// Owns a transport handle.
struct Handle {
    void *p;
    explicit Handle(void *h) : p(h) {}
    ~Handle() { HidCloseDevice(p); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
};

// Captures what the transport writes on standard output during f(). The
// stream is in text mode, as a program's standard output is: line ends come
// out as CR LF, and wide text as multibyte characters.
template <class F>
std::string capture_stdout(F f)
{
    std::fflush(stdout);
    const int saved = ::_dup(1);
    std::FILE *tmp = std::freopen("C:\\sim\\stdout.txt", "w", stdout);
    if (tmp == nullptr)
        return "<no capture>";
    f();
    std::fflush(stdout);
    ::_dup2(saved, 1);
    ::_close(saved);
    return read_file("C:\\sim\\stdout.txt");
}

TEST(HidMatch, FindsTheVx7DeviceAmongOthersWithoutOpeningFilteredOnes)
{
    Sim sim = fresh_machine();
    // Enumeration order is bus order, then id.
    const int other = sim.add_device(DeviceSpec::with(0x046D, 0xC52B, "ZANDRIVELO", "vx7 HID"));
    DeviceSpec upper = DeviceSpec::vx7();
    upper.interface_path = vx7sim::default_interface_path(kVid, kPid, 7, true);
    const int upper_id = sim.add_device(upper);
    const int wrong_product = sim.add_device(DeviceSpec::with(kVid, kPid, "ZANDRIVELO", "VX7 HID"));
    const int longer_product = sim.add_device(DeviceSpec::with(kVid, kPid, "ZANDRIVELO", "vx7 HID2"));
    const int vx7 = sim.add_vx7();
    const int second_vx7 = sim.add_vx7();

    Handle h(open_vx7());
    ASSERT_NE(h.p, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(h.p)), file_of(sim, vx7))
        << "the handle is the interface path of the first match";

    // The ID filter comes before any open: devices whose path lacks
    // "vid_16c0&pid_05df" (other IDs, or the IDs in upper case) are never
    // asked for their strings.
    EXPECT_EQ(sim.counters(other).string_reads, 0u);
    EXPECT_EQ(sim.counters(upper_id).string_reads, 0u);
    // Same IDs, other strings: opened, compared, passed over.
    EXPECT_GE(sim.counters(wrong_product).string_reads, 2u);
    EXPECT_GE(sim.counters(longer_product).string_reads, 2u);
    EXPECT_EQ(sim.counters(second_vx7).string_reads, 0u) << "the walk ends at the first match";
    // No device stays open after the search.
    EXPECT_EQ(sim.counters(vx7).open_handles(), 0);
    ExclusiveHold probe(file_of(sim, vx7));
    EXPECT_TRUE(probe.held());
}

TEST(HidMatch, NothingMatchesWithoutTheDeviceOrWithIdsOutOfRange)
{
    Sim sim = fresh_machine();
    sim.add_device(DeviceSpec::with(0x1234, 0x5678, "ZANDRIVELO", "vx7 HID"));
    EXPECT_EQ(open_vx7(), nullptr);
    sim.add_vx7();
    // IDs are 16 bits: a vendor ID beyond that matches nothing, even though
    // its hexadecimal text starts like the vx7's.
    EXPECT_EQ(HidOpenDevice(0x16C0F, kPid, L"ZANDRIVELO", L"vx7 HID"), nullptr);
    EXPECT_EQ(HidOpenDevice(-1, kPid, L"ZANDRIVELO", L"vx7 HID"), nullptr);
    Handle h(open_vx7());
    EXPECT_NE(h.p, nullptr);
}

TEST(HidMatch, AnInterfacePathOf256CharactersOrMoreIsHeldWhole)
{
    Sim sim = fresh_machine();
    // A path just below the model's limit of 259 characters; its folders keep
    // every name short enough for the host file system.
    std::string path = "C:\\sim\\" + std::string(120, 'a') + "\\" + std::string(61, 'b') +
                       "\\hid#vid_16c0&pid_05df#1&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    ASSERT_GE(path.size(), 256u);
    ASSERT_LT(path.size(), 260u);
    DeviceSpec spec = DeviceSpec::vx7();
    spec.interface_path = path;
    const int d = sim.add_device(spec);
    sim.queue_reports(d, {{0x80, 0xFF, 0xFF, 0xFF}});

    Handle h(open_vx7());
    ASSERT_NE(h.p, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(h.p)), path);
    EXPECT_EQ(HidIsConnected(h.p), 1);
    uint8_t buf[4] = {};
    EXPECT_EQ(HidReceiveArr(h.p, buf, 4), 4);
    EXPECT_EQ(buf[0], 0x80);
}

TEST(HidList, ListsEveryOpenableInterfaceAndReturnsNull)
{
    Sim sim = fresh_machine();
    sim.add_vx7();
    const int mouse = sim.add_device(DeviceSpec::with(0x046D, 0xC52B, "Maker", "Mouse"));
    const int held = sim.add_device(DeviceSpec::with(0x1111, 0x2222, "Held", "Busy"));
    sim.set_string_fails(mouse, vx7sim::StringFault::Product);
    vx7sim::win::sync_device_files(sim);
    ExclusiveHold hold(file_of(sim, held));
    ASSERT_TRUE(hold.held());

    // Listing mode: an ID of 0 or an empty string.
    struct Call {
        int vid, pid;
        const wchar_t *m, *p;
    };
    for (const Call c : {Call{0, kPid, L"ZANDRIVELO", L"vx7 HID"}, Call{kVid, 0, L"ZANDRIVELO", L"vx7 HID"},
                         Call{kVid, kPid, L"", L"vx7 HID"}, Call{kVid, kPid, L"ZANDRIVELO", L""}}) {
        void *result = reinterpret_cast<void *>(1);
        const std::string out = capture_stdout([&] { result = HidOpenDevice(c.vid, c.pid, c.m, c.p); });
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(out,
                  "Device:\tZANDRIVELO\tvx7 HID\r\n"
                  "Device:\tMaker\t\r\n"
                  "Can not open file [" +
                      file_of(sim, held) + "]\r\n");
    }
}

TEST(HidExclusive, AHeldDeviceFailsTheConnectionTestTransfersAndTheSearch)
{
    Sim sim = fresh_machine();
    const int d = sim.add_vx7();
    Handle h(open_vx7());
    ASSERT_NE(h.p, nullptr);
    EXPECT_EQ(HidIsConnected(h.p), 1);

    {
        ExclusiveHold other(file_of(sim, d));
        ASSERT_TRUE(other.held()) << "the transport keeps nothing open between calls";
        EXPECT_EQ(HidIsConnected(h.p), 0);
        uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        EXPECT_EQ(HidReceiveArr(h.p, buf, 4), 0);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>(4, 0xAA))
            << "a receive that cannot open leaves the buffer alone";
        const uint8_t cmd[4] = {7, 1, 0, 0};
        EXPECT_EQ(HidSendArr(h.p, cmd, 4), 0);
        void *again = reinterpret_cast<void *>(1);
        const std::string out = capture_stdout([&] { again = open_vx7(); });
        EXPECT_EQ(again, nullptr);
        EXPECT_EQ(out, "Can not open file [" + file_of(sim, d) + "]\r\n");
        EXPECT_EQ(sim.counters(d).get_transfers + sim.counters(d).set_transfers, 0u);
    }
    EXPECT_EQ(HidIsConnected(h.p), 1) << "usable again once released";
    EXPECT_EQ(HidIsConnected(nullptr), 0);
}

TEST(HidExclusive, UnplugAndReplugFollowTheInterfacePath)
{
    Sim sim = fresh_machine();
    const int d = sim.add_vx7();
    Handle h(open_vx7());
    ASSERT_NE(h.p, nullptr);
    sim.set_attached(d, false);
    vx7sim::win::sync_device_files(sim);
    EXPECT_EQ(HidIsConnected(h.p), 0);
    EXPECT_EQ(open_vx7(), nullptr);
    sim.set_attached(d, true);
    vx7sim::win::sync_device_files(sim);
    EXPECT_EQ(HidIsConnected(h.p), 1) << "the handle is only the path";
    uint8_t buf[4] = {};
    EXPECT_EQ(HidReceiveArr(h.p, buf, 4), 4);
}

TEST(HidFraming, SendPutsReportIdZeroInFrontOfTheCallersBytes)
{
    Sim sim = fresh_machine();
    const int d = sim.add_vx7();
    Handle h(open_vx7());
    ASSERT_NE(h.p, nullptr);

    const uint8_t cmd[4] = {3, 1, 0, 100};
    EXPECT_EQ(HidSendArr(h.p, cmd, 4), 4);
    const uint8_t reset[4] = {0x85, 0, 0, 0};
    EXPECT_EQ(HidSendArr(h.p, reset, 4), 4);
    auto log = sim.commands(d);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].framing, vx7sim::Framing::HidFeature);
    EXPECT_EQ(log[0].length, 5) << "report ID byte + 4 report bytes";
    EXPECT_EQ(log[0].data, (vx7sim::Report{3, 1, 0, 100}));
    EXPECT_EQ(log[1].data, (vx7sim::Report{0x85, 0, 0, 0})) << "the first byte is data, not a report ID";
    EXPECT_EQ(sim.protocol_error_count(), 0u);

    // Length 0 sends the report-ID byte alone, which the device refuses.
    EXPECT_EQ(HidSendArr(h.p, cmd, 0), 0);
    EXPECT_EQ(HidSendArr(nullptr, cmd, 4), 0);
    EXPECT_EQ(HidSendArr(h.p, cmd, -1), 0);
    sim.inject_fault(d, vx7sim::Fault::fail(vx7sim::TransferKind::Set));
    EXPECT_EQ(HidSendArr(h.p, cmd, 4), 0);
}

TEST(HidFraming, ReceiveRequestsReportIdZeroAndHandsBackTheDataBytes)
{
    Sim sim = fresh_machine();
    const int d = sim.add_vx7();
    sim.queue_reports(d, {{0x9D, 0xFF, 0xFF, 0xFF}, {0x8E, 0x40, 0x00, 0x00}});
    Handle h(open_vx7());
    ASSERT_NE(h.p, nullptr);

    uint8_t buf[4] = {};
    ASSERT_EQ(HidReceiveArr(h.p, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0x9D, 0xFF, 0xFF, 0xFF}));

    // A failed request still overwrites the caller's bytes with those of the
    // cleared report buffer.
    sim.inject_fault(d, vx7sim::Fault::fail(vx7sim::TransferKind::Get));
    uint8_t poisoned[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(HidReceiveArr(h.p, poisoned, 4), 0);
    EXPECT_EQ(std::vector<uint8_t>(poisoned, poisoned + 4), std::vector<uint8_t>(4, 0));

    ASSERT_EQ(HidReceiveArr(h.p, buf, 4), 4) << "the queued report is still there after the fault";
    EXPECT_EQ(buf[0], 0x8E);
    EXPECT_EQ(sim.protocol_error_count(), 0u);

    // The device takes only 5-byte feature requests (ID byte + 4): a
    // 3-byte receive asks for 4 and is refused.
    EXPECT_EQ(HidReceiveArr(h.p, buf, 3), 0);
    EXPECT_EQ(sim.protocol_error_count(), 1u);

    uint8_t untouched[4] = {1, 2, 3, 4};
    EXPECT_EQ(HidReceiveArr(nullptr, untouched, 4), 0);
    EXPECT_EQ(untouched[0], 1);
}

} // namespace
