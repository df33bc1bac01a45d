// Stand-in for the platform's setupapi.dll: the HID device interfaces of the
// simulated machine. Only what the vx7 transport uses is offered: a snapshot
// of the present interfaces (SetupDiGetClassDevsA), walking it by index,
// each interface's path, and releasing the snapshot.
//
// The paths handed out name real files (device_files.h), so that the program
// under test can open them with its own CreateFileA.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

// These calls are defined here, not imported.
#define _SETUPAPI_
#include <setupapi.h>

#include "device_files.h"
#include "hid_guid.h"
#include "sim_access.h"

namespace {

struct InterfaceSet {
    std::vector<std::string> paths; // enumeration order: bus order, then device id
};

// Snapshots handed out and not yet destroyed, so that a stale or foreign
// handle is refused rather than dereferenced.
std::vector<InterfaceSet *> live_sets;

InterfaceSet *lookup(HDEVINFO set)
{
    for (InterfaceSet *s : live_sets)
        if (s == set)
            return s;
    return nullptr;
}

} // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *guid, PCSTR, HWND, DWORD flags)
{
    auto *set = new InterfaceSet;
    vx7sim::Sim *sim = vx7sim::win::machine();
    if (sim != nullptr && guid != nullptr && vx7sim::win::is_hid_guid(*guid) && (flags & DIGCF_DEVICEINTERFACE) &&
        (flags & DIGCF_PRESENT)) {
        vx7sim::win::sync_device_files(*sim);
        for (const vx7sim::DeviceInfo &d : sim->attached_devices())
            set->paths.push_back(vx7sim::win::device_file(d.interface_path, sim->path()));
    }
    live_sets.push_back(set);
    return set;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID *guid, DWORD index,
                                                   PSP_DEVICE_INTERFACE_DATA data)
{
    InterfaceSet *set = lookup(handle);
    if (set == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (guid == nullptr || !vx7sim::win::is_hid_guid(*guid) || index >= set->paths.size()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                        PDWORD required, PSP_DEVINFO_DATA)
{
    InterfaceSet *set = lookup(handle);
    if (set == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->paths.size()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &path = set->paths[data->Reserved - 1];
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr)
        *required = needed;
    if (detail == nullptr || size < needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    for (auto it = live_sets.begin(); it != live_sets.end(); ++it) {
        if (*it == handle) {
            delete *it;
            live_sets.erase(it);
            return TRUE;
        }
    }
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
