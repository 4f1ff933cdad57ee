/* The networked-link server: shares a link held by this process with other
 * processes over ZeroMQ, and the client stream that reaches such a server.
 *
 * A server stands in front of a USB, TCP/IP or serial link of the link table.
 * Clients connect a DEALER socket to its ROUTER frontend and send one packet
 * per frame (address, dataSize, data); the server queues each on the real link
 * and returns the replies to the client that asked, sends streaming frames to
 * every client that enabled streaming, and answers discovery: loopback
 * multicast when local-only, beacons otherwise. UEI gets and sets whose
 * replies carry distinct keys (address, command, option, index) are with the
 * module several at a time; every other request that awaits a reply is
 * exchanged alone, as is any request whose key is outstanding with other bytes.
 *
 * Threads: create, start, destroy and the setters on one thread (the served
 * link's owner, through aLink_CreateServer and the release hook that the last
 * aLink_Destroy calls). The server runs its own
 * broker thread (routing and the exchanges with the module) and discovery
 * thread, and a packet filter on the real link's input thread that hands the
 * module's packets to the broker. */
#ifndef TARNIX_ASERVER_H
#define TARNIX_ASERVER_H

#include <stdint.h>

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aStream.h"

typedef struct aServer aServer; /* opaque */

#define aSERVER_VALIDITY 0x5EED

/* The loopback search's slots, group and ports and the beacon are in
 * aProtocol.h (aDISCOVERY_LOCAL_*, aDISCOVERY_BEACON_*). */

/* A server record for the link linkId (nothing runs yet); the caller owns it.
 * interfaceAddress in network byte order, 0 meaning 127.0.0.1. Null when the
 * link is not in the table, is not USB, TCPIP or SERIAL, or memory is short. */
aServer* aServer_Create(aLinkId linkId, uint32_t interfaceAddress, bool localOnly);
/* Binds the sockets and starts the threads. Unless security is off
 * (aShareKeys_SetInsecure), the frontend is a CURVE server with the owner's
 * server key that accepts only the owner's client key (and, when not
 * local-only, the keys in the owner's allowed directory): see aShareKeys.h.
 * aErrParam for an invalid server, aErrPermission when the key files are
 * missing or unsafe (a server that is not local-only never makes its own),
 * aErrBusy when another server of this process is of the other kind (they
 * share one authenticator), aErrResource when any other step fails (the
 * record can then only be destroyed). */
aErr aServer_Start(aServer* server);
/* The frontend port, and the interface address (network byte order). aErrParam
 * for null arguments. */
aErr aServer_GetPort(aServer* server, uint16_t* port);
aErr aServer_GetInterface(aServer* server, uint32_t* address);
/* What the server announces; a model of 0 keeps it undiscoverable. */
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
/* Forgets every client waiting for a reply. aErrParam when not started. */
aErr aServer_FlushFIFO(aServer* server);
/* Stops the threads, removes the link's packet filter, frees everything and
 * nulls *server. aErrParam for a null or invalid server. */
aErr aServer_Destroy(aServer** server);

/* A stream to the server frontend at IPv4 address (network byte order) and
 * port; the caller owns *stream (aStream_Destroy). Unless security is off,
 * the stream proves the caller's client key and checks the server's
 * (aShareKeys_ForClient finds both); it fails with that function's error
 * when they cannot be had, and aErrPermission when the server refuses them. Each write is sent as one
 * frame per packet; get waits briefly for the next reply byte (aErrNotReady
 * when none came, aErrIO when receiving failed); put is aErrUnimplemented.
 * aErrParam for a null out argument, aErrMemory when a socket cannot be made,
 * aErrConnection when nothing accepts the connection within 2 s, aErrResource
 * when the stream cannot be made. get is for one thread, write for one (the
 * link's input and output). */
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);

/* Links through networked-link servers. Each aLink_Open* call sets its out
 * identifier only on success; the caller drops its use with aLink_Destroy.
 * The aLink_Create* forms are the same with 0 for any failure. Any thread. */
/* existingLinkId non-zero shares that link (aErrNotFound when it is not
 * listed); 0 makes a link over a client stream (aStream_CreateClient) to
 * address and port, failing with that call's error (aErrConnection: nothing
 * accepts; aErrPermission: keys refused; ...) or one common to
 * aLink_OpenOnStream. aErrParam: null linkId or a port above 0xFFFF. */
aErr aLink_OpenClient(uint32_t address, uint32_t port, aLinkId existingLinkId, aLinkId* linkId);
aLinkId aLink_CreateClient(uint32_t address, uint32_t port, aLinkId existingLinkId);
/* Serves the direct link linkId: starts a server for it (on *interfaceAddress,
 * local-only when `option`), proves the path by asking the module through a
 * client link, and returns that client link in *clientId, with the server's
 * port and interface in *port and *interfaceAddress. The server lives until
 * linkId's last use goes; dropping the client drops one use of linkId. On any
 * failure linkId is kept: aErrParam for null arguments; aErrNotFound when
 * linkId is not a listed USB, TCPIP or SERIAL link; aErrBusy when it is served
 * already; aServer_Start's errors; aLink_OpenClient's; aErrTimeout when the
 * module did not answer through the server. */
aErr aLink_OpenServer(aLinkId linkId, uint16_t* port, uint32_t* interfaceAddress, bool option,
                      aLinkId* clientId);
aLinkId aLink_CreateServer(aLinkId linkId, uint16_t* port, uint32_t* interfaceAddress, bool option);

/* Called by every server and client thread after each poll: once CZMQ has
 * seen an interrupt, hands SIGINT back to the process's own handling (once
 * per process), so that a program using the library still stops on Ctrl-C. */
void zSysInterruptHandler_process(void);

#endif
