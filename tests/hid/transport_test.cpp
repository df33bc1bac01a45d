// The libusb transport, driven through the stand-in libusb-0.1.so.4 (first on
// LD_LIBRARY_PATH) against the simulated device.
#include "vx7/vhid.h"

#include "tempdir.h"
#include "vx7sim/sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using vx7sim::DeviceSpec;
using vx7sim::Fault;
using vx7sim::Sim;
using vx7sim::TransferKind;

namespace {

constexpr wchar_t kManufacturer[] = L"ZANDRIVELO";
constexpr wchar_t kProduct[] = L"vx7 HID";

void *open_vx7()
{
    return HidOpenDevice(0x16C0, 0x05DF, kManufacturer, kProduct);
}

class Transport : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_.emplace(Sim::create(dir_.file("device.state")));
        ::setenv(vx7sim::kStateEnv, sim_->path().c_str(), 1);
    }
    void TearDown() override
    {
        // Whatever a test did, no call may leave a handle open behind it.
        for (const auto &d : sim_->devices())
            EXPECT_EQ(sim_->counters(d.id).open_handles(), 0) << "device " << d.id;
        EXPECT_EQ(sim_->protocol_error_count(), 0u);
        ::unsetenv(vx7sim::kStateEnv);
    }

    // Runs f with standard output going to a file, and returns what it wrote.
    template <typename F>
    std::string stdout_of(F f)
    {
        const std::string path = dir_.file("stdout");
        std::fflush(stdout);
        const int saved = ::dup(1);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 1);
        ::close(fd);
        f();
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        return vx7test::read_file(path);
    }

    Sim &sim() { return *sim_; }

    vx7test::TempDir dir_;
    std::optional<Sim> sim_;
};

struct ModeCase {
    const char *name;
    int vendor;
    int product;
    const wchar_t *manufacturer;
    const wchar_t *product_name;
};

} // namespace

// Any zero ID or empty string selects listing mode: every device on every bus
// is opened and printed, even with the vx7 device attached, and the result is
// null.
TEST_F(Transport, ListingModeListsEveryDeviceAndReturnsNull)
{
    sim().add_vx7();
    DeviceSpec other = DeviceSpec::with(0x046D, 0xC077, "Mouse Maker", "Optical Mouse");
    other.bus = 1;
    const int mouse = sim().add_device(other);
    const int locked = sim().add_device(DeviceSpec::with(0x1234, 0x5678, "Locked", "Box"));
    sim().set_open_fails(locked, true);
    const int mute = sim().add_device(DeviceSpec::with(0x1234, 0x5679, "Mute", "Box"));
    sim().set_string_fails(mute, vx7sim::StringFault::Manufacturer);

    const ModeCase cases[] = {
        {"vendor 0", 0, 0x05DF, kManufacturer, kProduct},
        {"product 0", 0x16C0, 0, kManufacturer, kProduct},
        {"empty manufacturer", 0x16C0, 0x05DF, L"", kProduct},
        {"empty product", 0x16C0, 0x05DF, kManufacturer, L""},
        {"all empty", 0, 0, L"", L""},
    };
    for (const ModeCase &c : cases) {
        void *h = reinterpret_cast<void *>(1);
        const std::string out =
            stdout_of([&] { h = HidOpenDevice(c.vendor, c.product, c.manufacturer, c.product_name); });
        EXPECT_EQ(h, nullptr) << c.name;
        // Bus 0 holds the vx7 device, the locked and the mute box; bus 1 the mouse.
        EXPECT_EQ(out,
                  "Device:\tZANDRIVELO\tvx7 HID\n"
                  "Can not open\n"
                  "can not get string\n"
                  "Device:\tMouse Maker\tOptical Mouse\n")
            << c.name;
    }
    // After a failed manufacturer read the product string is not read.
    EXPECT_EQ(sim().counters(mute).string_reads, 5u);
    EXPECT_EQ(sim().counters(mouse).opens, 5u);
}

