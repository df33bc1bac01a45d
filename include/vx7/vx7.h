/*
 * libvx7: configure the vx7 ADC and read its channel values.
 *
 * The configuration calls open the device for themselves, send their command
 * reports, close the device again and return a small result code; the library
 * keeps no state between calls. Calls that talk to the device are to be made
 * from one thread at a time. vx7_read only reads the channel files that the
 * acquisition driver keeps up to date and may be called from any thread.
 *
 * Channel numbers: vx7_configure takes the device's channels 0-3; vx7_read
 * numbers the same channels 1-4 (vx7_configure channel 0 is vx7_read
 * channel 1).
 *
 * Thread safety: vx7_read, vx7_help and VX7_MAX_RANGE from any thread at any
 * time; vx7_reinit and vx7_configure from one thread at a time.
 *
 * Platforms: libvx7 is built for Linux. What a caller can see of the others:
 * the Windows driver writes its channel files at C:/dev/vx7/adc<n>.adc with a
 * three-digit exponent (2.50000000000e+000) and a 32-bit elapsed count, and
 * without the sequence word of the Linux driver (see the README's channel
 * file section); a Windows program that sends the command reports itself
 * through vhid.h gets report ID 0 put in front of them (see vhid.h). The help
 * text names the Linux and Windows channel files without their vx7 folder.
 *
 * Link with -lvx7 (pkg-config: vx7).
 */
#ifndef VX7_VX7_H
#define VX7_VX7_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of vx7_reinit. */
enum vx7_reinit_result { VX7_REINIT_OK = 0, VX7_REINIT_FAILED = 1 };

/* Results of vx7_configure. */
enum vx7_configure_result {
    VX7_CONFIGURE_OK = 0,
    VX7_CONFIGURE_NO_DEVICE = 1,
    VX7_CONFIGURE_WRONG_CHANNEL = 2,
    VX7_CONFIGURE_FREQUENCY_FAILED = 3,
    VX7_CONFIGURE_RANGE_FAILED = 4,
    VX7_CONFIGURE_CALIBRATION_FAILED = 5,
    VX7_CONFIGURE_SUBCHANNEL_FAILED = 6,
    VX7_CONFIGURE_APPLY_FAILED = 7
};

/* Results of vx7_read besides a value (doubles, hence macros). */
#define VX7_READ_BAD_CHANNEL 1e10
#define VX7_READ_NO_VALUE (-1e10)

/* Hard reset of the device.
 * Returns VX7_REINIT_OK (0) when the reset command was delivered,
 * VX7_REINIT_FAILED (1) when no device could be opened or the command was not
 * delivered. The result is a char; compare it with the enum's values. (The help text gives these two
 * values the other way round; the values here are what the call returns.) */
char vx7_reinit(void);

/* Configures channel `chan` (0-3) of the device. Each setting is sent only
 * when it asks for a change:
 *   freq        sampling frequency in Hz; 0 leaves it unchanged
 *   adc_range   largest input voltage in volts; the device gets the smallest
 *               range VX7_MAX_RANGE / 2^k (k 0-7) that holds it: above
 *               1.25 V (also above 2.5 V, negative or infinite) the full
 *               2.5 V, at 2.5/128 V or below (or NaN) 2.5/128 V.
 *               0 (or -0) leaves it unchanged
 *   calibrate   calibration mode 0-7; any other value leaves it unchanged
 *   subchannel  input selection 0-3; any other value leaves it unchanged
 * The changes are then applied. Returns (as a char, enum vx7_configure_result)
 *   0 OK, every command delivered
 *   1 NO_DEVICE: no device could be opened
 *   2 WRONG_CHANNEL: `chan` is not 0-3 (nothing was sent, the device was not
 *     touched)
 *   3 FREQUENCY_, 4 RANGE_, 5 CALIBRATION_, 6 SUBCHANNEL_ (input selection),
 *   7 APPLY_FAILED: that command was not delivered; the commands after the
 *     failed one were not sent, those before it stay in force. */
char vx7_configure(uint8_t chan, uint16_t freq, float adc_range, uint8_t calibrate, uint8_t subchannel);

/* Latest value of channel `chan` (1-4) in volts, read from the channel file
 * /home/dev/vx7/adc<chan>.adc that the acquisition driver writes. Returns
 *   1e10   VX7_READ_BAD_CHANNEL: `chan` is not 1-4
 *   -1e10  VX7_READ_NO_VALUE: the channel file cannot be opened or mapped, is
 *          shorter than its 100 bytes, or holds no value (the driver has not
 *          sampled that channel yet, or has stopped, or stayed in the middle
 *          of writing it for as long as the call waits). A record holds a
 *          value only in the form the driver writes it: the volts as a
 *          finite decimal number, a tab, the elapsed milliseconds, a tab
 *          and a NUL, before byte 88; anything else is no value.
 * The file is never changed; nothing stays open after the call. A channel
 * file cut short in place during the call (while it is mapped) ends the
 * calling process with SIGBUS; only a program that truncates a channel file
 * can cause that, never the driver. */
double vx7_read(uint8_t chan);

/* The library's help text: a static, NUL-terminated string, the same pointer
 * on every call. Never to be changed or freed. */
const char *vx7_help(void);

/* The largest input range in volts: 2.5. */
extern const float VX7_MAX_RANGE;

#ifdef __cplusplus
}
#endif

#endif
