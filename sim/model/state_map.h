// The platform seam of the device model: mapping the shared state file and
// sleeping. One implementation per platform, chosen by the build:
// state_map_posix.cpp (open/ftruncate/mmap) and state_map_win.cpp
// (CreateFileA/CreateFileMappingA/MapViewOfFile). Nothing else in the model
// knows the platform.
#ifndef VX7SIM_STATE_MAP_H
#define VX7SIM_STATE_MAP_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx7sim::detail {

class StateMap {
public:
    StateMap() = default;
    StateMap(const StateMap &) = delete;
    StateMap &operator=(const StateMap &) = delete;
    ~StateMap();

    // Maps `size` bytes of the file at path for reading and writing, shared
    // with every other process that maps it. create: the file is made anew
    // (an existing one is emptied) and is `size` zero bytes long. Without
    // create the file must exist and hold at least `size` bytes. On failure
    // returns false with a message in error.
    [[nodiscard]] bool map(const std::string &path, std::size_t size, bool create, std::string &error);

    void *data() const { return base_; }

private:
    void *base_ = nullptr;
    std::size_t size_ = 0;
    std::intptr_t handle_ = -1; // platform's handle of the mapping, if it keeps one
};

// Sleeps about ms milliseconds.
void sleep_ms(std::uint32_t ms);

// A short pause while another process holds the state lock.
void pause_for_lock();

} // namespace vx7sim::detail

#endif