TEST_F(Transport, MatchingSkipsDevicesWithOtherIdsWithoutOpeningThem)
{
    const int mouse = sim().add_device(DeviceSpec::with(0x046D, 0xC077, "ZANDRIVELO", "vx7 HID"));
    const int vx7 = sim().add_vx7();
    std::string out = stdout_of([&] {
        void *h = open_vx7();
        EXPECT_NE(h, nullptr);
        HidCloseDevice(h);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(sim().counters(mouse).opens + sim().counters(mouse).open_failures, 0u);
    EXPECT_EQ(sim().counters(vx7).opens, 1u);
}

// Two devices with the vx7 IDs, only the second with the vx7 strings: the
// first is opened, compared and closed; the second is returned.
TEST_F(Transport, SecondDeviceWithTheStringsIsReturned)
{
    const int first = sim().add_device(DeviceSpec::with(0x16C0, 0x05DF, "Hobby Lab", "USB relay"));
    const int second = sim().add_vx7();
    void *h = nullptr;
    EXPECT_EQ(stdout_of([&] { h = open_vx7(); }), "");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sim().counters(first).opens, 1u);
    EXPECT_EQ(sim().counters(first).open_handles(), 0);
    EXPECT_EQ(sim().counters(second).open_handles(), 1);

    const uint8_t report[4] = {7, 1, 0, 0};
    EXPECT_EQ(HidSendArr(h, report, 4), 4);
    EXPECT_EQ(sim().commands(second).size(), 1u);
    EXPECT_EQ(sim().commands(first).size(), 0u);
    HidCloseDevice(h);
}

// Matching is exact: case and length count.
TEST_F(Transport, MatchingIsExact)
{
    struct Case {
        const char *manufacturer;
        const char *product;
    } const near_misses[] = {
        {"ZANDRIVELO", "VX7 HID"},  {"ZANDRIVELO", "vx7 hid"},  {"zandrivelo", "vx7 HID"}, {"ZANDRIVELO", "vx7 HI"},
        {"ZANDRIVELO", "vx7 HID "}, {"ZANDRIVELOS", "vx7 HID"}, {"ZANDRIVEL", "vx7 HID"},  {"", "vx7 HID"},
        {"ZANDRIVELO", ""},
    };
    for (const Case &c : near_misses) {
        Sim fresh = Sim::create(dir_.file("near.state"));
        ::setenv(vx7sim::kStateEnv, fresh.path().c_str(), 1);
        const int d = fresh.add_device(DeviceSpec::with(0x16C0, 0x05DF, c.manufacturer, c.product));
        void *h = open_vx7();
        EXPECT_EQ(h, nullptr) << c.manufacturer << "/" << c.product;
        HidCloseDevice(h);
        EXPECT_EQ(fresh.counters(d).open_handles(), 0);
    }
    ::setenv(vx7sim::kStateEnv, sim().path().c_str(), 1);
}

TEST_F(Transport, IdsOutsideSixteenBitsNeverMatch)
{
    sim().add_vx7();
    EXPECT_EQ(HidOpenDevice(0x16C0 + 0x10000, 0x05DF, kManufacturer, kProduct), nullptr);
    EXPECT_EQ(HidOpenDevice(0x16C0, 0x05DF - 0x10000, kManufacturer, kProduct), nullptr);
    EXPECT_EQ(HidOpenDevice(-1, 0x05DF, kManufacturer, kProduct), nullptr);
}

// A device with the IDs that cannot be opened prints on every call; one whose
// strings cannot be read prints its own line; neither is returned.
TEST_F(Transport, UnopenableDeviceAndUnreadableStrings)
{
    const int d = sim().add_vx7();
    sim().set_open_fails(d, true);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(open_vx7(), nullptr); }), "Can not open\n");
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(open_vx7(), nullptr); }), "Can not open\n");

    sim().set_open_fails(d, false);
    for (auto which : {vx7sim::StringFault::Manufacturer, vx7sim::StringFault::Product}) {
        sim().set_string_fails(d, which);
        EXPECT_EQ(stdout_of([] { EXPECT_EQ(open_vx7(), nullptr); }), "can not get string\n");
    }
    sim().set_string_fails(d, vx7sim::StringFault::None);
    void *h = open_vx7();
    EXPECT_NE(h, nullptr);
    HidCloseDevice(h);
}

