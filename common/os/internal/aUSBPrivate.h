/* Inside the platform layer (and its tests and benchmarks): the USB driver's
 * calls typed with libusb's own types. Callers above use aUSB.h. */
#ifndef TARNIX_AUSBPRIVATE_H
#define TARNIX_AUSBPRIVATE_H

#include "aUSB.h"

#include <sys/types.h>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

/* The identification test on a libusb device: vendor 0x24FF, product < 0x8000. */
bool is_tarnix_device(struct libusb_device* device);
/* Interface and endpoint search on the handle's open device: 0 or a libusb error. */
int find_usb_endpoints(tarnixusb* handle);

/* The process-wide libusb context, created on first use (null if libusb cannot
 * start). Tarnix_libusb_exit retires it; the next use makes a fresh one, which
 * is how callers see modules that re-enumerated.
 *
 * Lifetime: a retired context is not torn down (libusb_exit) while anyone
 * still uses it. Every open handle holds a reference on the context it was
 * opened in, so a link keeps working across Tarnix_libusb_exit, and code that
 * needs the context for a while (a device list, say) takes a reference with
 * Tarnix_libusb_acquire and gives it back with Tarnix_libusb_release. The
 * pointer from Tarnix_libusb_context holds no reference: it is good until the
 * next Tarnix_libusb_exit on any thread. All of these may be called from any
 * thread; they serialise on one process-wide lock. */
struct libusb_context* Tarnix_libusb_context(void);
/* The current context with a reference taken (null if libusb cannot start). */
struct libusb_context* Tarnix_libusb_acquire(void);
/* Gives back a reference from Tarnix_libusb_acquire; null is ignored. */
void Tarnix_libusb_release(struct libusb_context* context);

/* libusb_get_device_list on `context` (which the caller holds a reference
 * on), and forgets the remembered serial strings of devices no longer
 * listed. Returns the count or a libusb error; the caller frees the list with
 * libusb_free_device_list(list, 1). Any thread. */
ssize_t Tarnix_libusb_list(struct libusb_context* context, struct libusb_device*** list);
/* The serial string of `device`, listed on `context` (held by the caller),
 * as ASCII in `serial`. It is read from the device once and then remembered
 * while the device stays listed, so a device is opened for it only the first
 * time. Returns 0, the libusb error of opening the device (ACCESS when the
 * system refuses it), or LIBUSB_ERROR_NOT_FOUND when it has no readable
 * serial string. When the device had to be opened and `opened` is not null,
 * the open handle is handed over in *opened (the caller closes it); else
 * *opened is null. Any thread. */
int Tarnix_libusb_serial(struct libusb_context* context, struct libusb_device* device, char* serial, size_t size,
                         struct libusb_device_handle** opened);

#endif
