/* USB transport driver: opens a Tarnix module on USB by its serial number and
 * moves the device protocol's raw bytes over its bulk endpoints, either through
 * libusb-1.0 (library mode) or through a kernel driver's "/dev/tarnix.%08X"
 * node (kernel mode). The mode is fixed when the handle is created.
 *
 * Threads: a handle is used by one reading thread and one writing thread at a
 * time (a link's input and output threads); every other call comes from the
 * thread that owns the handle. The shared library context may be used from
 * any thread; it is created and released under a process-wide lock. */
#ifndef TARNIX_AUSB_H
#define TARNIX_AUSB_H

#include <stdint.h>
#include "aError.h"

struct libusb_context;
struct libusb_device;

/* Tarnix modules: vendor 0x24FF, product IDs with bit 15 clear. */
#define TARNIX_USB_VENDOR_ID 0x24FF
/* The module's vendor interface. */
#define TARNIX_USB_INTERFACE_CLASS 0xFF
#define TARNIX_USB_INTERFACE_SUBCLASS 0x88
#define TARNIX_USB_INTERFACE_PROTOCOL 0x10

typedef enum {
    TARNIXUSB_STATE_NONE = 0,
    TARNIXUSB_STATE_CREATED = 1,
    TARNIXUSB_STATE_CLOSED = 2,
    TARNIXUSB_STATE_OPENED = 3,
    TARNIXUSB_STATE_READY = 4,
    TARNIXUSB_STATE_FAILED = 5
} tarnixusb_state;

typedef struct tarnixusb tarnixusb; /* opaque handle, owned by the USB stream */

/* A new handle in state created; useLibrary 1 = libusb mode (the shared
 * context is made then), 0 = kernel-driver mode. Null when memory is short. */
tarnixusb* tarnixusb_create_usb(int useLibrary);
/* Closes a held device, frees the handle and nulls *handle. aErrParam for null. */
aErr tarnixusb_destroy(tarnixusb** handle);

/* True when "/dev/tarnix.%08X" exists as a file. */
bool tarnixusb_is_kernel_driver_installed(uint32_t serialNumber);

aErr tarnixusb_open_tarnix_device(tarnixusb* handle, const char* serialString);
aErr tarnixusb_write_to_device(tarnixusb* handle, const uint8_t* bytes, uint32_t length);
aErr tarnixusb_get_from_device(tarnixusb* handle, uint8_t* byte);
aErr tarnixusb_close_tarnix_device(tarnixusb* handle);
tarnixusb_state tarnixusb_get_state(const tarnixusb* handle);

/* The identification test on a libusb device: vendor 0x24FF, product < 0x8000. */
bool is_tarnix_device(struct libusb_device* device);
/* Interface and endpoint search on the handle's open device: 0 or a libusb error. */
int find_usb_endpoints(tarnixusb* handle);

/* The process-wide libusb context, created on first use (null if libusb cannot
 * start). Tarnix_libusb_exit releases it; the next use makes a fresh one, which
 * is how callers see modules that re-enumerated. Callers that hold a context
 * pointer across Tarnix_libusb_exit must not use it afterwards. */
struct libusb_context* Tarnix_libusb_context(void);
aErr Tarnix_libusb_init(void);
void Tarnix_libusb_exit(void);

#endif
