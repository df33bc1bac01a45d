// The stand-in libusb-0.1.so.4 loaded for real with dlopen, its calls bound
// by name as a program linked against libusb 0.1 would bind them.
#pragma once

#include <dlfcn.h>
#include <usb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace vx7simtest {

class Standin {
public:
    Standin()
    {
        // Never unloaded, like the libusb of a program (its state stays reachable).
        lib_ = ::dlopen(VX7SIM_LIBUSB_FILE, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (lib_ == nullptr) {
            ADD_FAILURE() << "dlopen " << VX7SIM_LIBUSB_FILE << ": " << ::dlerror();
            return;
        }
        bind(init, "usb_init");
        bind(find_busses, "usb_find_busses");
        bind(find_devices, "usb_find_devices");
        bind(get_busses, "usb_get_busses");
        bind(open, "usb_open");
        bind(close, "usb_close");
        bind(get_string, "usb_get_string");
        bind(get_string_simple, "usb_get_string_simple");
        bind(control_msg, "usb_control_msg");
        bind(device, "usb_device");
        busses = static_cast<usb_bus **>(::dlsym(lib_, "usb_busses"));
    }
    ~Standin()
    {
        if (lib_ != nullptr)
            ::dlclose(lib_);
    }
    Standin(const Standin &) = delete;
    Standin &operator=(const Standin &) = delete;

    bool loaded() const { return lib_ != nullptr && control_msg != nullptr && busses != nullptr; }

    // usb_init + usb_find_busses + usb_find_devices, as a transport does before each search.
    void rescan()
    {
        init();
        find_busses();
        find_devices();
    }

    // The first listed device with this slot's address order: the n-th device of the walk.
    struct usb_device *nth_device(int n)
    {
        for (usb_bus *b = get_busses(); b != nullptr; b = b->next)
            for (struct usb_device *d = b->devices; d != nullptr; d = d->next)
                if (n-- == 0)
                    return d;
        return nullptr;
    }

    void (*init)() = nullptr;
    int (*find_busses)() = nullptr;
    int (*find_devices)() = nullptr;
    usb_bus *(*get_busses)() = nullptr;
    usb_dev_handle *(*open)(struct usb_device *) = nullptr;
    int (*close)(usb_dev_handle *) = nullptr;
    int (*get_string)(usb_dev_handle *, int, int, char *, size_t) = nullptr;
    int (*get_string_simple)(usb_dev_handle *, int, char *, size_t) = nullptr;
    int (*control_msg)(usb_dev_handle *, int, int, int, int, char *, int, int) = nullptr;
    struct usb_device *(*device)(usb_dev_handle *) = nullptr;
    usb_bus **busses = nullptr;

private:
    template <typename F>
    void bind(F &f, const char *name)
    {
        f = reinterpret_cast<F>(::dlsym(lib_, name));
        if (f == nullptr)
            ADD_FAILURE() << "stand-in lacks " << name;
    }

    void *lib_ = nullptr;
};

// Sets VX7SIM_STATE for the lifetime of the object.
class StateEnv {
public:
    explicit StateEnv(const std::string &path) { ::setenv("VX7SIM_STATE", path.c_str(), 1); }
    ~StateEnv() { ::unsetenv("VX7SIM_STATE"); }
    StateEnv(const StateEnv &) = delete;
    StateEnv &operator=(const StateEnv &) = delete;
};

} // namespace vx7simtest
