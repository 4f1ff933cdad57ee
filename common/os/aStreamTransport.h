/* Byte streams over the operating system's transports: files, TCP sockets,
 * serial ports and USB. Each stream is an aStream (aStream.h); the caller owns
 * it and frees it with aStream_Destroy. Made on any thread; used as aStream.h
 * says. */
#ifndef TARNIX_ASTREAMTRANSPORT_H
#define TARNIX_ASTREAMTRANSPORT_H

#include <stdint.h>
#include "aError.h"
#include "aStream.h"

/* Transports. Each hands the new stream out through its last argument (null on failure). */
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);
/* TCP client; address in network byte order. aErrConnection: refused, reset
 * or no answer within the connect bound; aErrIO: another socket failure;
 * aErrResource: no out argument, or memory is short. */
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);
/* Raw serial port; dataBits 0 = 8, 1 = 7; stopBits 0 = one, 1 = two.
 * aErrNotFound: no such port; aErrPermission: no access; aErrBusy: held
 * exclusively elsewhere; aErrIO: not a serial port, or it cannot be set up;
 * aErrParam: a bad argument. */
aErr aStream_CreateSerial(const char* deviceName, uint32_t baudCode, bool parity,
                          uint32_t dataBits, uint32_t stopBits, aStream** stream);
/* The same port with each packet framed by COBS and a CRC-8. */
aErr aStream_CreateSerial_Packetized(const char* deviceName, uint32_t baudCode, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream);
/* The module with this serial number on USB: through its kernel-driver node
 * when one exists, else through libusb. aErrParam for serial number 0;
 * otherwise the driver's opening result (aErrNotFound, aErrBusy, ...). */
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

#endif
