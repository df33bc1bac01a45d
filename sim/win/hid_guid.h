// The HID device-interface class GUID, {4D1E55B2-F16F-11CF-88CB-001111000030}.
#ifndef VX7SIM_WIN_HID_GUID_H
#define VX7SIM_WIN_HID_GUID_H

#include <cstring>

#include <windows.h>

namespace vx7sim::win {

inline constexpr GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

inline bool is_hid_guid(const GUID &g)
{
    return std::memcmp(&g, &kHidGuid, sizeof g) == 0;
}

} // namespace vx7sim::win

#endif
