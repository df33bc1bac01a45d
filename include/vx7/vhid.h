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
 *
 * Thread safety: none; make all calls from one thread at a time (libusb 0.1
 * keeps one process-wide device list).
 *
 * Platforms: what a caller can observe differs in these points.
 * - Report ID: on Linux the first byte of a sent report is also its report ID,
 *   and a read asks for report ID 1. On Windows every report travels with
 *   report ID 0 put in front of the caller's bytes (len + 1 bytes
 *   {0, data...}), so the device sees the caller's first byte as data.
 * - Handles: on Linux a handle holds the open device and HidIsConnected only
 *   tests for null; an unplugged device shows up as a failed transfer. On
 *   Windows a handle is the device's path: each call opens it exclusively,
 *   makes one request and closes it, so HidIsConnected is 0 while the device
 *   is unplugged or another program holds it open, and calls fail then.
 * - A failed read leaves the buffer undefined on Linux; on Windows it holds
 *   zeros (or what the platform left).
 * - Lengths: on Linux a transfer of 0 bytes is refused; on Windows it is made
 *   (report ID alone), and only lengths above 1024 are refused. Above 255
 *   bytes no result can equal the length anywhere.
 */
#ifndef VX7_VHID_H
#define VX7_VHID_H

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of HidIsConnected. */
enum vhid_connected { VHID_NOT_CONNECTED = 0, VHID_CONNECTED = 1 };

/* What HidSendArr and HidReceiveArr return when nothing was moved; any other
 * result is a byte count. */
enum vhid_transfer { VHID_TRANSFER_FAILED = 0 };

/* Opens the device with the given identity (matching mode) or lists every
 * device (listing mode). Prints "Can not open" for a device that cannot be
 * opened and "can not get string" for one whose strings cannot be read. */
void *HidOpenDevice(int vendor_id, int product_id, const wchar_t *manufacturer, const wchar_t *product);

/* Releases a handle; a null handle is ignored. */
void HidCloseDevice(void *dev);

/* VHID_CONNECTED (1) when the handle can be used for transfers,
 * VHID_NOT_CONNECTED (0) otherwise. On Linux this
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
