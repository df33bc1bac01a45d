// The simulated vx7 device: one device model that every stand-in (the Linux
// libusb-0.1.so.4 stand-in, the Windows hid.dll/setupapi.dll stand-ins), the
// command-line tool and the tests share.
//
// The whole simulated machine (buses, devices, their scripted behaviour and
// everything they received) lives in one memory-mapped state file, so that a
// driver process, a library client and the test that scripts the device all
// see the same device. Stand-ins find the file through the environment
// variable VX7SIM_STATE; without it they behave as a machine with no devices.
//
// Two sides of one class:
//   * scripting (tests, tool): add devices, attach/detach them, queue reports,
//     set waveforms, inject faults, read counters, the command log, protocol
//     errors and the channel configuration;
//   * host (stand-ins): enumerate, open/close, read string descriptors and
//     move reports in USB control framing (libusb) or in HID feature framing
//     (Windows).
// Every call takes the cross-process lock of the state file for a few
// microseconds; none holds it while a transfer is delayed. A process that
// dies holding it (SIGKILL mid-call) blocks the others for at most 2 s, after
// which a waiter takes the lock over.
//
// Scripting calls throw std::runtime_error (bad file) or std::out_of_range
// (bad device id, channel or full table). Host calls never throw: they report
// failure in their results, as the hardware would.
//
// Device model, in brief:
//   * Up to kMaxDevices devices on kMaxBuses buses. A device keeps its slot
//     (id), counters and log when it is detached; every attach gives it a new
//     generation, so handles opened before a detach fail from then on.
//   * GET_REPORT answers from the device's report queue (exact bytes, FIFO)
//     or, with an empty queue, with the idle reply if one is set, else from
//     the sample generator: channels in turn
//     0,1,2,3,0,...; the value comes from the channel's applied input
//     selection (A/B waveform, GND 0 V, test kTestVolts) and is encoded with
//     the channel's applied range code as range exponent.
//   * SET_REPORT delivers a command report; it is logged, then acted on:
//     frequency/range/calibration/subchannel change the pending settings of
//     the channels in the mask, apply makes them current, reset returns all
//     channels to the defaults (protocol.h) and restarts the channel rotation.
//     Unknown codes are logged and otherwise ignored.
//   * Every sample report that reached the host whole in a GET answer
//     (generated, queued or the idle reply; see is_sample_report) is entered
//     in the device's sample log, so that a test can tell which values the
//     driver should have published, in order.
//   * A request in any framing other than the one in protocol.h stalls and is
//     recorded as a protocol error.
#ifndef VX7SIM_SIM_H
#define VX7SIM_SIM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vx7sim/protocol.h"

namespace vx7sim {

inline constexpr char kStateEnv[] = "VX7SIM_STATE";

inline constexpr int kMaxDevices = 8;
inline constexpr int kMaxBuses = 4;
inline constexpr int kMaxDescriptorBytes = 512; // raw string descriptor as stored
inline constexpr int kMaxQueuedReports = 256;
inline constexpr int kMaxReportBytes = 8;    // a scripted reply may be shorter or longer than 4
inline constexpr int kCommandLogSize = 256;  // ring; older entries are overwritten
inline constexpr int kProtocolLogSize = 32;  // ring, shared by all devices
inline constexpr int kMaxFaults = 16;        // armed fault rules per device
inline constexpr int kMaxPathBytes = 260;    // Windows interface path, NUL included
inline constexpr int kSampleLogSize = 16384; // ring per device: over 2.5 min at 100 reports/s

// A string descriptor as a device sends it: byte 0 its length (the byte count,
// capped at 255), byte 1 type 3, then the UTF-16LE code units.
std::vector<std::uint8_t> string_descriptor(std::u16string_view text);
// The same for plain ASCII (each char widened to one code unit).
std::vector<std::uint8_t> string_descriptor_ascii(std::string_view text);

// The default Windows device interface path of a device:
// \\?\hid#vid_16c0&pid_05df#<id+1>&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}
// with the IDs in lower case, or in upper case when upper_case_ids is set.
std::string default_interface_path(std::uint16_t vendor_id, std::uint16_t product_id, int id,
                                   bool upper_case_ids = false);

struct DeviceSpec {
    std::uint16_t vendor_id = kVx7Vendor;
    std::uint16_t product_id = kVx7Product;
    // Raw descriptor bytes exactly as the device sends them (any length 0 to
    // kMaxDescriptorBytes; need not be well formed).
    std::vector<std::uint8_t> manufacturer = string_descriptor(kVx7Manufacturer);
    std::vector<std::uint8_t> product = string_descriptor(kVx7ProductName);
    std::uint8_t manufacturer_index = 1; // iManufacturer of the device descriptor
    std::uint8_t product_index = 2;      // iProduct
    int bus = 0;                         // 0 .. kMaxBuses-1
    std::string interface_path;          // Windows; empty: default_interface_path(ids, id)
    bool attached = true;