// What string descriptors of odd lengths turn into, seen through listing mode.
TEST_F(Transport, DescriptorLengths)
{
    std::vector<uint8_t> full(256, 0);
    full[0] = 0xFF;
    full[1] = 3;
    for (size_t i = 2; i < full.size(); i += 2)
        full[i] = static_cast<uint8_t>('a' + (i / 2 - 1) % 26);
    std::string expected_full;
    for (int i = 0; i < 127; ++i)
        expected_full += static_cast<char>('a' + i % 26);

    struct Case {
        std::vector<uint8_t> manufacturer;
        std::string shown;
    } const cases[] = {
        {{2, 3}, ""},
        {{3, 3, 'X'}, ""},
        {{4, 3, 'X', 0}, "X"},
        {full, expected_full},
    };
    for (const Case &c : cases) {
        Sim fresh = Sim::create(dir_.file("len.state"));
        ::setenv(vx7sim::kStateEnv, fresh.path().c_str(), 1);
        const int d = fresh.add_vx7();
        fresh.set_strings(d, c.manufacturer, vx7sim::string_descriptor_ascii("P"));
        EXPECT_EQ(stdout_of([] { HidOpenDevice(0, 0, L"", L""); }), "Device:\t" + c.shown + "\tP\n")
            << c.manufacturer.size() << " bytes";
        EXPECT_EQ(fresh.counters(d).open_handles(), 0);
    }
    ::setenv(vx7sim::kStateEnv, sim().path().c_str(), 1);
}

// Strings beyond ASCII are decoded fully, surrogate pairs included, so a
// device with such strings is found by its own strings.
TEST_F(Transport, NonAsciiStringsMatch)
{
    DeviceSpec spec;
    spec.manufacturer = vx7sim::string_descriptor(u"Zürich Geräte");
    spec.product = vx7sim::string_descriptor(u"ADC \U0001D11E \u00B5V");
    const int d = sim().add_device(spec);
    void *h = HidOpenDevice(0x16C0, 0x05DF, L"Zürich Geräte", L"ADC \U0001D11E \u00B5V");
    EXPECT_NE(h, nullptr);
    HidCloseDevice(h);
    // Keeping only the low byte would have made "Zürich" match this instead.
    EXPECT_EQ(HidOpenDevice(0x16C0, 0x05DF, L"Z\u00FCrich Ger\u00E4te", L"ADC \u00B5V"), nullptr);
    EXPECT_EQ(sim().counters(d).open_handles(), 0);
}

// The exact control transfers: SET_REPORT 0x20/9/0x03xx/0 with the report as
// data, GET_REPORT 0xA0/1/0x0301/0, both with a 5000 ms time-out.
TEST_F(Transport, ReportTransfersUseTheDeviceFraming)
{
    const int d = sim().add_vx7();
    sim().queue_reports(d, {{0x80, 0xFF, 0xFF, 0xFF}});
    void *h = open_vx7();
    ASSERT_NE(h, nullptr);

    const uint8_t freq[4] = {3, 1, 0, 100};
    const uint8_t odd[4] = {0x85, 2, 3, 4};
    EXPECT_EQ(HidSendArr(h, freq, 4), 4);
    EXPECT_EQ(HidSendArr(h, odd, 4), 4);
    const auto log = sim().commands(d);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request_type, 0x20);
    EXPECT_EQ(log[0].request, 9);
    EXPECT_EQ(log[0].value, 0x0303);
    EXPECT_EQ(log[0].index, 0);
    EXPECT_EQ(log[0].length, 4);
    EXPECT_EQ(log[0].timeout_ms, 5000u);
    EXPECT_EQ(log[0].data, (vx7sim::Report{3, 1, 0, 100}));
    EXPECT_EQ(log[1].value, 0x0385);
    EXPECT_EQ(log[1].data, (vx7sim::Report{0x85, 2, 3, 4}));

    uint8_t buf[4] = {};
    EXPECT_EQ(HidReceiveArr(h, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0x80, 0xFF, 0xFF, 0xFF}));
    const auto c = sim().counters(d);
    EXPECT_EQ(c.get_transfers, 1u);
    EXPECT_EQ(c.last_get_length, 4u);
    EXPECT_EQ(c.last_timeout_ms, 5000u);
    HidCloseDevice(h);
}

