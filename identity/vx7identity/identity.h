// The vx7 device as the HID transport finds it: vendor and product ID, and
// the manufacturer and product strings, compared in full and case-sensitive.
#ifndef VX7IDENTITY_IDENTITY_H
#define VX7IDENTITY_IDENTITY_H

namespace vx7::identity {

inline constexpr int kVendorId = 0x16C0;  // 5824
inline constexpr int kProductId = 0x05DF; // 1503
inline constexpr wchar_t kManufacturer[] = L"ZANDRIVELO";
inline constexpr wchar_t kProduct[] = L"vx7 HID";

} // namespace vx7::identity

#endif
