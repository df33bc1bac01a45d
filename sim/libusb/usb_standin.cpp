// Stand-in for libusb-0.1.so.4 that connects programs to the simulated vx7
// device. Built against the system's own usb.h, so the bus and device
// records are the real ones. The machine it shows is the state file named by
// VX7SIM_STATE; without one it is a machine with no USB devices.
//
// Memory follows libusb 0.1's rules from the program's point of view: the
// bus list that usb_get_busses returns is rebuilt by usb_find_busses and
// usb_find_devices. The records themselves live in fixed tables that are
// never freed (one per simulated bus and device slot), so a stale pointer
// reads a later state rather than freed memory; a handle opened before its
// device was detached fails every request with a negative result.
#include <sys/stat.h>
#include <usb.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "vx7sim/sim.h"

struct usb_dev_handle {
    vx7sim::HostHandle host;
    struct usb_device *device;
};

// The list head that libusb 0.1 exports beside usb_get_busses.
struct usb_bus *usb_busses = nullptr;

namespace {

struct Standin {
    std::string path; // state file in use, empty for none
    std::optional<vx7sim::Sim> sim;
    dev_t file_dev = 0; // identity of the mapped file, to notice a new one at the same path
    ino_t file_ino = 0;
    usb_bus buses[vx7sim::kMaxBuses];
    struct usb_device devices[vx7sim::kMaxDevices];
    bool bus_listed[vx7sim::kMaxBuses] = {};
    std::uint32_t device_listed[vx7sim::kMaxDevices] = {}; // generation in the list, 0: not listed
    int debug = 0;
    char error[128] = "no error";
};

// Never destroyed: a program's own exit-time handlers (closing its device
// handle, say) may run after this library's static destructors would.
Standin &standin()
{
    static Standin *s = new Standin();
    return *s;
}

int fail(int err, const char *what)
{
    Standin &s = standin();
    std::snprintf(s.error, sizeof s.error, "%s: %s", what, std::strerror(err));
    if (s.debug > 0)
        std::fprintf(stderr, "usb (simulated): %s\n", s.error);
    return -err;
}

int from_result(const vx7sim::TransferResult &r, const char *what)
{
    switch (r.status) {
    case vx7sim::TransferStatus::Ok:
        return r.count;
    case vx7sim::TransferStatus::Stall:
        return fail(EPIPE, what);
    case vx7sim::TransferStatus::Timeout:
        return fail(ETIMEDOUT, what);
    case vx7sim::TransferStatus::NoDevice:
        return fail(ENODEV, what);
    }
    return fail(EIO, what);
}

// Maps the state file that VX7SIM_STATE names, again whenever the name
// changes or (on a rescan) a new file has replaced the old one at that path;
// without a usable file the machine has no devices.
vx7sim::Sim *machine(bool rescan = false)
{
    Standin &s = standin();
    const char *env = std::getenv(vx7sim::kStateEnv);
    const std::string wanted = env != nullptr ? env : "";
    if (wanted == s.path && !rescan)
        return s.sim ? &*s.sim : nullptr;
    struct stat st {};
    const bool exists = !wanted.empty() && ::stat(wanted.c_str(), &st) == 0;
    const bool replaced = s.sim && (!exists || st.st_dev != s.file_dev || st.st_ino != s.file_ino);
    if (wanted != s.path || replaced || !s.sim) {
        s.sim.reset();
        s.path = wanted;
        // Another machine: every device record is filled anew on the next scan.
        for (auto &listed : s.device_listed)
            listed = 0;
        if (exists) {
            s.sim = vx7sim::Sim::try_open(wanted);
            s.file_dev = st.st_dev;
            s.file_ino = st.st_ino;
        }
    }
    return s.sim ? &*s.sim : nullptr;
}

void fill_device(struct usb_device &u, usb_bus *bus, const vx7sim::DeviceInfo &info)
{
    std::memset(&u, 0, sizeof u);
    std::snprintf(u.filename, sizeof u.filename, "%03u", static_cast<unsigned>(info.address));
    u.bus = bus;
    u.devnum = info.address;
    usb_device_descriptor &d = u.descriptor;
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = 0x0110;
    d.bMaxPacketSize0 = 8;
    d.idVendor = info.vendor_id;
    d.idProduct = info.product_id;
    d.bcdDevice = 0x0100;
    d.iManufacturer = info.manufacturer_index;
    d.iProduct = info.product_index;
    d.bNumConfigurations = 1;
}

struct usb_device *record_of(struct usb_device *dev)
{
    Standin &s = standin();
    for (auto &d : s.devices)
        if (&d == dev)
            return &d;
    return nullptr;
}

bool from_this_library(usb_dev_handle *h)
{
    return h != nullptr && h->device != nullptr && record_of(h->device) != nullptr;
}

} // namespace

