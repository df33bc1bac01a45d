/*
 * libvx7stream: every sample the acquisition driver publishes, once.
 *
 * The driver rewrites a channel's file (100 bytes) for every sample it takes
 * of that channel: the volts, the elapsed milliseconds of the sample, a NUL.
 * A stream watches the four channel files closely enough to see each of
 * those records and hands every new one on exactly once, with the host's
 * wall-clock time at which it saw it.
 *
 * Files. The stream maps each channel file read-only once and keeps it
 * mapped; a look with a time-out of 0 opens, maps and unmaps nothing and
 * makes no system call besides reading the clock. A file that is missing or shorter than its
 * 100 bytes is waited for, and never read past its end: the folders the
 * paths lead to are watched (inotify), so that a file is mapped as soon as
 * the driver creates it, and the files are looked at again every 100 ms
 * while the stream is awake (an idle stream whose folders are watched
 * sleeps up to 1 s, or its caller's time-out). A file that is removed and created again, or replaced by another
 * (a different inode), is mapped afresh. A path that cannot be used as a
 * channel file (a directory, no permission) is reported through
 * vx7_stream_channel_state, never by a crash. A channel file cut short in
 * place while it is mapped is let go of when vx7_stream_next with a time-out
 * next looks (state "waiting"); a read of it in between, which only a
 * program that truncates a mapped channel file can cause (the driver never
 * does), ends the process with SIGBUS: replace or remove such a file
 * instead.
 *
 * Waiting. The Linux driver wakes every process waiting on a channel file's
 * sequence counter after each change of the file. vx7_stream_next with a
 * time-out sleeps on the counters of the mapped files (futex_waitv, Linux
 * 5.16) until the driver wakes it, the time-out ends or the files are due
 * for their look; so a sample is handed on within microseconds of its
 * writing, and a stream with nothing new does not wake. Where a mapped file
 * has no sequence counter (a driver that keeps none, or a file with no
 * value) or a watched file is missing, the stream also looks every
 * poll_period_us; where futex_waitv is missing (an older kernel, or a
 * seccomp filter answering ENOSYS) it looks every poll_period_us for the
 * rest of its life, as a plain poll.
 *
 * Samples. A sample is reported when a channel's record changes; an
 * unchanged record is never reported twice. The record a file holds when
 * the stream first maps it counts as new, unless it is "no value". A record
 * that turns into "no value" (all spaces: the driver stopped) is reported
 * once as a sample with has_value 0. A record holds a value only in the
 * form the driver writes it (the volts as a finite decimal number, a tab,
 * the elapsed milliseconds, a tab, a NUL, all before byte 88); anything
 * else counts as "no value", as vx7_read and vx7ctl take it. After a driver
 * restart the elapsed milliseconds start again near 0; those records are
 * new samples, not repeats. A record caught while the driver is rewriting it
 * is never reported half-written: the stream looks again.
 *
 * Loss. The sequence counter rises by 2 for every change of a file (a
 * record published, or the file blanked), so a stream knows how many
 * changes of a file it did not see: vx7_stream_lost counts them per
 * channel, "no value" blanks included; records of a driver's run that were
 * published before the stream's first look at its new file count too. Not
 * counted, because the blanking takes the counter away: records published
 * just before a blank that the stream did not see (the driver's last cycle
 * as it stops). Where every watched file is mapped and has a sequence
 * counter, that count is exact and nothing else is lost.
 * Files without a sequence counter (a driver that keeps none), and missing
 * files, are judged by the clock instead: a sample can be lost when the
 * driver rewrites a channel twice between two looks (it writes at most one
 * record per channel per 10 ms cycle; the default period is 2 ms), so a
 * look more than 10 ms after the previous one is counted as late
 * (vx7_stream_late_polls), unless the stream spent the gap waiting for a
 * change that would have woken it, or every watched file had a counter at
 * the previous look. Calling vx7_stream_next too seldom makes looks late
 * too. A look with a time-out of 0 reads the kernel's coarse monotonic
 * clock (CLOCK_MONOTONIC_COARSE: no system call, but it moves only at the
 * kernel's tick, R = its resolution from clock_getres, and may be up to one
 * tick plus 1 ms behind), other looks the precise CLOCK_MONOTONIC; a look is
 * late when the gap read plus how far its own reading may lag (R + 1 ms for
 * the coarse clock, 0 for the precise one) exceeds 10 ms, which counts every
 * real gap over 10 ms (with the coarse clock, some shorter ones too; a
 * steady 1 or 2 ms cadence, never). Where the coarse clock is missing or
 * coarser than 4 ms, every look reads the precise clock.
 *
 * Ownership and threads. vx7_stream_open allocates the stream (and an
 * inotify descriptor, close-on-exec); only vx7_stream_close frees them. A
 * stream is used by one thread at a time; different streams are
 * independent. vx7_stream_next allocates nothing.
 *
 * Link with -lvx7stream (pkg-config: vx7stream; CMake: vx7::stream).
 */
