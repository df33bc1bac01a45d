// vx7ctl's command line: exit statuses, the one-line error messages and the
// walker over a command's arguments that every command parses with.
#ifndef VX7CTL_ARGS_H
#define VX7CTL_ARGS_H

#include "vx7settings/settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vx7ctl {

// Exit status.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;   // a command was not delivered, a channel has no value, a write failed
inline constexpr int kUsage = 2;    // bad command line
inline constexpr int kNoDevice = 3; // the vx7 device was not found
inline constexpr int kNoDaemon = 4; // the driver daemon is not running

// "vx7ctl: <message> (see vx7ctl --help)" on standard error; returns kUsage.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
int usage_error(const char *fmt, ...);

// "vx7ctl: <message>" on standard error; returns `status`.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
int fail(int status, const char *fmt, ...);

// Walks a command's arguments; takes the value of "--name VALUE" and
// "--name=VALUE".
class Args {
public:
    Args(int argc, char **argv, int first) : argv_(argv), argc_(argc), i_(first) {}

    [[nodiscard]] bool done() const { return i_ >= argc_; }
    [[nodiscard]] std::string_view peek() const { return argv_[i_]; }
    std::string_view next() { return argv_[i_++]; }

    // True when the current argument is option `name` (either form); it is
    // then consumed. The value is in `value`; `missing` is set when none
    // follows.
    bool option(std::string_view name, std::string_view &value, bool &missing);

    // True (and consumed) when the current argument is the flag `name`.
    bool flag(std::string_view name);

    // The usage error for an argument no option took: "<command>: unexpected
    // argument 'X'".
    int unexpected(const char *command) const;

private:
    char **argv_;
    int argc_;
    int i_;
};

// ---- each command's options; a parse_* function returns kOk or the status
// of the usage error it printed ----

constexpr int kChannels = 4;

struct StatusOptions {
    std::vector<std::string> programs; // file names; default vx7_driver, vx7_driver_quiet
};
int parse_status(Args &args, StatusOptions &o);

struct ReadOptions {
    int channel = 0; // 1-4; 0: all
    bool watch = false;
    long interval_ms = 500;
    unsigned long long count = 0; // 0: until interrupted
    bool json = false;
};
int parse_read(Args &args, ReadOptions &o);

struct ConfigureOptions {
    vx7::settings::Settings settings; // device_channel is the device's 0-3
};
int parse_configure(Args &args, ConfigureOptions &o);

struct RecordOptions {
    enum class Format { Csv, Jsonl };
    enum class Existing { Refuse, Append, Overwrite }; // an existing output file
    std::string output;                                // empty: standard output
    Format format = Format::Csv;
    std::uint32_t channel_mask = 0xF; // bit 0 = channel 1
    double duration_s = 0;            // 0: no limit
    std::uint64_t count = 0;          // samples with a value; 0: no limit
    Existing existing = Existing::Refuse;
    std::string channels_config; // --channels-config FILE; empty: none (no value column)
};
int parse_record(Args &args, RecordOptions &o);

} // namespace vx7ctl

#endif
