/*
 * vx7 HID transport: find the vx7 device, open it, move feature reports.
 *
 * One contract, one implementation per platform (libusb 0.1 on Linux, the
 * HID class driver on Windows), chosen by the build.
 *
 * Device handle: an opaque pointer, null meaning "no device". It is created by
 * HidOpenDevice, owned by the caller, and released by HidCloseDevice. The
 * caller sets its own copy to null after closing and never uses it again.
 *
 * Matching mode: vendor and product ID nonzero and both strings non-empty
 * (tested in that order). HidOpenDevice then returns the first device whose
 * IDs and whose manufacturer and product strings equal the arguments exactly
 * (case-sensitive, full length), or null.
 * Listing mode: anything else. Every device is printed on standard output
 * ("Device:\t<manufacturer>\t<product>") and the result is always null.
 *
 * Transfers return the count of bytes moved, 8 bits wide, 0 on failure;
 * only a result equal to the requested length counts as success. A transfer
 * blocks for at most 5000 ms.
 */
#ifndef VX7_VHID_H
#define VX7_VHID_H

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the device with the given identity (matching mode) or lists every
 * device (listing mode). Prints "Can not open" for a device that cannot be
 * opened and "can not get string" for one whose strings cannot be read. */
void *HidOpenDevice(int vendor_id, int product_id, const wchar_t *manufacturer,
                    const wchar_t *product);

/* Releases a handle; a null handle is ignored. */
void HidCloseDevice(void *dev);

/* 1 when the handle can be used for transfers, 0 otherwise. On Linux this
 * only tests for null: an unplugged device shows up as a failed transfer. */
uint8_t HidIsConnected(void *dev);

/* Sends one feature report (SET_REPORT); the first byte is the report ID.
 * Returns the number of bytes the device accepted, 0 on failure. */
uint8_t HidSendArr(void *dev, const uint8_t *data, int len);

/* Reads one feature report (GET_REPORT) of at most len bytes into buf.
 * Returns the number of bytes received (possibly fewer than len), 0 on
 * failure; after a failure the buffer's contents are undefined. */
uint8_t HidReceiveArr(void *dev, uint8_t *buf, int len);

#ifdef __cplusplus
}
#endif

#endif
