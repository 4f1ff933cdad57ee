/* Links through networked-link servers: client links over a server's
 * frontend, and serving a direct link. The link table knows the server only
 * as an attachment with a release hook. */
#include <atomic>

#include "aServer.h"
#include "aTime.h"

aLinkId aLink_CreateClient(uint32_t address, uint32_t port, aLinkId existingLinkId)
{
    if (existingLinkId != 0)
        return aLink_AddUse(existingLinkId);
    static std::atomic<uint32_t> clientNumber{0};
    if (port > 0xFFFF)
        return 0;
    aStream* stream = NULL;
    aErr err = aStream_CreateClient(address, (uint16_t)port, &stream);
    return aLink_CreateOnStream(address, port, clientNumber++, ZEPHYL, stream, err);
}

/* The link's release hook: the served link is gone, so is its server. */
static void sReleaseServer(void* attachment)
{
    aServer* server = (aServer*)attachment;
    aServer_Destroy(&server);
}

static void sDetachServer(aLinkId linkId, aServer** server)
{
    (void)aLink_Detach(linkId, *server); /* fails only when the link went already */
    aServer_Destroy(server);
}

/* Asks the module through the client link, so the whole path is proven before the
 * server announces itself. */
static bool sIdentify(aLinkId client, aServer* server)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        uint8_t address = 0, model = 0;
        if (_aLink_GetModuleAddress(client, &address) == aErrNone &&
            _aLink_GetModel(client, address, &model) == aErrNone) {
            aServer_SetModuleAddress(server, address);
            aServer_SetModel(server, model);
            return true;
        }
        aServer_FlushFIFO(server);
        aTime_MSSleep(10);
    }
    return false;
}

aLinkId aLink_CreateServer(aLinkId linkId, uint16_t* port, uint32_t* interfaceAddress, bool option)
{
    if (port == NULL || interfaceAddress == NULL)
        return 0;
    aServer* server = aServer_Create(linkId, *interfaceAddress, option);
    if (server == NULL)
        return 0;
    /* Attached before it starts, so a link served already is refused here. */
    if (aLink_Attach(linkId, server, sReleaseServer) != aErrNone) {
        aServer_Destroy(&server);
        return 0;
    }
    uint16_t serverPort = 0;
    uint32_t serverInterface = 0;
    if (aServer_Start(server) != aErrNone || aServer_GetPort(server, &serverPort) != aErrNone ||
        aServer_GetInterface(server, &serverInterface) != aErrNone) {
        sDetachServer(linkId, &server);
        return 0;
    }
    aLinkId client = aLink_CreateClient(serverInterface, serverPort, 0);
    if (client == 0 || !sIdentify(client, server)) {
        /* The caller keeps its link: the client must not take it down with it. */
        if (client != 0)
            aLink_Destroy(&client);
        sDetachServer(linkId, &server);
        return 0;
    }
    (void)aLink_SetPartner(client, linkId); /* the client is listed: we hold it */
    *port = serverPort;
    *interfaceAddress = serverInterface;
    return client;
}