    // The vx7 device as it ships.
    static DeviceSpec vx7() { return DeviceSpec{}; }
    // Any device with ASCII strings.
    static DeviceSpec with(std::uint16_t vendor_id, std::uint16_t product_id, std::string_view manufacturer,
                           std::string_view product);
};

// Which string descriptor reads fail (bit mask).
enum class StringFault : std::uint8_t { None = 0, Manufacturer = 1, Product = 2, Both = 3 };

enum class TransferKind : std::uint8_t { Get = 1, Set = 2, Any = 3 };

enum class FaultAction : std::uint8_t {
    Fail,  // the transfer stalls (fails, nothing moved; a SET is not acted on)
    Short, // only short_count bytes move (a SET is logged but not acted on)
    Delay, // the transfer sleeps min(delay_ms, time-out); a time-out when delay_ms >= time-out,
           // otherwise it then completes normally
};

// A fault rule: applies to `count` transfers of `kind` on one device, after
// letting `skip` transfers of that kind pass. "The k-th from now" is skip k-1,
// count 1. Rules are consumed in the order they were armed; a transfer takes
// at most one rule (the first whose skip is used up).
struct Fault {
    TransferKind kind = TransferKind::Get;
    FaultAction action = FaultAction::Fail;
    std::uint32_t count = 1;
    std::uint32_t skip = 0;
    std::uint8_t short_count = 0; // Short: bytes that move
    std::uint32_t delay_ms = 0;   // Delay

    static Fault fail(TransferKind kind, std::uint32_t count = 1) { return {kind, FaultAction::Fail, count, 0, 0, 0}; }
    static Fault short_transfer(TransferKind kind, std::uint8_t bytes, std::uint32_t count = 1)
    {
        return {kind, FaultAction::Short, count, 0, bytes, 0};
    }
    static Fault delay(TransferKind kind, std::uint32_t ms, std::uint32_t count = 1)
    {
        return {kind, FaultAction::Delay, count, 0, 0, ms};
    }
    // The same rule, but only from the k-th matching transfer from now (k >= 1).
    Fault from_nth(std::uint32_t k) const
    {
        Fault f = *this;
        f.skip = k > 0 ? k - 1 : 0;
        return f;
    }
};

// How a request reached the device.
enum class Framing : std::uint8_t {
    UsbControl = 0, // libusb control transfer
    HidFeature = 1, // Windows HidD_SetFeature / HidD_GetFeature
};

enum class Outcome : std::uint8_t {
    Accepted, // moved whole and acted on
    Failed,   // stalled by a fault
    Short,    // a Short fault moved fewer bytes
    TimedOut, // a Delay fault reached the time-out
    Detached, // the device went away during the transfer
};

// One SET_REPORT (or HidD_SetFeature) in valid framing. Faulted ones are
// logged too, with their outcome; only Accepted ones were acted on.
struct Command {
    std::uint64_t seq = 0; // 1, 2, 3 ... per device, counting overwritten entries too
    Framing framing = Framing::UsbControl;
    std::uint8_t request_type = 0; // UsbControl: bmRequestType, bRequest, wValue, wIndex
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0; // bytes the host offered (4; 5 for HidFeature)
    std::uint32_t timeout_ms = 0;
    Report data{}; // the 4 report bytes (after the report-ID byte for HidFeature)
    Outcome outcome = Outcome::Accepted;

