// A program built only against the installed headers and tarnix.pc.
#include <cstdio>
#include <cstring>
#include "aError.h"
#include "aPacket.h"

int main()
{
    const uint8_t data[2] = {0x01, 0x02};
    aPacket* packet = aPacket_CreateWithData(4, sizeof data, data);
    if (!packet)
        return 1;
    aPacket_Destroy(&packet);
    std::printf("%s\n", aError_GetErrorText(aErrNotFound));
    return packet == nullptr ? 0 : 1;
}
