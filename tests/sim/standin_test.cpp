// The stand-in libusb-0.1.so.4, loaded with dlopen as a program would load
// it: what it lists, the framing it accepts, strings, faults, detach.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "standin_loader.h"
#include "tempdir.h"
#include "vx7sim/sim.h"

namespace {

using namespace vx7sim;
using Bytes = std::vector<std::uint8_t>;

class StandinTest : public ::testing::Test {
protected:
    vx7test::TempDir dir;
    std::string path = dir.file("state");
    Sim sim = Sim::create(path);
    vx7simtest::StateEnv env{path};
    vx7simtest::Standin usb;

    void SetUp() override { ASSERT_TRUE(usb.loaded()); }

    // Walk of the bus list as the transport does it: (bus dirname, device id by vendor/product/address).
    std::vector<struct usb_device *> walk()
    {
        std::vector<struct usb_device *> out;
        for (usb_bus *b = usb.get_busses(); b != nullptr; b = b->next)
            for (struct usb_device *d = b->devices; d != nullptr; d = d->next)
                out.push_back(d);
        return out;
    }
};

TEST(StandinWithoutState, NoBusesWithoutAUsableStateFile)
{
    vx7simtest::Standin usb;
    ASSERT_TRUE(usb.loaded());
    ::unsetenv("VX7SIM_STATE");
    usb.rescan();
    EXPECT_EQ(usb.get_busses(), nullptr);
    vx7test::TempDir dir;
    vx7test::write_file(dir.file("junk"), std::string(100000, '\1'));
    vx7simtest::StateEnv env(dir.file("junk"));
    usb.rescan();
    EXPECT_EQ(usb.get_busses(), nullptr);
    EXPECT_EQ(*usb.busses, nullptr);
}

TEST_F(StandinTest, ListsAttachedDevicesInBusOrder)
{
    DeviceSpec second = DeviceSpec::with(0x1234, 0x5678, "Other", "Thing");
    second.bus = 2;
    second.manufacturer_index = 5;
    const int d0 = sim.add_device(second);
    const int d1 = sim.add_vx7();
    sim.add_vx7(false); // detached: not listed
    usb.rescan();
    ASSERT_EQ(*usb.busses, usb.get_busses());
    int buses = 0;
    for (usb_bus *b = usb.get_busses(); b != nullptr; b = b->next)
        ++buses;
    EXPECT_EQ(buses, kMaxBuses);
    const auto devs = walk();
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_EQ(devs[0]->descriptor.idVendor, kVx7Vendor);
    EXPECT_EQ(devs[0]->descriptor.idProduct, kVx7Product);
    EXPECT_EQ(devs[0]->descriptor.iManufacturer, 1);
    EXPECT_EQ(devs[0]->descriptor.iProduct, 2);
    EXPECT_EQ(devs[0]->devnum, sim.device(d1).address);
    EXPECT_STREQ(devs[0]->bus->dirname, "001");
    EXPECT_EQ(devs[1]->descriptor.idVendor, 0x1234);
    EXPECT_EQ(devs[1]->descriptor.iManufacturer, 5);
    EXPECT_STREQ(devs[1]->bus->dirname, "003");
    EXPECT_EQ(sim.device(d0).bus, 2);
    // A rescan with nothing changed reports no change and keeps the records.
    usb.init();
    EXPECT_EQ(usb.find_busses(), 0);
    EXPECT_EQ(usb.find_devices(), 0);
    EXPECT_EQ(walk(), devs);
}

// Every request through usb_control_msg: the two framings the device knows
// succeed, every variation of them stalls and is recorded.
TEST_F(StandinTest, ControlFramingGoodAndBad)
{
    const int dev = sim.add_vx7();
    for (int ch = 0; ch < kChannels; ++ch)
        sim.set_waveform(dev, ch, Waveform::constant(0.0));
    usb.rescan();
    usb_dev_handle *h = usb.open(usb.nth_device(0));
    ASSERT_NE(h, nullptr);
    struct Case {
        const char *name;
        int type, request, value, index;
        Bytes data; // OUT bytes, or the size of an IN buffer as zeros
        int size;
        int result; // expected return value
    } cases[] = {
        {"set report", 0x20, 9, 0x0303, 0, {3, 1, 0, 100}, 4, 4},
        {"set report id 0x85", 0x20, 9, 0x0385, 0, {0x85, 1, 0, 0}, 4, 4},
        {"get report", 0xA0, 1, 0x0301, 0, Bytes(4), 4, 4},
        {"get report, larger buffer", 0xA0, 1, 0x0301, 0, Bytes(8), 8, 4},
        {"set to interface", 0x21, 9, 0x0303, 0, {3, 1, 0, 100}, 4, -EPIPE},
        {"set, wrong request", 0x20, 1, 0x0303, 0, {3, 1, 0, 100}, 4, -EPIPE},
        {"set, output report", 0x20, 9, 0x0203, 0, {3, 1, 0, 100}, 4, -EPIPE},
        {"set, id not first byte", 0x20, 9, 0x0304, 0, {3, 1, 0, 100}, 4, -EPIPE},
        {"set, index 1", 0x20, 9, 0x0303, 1, {3, 1, 0, 100}, 4, -EPIPE},
        {"set, 3 bytes", 0x20, 9, 0x0303, 0, {3, 1, 0}, 3, -EPIPE},
        {"set, 5 bytes", 0x20, 9, 0x0303, 0, {3, 1, 0, 100, 0}, 5, -EPIPE},
        {"get from interface", 0xA1, 1, 0x0301, 0, Bytes(4), 4, -EPIPE},
        {"get, input report", 0xA0, 1, 0x0101, 0, Bytes(4), 4, -EPIPE},
        {"get, report id 0", 0xA0, 1, 0x0300, 0, Bytes(4), 4, -EPIPE},
        {"get, wrong request", 0xA0, 9, 0x0301, 0, Bytes(4), 4, -EPIPE},
        {"get, index 1", 0xA0, 1, 0x0301, 1, Bytes(4), 4, -EPIPE},
        {"get, no room", 0xA0, 1, 0x0301, 0, Bytes(4), 0, -EPIPE},
        {"standard get descriptor", 0x80, 6, 0x0100, 0, Bytes(18), 18, -EPIPE},
    };
    std::uint64_t errors = 0, sets = 0, gets = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buf = c.data;
        const int r =
            usb.control_msg(h, c.type, c.request, c.value, c.index, reinterpret_cast<char *>(buf.data()), c.size, 5000);
        EXPECT_EQ(r, c.result);
        if (r < 0) {
            ++errors;
            ASSERT_EQ(sim.protocol_error_count(), errors);
            const ProtocolError e = sim.protocol_errors().back();
            EXPECT_EQ(e.device, dev);
            EXPECT_EQ(e.request_type, c.type);
            EXPECT_EQ(e.request, c.request);
            EXPECT_EQ(e.value, c.value);
            EXPECT_EQ(e.index, c.index);
            EXPECT_EQ(e.length, c.size);
            EXPECT_EQ(e.timeout_ms, 5000u);
            if ((c.type & 0x80) == 0 && !c.data.empty()) {
                EXPECT_EQ(e.data[0], c.data[0]);
            }
        } else if ((c.type & 0x80) == 0) {
            ++sets;
            EXPECT_EQ(sim.commands(dev).back().data[0], c.data[0]);
            EXPECT_EQ(sim.commands(dev).back().value, c.value);
        } else {
            ++gets;
            EXPECT_EQ(buf[0] & 0xFC, 0x80); // a sample of 0 V at range 0
            EXPECT_EQ(Bytes(buf.begin() + 1, buf.begin() + 4), (Bytes{0x80, 0, 0}));
        }
    }
    const Counters counters = sim.counters(dev);
    EXPECT_EQ(counters.set_transfers, sets);
    EXPECT_EQ(counters.get_transfers, gets);
    EXPECT_EQ(counters.protocol_errors, errors);
    EXPECT_EQ(sim.commands(dev).size(), sets); // stalled requests never reach the command log
    EXPECT_EQ(usb.close(h), 0);
}

