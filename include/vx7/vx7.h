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
 * Link with -lvx7 (pkg-config: vx7).
 */
#ifndef VX7_VX7_H
#define VX7_VX7_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Hard reset of the device.
 * Returns 0 when the reset command was delivered, 1 when no device could be
 * opened or the command was not delivered. (The help text gives these two
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
 * The changes are then applied. Returns
 *   0 OK, every command delivered
 *   1 no device could be opened
 *   2 `chan` is not 0-3 (nothing was sent, the device was not touched)
 *   3 frequency, 4 range, 5 calibration, 6 input selection, 7 apply command
 *     not delivered; the commands after the failed one were not sent, those
 *     before it stay in force. */
char vx7_configure(uint8_t chan, uint16_t freq, float adc_range, uint8_t calibrate, uint8_t subchannel);

/* Latest value of channel `chan` (1-4) in volts, read from the channel file
 * /home/dev/vx7/adc<chan>.adc that the acquisition driver writes. Returns
 *   1e10   `chan` is not 1-4
 *   -1e10  the channel file cannot be opened or mapped, is shorter than its
 *          100 bytes, or holds no value (the driver has not sampled that
 *          channel yet, or has stopped)
 * The file is never changed; nothing stays open after the call. */
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
