/* USB stream: the device protocol's raw bytes over a module's bulk endpoints,
 * through the USB driver. Reads come from the link's input thread and writes
 * from its output thread; the driver keeps the two sides apart. */
#include <stdio.h>

#include <new>

#include "aStreamTransport.h"
#include "aUSB.h"

#define aUSBSTREAM_VALIDITY 0xDEAD

namespace {

struct sUSBStream {
    uint16_t validity;
    uint32_t serialNumber;
    tarnixusb* device;
};

sUSBStream* sState(void* reference)
{
    sUSBStream* s = (sUSBStream*)reference;
    return (s != nullptr && s->validity == aUSBSTREAM_VALIDITY) ? s : nullptr;
}

aErr sUSBGet(uint8_t* byte, void* reference)
{
    sUSBStream* s = sState(reference);
    if (s == nullptr || byte == nullptr)
        return aErrParam;
    return tarnixusb_get_from_device(s->device, byte);
}

aErr sUSBWrite(const uint8_t* bytes, size_t length, void* reference)
{
    sUSBStream* s = sState(reference);
    if (s == nullptr || bytes == nullptr || length > 0xFFFFFFFFu)
        return aErrParam;
    return tarnixusb_write_to_device(s->device, bytes, (uint32_t)length);
}

aErr sUSBPut(uint8_t byte, void* reference)
{
    return sUSBWrite(&byte, 1, reference);
}

void sUSBInterrupt(void* reference)
{
    sUSBStream* s = sState(reference);
    if (s != nullptr && s->device != nullptr)
        tarnixusb_interrupt_read(s->device);
}

aErr sUSBDelete(void* reference)
{
    sUSBStream* s = sState(reference);
    if (s == nullptr)
        return aErrParam;
    if (s->device != nullptr) {
        if (tarnixusb_get_state(s->device) != TARNIXUSB_STATE_CLOSED)
            (void)tarnixusb_close_tarnix_device(s->device); /* best-effort close before the handle goes */
        (void)tarnixusb_destroy(&s->device); /* our own handle: cannot fail */
    }
    s->validity = 0;
    delete s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream)
{
    if (stream == nullptr || serialNumber == 0)
        return aErrParam;
    *stream = nullptr;
    sUSBStream* s = new (std::nothrow) sUSBStream;
    if (s == nullptr)
        return aErrMemory;
    s->validity = aUSBSTREAM_VALIDITY;
    s->serialNumber = serialNumber;
    s->device = tarnixusb_create_usb(tarnixusb_is_kernel_driver_installed(serialNumber) ? 0 : 1);
    if (s->device == nullptr) {
        delete s;
        return aErrResource;
    }
    char serial[16];
    snprintf(serial, sizeof(serial), "%08X", serialNumber);
    aErr err = tarnixusb_open_tarnix_device(s->device, serial);
    if (err != aErrNone) {
        (void)sUSBDelete(s); /* the stream state is ours and valid: cannot fail */
        return err;
    }
    *stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
    if (*stream == nullptr) {
        (void)sUSBDelete(s); /* the stream state is ours and valid: cannot fail */
        return aErrResource;
    }
    (void)aStream_SetInterrupt(*stream, sUSBInterrupt); /* the stream was just made: cannot fail */
    return aErrNone;
}