TEST_F(StandinTest, StringDescriptorsAsTheDeviceSendsThem)
{
    const int dev = sim.add_vx7();
    usb.rescan();
    usb_dev_handle *h = usb.open(usb.nth_device(0));
    ASSERT_NE(h, nullptr);
    Bytes big(256, 0x41);
    big[0] = 0xFF;
    big[1] = 3;
    const std::vector<Bytes> cases = {
        string_descriptor(kVx7Manufacturer),          {2, 3}, {3, 3, 'a'}, big,
        string_descriptor(u"\u00c4\u20ac\U0001F600"), // non-ASCII and a surrogate pair
    };
    for (const Bytes &raw : cases) {
        sim.set_strings(dev, raw, string_descriptor(u"x"));
        char buf[256];
        const int n = usb.get_string(h, 1, 0x0409, buf, sizeof buf);
        ASSERT_EQ(n, static_cast<int>(raw.size()));
        EXPECT_EQ(Bytes(buf, buf + n), raw);
    }
    char small[8];
    EXPECT_EQ(usb.get_string(h, 1, 0x0409, small, sizeof small), 8); // cut to the buffer
    sim.set_strings(dev, string_descriptor(kVx7Manufacturer), string_descriptor(kVx7ProductName));
    char text[64];
    EXPECT_EQ(usb.get_string_simple(h, 2, text, sizeof text), 7);
    EXPECT_STREQ(text, "vx7 HID");
    sim.set_string_fails(dev, StringFault::Manufacturer);
    EXPECT_LT(usb.get_string(h, 1, 0x0409, text, sizeof text), 0);
    EXPECT_GT(usb.get_string(h, 2, 0x0409, text, sizeof text), 0);
    EXPECT_LT(usb.get_string(h, 9, 0x0409, text, sizeof text), 0); // no such descriptor
    EXPECT_EQ(usb.close(h), 0);
}

