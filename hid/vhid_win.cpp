// HID transport, Windows form: the platform's device-setup library finds the
// HID interfaces, hid.dll moves the feature reports.
//
// The device handle is not a system handle but a heap copy of the interface
// path. Every call that touches the device opens it by that path with share
// mode 0 (exclusive), makes one request and closes it again, so a handle holds
// no system resource and simply stops working while the path cannot be opened
// (device unplugged, or held open by another program).
//
// Feature reports carry report ID 0 in front of the caller's bytes: a report
// of len bytes travels as len + 1 bytes {0, data...}.
#include "vx7/vhid.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

// hidsdi.h declares the HID class calls without C linkage of its own.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

namespace {

GUID hid_guid; // the HID interface class, fetched once before main

// Longest report a transfer accepts. Results are 8 bits wide, so only reports
// of at most 255 bytes can ever be reported as sent in full; the buffer still
// takes a little more so that a length of 256 behaves as the contract says
// (request made, result 0).
constexpr int kMaxReport = 1024;

// Characters of a device string, terminator included (512 bytes).
constexpr int kStringUnits = 256;

HANDLE open_device(const char *path)
{
    return ::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Closes a device handle opened by open_device at the end of a scope.
class DeviceHandle {
public:
    explicit DeviceHandle(const char *path) : h_(open_device(path)) {}
    DeviceHandle(const DeviceHandle &) = delete;
    DeviceHandle &operator=(const DeviceHandle &) = delete;
    ~DeviceHandle()
    {
        if (valid())
            ::CloseHandle(h_);
    }
    [[nodiscard]] bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    [[nodiscard]] HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// Owns a device information set.
class DevInfoSet {
public:
    DevInfoSet() : set_(::SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
    DevInfoSet(const DevInfoSet &) = delete;
    DevInfoSet &operator=(const DevInfoSet &) = delete;
    ~DevInfoSet()
    {
        if (valid())
            ::SetupDiDestroyDeviceInfoList(set_);
    }
    [[nodiscard]] bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    [[nodiscard]] HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

// The interface path of one interface, in a heap record of the size the
// platform asks for, so that paths of any length are held whole.
class InterfaceDetail {
public:
    InterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *iface)
    {
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set, iface, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return;
        auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(std::calloc(1, required + 1));
        if (detail == nullptr)
            return;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!::SetupDiGetDeviceInterfaceDetailA(set, iface, detail, required, nullptr, nullptr)) {
            std::free(detail);
            return;
        }
        // The extra byte allocated above stays 0: the path is terminated even
        // if the platform filled the record to its last byte.
        detail_ = detail;
    }
    InterfaceDetail(const InterfaceDetail &) = delete;
    InterfaceDetail &operator=(const InterfaceDetail &) = delete;
    ~InterfaceDetail() { std::free(detail_); }

    // False when the record could not be allocated or filled.
    [[nodiscard]] bool valid() const { return detail_ != nullptr; }
    [[nodiscard]] const char *path() const { return detail_->DevicePath; }

private:
    SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail_ = nullptr;
};

// Reads one device string into buf (kStringUnits units). A string that cannot
// be read is empty.
using StringQuery = BOOLEAN(__stdcall *)(HANDLE, PVOID, ULONG);
void read_string(HANDLE device, StringQuery query, wchar_t (&buf)[kStringUnits])
{
    std::memset(buf, 0, sizeof buf);
    if (!query(device, buf, sizeof buf))
        buf[0] = 0;
    buf[kStringUnits - 1] = 0;
}

[[nodiscard]] uint8_t low_byte(int n)
{
    return static_cast<uint8_t>(n & 0xFF);
}

[[nodiscard]] bool usable_length(int len)
{
    return len >= 0 && len <= kMaxReport;
}

} // namespace

extern "C" void whid_init(void)
{
    ::HidD_GetHidGuid(&hid_guid);
}

namespace {
// Fetches the class GUID before main, so that every search can use it.
struct WhidInit {
    WhidInit() { whid_init(); }
} const whid_init_at_start;
} // namespace

extern "C" void *HidOpenDevice(int vendor_id, int product_id, const wchar_t *manufacturer, const wchar_t *product)
{
    const bool matching = manufacturer != nullptr && manufacturer[0] != 0 && product != nullptr && product[0] != 0 &&
                          vendor_id != 0 && product_id != 0;

    // "vid_16c0&pid_05df": IDs in lower-case hexadecimal, at least 4 digits.
    // IDs are 16 bits on the bus, so one outside that range matches nothing.
    char filter[18] = {};
    if (matching) {
        if (vendor_id < 0 || vendor_id > 0xFFFF || product_id < 0 || product_id > 0xFFFF)
            return nullptr;
        std::snprintf(filter, sizeof filter, "vid_%.4x&pid_%.4x", static_cast<unsigned>(vendor_id),
                      static_cast<unsigned>(product_id));
    }

    const DevInfoSet set;
    if (!set.valid())
        return nullptr;

    SP_DEVICE_INTERFACE_DATA iface;
    std::memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    wchar_t text[kStringUnits];

    for (DWORD index = 0; ::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hid_guid, index, &iface); ++index) {
        // An interface whose path cannot be had (even for want of memory) is
        // passed over; in listing mode it shows as an empty path that cannot
        // be opened.
        const InterfaceDetail detail(set.get(), &iface);
        const char *path = detail.valid() ? detail.path() : "";
        if (matching && (!detail.valid() || std::strstr(path, filter) == nullptr))
            continue;

        const DeviceHandle device(path);
        if (!device.valid()) {
            std::printf("Can not open file [%s]\n", path);
            continue;
        }

        read_string(device.get(), ::HidD_GetManufacturerString, text);
        if (matching) {
            if (std::wcscmp(text, manufacturer) != 0)
                continue;
        } else {
            std::wprintf(L"Device:\t%ls\t", text);
        }

        read_string(device.get(), ::HidD_GetProductString, text);
        if (matching) {
            if (std::wcscmp(text, product) != 0)
                continue;
        } else {
            std::wprintf(L"%ls\n", text);
            continue;
        }

        // Found: the handle is a copy of the path. The device itself is
        // closed again when `device` goes out of scope.
        const size_t length = std::strlen(path);
        auto *block = static_cast<char *>(std::malloc(length + 5));
        if (block == nullptr)
            return nullptr;
        std::memcpy(block, path, length + 1);
        return block;
    }
    return nullptr;
}

extern "C" void HidCloseDevice(void *dev)
{
    std::free(dev);
}

extern "C" uint8_t HidIsConnected(void *dev)
{
    if (dev == nullptr)
        return 0;
    const DeviceHandle device(static_cast<const char *>(dev));
    return device.valid() ? 1 : 0;
}

extern "C" uint8_t HidSendArr(void *dev, const uint8_t *data, int len)
{
    if (dev == nullptr || !usable_length(len) || (data == nullptr && len > 0))
        return 0;
    const DeviceHandle device(static_cast<const char *>(dev));
    if (!device.valid())
        return 0;
    uint8_t report[kMaxReport + 1];
    report[0] = 0; // report ID
    if (len > 0)
        std::memcpy(report + 1, data, static_cast<size_t>(len));
    const bool ok = ::HidD_SetFeature(device.get(), report, static_cast<ULONG>(len + 1));
    return ok ? low_byte(len) : 0;
}

extern "C" uint8_t HidReceiveArr(void *dev, uint8_t *buf, int len)
{
    if (dev == nullptr || !usable_length(len) || (buf == nullptr && len > 0))
        return 0;
    const DeviceHandle device(static_cast<const char *>(dev));
    if (!device.valid())
        return 0;
    uint8_t report[kMaxReport + 1];
    std::memset(report, 0, static_cast<size_t>(len) + 1); // asks for report ID 0
    const bool ok = ::HidD_GetFeature(device.get(), report, static_cast<ULONG>(len + 1));
    // The caller's buffer gets the report's data bytes whether or not the
    // request succeeded: on failure they are the zeros put there above (or
    // whatever the platform left).
    if (len > 0)
        std::memcpy(buf, report + 1, static_cast<size_t>(len));
    return ok ? low_byte(len) : 0;
}
