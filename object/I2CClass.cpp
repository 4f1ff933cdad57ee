/* I2CClass: bus transfers through the module's raw command packets. */
#include "I2CClass.h"

#include <string.h>

namespace Velorn {
namespace Tarnix {

namespace {
constexpr unsigned char kMaxTransfer = 23;
constexpr unsigned char kMaxSpeed = 3;
constexpr unsigned char kStatusError = 0x80;

/* The status byte of a reply: none, or the module's code. */
aErr sStatus(const unsigned char* reply, unsigned char size)
{
    if (size <= 4)
        return aErrPacket;
    return (reply[4] & kStatusError) ? (aErr)(reply[4] & 0x7F) : aErrNone;
}
} // namespace

I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, unsigned char index) { EntityClass::init(module, aCMD_I2C, index); }

aErr I2CClass::exchange(const unsigned char* request, unsigned char length, unsigned char matchLength,
                        unsigned char* reply, unsigned char* replyLength)
{
    aErr err = sendPacket(request[0], (unsigned char)(length - 1), request + 1);
    if (err != aErrNone)
        return err;
    unsigned char match[aPACKET_MAX_DATA];
    memcpy(match, request, matchLength);
    *replyLength = matchLength;
    return receivePacket(match, replyLength, reply);
}

aErr I2CClass::read(unsigned char address, unsigned char length, unsigned char* out)
{
    if (length > kMaxTransfer)
        return aErrSize;
    if (out == nullptr && length > 0)
        return aErrParam;
    const unsigned char request[] = {aCMD_I2C, getIndex(), (unsigned char)(address | 1), length, speed};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 0;
    aErr err = exchange(request, sizeof request, 3, reply, &size);
    if (err == aErrNone)
        err = sStatus(reply, size);
    if (err != aErrNone)
        return err;
    /* Never more than asked for, nor more than the reply carries. */
    const unsigned char count = reply[3];
    if (count > length || count > size - 5)
        return aErrSize;
    memcpy(out, &reply[5], count);
    return aErrNone;
}

aErr I2CClass::write(unsigned char address, unsigned char length, const unsigned char* data)
{
    if (length > kMaxTransfer)
        return aErrSize;
    if (data == nullptr && length > 0)
        return aErrParam;
    unsigned char request[aPACKET_MAX_DATA] = {aCMD_I2C, getIndex(), address, length, speed};
    if (length > 0)
        memcpy(&request[5], data, length);
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 0;
    /* The reply begins 8, index, address, 0. */
    unsigned char expected[aPACKET_MAX_DATA] = {aCMD_I2C, getIndex(), address, 0};
    aErr err = sendPacket(aCMD_I2C, (unsigned char)(4 + length), request + 1);
    if (err != aErrNone)
        return err;
    size = 4;
    err = receivePacket(expected, &size, reply);
    return err != aErrNone ? err : sStatus(reply, size);
}

aErr I2CClass::setPullup(bool enable)
{
    const unsigned char request[] = {aCMD_I2C, getIndex(), 1, (unsigned char)(enable ? 1 : 0)};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 0;
    aErr err = exchange(request, sizeof request, 3, reply, &size);
    return err != aErrNone ? err : sStatus(reply, size);
}

aErr I2CClass::setSpeed(unsigned char value)
{
    if (value > kMaxSpeed)
        return aErrParam;
    speed = value;
    return aErrNone;
}

aErr I2CClass::getSpeed(unsigned char* value) const
{
    if (value == nullptr)
        return aErrParam;
    *value = speed;
    return aErrNone;
}

} // namespace Tarnix
} // namespace Velorn