extern "C" {

void usb_init(void)
{
    const char *dbg = std::getenv("USB_DEBUG");
    if (dbg != nullptr)
        standin().debug = std::atoi(dbg);
    (void)machine(true);
}

void usb_set_debug(int level)
{
    standin().debug = level;
}

char *usb_strerror(void)
{
    return standin().error;
}

// The buses of the machine: all kMaxBuses of them while a state file is in
// use, none otherwise. Returns how many buses came or went.
int usb_find_busses(void)
{
    Standin &s = standin();
    const bool present = machine(true) != nullptr;
    int changes = 0;
    usb_bus *head = nullptr;
    usb_bus *prev = nullptr;
    for (int b = 0; b < vx7sim::kMaxBuses; ++b) {
        usb_bus &bus = s.buses[b];
        if (!present) {
            changes += s.bus_listed[b] ? 1 : 0;
            s.bus_listed[b] = false;
            continue;
        }
        if (!s.bus_listed[b]) {
            std::memset(&bus, 0, sizeof bus);
            std::snprintf(bus.dirname, sizeof bus.dirname, "%03d", b + 1);
            bus.location = static_cast<std::uint32_t>(b + 1);
            s.bus_listed[b] = true;
            ++changes;
        }
        bus.prev = prev;
        bus.next = nullptr;
        if (prev != nullptr)
            prev->next = &bus;
        else
            head = &bus;
        prev = &bus;
    }
    if (!present)
        for (int d = 0; d < vx7sim::kMaxDevices; ++d)
            s.device_listed[d] = 0;
    usb_busses = head;
    return changes;
}

// The devices attached now, in bus order and then in the order they were
// added to the simulator. Returns how many devices came or went.
int usb_find_devices(void)
{
    Standin &s = standin();
    vx7sim::Sim *sim = machine();
    int changes = 0;
    bool seen[vx7sim::kMaxDevices] = {};
    for (usb_bus *bus = usb_busses; bus != nullptr; bus = bus->next)
        bus->devices = nullptr;
    if (sim != nullptr && usb_busses != nullptr) {
        struct usb_device *tail[vx7sim::kMaxBuses] = {};
        for (const vx7sim::DeviceInfo &info : sim->attached_devices()) {
            if (info.bus < 0 || info.bus >= vx7sim::kMaxBuses || !s.bus_listed[info.bus])
                continue;
            struct usb_device &u = s.devices[info.id];
            usb_bus *bus = &s.buses[info.bus];
            seen[info.id] = true;
            if (s.device_listed[info.id] != info.generation) {
                fill_device(u, bus, info);
                s.device_listed[info.id] = info.generation;
                ++changes;
            }
            u.next = nullptr;
            u.prev = tail[info.bus];
            if (tail[info.bus] != nullptr)
                tail[info.bus]->next = &u;
            else
                bus->devices = &u;
            tail[info.bus] = &u;
        }
    }
    for (int d = 0; d < vx7sim::kMaxDevices; ++d) {
        if (!seen[d] && s.device_listed[d] != 0) {
            s.device_listed[d] = 0;
            ++changes;
        }
    }
    return changes;
}

struct usb_bus *usb_get_busses(void)
{
    return usb_busses;
}

usb_dev_handle *usb_open(struct usb_device *dev)
{
    Standin &s = standin();
    vx7sim::Sim *sim = machine();
    struct usb_device *rec = record_of(dev);
    if (sim == nullptr || rec == nullptr) {
        fail(ENODEV, "usb_open");
        return nullptr;
    }
    const int id = static_cast<int>(rec - s.devices);
    const std::optional<vx7sim::HostHandle> host = sim->host_open(id);
    if (!host) {
        fail(EACCES, "usb_open");
        return nullptr;
    }
    auto *h = new (std::nothrow) usb_dev_handle{*host, rec};
    if (h == nullptr) {
        sim->host_close(*host);
        fail(ENOMEM, "usb_open");
    }
    return h;
}

int usb_close(usb_dev_handle *dev)
{
    if (!from_this_library(dev))
        return fail(EINVAL, "usb_close");
    if (vx7sim::Sim *sim = machine())
        sim->host_close(dev->host);
    delete dev;
    return 0;
}

struct usb_device *usb_device(usb_dev_handle *dev)
{
    return dev != nullptr ? dev->device : nullptr;
}

int usb_get_string(usb_dev_handle *dev, int index, int langid, char *buf, size_t buflen)
{
    vx7sim::Sim *sim = machine();
    if (!from_this_library(dev) || sim == nullptr)
        return fail(ENODEV, "usb_get_string");
    return from_result(sim->host_get_string(dev->host, index, langid, reinterpret_cast<std::uint8_t *>(buf), buflen),
                       "usb_get_string");
}

// As libusb 0.1 does it: the first language of the table, then the string
// with every code unit above 0x7F shown as '?'.
int usb_get_string_simple(usb_dev_handle *dev, int index, char *buf, size_t buflen)
{
    if (buf == nullptr || buflen == 0)
        return fail(EINVAL, "usb_get_string_simple");
    unsigned char tbuf[255];
    int r = usb_get_string(dev, 0, 0, reinterpret_cast<char *>(tbuf), sizeof tbuf);
    if (r < 0)
        return r;
    if (r < 4)
        return fail(EIO, "usb_get_string_simple");
    const int langid = tbuf[2] | tbuf[3] << 8;
    r = usb_get_string(dev, index, langid, reinterpret_cast<char *>(tbuf), sizeof tbuf);
    if (r < 0)
        return r;
    if (r < 2 || tbuf[1] != USB_DT_STRING)
        return fail(EIO, "usb_get_string_simple");
    const int len = tbuf[0] > r ? r : tbuf[0];
    size_t out = 0;
    for (int i = 2; i + 1 < len && out + 1 < buflen; i += 2)
        buf[out++] = tbuf[i + 1] != 0 || tbuf[i] > 0x7F ? '?' : static_cast<char>(tbuf[i]);
    buf[out] = '\0';
    return static_cast<int>(out);
}

int usb_get_descriptor(usb_dev_handle *udev, unsigned char type, unsigned char index, void *buf, int size)
{
    if (!from_this_library(udev) || buf == nullptr || size < 0)
        return fail(EINVAL, "usb_get_descriptor");
    if (type == USB_DT_STRING)
        return usb_get_string(udev, index, 0x0409, static_cast<char *>(buf), static_cast<size_t>(size));
    if (type == USB_DT_DEVICE && index == 0) {
        const int n = size < USB_DT_DEVICE_SIZE ? size : USB_DT_DEVICE_SIZE;
        std::memcpy(buf, &udev->device->descriptor, static_cast<size_t>(n));
        return n;
    }
    return fail(EPIPE, "usb_get_descriptor");
}

int usb_get_descriptor_by_endpoint(usb_dev_handle *udev, int /*ep*/, unsigned char type, unsigned char index, void *buf,
                                   int size)
{
    return usb_get_descriptor(udev, type, index, buf, size);
}

int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index, char *bytes, int size,
                    int timeout)
{
    vx7sim::Sim *sim = machine();
    if (!from_this_library(dev) || sim == nullptr)
        return fail(ENODEV, "usb_control_msg");
    const std::uint32_t t = timeout > 0 ? static_cast<std::uint32_t>(timeout) : 0;
    return from_result(sim->host_control(dev->host, requesttype, request, value, index,
                                         reinterpret_cast<std::uint8_t *>(bytes), size, t),
                       "usb_control_msg");
}

