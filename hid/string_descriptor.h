// Decoding of a USB string descriptor into a wide string: the one step of the
// libusb transport that works on bytes from the device alone. Kept in its own
// header so that it can be exercised without a device (fuzzing). Internal to
// the transport; nothing here is exported.
#ifndef VX7_HID_STRING_DESCRIPTOR_H
#define VX7_HID_STRING_DESCRIPTOR_H

#include <cwchar>

namespace vx7::hid {

inline constexpr int kRawSize = 256;     // a string descriptor is at most 255 bytes
inline constexpr int kStringChars = 128; // 127 characters and the terminator

// Decodes a string descriptor as read by usb_get_string: byte 0 its length,
// byte 1 its type, then UTF-16LE code units; `count` is the byte count that
// usb_get_string returned. Code units are decoded fully (a surrogate pair
// becomes one character; a lone surrogate becomes U+FFFD) so that strings
// beyond ASCII compare equal to the caller's wide strings.
inline void decode_string(const unsigned char (&raw)[kRawSize], int count, wchar_t (&out)[kStringChars])
{
    if (count > kRawSize)
        count = kRawSize;
    const int units = count < 4 ? 0 : count / 2 - 1;
    int n = 0;
    for (int i = 0; i < units && n < kStringChars - 1; ++i) {
        const unsigned unit = raw[2 + 2 * i] | static_cast<unsigned>(raw[3 + 2 * i]) << 8;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const unsigned low = raw[4 + 2 * i] | static_cast<unsigned>(raw[5 + 2 * i]) << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out[n++] = static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        const bool lone_surrogate = unit >= 0xD800 && unit <= 0xDFFF;
        out[n++] = static_cast<wchar_t>(lone_surrogate ? 0xFFFD : unit);
    }
    out[n] = L'\0';
}

} // namespace vx7::hid

#endif
