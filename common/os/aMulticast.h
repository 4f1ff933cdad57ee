/* IPv4 multicast sockets, used by the loopback search for networked-link
 * servers and by the servers' responders. */
#ifndef TARNIX_AMULTICAST_H
#define TARNIX_AMULTICAST_H

#include <stddef.h>
#include <stdint.h>

/* IPv4 multicast sockets. Addresses are in network byte order; an interface of
 * 0 or 127.0.0.1 means the loopback interface. Address reuse is off, so a
 * second receiver on a port fails to be created. Receives wait at most 1 s.
 * One thread uses a socket at a time; the creator owns it. */
typedef struct aMulticastSocket aMulticastSocket;
/* A sending socket (sender true) or a receiving socket bound to `port` and
 * joined to `groupAddress` on the interface; null on any failure. */
aMulticastSocket* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port,
                                    bool sender);
/* Byte count sent or received; -1 on failure (or time-out), -2 for a null or
 * invalid socket, -3 when a receiving socket is used to send or a sending
 * socket to receive. A received datagram longer than `size` is cut to `size`. */
int aMulticast_Send(aMulticastSocket* socket, const uint8_t* bytes, size_t length);
int aMulticast_Receive(aMulticastSocket* socket, uint8_t* buffer, size_t size);
/* Closes and frees the socket and nulls *socket: 0, or -2 for a null one. */
int aMulticast_Destroy(aMulticastSocket** socket);
/* aMulticast_Receive with its own wait (ms) instead of the socket's 1 s. */
int aMulticast_ReceiveWithin(aMulticastSocket* socket, uint8_t* buffer, size_t size, int timeoutMs);

#endif
