/* The shared libusb context and the Tarnix device test: the part of the USB
 * driver that discovery needs. */
#include <libusb.h>

#include <mutex>

#include "aUSB.h"

namespace {

std::mutex sContextLock;
libusb_context* sContext = nullptr;

} // namespace

bool is_tarnix_device(struct libusb_device* device)
{
    libusb_device_descriptor descriptor {};
    if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == TARNIX_USB_VENDOR_ID && descriptor.idProduct < 0x8000;
}

aErr Tarnix_libusb_init(void)
{
    std::lock_guard<std::mutex> hold(sContextLock);
    if (sContext == nullptr && libusb_init(&sContext) != 0) {
        sContext = nullptr;
        return aErrIO;
    }
    return aErrNone;
}

struct libusb_context* Tarnix_libusb_context(void)
{
    if (Tarnix_libusb_init() != aErrNone) return nullptr;
    std::lock_guard<std::mutex> hold(sContextLock);
    return sContext;
}

void Tarnix_libusb_exit(void)
{
    std::lock_guard<std::mutex> hold(sContextLock);
    if (sContext != nullptr) libusb_exit(sContext);
    sContext = nullptr;
}
