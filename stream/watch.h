// The folders of a stream's channel files, watched with inotify: a channel
// file that appears, is replaced, removed or cut short is looked at as soon
// as the stream next wakes, instead of at its slow schedule. Internal to
// libvx7stream.
#ifndef VX7_STREAM_WATCH_H
#define VX7_STREAM_WATCH_H

#include "channel_file.h"

namespace vx7::stream {

// A new inotify instance (non-blocking, close-on-exec), or -1 where there is
// none to be had; the stream then keeps to its slow schedule.
[[nodiscard]] int watch_open();

// Watches the folder of the channel's path and, where the path is a
// symbolic link, the folders of the links it goes through and of the file it
// ends at (the driver creates its files through such links). Sets
// c.folder_watched when the folder the path ends in is watched.
void watch_channel(int fd, Channel &c);

// Reads every event that is waiting; true when there was one. Never waits.
[[nodiscard]] bool watch_drain(int fd);

} // namespace vx7::stream

#endif
