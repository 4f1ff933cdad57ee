/* Link: construction, configuration, connection and the packet log. The
 * exchanges are in LinkExchange.cpp, the filters in LinkFilters.cpp. */
#include "Link.h"
#include "LinkPrivate.h"

#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>

#include "aDiscovery.h"
#include "aServer.h"
#include "aFile.h"
#include "aTime.h"

namespace Velorn {
namespace Tarnix {

namespace {

/* Two objects never create links at once. */
std::mutex linkCreateHelperSerializer;

constexpr size_t kMaxNameLength = 1024;
constexpr size_t kDebugRecordSize = 64;
constexpr uint32_t kLogEmptySleepMs = 5;

/* The packet loggers' callbacks find their link through this registry, by a
 * logger number that outlives reconnections (the engine link's number does not). */
std::mutex sLoggerRegistryMutex;
std::map<uint32_t, Link::impl*>& sLoggerRegistry()
{
    static std::map<uint32_t, Link::impl*> registry;
    return registry;
}
uint32_t sNextLoggerId = 1;

void readDebugBuffer(aFile* file, uint32_t identifier)
{
    aLinkId linkId = 0;
    {
        std::lock_guard<std::mutex> lock(sLoggerRegistryMutex);
        auto found = sLoggerRegistry().find(identifier);
        if (found != sLoggerRegistry().end())
            linkId = found->second->linkRef.load();
    }
    uint8_t direction = 0;
    uint8_t bytes[kDebugRecordSize];
    size_t length = sizeof bytes;
    aErr err = linkId != 0 ? aLink_PacketDebug_Read(linkId, &direction, &length, bytes) : aErrNotFound;
    if (err != aErrNone) {
        /* Empty, gone or a record too long for us (it stays): pace the logger. */
        aTime_MSSleep(kLogEmptySleepMs);
        return;
    }
    aFile_Printf(file, "%d %s ", (int)length, direction == aLINK_LOG_SENT ? ">" : "<");
    for (size_t i = 0; i < length; ++i) {
        if (direction == kLogTextDirection)
            aFile_Printf(file, "%c", bytes[i]);
        else
            aFile_Printf(file, "0x%X ", bytes[i]);
    }
    aFile_Printf(file, "\r\n");
}

bool sFallbackHelper(aErr result, linkType type, uint8_t fallback)
{
    if (result != aErrNotFound && result != aErrInitialization && result != aErrConnection)
        return false;
    if (type != USB && type != TCPIP && !isZEPHYL(type))
        return false;
    return fallback != 0;
}

struct ModelSearch {
    linkSpec spec;
    bool found;
};

} // namespace

ZephylConfig::ZephylConfig()
    : enabled(1), fallback(1), localOnly(1), assignedPort(0),
      networkInterface(0x0100007Fu) /* bytes 7F 00 00 01 in memory */
{
}

Link::impl::impl(Link* owner, const char* givenName) : link(owner)
{
    if (givenName != nullptr) {
        size_t length = strnlen(givenName, kMaxNameLength);
        name.reset(new (std::nothrow) char[length + 1]);
        if (name) {
            memcpy(name.get(), givenName, length);
            name[length] = '\0';
        }
    }
}

Link::impl::~impl()
{
    if (spec != nullptr)
        aLinkSpec_Destroy(&spec);
}

Link::Link(const char* name) : m_impl(new impl(this, name)) {}

Link::Link(linkSpec spec, const char* name) : m_impl(new impl(this, name))
{
    m_impl->spec = aLinkSpec_Copy(spec);
}

Link::~Link()
{
    /* The engine's input thread and our worker reach into this object. */
    m_impl->stopStreaming();
    /* The logger reads this link's records: stop it before the link goes. */
    if (m_impl->logger != nullptr) {
        aLogger_Destroy(&m_impl->logger);
        std::lock_guard<std::mutex> lock(sLoggerRegistryMutex);
        sLoggerRegistry().erase(m_impl->loggerId);
    }
    disconnect();
}

const char* Link::getName() const { return m_impl->name.get(); }

aErr Link::getLinkSpecifier(linkSpec* out) const
{
    if (out == nullptr)
        return aErrParam;
    if (m_impl->spec == nullptr)
        return aErrNotFound;
    *out = *m_impl->spec;
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec)
{
    if (isConnected())
        return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(spec);
    if (copy == nullptr)
        return aErrMemory;
    if (m_impl->spec != nullptr)
        aLinkSpec_Destroy(&m_impl->spec);
    m_impl->spec = copy;
    return aErrNone;
}

aErr Link::getConfig(ZephylConfig* out) const
{
    if (out == nullptr)
        return aErrParam;
    *out = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(ZephylConfig config)
{
    if (isConnected())
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

/* Connection. ------------------------------------------------------------ */

aErr Link::impl::linkCreateHelper(const linkSpec& linkSpecifier, aLinkId existing)
{
    std::lock_guard<std::mutex> lock(linkCreateHelperSerializer);
    aLinkId created = 0;
    switch (linkSpecifier.type) {
    case USB:
        created = aLink_CreateUSB(linkSpecifier.serial_num);
        break;
    case TCPIP:
        created = aLink_CreateTCPIP(linkSpecifier.serial_num, linkSpecifier.ip_address,
                                    linkSpecifier.ip_port);
        break;
    case SERIAL: {
        char port[aLINKSPEC_PORT_NAME_SIZE + 1];
        memcpy(port, linkSpecifier.port_name, aLINKSPEC_PORT_NAME_SIZE);
        port[aLINKSPEC_PORT_NAME_SIZE] = '\0'; /* a specifier from outside may lack its NUL */
        created = aLink_CreateSerial(linkSpecifier.serial_num, port, linkSpecifier.baud_rate);
        break;
    }
    case ZEPHYL:
    case ZEPHYL_USB:
    case ZEPHYL_TCPIP:
    case ZEPHYL_SERIAL:
        if (!config.enabled)
            return aErrConfiguration;
        created = aLink_CreateClient(linkSpecifier.ip_address, linkSpecifier.ip_port, existing);
        break;
    default:
        return aErrMode;
    }
    if (created != 0 && !isZEPHYL(linkSpecifier.type) && config.enabled) {
        Log::log(Log::DEBUG_ObjectLink, "Creating Server: real_link id: %d\n", (int)created);
        uint16_t port = config.assignedPort;
        uint32_t interfaceAddress = config.networkInterface;
        aLinkId client = aLink_CreateServer(created, &port, &interfaceAddress, config.localOnly != 0);
        config.assignedPort = port;
        config.networkInterface = interfaceAddress;
        Log::log(Log::DEBUG_ObjectLink, "Creating Server: m_link id: %d\n", (int)client);
        if (client == 0) {
            Log::log(Log::DEBUG_ObjectLink, "Failed to create server");
            aLink_Destroy(&created);
        }
        created = client;
    }
    linkRef = created;
    return aErrNone;
}

aErr Link::impl::connectHelper(aLinkId existing)
{
    if (spec == nullptr)
        return aErrConfiguration;
    const linkSpec linkSpecifier = *spec;
    aErr err = linkCreateHelper(linkSpecifier, existing);
    if (err != aErrNone)
        return err;
    if (linkRef == 0)
        return aErrConnection;
    return link->waitForLink(kConnectWaitSteps);
}

aErr Link::connect()
{
    if (m_impl->linkRef != 0)
        return aErrConnection;
    return m_impl->connectHelper(0);
}

aErr Link::connectThroughLinkModule(Link& other)
{
    const aLinkId existing = other.m_impl->linkRef.load();
    if (existing == 0)
        return aErrInitialization;
    /* Our own engine link would be lost (and never released) otherwise. */
    if (m_impl->linkRef != 0)
        return aErrConnection;
    /* The shared link is passed to creation rather than stored, so that a failure
     * never leaves us holding a reference we did not count. */
    return m_impl->connectHelper(existing);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, unsigned serial, unsigned char model)
{
    linkSpec* found = nullptr;
    if (serial != 0) {
        found = aDiscovery_FindModule(type, serial, config.networkInterface);
    } else {
        ModelSearch search{};
        search.spec.type = type;
        search.spec.model = model;
        /* cbModelCallback: the first module of the model (any when 0) ends the search. */
        aDiscovery_EnumerateModules(
            type,
            [](const linkSpec* candidate, bool* counted, void* reference) -> bool {
                auto* s = static_cast<ModelSearch*>(reference);
                const linkSpec& c = *candidate;
                if (s->spec.model != 0 && c.model != s->spec.model)
                    return true;
                s->spec = c;
                s->found = true;
                *counted = true;
                return false;
            },
            &search, config.networkInterface);
        if (search.found)
            found = aLinkSpec_Copy(search.spec);
    }
    if (found == nullptr)
        return aErrNotFound;
    aErr err = link->setLinkSpecifier(*found);
    aLinkSpec_Destroy(&found);
    if (err != aErrNone)
        return err;
    return link->connect();
}

aErr Link::discoverAndConnect(linkType type, unsigned serial, unsigned char model)
{
    aErr result = m_impl->discoveryAndConnectHelper(type, serial, model);
    if (!sFallbackHelper(result, type, m_impl->config.fallback))
        return result;
    const linkType next = isZEPHYL(type) ? USB : ZEPHYL;
    Log::log(Log::DEBUG_ObjectLink, "Executing Fallback - old type: %d - new type: %d\n", (int)type,
             (int)next);
    return m_impl->discoveryAndConnectHelper(next, serial, model);
}

bool Link::isConnected() const
{
    const aLinkId id = m_impl->linkRef.load();
    return id != 0 && aLink_GetStatus(id) == linkRunning;
}

aLinkState Link::getStatus() const
{
    const aLinkId id = m_impl->linkRef.load();
    return id != 0 ? aLink_GetStatus(id) : linkError;
}

aErr Link::disconnect()
{
    /* Another user of the engine link would otherwise keep running our filter. */
    m_impl->stopStreaming();
    aLinkId id = m_impl->linkRef.exchange(0);
    if (id != 0)
        aLink_Destroy(&id);
    return aErrNone;
}

aErr Link::reset()
{
    const aLinkId id = m_impl->linkRef.load();
    if (id != 0)
        aLink_Reset(id);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable)
{
    return aLink_EnablePooledPackets(m_impl->linkRef.load(), enable);
}

aErr Link::waitForLink(unsigned limit)
{
    const aLinkId id = m_impl->linkRef.load();
    switch (getStatus()) {
    case linkStopped:
    case linkStarting:
    case linkSyncing:
        for (unsigned i = 0; i < limit && aLink_GetStatus(id) != linkRunning; ++i)
            aTime_MSSleep(kConnectWaitStepMs);
        return aLink_GetStatus(id) == linkRunning ? aErrNone : aErrConnection;
    case linkRunning:
        return aErrNone;
    case linkStopping:
        return aErrBusy;
    case linkNoStream:
    case linkIOError:
    case linkError:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

/* Packet log. ------------------------------------------------------------ */

aErr Link::enablePacketLog(const char* path)
{
    const aLinkId id = m_impl->linkRef.load();
    if (id == 0)
        return aErrConfiguration;
    aErr err = aLink_PacketDebug_Enable(id);
    if (err != aErrNone)
        return err;
    if (m_impl->logger == nullptr) {
        uint32_t loggerId;
        {
            std::lock_guard<std::mutex> lock(sLoggerRegistryMutex);
            loggerId = sNextLoggerId++;
            sLoggerRegistry()[loggerId] = m_impl.get();
        }
        m_impl->logger = aLogger_Create(loggerId, readDebugBuffer, path);
        if (m_impl->logger == nullptr) {
            std::lock_guard<std::mutex> lock(sLoggerRegistryMutex);
            sLoggerRegistry().erase(loggerId);
            return aErrResource;
        }
        m_impl->loggerId = loggerId;
    }
    err = aLogger_Enable(m_impl->logger);
    if (err == aErrNone) {
        static const uint8_t start[] = "START";
        aLink_PacketDebug_Write(id, kLogTextDirection, sizeof start, start);
    }
    return err;
}

aErr Link::disablePacketLog()
{
    const aLinkId id = m_impl->linkRef.load();
    if (id == 0)
        return aErrConfiguration;
    aLink_PacketDebug_Disable(id);
    if (m_impl->logger == nullptr)
        return aErrNotReady;
    return aLogger_Disable(m_impl->logger);
}

} // namespace Tarnix
} // namespace Velorn