TEST_F(Transport, ShortAndFailedTransfers)
{
    const int d = sim().add_vx7();
    void *h = open_vx7();
    ASSERT_NE(h, nullptr);
    uint8_t buf[4] = {};
    const uint8_t cmd[4] = {7, 1, 0, 0};

    sim().queue_reports(d, {{0x80, 1, 2}}); // the device answers with 3 bytes
    EXPECT_EQ(HidReceiveArr(h, buf, 4), 3);

    sim().inject_fault(d, Fault::short_transfer(TransferKind::Get, 2));
    EXPECT_EQ(HidReceiveArr(h, buf, 4), 2);
    sim().inject_fault(d, Fault::fail(TransferKind::Get));
    EXPECT_EQ(HidReceiveArr(h, buf, 4), 0);
    sim().inject_fault(d, Fault::fail(TransferKind::Set));
    EXPECT_EQ(HidSendArr(h, cmd, 4), 0);
    sim().inject_fault(d, Fault::short_transfer(TransferKind::Set, 3));
    EXPECT_EQ(HidSendArr(h, cmd, 4), 3);

    // An unplugged device keeps its handle "connected" until a transfer fails.
    sim().set_attached(d, false);
    EXPECT_EQ(HidIsConnected(h), 1);
    EXPECT_EQ(HidReceiveArr(h, buf, 4), 0);
    EXPECT_EQ(HidSendArr(h, cmd, 4), 0);
    HidCloseDevice(h);
}

TEST_F(Transport, TransferTimesOutAfterFiveSeconds)
{
    const int d = sim().add_vx7();
    void *h = open_vx7();
    ASSERT_NE(h, nullptr);
    sim().inject_fault(d, Fault::delay(TransferKind::Get, 60000));
    uint8_t buf[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HidReceiveArr(h, buf, 4), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::milliseconds(8000));
    HidCloseDevice(h);
}

TEST_F(Transport, NullHandlesAndBadLengthsMoveNothing)
{
    const int d = sim().add_vx7();
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(HidIsConnected(nullptr), 0);
    EXPECT_EQ(HidSendArr(nullptr, buf, 4), 0);
    EXPECT_EQ(HidReceiveArr(nullptr, buf, 4), 0);
    HidCloseDevice(nullptr);

    void *h = open_vx7();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(HidSendArr(h, buf, 0), 0);
    EXPECT_EQ(HidSendArr(h, nullptr, 4), 0);
    EXPECT_EQ(HidReceiveArr(h, buf, -1), 0);
    HidCloseDevice(h);
    const auto c = sim().counters(d);
    EXPECT_EQ(c.get_transfers + c.set_transfers, 0u);
}

// A receive returns what the device sent, not what was asked for.
TEST_F(Transport, ReceiveCountsWhatTheDeviceSent)
{
    const int d = sim().add_vx7();
    sim().queue_reports(d, {{0x80, 1, 2, 3, 4}});
    void *h = open_vx7();
    ASSERT_NE(h, nullptr);
    uint8_t buf[8] = {};
    EXPECT_EQ(HidReceiveArr(h, buf, 8), 5);
    HidCloseDevice(h);
}

TEST_F(Transport, NoStateFileMeansNoDevices)
{
    ::unsetenv(vx7sim::kStateEnv);
    EXPECT_EQ(open_vx7(), nullptr);
    EXPECT_EQ(stdout_of([] { HidOpenDevice(0, 0, L"", L""); }), "");
    ::setenv(vx7sim::kStateEnv, sim().path().c_str(), 1);
}
