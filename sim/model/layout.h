// Layout of the simulator's state file: plain data, fixed-size arrays, no
// pointers, so that every process (Linux or Windows under wine, 64-bit) can
// map it at any address. The file starts with a magic number, a version and
// its size; a process refuses a file whose header does not match its own.
#ifndef VX7SIM_LAYOUT_H
#define VX7SIM_LAYOUT_H

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "vx7sim/sim.h"

namespace vx7sim::detail {

inline constexpr std::uint32_t kMagic = 0x53375856; // "VX7S" little-endian
inline constexpr std::uint32_t kVersion = 3;        // 3: the sample log

struct RawDescriptor {
    std::uint16_t length;
    std::uint8_t bytes[kMaxDescriptorBytes];
};

struct QueuedReport {
    std::uint8_t length;
    std::uint8_t bytes[kMaxReportBytes];
};

struct FaultSlot {
    Fault fault;       // count 0: slot free
    std::uint64_t seq; // arming order
};

struct DeviceSlot {
    std::uint8_t in_use;
    std::uint8_t attached;
    std::uint8_t open_fails;
    std::uint8_t string_fails; // StringFault bits
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    std::uint8_t manufacturer_index;
    std::uint8_t product_index;
    std::uint8_t bus;
    std::uint8_t address;
    std::uint32_t generation;
    std::uint8_t next_channel;
    std::uint8_t idle_set; // answer `idle` while the queue is empty
    std::uint8_t reserved[6];
    QueuedReport idle;
    RawDescriptor manufacturer;
    RawDescriptor product;
    char interface_path[kMaxPathBytes];
    ChannelConfig channels[kChannels];
    std::uint32_t queue_head;
    std::uint32_t queue_count;
    QueuedReport queue[kMaxQueuedReports];
    std::uint64_t fault_seq;
    FaultSlot faults[kMaxFaults];
    std::uint64_t command_total;
    Command log[kCommandLogSize];
    Counters counters;
    std::uint64_t sample_total;
    AnsweredSample samples[kSampleLogSize]; // ring: sample seq n is at (n - 1) % kSampleLogSize
};

struct State {
    std::uint32_t magic; // written last when the file is made
    std::uint32_t version;
    std::uint64_t size;
    // Cross-process lock: 0 free, 1 taken. Lock-free atomics are address-free,
    // so they work in memory shared between processes.
    std::atomic<std::uint32_t> lock;
    std::uint8_t next_address[kMaxBuses];
    std::uint64_t protocol_total;
    ProtocolError protocol_log[kProtocolLogSize];
    DeviceSlot devices[kMaxDevices];
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::is_standard_layout_v<State>);
static_assert(std::is_trivially_copyable_v<Command> && std::is_trivially_copyable_v<ProtocolError> &&
              std::is_trivially_copyable_v<Counters> && std::is_trivially_copyable_v<ChannelConfig> &&
              std::is_trivially_copyable_v<Fault> && std::is_trivially_copyable_v<AnsweredSample>);
static_assert(sizeof(AnsweredSample) == 32);
// Linux x86-64 and Windows x86-64 processes map the same file: the layout
// must not depend on the platform.
static_assert(sizeof(void *) != 8 || sizeof(State) == 4298208, "state file layout changed: bump kVersion");

} // namespace vx7sim::detail

#endif