// The simulated device has only its control pipe.
int usb_bulk_write(usb_dev_handle *, int, const char *, int, int)
{
    return fail(EPIPE, "usb_bulk_write");
}

int usb_bulk_read(usb_dev_handle *, int, char *, int, int)
{
    return fail(EPIPE, "usb_bulk_read");
}

int usb_interrupt_write(usb_dev_handle *, int, const char *, int, int)
{
    return fail(EPIPE, "usb_interrupt_write");
}

int usb_interrupt_read(usb_dev_handle *, int, char *, int, int)
{
    return fail(EPIPE, "usb_interrupt_read");
}

// Configuration and interface handling: accepted and without effect.
int usb_set_configuration(usb_dev_handle *dev, int)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_set_configuration");
}

int usb_claim_interface(usb_dev_handle *dev, int)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_claim_interface");
}

int usb_release_interface(usb_dev_handle *dev, int)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_release_interface");
}

int usb_set_altinterface(usb_dev_handle *dev, int)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_set_altinterface");
}

int usb_resetep(usb_dev_handle *dev, unsigned int)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_resetep");
}

int usb_clear_halt(usb_dev_handle *dev, unsigned int)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_clear_halt");
}

int usb_reset(usb_dev_handle *dev)
{
    return from_this_library(dev) ? 0 : fail(EINVAL, "usb_reset");
}

int usb_get_driver_np(usb_dev_handle *, int, char *, unsigned int)
{
    return fail(ENODATA, "usb_get_driver_np");
}

int usb_detach_kernel_driver_np(usb_dev_handle *, int)
{
    return fail(ENODATA, "usb_detach_kernel_driver_np");
}

} // extern "C"
