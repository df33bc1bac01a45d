// The stream's channel files: finding, mapping and letting go of them on the
// slow schedule. Internal to libvx7stream; stream.cpp polls the records.
#ifndef VX7_STREAM_CHANNEL_FILE_H
#define VX7_STREAM_CHANNEL_FILE_H

#include "loss.h"
#include "vx7record/record.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace vx7::stream {

namespace record = vx7::record;

constexpr std::size_t kPathMax = 4096;
constexpr std::uint32_t kDefaultPeriodUs = 2000;
constexpr std::int64_t kLateGapNs = 10'000'000;    // the driver's cycle
constexpr std::int64_t kSlowCheckNs = 100'000'000; // look for file changes
// The longest sleep on the counters while the folders are watched: inotify
// reports file changes, which are then looked at when the stream next wakes
// (at a sample, or after this long), so an idle stream need not wake for its
// slow look. It is also how often every file is looked at while the folders
// are watched; between, a slow look reads the folders' news and looks at
// the files only when there is some.
constexpr std::int64_t kWatchedSleepNs = 1'000'000'000;
// The coarse clock is used for polls when its resolution (the kernel's tick)
// is at most this; a coarser one would make too many polls look late.
constexpr std::int64_t kCoarseMaxResolutionNs = 4'000'000;
// How much later than its tick the kernel may bring the coarse clock up to
// date (a tick interrupt held up), besides the tick itself.
constexpr std::int64_t kCoarseSlackNs = 1'000'000;
constexpr std::uint32_t kAllChannels = 0xF;

// What a channel's record says, as far as reporting goes: either "no value"
// or the record's text up to its NUL.
struct Seen {
    bool valid;         // something has been seen at all
    bool has_value;     // false: "no value"
    std::size_t length; // bytes of text before the NUL
    char text[record::kSize];
};

// The stream and its channels are allocated zero-filled; that is each
// member's initial state.

struct Channel {
    char path[kPathMax];
    bool watched;
    int state;       // vx7_stream_channel_state
    int error;       // errno of the last failed attempt, 0 when none
    const char *map; // read-only mapping of kSize bytes, or null
    dev_t dev;
    ino_t ino;
    char raw[record::kSize]; // the mapping's bytes at the last consistent copy
    bool raw_valid;
    std::uint64_t word; // its sequence word, when counted
    bool word_valid;
    Seen last;           // the last reported (or initial) state
    Loss loss;           // records not seen, from the sequence counter
    bool opened;         // the stream has opened: files mapped from now on are new to it
    bool folder_watched; // its folder is watched (watch.h)
};

// dir + "/adc<channel>.adc" into `dst`; false when it does not fit.
[[nodiscard]] bool fill_path(char (&dst)[kPathMax], const char *dir, int channel);

// Unmaps the channel's file (if mapped) and forgets its record.
void unmap(Channel &c);

// Maps the channel's file if it is there and long enough. Never maps a file
// shorter than a record: reading a mapped page beyond the end of a file is
// fatal. A file mapped after the stream opened is new to it: the loss count
// takes its counter as counting from 0.
void try_map(Channel &c);

// The slow schedule: a file that is not mapped is looked for; a mapped file
// that is gone, has become short, or is another file now is let go of (and
// the new one mapped).
void check_file(Channel &c);

} // namespace vx7::stream

#endif
