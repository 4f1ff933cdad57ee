/* Links through networked-link servers: client links over a server's
 * frontend, and serving a direct link. The link table knows the server only
 * as an attachment with a release hook. */
#include <atomic>

#include "aServer.h"
#include "aTime.h"

aErr aLink_OpenClient(uint32_t address, uint32_t port, aLinkId existingLinkId, aLinkId* linkId)
{
    if (linkId == NULL)
        return aErrParam;
    if (existingLinkId != 0) {
        aLinkId shared = aLink_AddUse(existingLinkId);
        if (shared == 0)
            return aErrNotFound;
        *linkId = shared;
        return aErrNone;
    }
    static std::atomic<uint32_t> clientNumber{0};
    if (port > 0xFFFF)
        return aErrParam;
    aStream* stream = NULL;
    aErr err = aStream_CreateClient(address, (uint16_t)port, &stream);
    return aLink_OpenOnStream(address, port, clientNumber++, ZEPHYL, stream, err, linkId);
}

aLinkId aLink_CreateClient(uint32_t address, uint32_t port, aLinkId existingLinkId)
{
    aLinkId linkId = 0;
    return aLink_OpenClient(address, port, existingLinkId, &linkId) == aErrNone ? linkId : 0;
}

/* The link's release hook: the served link is gone, so is its server. */
static void sReleaseServer(void* attachment)
{
    aServer* server = (aServer*)attachment;
    (void)aServer_Destroy(&server); /* fails only for a record that is not a server */
}

static void sDetachServer(aLinkId linkId, aServer** server)
{
    (void)aLink_Detach(linkId, *server); /* fails only when the link went already */
    (void)aServer_Destroy(server); /* ours and valid: cannot fail */
}

/* Asks the module through the client link, so the whole path is proven before the
 * server announces itself. */
static bool sIdentify(aLinkId client, aServer* server)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        uint8_t address = 0, model = 0;
        if (_aLink_GetModuleAddress(client, &address) == aErrNone &&
            _aLink_GetModel(client, address, &model) == aErrNone) {
            /* Setters of a valid server cannot fail. */
            (void)aServer_SetModuleAddress(server, address);
            (void)aServer_SetModel(server, model);
            return true;
        }
        (void)aServer_FlushFIFO(server); /* started: cannot fail; drops stale waiters */
        aTime_MSSleep(10);
    }
    return false;
}

/* Starts the attached server and reads where it listens. */
static aErr sStartServer(aServer* server, uint16_t* port, uint32_t* interfaceAddress)
{
    aErr err = aServer_Start(server);
    if (err == aErrNone)
        err = aServer_GetPort(server, port);
    if (err == aErrNone)
        err = aServer_GetInterface(server, interfaceAddress);
    return err;
}

aErr aLink_OpenServer(aLinkId linkId, uint16_t* port, uint32_t* interfaceAddress, bool option,
                      aLinkId* clientId)
{
    if (port == NULL || interfaceAddress == NULL || clientId == NULL)
        return aErrParam;
    aServer* server = aServer_Create(linkId, *interfaceAddress, option);
    if (server == NULL)
        return aErrNotFound;
    /* Attached before it starts, so a link served already is refused here. */
    aErr err = aLink_Attach(linkId, server, sReleaseServer);
    if (err != aErrNone) {
        (void)aServer_Destroy(&server); /* never started: nothing to stop */
        return err == aErrBusy ? aErrBusy : aErrNotFound;
    }
    uint16_t serverPort = 0;
    uint32_t serverInterface = 0;
    err = sStartServer(server, &serverPort, &serverInterface);
    if (err != aErrNone) {
        sDetachServer(linkId, &server);
        return err;
    }
    aLinkId client = 0;
    err = aLink_OpenClient(serverInterface, serverPort, 0, &client);
    if (err == aErrNone && !sIdentify(client, server))
        err = aErrTimeout;
    if (err != aErrNone) {
        /* The caller keeps its link: the client must not take it down with it. */
        if (client != 0)
            (void)aLink_Destroy(&client); /* already failing: report why the path failed */
        sDetachServer(linkId, &server);
        return err;
    }
    (void)aLink_SetPartner(client, linkId); /* the client is listed: we hold it */
    *port = serverPort;
    *interfaceAddress = serverInterface;
    *clientId = client;
    return aErrNone;
}

aLinkId aLink_CreateServer(aLinkId linkId, uint16_t* port, uint32_t* interfaceAddress, bool option)
{
    aLinkId client = 0;
    return aLink_OpenServer(linkId, port, interfaceAddress, option, &client) == aErrNone ? client : 0;
}
