// The simulated vx7 device: the free helpers of its API, and opening or
// making the state file. The rest of the Sim class lives beside it:
// scripting.cpp (tests and the tool), host.cpp (the stand-ins); the device's
// behaviour in device.cpp, the cross-process lock in lock.cpp.
#include "vx7sim/sim.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "impl.h"

namespace vx7sim {

using detail::State;

// ---------------------------------------------------------------- helpers

double Waveform::at(std::uint64_t n) const
{
    const std::uint64_t p = period == 0 ? 1 : period;
    const std::uint64_t phase = n % p;
    const double frac = static_cast<double>(phase) / static_cast<double>(p);
    switch (wave) {
    case Wave::Constant:
        return offset;
    case Wave::Sine:
        return offset + amplitude * std::sin(2.0 * 3.14159265358979323846 * frac);
    case Wave::Ramp:
        return offset + amplitude * (2.0 * frac - 1.0);
    case Wave::Square:
        return offset + (phase < (p + 1) / 2 ? amplitude : -amplitude); // first half rounded up
    }
    return offset;
}

std::vector<std::uint8_t> string_descriptor(std::u16string_view text)
{
    std::vector<std::uint8_t> d;
    const std::size_t len = 2 + 2 * text.size();
    d.reserve(len);
    d.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(len, 255)));
    d.push_back(3);
    for (char16_t u : text) {
        d.push_back(static_cast<std::uint8_t>(u & 0xFF));
        d.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return d;
}

std::vector<std::uint8_t> string_descriptor_ascii(std::string_view text)
{
    std::u16string wide;
    for (char c : text)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return string_descriptor(wide);
}

std::string default_interface_path(std::uint16_t vendor_id, std::uint16_t product_id, int id, bool upper_case_ids)
{
    char buf[kMaxPathBytes];
    std::snprintf(buf, sizeof buf,
                  upper_case_ids ? "\\\\?\\hid#vid_%04X&pid_%04X#%d&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"
                                 : "\\\\?\\hid#vid_%04x&pid_%04x#%d&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  static_cast<unsigned>(vendor_id), static_cast<unsigned>(product_id), id + 1);
    return buf;
}

DeviceSpec DeviceSpec::with(std::uint16_t vendor_id, std::uint16_t product_id, std::string_view manufacturer,
                            std::string_view product)
{
    DeviceSpec s;
    s.vendor_id = vendor_id;
    s.product_id = product_id;
    s.manufacturer = string_descriptor_ascii(manufacturer);
    s.product = string_descriptor_ascii(product);
    return s;
}

// ---------------------------------------------------------------- lifetime

Sim::Sim(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Sim::Sim(Sim &&) noexcept = default;
Sim &Sim::operator=(Sim &&) noexcept = default;
Sim::~Sim() = default;

Sim Sim::create(const std::string &path)
{
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    std::string error;
    if (!impl->map.map(path, sizeof(State), true, error))
        throw std::runtime_error("vx7sim: " + error);
    // The file is all zeros now; fill in what is not zero, magic last, so
    // that a process opening it meanwhile refuses it rather than reading a
    // half-made state.
    State *st = new (impl->map.data()) State{};
    st->version = detail::kVersion;
    st->size = sizeof(State);
    for (auto &a : st->next_address)
        a = 1;
    std::atomic_thread_fence(std::memory_order_release);
    std::atomic_ref<std::uint32_t>(st->magic).store(detail::kMagic, std::memory_order_release);
    impl->state = st;
    return Sim(std::move(impl));
}

std::optional<Sim> Sim::try_open(const std::string &path) noexcept
{
    try {
        return open(path);
    } catch (...) {
        return std::nullopt;
    }
}

Sim Sim::open(const std::string &path)
{
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    std::string error;
    if (!impl->map.map(path, sizeof(State), false, error))
        throw std::runtime_error("vx7sim: " + error);
    auto *st = static_cast<State *>(impl->map.data());
    if (std::atomic_ref<std::uint32_t>(st->magic).load(std::memory_order_acquire) != detail::kMagic ||
        st->version != detail::kVersion || st->size != sizeof(State))
        throw std::runtime_error("vx7sim: " + path + ": not a simulator state file of this version");
    impl->state = st;
    return Sim(std::move(impl));
}

Sim Sim::attach_from_env()
{
    const char *p = std::getenv(kStateEnv);
    if (p == nullptr || *p == '\0')
        throw std::runtime_error(std::string("vx7sim: ") + kStateEnv + " is not set");
    return open(p);
}

std::optional<Sim> Sim::try_attach_from_env() noexcept
{
    const char *p = std::getenv(kStateEnv);
    if (p == nullptr || *p == '\0')
        return std::nullopt;
    return try_open(p);
}

const std::string &Sim::path() const
{
    return impl_->path;
}

} // namespace vx7sim
