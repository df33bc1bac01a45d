// HID transport, libusb 0.1 form.
//
// Everything goes over the default control pipe as HID class requests to the
// device (recipient device, not interface): no configuration is selected, no
// interface claimed and no kernel driver detached, so the driver and a
// library client can hold handles on the same device at once.
//
// The unit keeps no state between calls; libusb 0.1 is initialised and the
// buses rescanned on every HidOpenDevice, so each call sees the devices
// attached at that moment.
#include "vx7/vhid.h"

#include "string_descriptor.h"

#include <cstdio>
#include <cwchar>
#include <usb.h>

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kLangEnUs = 0x0409;

// HID class requests, device as recipient.
constexpr int kSetReportType = USB_TYPE_CLASS | USB_RECIP_DEVICE | USB_ENDPOINT_OUT; // 0x20
constexpr int kGetReportType = USB_TYPE_CLASS | USB_RECIP_DEVICE | USB_ENDPOINT_IN;  // 0xA0
constexpr int kSetReport = 0x09;
constexpr int kGetReport = 0x01;
constexpr int kFeatureReport = 0x03; // report type, high byte of wValue
constexpr int kReceiveReportId = 1;

[[nodiscard]] bool read_string(usb_dev_handle *h, int index, wchar_t (&out)[vx7::hid::kStringChars])
{
    unsigned char raw[vx7::hid::kRawSize] = {};
    const int count = usb_get_string(h, index, kLangEnUs, reinterpret_cast<char *>(raw), sizeof raw);
    if (count < 0)
        return false;
    vx7::hid::decode_string(raw, count, out);
    return true;
}

[[nodiscard]] bool is_empty(const wchar_t *s)
{
    return s == nullptr || s[0] == L'\0';
}

[[nodiscard]] uint8_t transfer_result(int count)
{
    return count < 0 ? 0 : static_cast<uint8_t>(count);
}

} // namespace

extern "C" void *HidOpenDevice(int vendor_id, int product_id, const wchar_t *manufacturer, const wchar_t *product)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();

    const bool matching = vendor_id != 0 && product_id != 0 && !is_empty(manufacturer) && !is_empty(product);

    for (usb_bus *bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (matching && (dev->descriptor.idVendor != vendor_id || dev->descriptor.idProduct != product_id))
                continue;

            usb_dev_handle *h = usb_open(dev);
            if (h == nullptr) {
                std::puts("Can not open");
                continue;
            }
            wchar_t found_manufacturer[vx7::hid::kStringChars];
            wchar_t found_product[vx7::hid::kStringChars];
            if (!read_string(h, dev->descriptor.iManufacturer, found_manufacturer) ||
                !read_string(h, dev->descriptor.iProduct, found_product)) {
                std::puts("can not get string");
                usb_close(h);
                continue;
            }
            if (!matching) {
                std::printf("Device:\t%ls\t%ls\n", found_manufacturer, found_product);
                usb_close(h);
                continue;
            }
            if (std::wcscmp(found_manufacturer, manufacturer) == 0 && std::wcscmp(found_product, product) == 0)
                return h;
            usb_close(h);
        }
    }
    return nullptr;
}

extern "C" void HidCloseDevice(void *dev)
{
    if (dev != nullptr)
        usb_close(static_cast<usb_dev_handle *>(dev));
}

extern "C" uint8_t HidIsConnected(void *dev)
{
    return dev != nullptr ? 1 : 0;
}

extern "C" uint8_t HidSendArr(void *dev, const uint8_t *data, int len)
{
    // The first report byte doubles as the report ID, so there is nothing to
    // send without one.
    if (dev == nullptr || data == nullptr || len <= 0)
        return 0;
    const int value = kFeatureReport << 8 | data[0];
    // libusb 0.1 takes a non-const buffer for both directions; it only reads it
    // for a host-to-device request.
    char *bytes = const_cast<char *>(reinterpret_cast<const char *>(data));
    return transfer_result(usb_control_msg(static_cast<usb_dev_handle *>(dev), kSetReportType, kSetReport, value, 0,
                                           bytes, len, kTimeoutMs));
}

extern "C" uint8_t HidReceiveArr(void *dev, uint8_t *buf, int len)
{
    if (dev == nullptr || buf == nullptr || len <= 0)
        return 0;
    const int value = kFeatureReport << 8 | kReceiveReportId;
    return transfer_result(usb_control_msg(static_cast<usb_dev_handle *>(dev), kGetReportType, kGetReport, value, 0,
                                           reinterpret_cast<char *>(buf), len, kTimeoutMs));
}
