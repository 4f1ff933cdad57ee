/* USB discovery: every Tarnix device on the shared libusb context whose serial
 * string is a module serial number, and whether this process may open each. */
#include <libusb.h>
#include <stdio.h>
#include <string.h>

#include "aDiscovery.h"
#include "aDiscoveryPlatform.h"
#include "aDiscoveryPrivate.h"
#include "aUSBPrivate.h"

#define aUSB_SERIAL_STRING_SIZE 32

namespace {

/* The device's serial string read as a module serial number; 0 when it
 * cannot be read or is not eight hexadecimal digits. */
uint32_t sSerialNumber(libusb_device_handle* handle, uint8_t index)
{
    unsigned char serial[aUSB_SERIAL_STRING_SIZE] = {};
    int length = index == 0 ? -1 : libusb_get_string_descriptor_ascii(handle, index, serial, sizeof serial);
    uint32_t serialNumber = 0;
    if (length < 0 || !aDiscovery_ParseUSBSerial((const char*)serial, (size_t)length, &serialNumber)) return 0;
    return serialNumber;
}

aErr sAccessError(int opened)
{
    switch (opened) {
    case 0: return aErrNone;
    case LIBUSB_ERROR_ACCESS: return aErrPermission;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND: return aErrNotFound;
    default: return aErrIO;
    }
}

/* Where the device sits, and what opening it read-write (libusb opens the
 * usbfs node so) gives. */
aDiscoveryUSBAccess sTryAccess(libusb_device* device)
{
    aDiscoveryUSBAccess access {};
    libusb_device_descriptor descriptor {};
    (void)libusb_get_device_descriptor(device, &descriptor); /* is_tarnix_device read it already */
    access.vendor = descriptor.idVendor;
    access.product = descriptor.idProduct;
    access.bus = libusb_get_bus_number(device);
    access.address = libusb_get_device_address(device);
    snprintf(access.node, sizeof access.node, "/dev/bus/usb/%03u/%03u", access.bus, access.address);
    libusb_device_handle* handle = nullptr;
    access.access = sAccessError(libusb_open(device, &handle));
    if (access.access == aErrNone) {
        access.serialNumber = sSerialNumber(handle, descriptor.iSerialNumber);
        libusb_close(handle);
    }
    return access;
}

/* The module's specifier, or false when the device cannot be read or its
 * serial string is not eight hexadecimal digits; *denied tells when the
 * system refused to open it. A device already read in this context is not
 * opened again. */
bool sReadModule(libusb_context* context, libusb_device* device, linkSpec* spec, bool* denied)
{
    libusb_device_descriptor descriptor {};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.iSerialNumber == 0) return false;
    char serial[aUSB_SERIAL_STRING_SIZE] = {};
    const int read = Tarnix_libusb_serial(context, device, serial, sizeof serial, nullptr);
    *denied = read == LIBUSB_ERROR_ACCESS;
    uint32_t serialNumber = 0;
    if (read != 0 || !aDiscovery_ParseUSBSerial(serial, strlen(serial), &serialNumber) || serialNumber == 0)
        return false;
    *spec = linkSpec {};
    spec->type = USB;
    spec->serial_num = serialNumber;
    spec->model = descriptor.idProduct & 0xFF;
    spec->usb_id = serialNumber;
    return true;
}

} // namespace

void aDiscovery_RefreshUSB(void)
{
    Tarnix_libusb_exit();
}

int aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference, aDiscoveryUSBReport* report)
{
    if (report != nullptr) *report = aDiscoveryUSBReport {};
    // Hold the context for the whole walk: another thread may renew it
    // (Tarnix_libusb_exit) while we read the devices' descriptors.
    libusb_context* context = Tarnix_libusb_acquire();
    if (context == nullptr) return 0;
    libusb_device** devices = nullptr;
    ssize_t count = Tarnix_libusb_list(context, &devices);
    if (count < 0) {
        Tarnix_libusb_release(context);
        return 0;
    }
    int hits = 0;
    for (ssize_t i = 0; i < count; ++i) {
        linkSpec spec;
        bool denied = false;
        if (!is_tarnix_device(devices[i])) continue;
        if (!sReadModule(context, devices[i], &spec, &denied)) {
            if (denied && report != nullptr) report->denied++;
            continue;
        }
        if (!aDiscovery_Report(callback, reference, spec, &hits)) break;
    }
    libusb_free_device_list(devices, 1);
    Tarnix_libusb_release(context);
    return hits;
}

int aDiscovery_CheckUSB(aDiscoveryUSBAccessProc callback, void* reference)
{
    libusb_context* context = Tarnix_libusb_acquire();
    if (context == nullptr) return 0;
    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(context, &devices);
    int reported = 0;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_tarnix_device(devices[i])) continue;
        const aDiscoveryUSBAccess access = sTryAccess(devices[i]);
        ++reported;
        if (!callback(&access, reference)) break;
    }
    if (count >= 0) libusb_free_device_list(devices, 1);
    Tarnix_libusb_release(context);
    return reported;
}