    bool accepted() const { return outcome == Outcome::Accepted; }
    std::uint8_t code() const { return data[0]; }
};

// A badly framed request, which stalled.
struct ProtocolError {
    std::uint64_t seq = 0; // 1, 2, 3 ... across all devices
    int device = -1;
    Framing framing = Framing::UsbControl;
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::int32_t length = 0; // size the host passed
    std::uint32_t timeout_ms = 0;
    std::array<std::uint8_t, kMaxReportBytes> data{}; // first bytes of an OUT request
};

// Where a GET answer came from.
enum class ReplySource : std::uint8_t { Generated = 0, Queued = 1, Idle = 2 };

// One sample report the device answered to a GET (its first 4 bytes reached
// the host whole).
struct AnsweredSample {
    std::uint64_t seq = 0;        // 1, 2, 3 ... per device, counting overwritten entries too
    std::int64_t time_ns = 0;     // wall clock (ns since 1970) when it was answered
    std::uint32_t raw = 0;        // the 24-bit code as sent (offset binary: kRawZero is 0 V)
    std::uint32_t generation = 0; // the device's attachment (DeviceInfo::generation)
    std::uint8_t channel = 0;     // 0-3
    std::uint8_t exponent = 0;    // range exponent 0-7
    ReplySource source = ReplySource::Generated;
    std::uint8_t reserved = 0;

    // What the report means in volts, by the simulator's own conversion
    // (raw_to_volts in protocol.h).
    double volts() const { return raw_to_volts(raw, exponent); }
};

// Part of the sample log: the retained entries with seq > since, oldest first.
struct SampleLog {
    std::vector<AnsweredSample> samples;
    std::uint64_t total = 0; // samples answered so far: the seq of the newest
    std::uint64_t lost = 0;  // entries with seq > since already overwritten (the reader fell behind)
};

struct Counters {
    std::uint64_t opens = 0;         // successful opens
    std::uint64_t closes = 0;        // closes of such handles
    std::uint64_t open_failures = 0; // opens refused (set_open_fails or detached)
    std::uint64_t string_reads = 0;  // string descriptor requests
    std::uint64_t string_failures = 0;
    std::uint64_t get_transfers = 0;     // well-framed GET requests, faulted ones included
    std::uint64_t set_transfers = 0;     // well-framed SET requests, faulted ones included
    std::uint64_t failed_transfers = 0;  // well-framed transfers that did not succeed whole
    std::uint64_t protocol_errors = 0;   // badly framed requests on this device
    std::uint64_t queued_replies = 0;    // GETs answered from the queue
    std::uint64_t generated_samples = 0; // GETs answered by the generator
    std::uint32_t last_get_length = 0;   // size of the latest well-framed GET
    std::uint32_t last_timeout_ms = 0;   // time-out of the latest transfer
    std::uint64_t idle_replies = 0;      // GETs answered with the idle reply

    std::int64_t open_handles() const { return static_cast<std::int64_t>(opens - closes); }
};

enum class Wave : std::uint8_t { Constant, Sine, Ramp, Square };

// A waveform over the channel's own sample count n (every generated sample
// of that channel advances n by one):
//   Constant: offset
//   Sine:     offset + amplitude * sin(2 pi n / period)
//   Ramp:     offset + amplitude * (2 (n mod period) / period - 1)
//   Square:   offset + (n mod period < (period + 1) / 2 ? amplitude : -amplitude)
struct Waveform {
    Wave wave = Wave::Constant;
    double offset = 0.0;
    double amplitude = 0.0;
    std::uint32_t period = 100; // samples of this channel per cycle; 0 counts as 1