#ifndef VX7_STREAM_H
#define VX7_STREAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vx7_stream vx7_stream; /* opaque */

/* Result codes. */
enum vx7_stream_result {
    VX7_STREAM_OK = 0,      /* a sample was returned */
    VX7_STREAM_TIMEOUT = 1, /* nothing new within the time-out */
    VX7_STREAM_EINVAL = -1, /* a null pointer, a channel mask with bits
                               other than channels 1-4, or a path that is
                               empty or does not fit (4095 bytes) */
    VX7_STREAM_ENOMEM = -2, /* the stream could not be allocated */
    VX7_STREAM_ECLOCK = -3  /* the clocks could not be read */
};

/* Per-channel state of a stream's channel file. */
enum vx7_stream_channel_state {
    VX7_STREAM_CHANNEL_MAPPED = 0,   /* mapped and watched */
    VX7_STREAM_CHANNEL_WAITING = 1,  /* missing or shorter than 100 bytes */
    VX7_STREAM_CHANNEL_UNUSABLE = 2, /* exists but cannot be mapped (see errno) */
    VX7_STREAM_CHANNEL_UNWATCHED = 3 /* not among the stream's channels */
};

/* Where the channel files are, and how often to look at them. Zero-filled
 * options (or a null pointer) mean: all four channels at the paths vx7_read
 * reads (/home/dev/vx7/adc1.adc ... adc4.adc), polled every 2 ms. */
typedef struct vx7_stream_options {
    const char *dir;         /* directory holding adc1.adc ... adc4.adc, or null */
    const char *paths[4];    /* explicit path of channel 1-4; a non-null entry
                                takes precedence over `dir` for its channel */
    uint32_t poll_period_us; /* how often files without a sequence counter
                                (and, without futex_waitv, all files) are
                                looked at; 0: 2000 */
    uint32_t channel_mask;   /* bit 0 = channel 1 ... bit 3 = channel 4; 0: all */
} vx7_stream_options;

/* One sample. */
typedef struct vx7_sample {
    int32_t channel;     /* 1-4 */
    int32_t has_value;   /* 1: a value; 0: the record turned to "no value" */
    uint64_t elapsed_ms; /* the driver's elapsed milliseconds; 0 without value */
    double volts;        /* the value; 0.0 without value */
    char text[32];       /* the volts exactly as the driver wrote them,
                            NUL-terminated; "" without value */
    int64_t wall_ns;     /* CLOCK_REALTIME in ns when the stream saw it */
} vx7_sample;

/* Opens a stream. Returns VX7_STREAM_OK with *out set, or an error code with
 * *out null. Missing channel files are not an error: they are waited for. */
int vx7_stream_open(const vx7_stream_options *options, struct vx7_stream **out);

/* The next sample, waiting up to timeout_ms milliseconds (0: poll once and
 * return at once; negative: wait without limit). Returns VX7_STREAM_OK with
 * *out filled, VX7_STREAM_TIMEOUT, or VX7_STREAM_EINVAL for null pointers.
 * Samples seen in one poll are returned in the order the driver wrote them. */
int vx7_stream_next(struct vx7_stream *stream, int32_t timeout_ms, vx7_sample *out);

/* Number of late polls since the stream was opened (see Loss above). */
uint64_t vx7_stream_late_polls(const struct vx7_stream *stream);

/* Number of changes of channel 1-4's file that the stream did not see, since
 * it was opened, counted from the file's sequence counter (see Loss above);
 * 0 for other channel numbers or a null stream. */
uint64_t vx7_stream_lost(const struct vx7_stream *stream, int channel);

/* State of channel 1-4's file; VX7_STREAM_CHANNEL_UNWATCHED for other
 * channel numbers. With errno_out non-null, stores the errno of the last
 * failed attempt to use the file (0 when none). */
int vx7_stream_channel_state(const struct vx7_stream *stream, int channel, int *errno_out);

/* A short English text for a result code; never null. */
const char *vx7_stream_strerror(int code);

/* The vx7 release this library belongs to, "MAJOR.MINOR.PATCH"; never
 * null. */
const char *vx7_stream_version(void);

/* Unmaps the files and frees the stream. A null pointer is ignored. */
void vx7_stream_close(struct vx7_stream *stream);

#ifdef __cplusplus
}
#endif

#endif
