// A second process for the sharing tests, using the library as an application would.
//   share_peer host SERIAL SIMPORT [network]
//                                    shares the module behind a TCP/IP link (local-only
//                                    unless "network"), prints "PORT n", "ADDRESS a.b.c.d"
//                                    and "READY", serves until SIGTERM/SIGINT
//   share_peer client PORT COUNT     reaches a server through a client link, reads the
//                                    module's address, model and serial number COUNT times
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aLink.h"
#include "aServer.h"

static int Host(uint32_t serial, uint16_t simPort, bool localOnly)
{
    // Blocked before any thread starts, so the library's threads never take them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);
    aLinkId link = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), simPort);
    if (link == 0) {
        fprintf(stderr, "no link to the module\n");
        return 1;
    }
    uint16_t port = 0;
    uint32_t interfaceAddress = 0;
    aLinkId client = aLink_CreateServer(link, &port, &interfaceAddress, localOnly);
    if (client == 0) {
        fprintf(stderr, "no server\n");
        (void)aLink_Destroy(&link); /* already failing: the missing server is the error */
        return 1;
    }
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = interfaceAddress;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    printf("PORT %u\nADDRESS %s\nREADY\n", port, text);
    fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    const aErr released = aLink_Destroy(&client); // takes the served link and the server with it
    printf("STOPPED\n");
    return released == aErrNone ? 0 : 1;
}

static bool Exchange(aLinkId link, uint8_t address, const uint8_t* request, uint8_t size, aPacket** reply)
{
    aPacket* packet = aPacket_CreateWithData(address, size, request);
    aErr err = aLink_PutPacket(link, packet);
    (void)aPacket_Destroy(&packet); /* null when it could not be made: the put said so */
    *reply = err == aErrNone ? aLink_AwaitPacket(link, 3000) : NULL;
    return *reply != NULL;
}

static int Client(uint16_t port, int count)
{
    aLinkId link = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    if (link == 0) {
        fprintf(stderr, "no client link\n");
        return 1;
    }
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t address = 0, model = 0;
        aPacket* reply = NULL;
        static const uint8_t getSerial[3] = {3, 0x49, 0x20};
        if (_aLink_GetModuleAddress(link, &address) != aErrNone || _aLink_GetModel(link, address, &model) != aErrNone ||
            !Exchange(link, address, getSerial, 3, &reply) || reply->dataSize != 7) {
            failures++;
        } else {
            printf("address %u model %u serial %02X%02X%02X%02X\n", address, model, reply->data[3], reply->data[4],
                   reply->data[5], reply->data[6]);
        }
        (void)aPacket_Destroy(&reply); /* null after a failed exchange */
    }
    if (aLink_Destroy(&link) != aErrNone)
        failures++;
    return failures == 0 ? 0 : 1;
}

int main(int argc, char** argv)
{
    if ((argc == 4 || (argc == 5 && strcmp(argv[4], "network") == 0)) && strcmp(argv[1], "host") == 0)
        return Host((uint32_t)strtoul(argv[2], NULL, 0), (uint16_t)atoi(argv[3]), argc == 4);
    if (argc == 4 && strcmp(argv[1], "client") == 0)
        return Client((uint16_t)atoi(argv[2]), atoi(argv[3]));
    fprintf(stderr, "usage: share_peer host SERIAL SIMPORT [network] | client PORT COUNT\n");
    return 2;
}
