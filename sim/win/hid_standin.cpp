// Stand-in for the platform's hid.dll: the HID class calls of the vx7
// transport, answered by the simulated machine.
//
// A handle is the program's own CreateFileA handle on a device file
// (device_files.h); its final path names the simulated device. Each call
// opens the device in the model for the one request, as the class driver
// would, so a device unplugged in the meantime fails the request.
//
// A program without a console gets no Ctrl+C, so the stop path of the
// program under test is driven from here: after each HidD_GetFeature,
//   VX7SIM_STOP_AFTER=n     raises the stop signal once n requests were made;
//   VX7SIM_STOP_FILE=path   raises it once that file exists;
//   VX7SIM_STOP_SIGNAL      INT or TERM (default TERM).
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

extern "C" {
#include <hidsdi.h>
}

#include "device_files.h"
#include "hid_guid.h"
#include "sim_access.h"

namespace {

constexpr std::uint32_t kTimeoutMs = 5000;

// The simulated device behind a handle, opened in the model; closed again
// when the request is done.
class ModelDevice {
public:
    explicit ModelDevice(HANDLE file)
    {
        sim_ = vx7sim::win::machine();
        if (sim_ == nullptr || file == nullptr || file == INVALID_HANDLE_VALUE)
            return;
        char path[4096];
        const DWORD n = ::GetFinalPathNameByHandleA(file, path, sizeof path, 0);
        if (n == 0 || n >= sizeof path)
            return;
        const int d = vx7sim::win::device_for_file(*sim_, std::string_view(path, n));
        if (d >= 0)
            handle_ = sim_->host_open(d);
    }
    ModelDevice(const ModelDevice &) = delete;
    ModelDevice &operator=(const ModelDevice &) = delete;
    ~ModelDevice()
    {
        if (handle_)
            sim_->host_close(*handle_);
    }
    [[nodiscard]] bool valid() const { return handle_.has_value(); }
    vx7sim::Sim &sim() const { return *sim_; }
    const vx7sim::HostHandle &handle() const { return *handle_; }

private:
    vx7sim::Sim *sim_ = nullptr;
    std::optional<vx7sim::HostHandle> handle_;
};

BOOLEAN get_string(HANDLE file, PVOID buffer, ULONG length, bool product)
{
    const ModelDevice dev(file);
    if (!dev.valid() || buffer == nullptr) {
        ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    const std::optional<std::u16string> text = dev.sim().host_string(dev.handle(), product);
    if (!text) {
        ::SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    // UTF-16 with its terminator, cut to the buffer (the class driver does
    // the same and does not promise the terminator then).
    const size_t bytes = (text->size() + 1) * sizeof(char16_t);
    std::memcpy(buffer, text->c_str(), bytes < length ? bytes : length);
    return TRUE;
}

int stop_signal()
{
    const char *s = std::getenv("VX7SIM_STOP_SIGNAL");
    return s != nullptr && std::strcmp(s, "INT") == 0 ? SIGINT : SIGTERM;
}

void maybe_stop()
{
    static unsigned long requests = 0;
    static bool raised = false;
    ++requests;
    if (raised)
        return;
    bool stop = false;
    if (const char *after = std::getenv("VX7SIM_STOP_AFTER"); after != nullptr)
        stop = requests >= std::strtoul(after, nullptr, 10);
    if (const char *file = std::getenv("VX7SIM_STOP_FILE"); file != nullptr)
        stop = stop || ::GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES;
    if (stop) {
        raised = true;
        std::raise(stop_signal());
    }
}

} // namespace

extern "C" void __stdcall HidD_GetHidGuid(LPGUID guid)
{
    if (guid != nullptr)
        *guid = vx7sim::win::kHidGuid;
}

extern "C" BOOLEAN __stdcall HidD_GetManufacturerString(HANDLE file, PVOID buffer, ULONG length)
{
    return get_string(file, buffer, length, false);
}

extern "C" BOOLEAN __stdcall HidD_GetProductString(HANDLE file, PVOID buffer, ULONG length)
{
    return get_string(file, buffer, length, true);
}

extern "C" BOOLEAN __stdcall HidD_GetFeature(HANDLE file, PVOID buffer, ULONG length)
{
    BOOLEAN ok = FALSE;
    {
        const ModelDevice dev(file);
        if (dev.valid() && buffer != nullptr) {
            const vx7sim::TransferResult r =
                dev.sim().host_get_feature(dev.handle(), static_cast<std::uint8_t *>(buffer), length, kTimeoutMs);
            ok = r.ok() && static_cast<ULONG>(r.count) == length;
        }
    }
    maybe_stop();
    if (!ok)
        ::SetLastError(ERROR_GEN_FAILURE);
    return ok;
}

extern "C" BOOLEAN __stdcall HidD_SetFeature(HANDLE file, PVOID buffer, ULONG length)
{
    const ModelDevice dev(file);
    if (!dev.valid() || buffer == nullptr) {
        ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    const vx7sim::TransferResult r =
        dev.sim().host_set_feature(dev.handle(), static_cast<const std::uint8_t *>(buffer), length, kTimeoutMs);
    if (!(r.ok() && static_cast<ULONG>(r.count) == length)) {
        ::SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}