    static Waveform constant(double volts) { return {Wave::Constant, volts, 0.0, 1}; }
    static Waveform sine(double amplitude, std::uint32_t period, double offset = 0.0)
    {
        return {Wave::Sine, offset, amplitude, period};
    }
    static Waveform ramp(double amplitude, std::uint32_t period, double offset = 0.0)
    {
        return {Wave::Ramp, offset, amplitude, period};
    }
    static Waveform square(double amplitude, std::uint32_t period, double offset = 0.0)
    {
        return {Wave::Square, offset, amplitude, period};
    }
    double at(std::uint64_t n) const;
};

struct ChannelSettings {
    std::uint16_t frequency = kDefaultFrequency;
    std::uint8_t range = kDefaultRange;             // range code as sent; exponent = range & 7
    std::uint8_t calibration = kDefaultCalibration; // mode (byte 3 >> 4)
    Input input = kDefaultInput;
};

struct ChannelConfig {
    ChannelSettings applied;   // what the device samples with
    ChannelSettings pending;   // set by commands, made current by apply
    std::uint64_t samples = 0; // samples generated for this channel (waveform position)
    Waveform wave_a;
    Waveform wave_b;
};

struct DeviceInfo {
    int id = -1;
    bool attached = false;
    std::uint32_t generation = 0; // changes on every attach
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t manufacturer_index = 0;
    std::uint8_t product_index = 0;
    int bus = 0;
    std::uint8_t address = 0; // device number on its bus, new on every attach
    std::string interface_path;
};

// A host's open handle: which device, and which attachment of it.
struct HostHandle {
    int device = -1;
    std::uint32_t generation = 0;
};

enum class TransferStatus : std::uint8_t {
    Ok,       // count bytes moved (may be short)
    Stall,    // refused: bad framing, unknown descriptor, Fail fault, unreadable string
    Timeout,  // Delay fault reached the time-out
    NoDevice, // detached (or re-attached) since the handle was opened; bad handle
};

struct TransferResult {
    TransferStatus status = TransferStatus::Stall;
    int count = 0;
    bool ok() const { return status == TransferStatus::Ok; }
};

class Sim {
public:
    // A new state file at path (replacing any file there) with no devices.
    static Sim create(const std::string &path);
    // An existing state file.
    static Sim open(const std::string &path);
    // The state file named by VX7SIM_STATE.
    static Sim attach_from_env();
    // Non-throwing forms for the stand-ins: nullopt when the variable is
    // unset or the file is missing or not a state file of this version.
    static std::optional<Sim> try_open(const std::string &path) noexcept;
    static std::optional<Sim> try_attach_from_env() noexcept;

    Sim(Sim &&) noexcept;
    Sim &operator=(Sim &&) noexcept;
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;
    ~Sim();

    const std::string &path() const;

    // ---- scripting: devices ----
    int add_device(const DeviceSpec &spec);  // returns the device id (0 .. kMaxDevices-1)
    int add_vx7(bool attached = true);       // add_device(DeviceSpec::vx7()) attached or not
    void set_attached(int d, bool attached); // plug / unplug at any moment
    void set_open_fails(int d, bool fails);  // opens of this device fail
    void set_string_fails(int d, StringFault which);
    void set_strings(int d, const std::vector<std::uint8_t> &manufacturer, const std::vector<std::uint8_t> &product);
    void set_interface_path(int d, const std::string &path);
    DeviceInfo device(int d) const;
    std::vector<DeviceInfo> devices() const; // every added device, in id order

