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

/* True when "/dev/tarnix.%08X" exists as a file (not a directory). */
bool tarnixusb_is_kernel_driver_installed(uint32_t serialNumber);
/* Where kernel-driver nodes are looked for and opened: "/dev" unless set (a
 * driver that makes its nodes elsewhere, or a test). Null or "" restores /dev.
 * Call before handles are made; not synchronised with opens in flight. */
void tarnixusb_set_kernel_node_directory(const char* directory);

/* Opens the module whose serial string is serialString (eight hex digits).
 * aErrNotFound: no such module; aErrConfiguration: it lacks the vendor
 * interface or an endpoint; aErrBusy: another process holds it (or, in
 * kernel mode, the node is busy); aErrPermission: no access to it, or (library
 * mode) it was not found while the system refused to open a Tarnix device,
 * which may have been it; aErrResource: the handle or the library context is
 * unusable; aErrIO: other failures. */
aErr tarnixusb_open_tarnix_device(tarnixusb* handle, const char* serialString);
/* Writes the block (writing thread). aErrNone also when an I/O error was
 * hidden (fewer than five in a row); aErrWrite: bytes left unsent after ten
 * failed transfers; aErrIO: the fifth I/O error in a row, or a failed handle;
 * aErrConnection: closed; aErrNotReady: not yet ready. */
aErr tarnixusb_write_to_device(tarnixusb* handle, const uint8_t* bytes, uint32_t length);
/* One byte (reading thread). aErrNotReady: nothing within the read time-out
 * (1000 ms), a cleared stall, or a hidden I/O error; aErrIO and aErrConnection
 * as for writes. */
aErr tarnixusb_get_from_device(tarnixusb* handle, uint8_t* byte);
/* Any thread: the read now waiting (or, when none waits, the next one) ends
 * at once with what it has, aErrNotReady when nothing. Library mode only. */
void tarnixusb_interrupt_read(tarnixusb* handle);
/* aErrMode when no device is held (library mode); aErrCancel when the
 * kernel node fails to close. */
aErr tarnixusb_close_tarnix_device(tarnixusb* handle);
tarnixusb_state tarnixusb_get_state(const tarnixusb* handle);
/* The endpoints' maximum packet sizes (0 before a successful open). */
uint16_t tarnixusb_get_out_packet_size(const tarnixusb* handle);
uint16_t tarnixusb_get_in_packet_size(const tarnixusb* handle);

/* The process-wide libusb context, created on first use. Tarnix_libusb_exit
 * retires it; the next use makes a fresh one, which is how callers see modules
 * that re-enumerated. Open handles keep working across it (see
 * aUSBPrivate.h for the context's lifetime). Any thread. */
/* aErrNone, or aErrInitialization when libusb cannot start. */
aErr Tarnix_libusb_init(void);
void Tarnix_libusb_exit(void);

#endif