TEST_F(StandinTest, DeviceThatCannotBeOpened)
{
    const int dev = sim.add_vx7();
    sim.set_open_fails(dev, true);
    usb.rescan();
    ASSERT_NE(usb.nth_device(0), nullptr); // listed all the same
    EXPECT_EQ(usb.open(usb.nth_device(0)), nullptr);
    EXPECT_EQ(sim.counters(dev).open_failures, 1u);
    EXPECT_EQ(sim.counters(dev).opens, 0u);
}

TEST_F(StandinTest, FaultsSurfaceAsLibusbResults)
{
    const int dev = sim.add_vx7();
    usb.rescan();
    usb_dev_handle *h = usb.open(usb.nth_device(0));
    ASSERT_NE(h, nullptr);
    sim.inject_fault(dev, Fault::fail(TransferKind::Get));
    sim.inject_fault(dev, Fault::short_transfer(TransferKind::Get, 3));
    sim.inject_fault(dev, Fault::delay(TransferKind::Get, 100));
    char buf[4];
    EXPECT_EQ(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 5000), -EPIPE);
    EXPECT_EQ(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 5000), 3);
    EXPECT_EQ(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 20), -ETIMEDOUT);
    EXPECT_EQ(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 20), 4);
    EXPECT_EQ(sim.counters(dev).last_timeout_ms, 20u);
    EXPECT_EQ(usb.close(h), 0);
}

TEST_F(StandinTest, DetachWhileAHandleIsOpen)
{
    const int dev = sim.add_vx7();
    usb.rescan();
    struct usb_device *before = usb.nth_device(0);
    usb_dev_handle *h = usb.open(before);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb.device(h), before);
    char buf[4] = {3, 1, 0, 100};
    EXPECT_EQ(usb.control_msg(h, 0x20, 9, 0x0303, 0, buf, 4, 5000), 4);

    sim.set_attached(dev, false);
    EXPECT_LT(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 5000), 0);
    EXPECT_LT(usb.control_msg(h, 0x20, 9, 0x0303, 0, buf, 4, 5000), 0);
    EXPECT_LT(usb.get_string(h, 1, 0x0409, buf, sizeof buf), 0);
    usb.init();
    usb.find_busses();
    EXPECT_EQ(usb.find_devices(), 1); // one device went away
    EXPECT_EQ(usb.nth_device(0), nullptr);
    EXPECT_EQ(before->descriptor.idVendor, kVx7Vendor); // the record is not freed under the handle

    // Plugged in again: found anew, but the old handle stays dead.
    sim.set_attached(dev, true);
    usb.rescan();
    struct usb_device *after = usb.nth_device(0);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->devnum, sim.device(dev).address);
    EXPECT_LT(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 5000), 0);
    usb_dev_handle *h2 = usb.open(after);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(usb.control_msg(h2, 0xA0, 1, 0x0301, 0, buf, 4, 5000), 4);
    EXPECT_EQ(sim.counters(dev).open_handles(), 2);
    EXPECT_EQ(usb.close(h), 0);
    EXPECT_EQ(usb.close(h2), 0);
    EXPECT_EQ(sim.counters(dev).open_handles(), 0);
    EXPECT_EQ(sim.commands(dev).size(), 1u);
}

// A state file made anew at the same path (a demo script re-creating it
// while a program runs) is taken up on the next scan; memory of the old one
// stays valid meanwhile.
TEST_F(StandinTest, StateFileReplacedAtTheSamePath)
{
    sim.add_vx7();
    usb.rescan();
    usb_dev_handle *h = usb.open(usb.nth_device(0));
    ASSERT_NE(h, nullptr);
    Sim fresh = Sim::create(path);
    fresh.add_device(DeviceSpec::with(0x1111, 0x2222, "New", "Machine"));
    char buf[4];
    EXPECT_EQ(usb.control_msg(h, 0xA0, 1, 0x0301, 0, buf, 4, 100), 4); // still the old device
    usb.rescan();
    ASSERT_NE(usb.nth_device(0), nullptr);
    EXPECT_EQ(usb.nth_device(0)->descriptor.idVendor, 0x1111);
    EXPECT_EQ(usb.nth_device(1), nullptr);
    EXPECT_EQ(sim.counters(0).get_transfers, 1u);
    EXPECT_EQ(usb.close(h), 0);
}

} // namespace
