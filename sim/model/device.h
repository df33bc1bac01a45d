// The device's behaviour as plain functions over its slot of the state: no
// lock, no file, no platform. The Sim methods take the lock and call these;
// tests can call them on a slot of their own (layout.h) without a state file.
#ifndef VX7SIM_DEVICE_H
#define VX7SIM_DEVICE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "layout.h"
#include "vx7sim/sim.h"

namespace vx7sim::detail {

// ---- the slot

// An unused slot made into a new device of this spec (attached or not, as
// spec.attached says): default channels and waveforms, empty queue, log,
// faults and counters. Throws std::out_of_range on a descriptor or path too long.
void init_device(State &st, int d, const DeviceSpec &spec);
// Plugs the device in: a new generation and a new address on its bus.
void attach(State &st, DeviceSlot &s);
void reset_channels(DeviceSlot &s);
bool valid_id(const State &st, int d);
// The handle's device is in use, attached, and still the same attachment.
bool handle_live(const State &st, const HostHandle &h);
DeviceInfo info_of(const DeviceSlot &s, int id);
void copy_descriptor(RawDescriptor &to, const std::vector<std::uint8_t> &from);
void copy_path(char (&to)[kMaxPathBytes], const std::string &from);
void set_reply(QueuedReport &to, const std::vector<std::uint8_t> &from); // at most kMaxReportBytes

// ---- requests

bool is_set_report(int request_type, int request, int value, int index, const std::uint8_t *data, int size);
bool is_get_report(int request_type, int request, int value, int index, const std::uint8_t *data, int size);
void record_protocol_error(State &st, int device, Framing framing, int request_type, int request, int value, int index,
                           const std::uint8_t *data, int size, std::uint32_t timeout_ms, bool out);
// The string descriptor `index` as the device holds it, or nullopt when the
// request stalls (unknown index, or a string set to fail).
struct DescriptorBytes {
    const std::uint8_t *bytes;
    std::size_t length;
};
std::optional<DescriptorBytes> string_for(const DeviceSlot &s, int index);

// ---- transfers

// Takes the fault rule that applies to this transfer, if any. Every rule of
// this kind still skipping counts the transfer; the oldest ready rule takes it.
std::optional<Fault> take_fault(DeviceSlot &s, TransferKind kind);
// What became of a well-framed transfer once its fault (if any) played out.
Outcome outcome_of(bool live, bool timed_out, const std::optional<Fault> &fault, bool short_allowed);
// A new command log entry, numbered, otherwise empty.
Command &log_command(DeviceSlot &s);
// The device acting on one command report it received whole.
void execute(DeviceSlot &s, const Report &r);
// The device's next GET answer: a queued report, else the idle reply, else a
// generated sample (which moves the channel rotation on).
QueuedReport next_reply(DeviceSlot &s, ReplySource &source);
// Enters the first 4 bytes of a GET answer that reached the host whole in
// the sample log, if they are a sample report.
void log_sample(DeviceSlot &s, const std::uint8_t *bytes, ReplySource source, std::int64_t time_ns);

// ---- reading the logs (oldest first)

std::vector<Command> read_commands(const DeviceSlot &s);
SampleLog read_samples(const DeviceSlot &s, std::uint64_t since);
std::vector<ProtocolError> read_protocol_errors(const State &st);

} // namespace vx7sim::detail

#endif