    // ---- scripting: reports ----
    // Appends replies to the device's GET queue (each 0 .. kMaxReportBytes bytes).
    void queue_reports(int d, const std::vector<std::vector<std::uint8_t>> &reports);
    std::size_t queued(int d) const;
    void clear_queue(int d);
    // What the device answers while its queue is empty: by default (nullopt)
    // the sample generator; with a reply set (0 .. kMaxReportBytes bytes), that
    // reply every time instead, e.g. a report without a sample, so that a test
    // sees only the samples it queued.
    void set_idle_reply(int d, const std::optional<std::vector<std::uint8_t>> &reply);
    void set_waveform(int d, int channel, const Waveform &wave, Input input = Input::A);
    ChannelConfig channel_config(int d, int channel) const;
    void reset_device(int d); // same effect as the reset command

    // ---- scripting: faults ----
    void inject_fault(int d, const Fault &fault);
    void clear_faults(int d);
    int armed_faults(int d) const; // rules not yet used up

    // ---- inspection ----
    Counters counters(int d) const;
    void clear_counters(int d);
    std::vector<Command> commands(int d) const; // retained log, oldest first
    std::uint64_t command_total(int d) const;   // all ever logged, overwritten ones included
    void clear_commands(int d);
    // The sample log after seq `since` (0: all retained). A reader that
    // passes the total it last saw as since reads every sample once, and
    // learns from lost how many it missed because the ring wrapped.
    SampleLog samples(int d, std::uint64_t since = 0) const;
    std::uint64_t sample_total(int d) const;
    std::vector<ProtocolError> protocol_errors() const; // retained, oldest first
    std::uint64_t protocol_error_count() const;
    void clear_protocol_errors();

    // Polls pred every poll_ms until it holds or timeout_ms passed; returns
    // its last value. For tests waiting on another process.
    static bool wait_until(const std::function<bool()> &pred, int timeout_ms, int poll_ms = 5);

    // ---- host side (stand-ins) ----
    // Attached devices in bus order, then id order: the order a bus walk sees.
    std::vector<DeviceInfo> attached_devices() const;
    // The device whose interface path equals path (ASCII case-insensitive), or -1.
    int find_by_path(std::string_view path) const;
    // Opens a device: nullopt (counted as open failure) when it is detached
    // or set to fail opening.
    std::optional<HostHandle> host_open(int d) noexcept;
    void host_close(const HostHandle &h) noexcept;
    // The handle's device is still the same attachment.
    bool host_valid(const HostHandle &h) const noexcept;
    // String descriptor `index` into buf (at most size bytes): index 0 gives
    // the language table (04 03 09 04), the manufacturer and product indexes
    // their raw descriptors; anything else stalls. count = bytes stored.
    TransferResult host_get_string(const HostHandle &h, int index, int langid, std::uint8_t *buf,
                                   std::size_t size) noexcept;
    // The code units of the manufacturer (product = false) or product string
    // (raw descriptor bytes from 2 on, as UTF-16LE; an odd last byte dropped).
    std::optional<std::u16string> host_string(const HostHandle &h, bool product) noexcept;
    // A control transfer. Valid framings: SET_REPORT and GET_REPORT as in
    // protocol.h; anything else stalls and is recorded as a protocol error.
    TransferResult host_control(const HostHandle &h, int request_type, int request, int value, int index,
                                std::uint8_t *data, int size, std::uint32_t timeout_ms) noexcept;
    // Windows feature reports: buf = {0, 4 report bytes}, size 5. A Short
    // fault makes these fail (the platform has no short feature transfers).
    TransferResult host_set_feature(const HostHandle &h, const std::uint8_t *buf, std::size_t size,
                                    std::uint32_t timeout_ms) noexcept;
    TransferResult host_get_feature(const HostHandle &h, std::uint8_t *buf, std::size_t size,
                                    std::uint32_t timeout_ms) noexcept;

    struct Impl;

private:
    explicit Sim(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace vx7sim

#endif
