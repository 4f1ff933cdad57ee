/* An I2C bus of a module (command 8): reads, writes and the pull-up, as raw
 * packets. Errors: aErrSize for a transfer over 23 bytes (nothing sent),
 * aErrPacket for a reply too short to carry its status, aErrTimeout when no
 * reply came within 1000 ms, the module's code from a status byte with bit 7,
 * aErrResource when never init-ed. */
#ifndef VELORN_TARNIX_I2CCLASS_H
#define VELORN_TARNIX_I2CCLASS_H

#include "Entity.h"

namespace Velorn {
namespace Tarnix {

class I2CClass : public EntityClass {
public:
    I2CClass() = default;
    ~I2CClass() override;
    void init(Module* module, unsigned char index);

    /* address: the 8-bit bus address with bit 0 clear. */
    aErr read(unsigned char address, unsigned char length, unsigned char* out);
    aErr write(unsigned char address, unsigned char length, const unsigned char* data);
    aErr setPullup(bool enable);
    /* 0 to 3, kept here and sent with every later read and write. */
    aErr setSpeed(unsigned char speed);
    aErr getSpeed(unsigned char* speed) const;

private:
    aErr exchange(const unsigned char* request, unsigned char length, unsigned char matchLength,
                  unsigned char* reply, unsigned char* replyLength);
    unsigned char speed = 0;
};

} // namespace Tarnix
} // namespace Velorn

#endif
