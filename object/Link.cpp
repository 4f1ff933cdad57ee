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
    /* A debugging aid: what the file refuses is lost, and the logger goes on. */
    (void)aFile_Printf(file, "%d %s ", (int)length, direction == aLINK_LOG_SENT ? ">" : "<");
    for (size_t i = 0; i < length; ++i) {
        if (direction == kLogTextDirection)
            (void)aFile_Printf(file, "%c", bytes[i]);
        else
            (void)aFile_Printf(file, "0x%X ", bytes[i]);
    }
    (void)aFile_Printf(file, "\r\n");
}

/* Whether discoverAndConnect tries the other kind of link: after the module
 * was not found (or could not be read), or its link could not be made. */
bool sFallbackHelper(aErr result, bool creationFailed, linkType type, uint8_t fallback)
{
    if (!creationFailed && result != aErrNotFound && result != aErrPermission &&
        result != aErrInitialization && result != aErrConnection)
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
        (void)aLinkSpec_Destroy(&spec); /* ours: cannot fail */
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
        (void)aLogger_Destroy(&m_impl->logger); /* teardown: the logger thread is ours and ends with it */
        std::lock_guard<std::mutex> lock(sLoggerRegistryMutex);
        sLoggerRegistry().erase(m_impl->loggerId);
    }
    (void)disconnect(); /* teardown: always succeeds */
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
        (void)aLinkSpec_Destroy(&m_impl->spec); /* null or ours: nothing to tell */
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

aErr Link::impl::serveHelper(aLinkId* created)
{
    Log::log(Log::DEBUG_ObjectLink, "Creating Server: real_link id: %d\n", (int)*created);
    uint16_t port = config.assignedPort;
    uint32_t interfaceAddress = config.networkInterface;
    aLinkId client = 0;
    aErr err = aLink_OpenServer(*created, &port, &interfaceAddress, config.localOnly != 0, &client);
    config.assignedPort = port;
    config.networkInterface = interfaceAddress;
    Log::log(Log::DEBUG_ObjectLink, "Creating Server: m_link id: %d\n", (int)client);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_ObjectLink, "Failed to create server");
        (void)aLink_Destroy(created); /* already failing: the server's reason is reported */
        return err;
    }
    *created = client;
    return aErrNone;
}

aErr Link::impl::linkCreateHelper(const linkSpec& linkSpecifier, aLinkId existing)
{
    std::lock_guard<std::mutex> lock(linkCreateHelperSerializer);
    aLinkId created = 0;
    aErr err = aErrNone;
    switch (linkSpecifier.type) {
    case USB:
        err = aLink_OpenUSB(linkSpecifier.serial_num, &created);
        break;
    case TCPIP:
        err = aLink_OpenTCPIP(linkSpecifier.serial_num, linkSpecifier.ip_address, linkSpecifier.ip_port,
                              &created);
        break;
    case SERIAL: {
        char port[aLINKSPEC_PORT_NAME_SIZE + 1];
        memcpy(port, linkSpecifier.port_name, aLINKSPEC_PORT_NAME_SIZE);
        port[aLINKSPEC_PORT_NAME_SIZE] = '\0'; /* a specifier from outside may lack its NUL */
        err = aLink_OpenSerial(linkSpecifier.serial_num, port, linkSpecifier.baud_rate, &created);
        break;
    }
    case ZEPHYL:
    case ZEPHYL_USB:
    case ZEPHYL_TCPIP:
    case ZEPHYL_SERIAL:
        if (!config.enabled)
            return aErrConfiguration;
        err = aLink_OpenClient(linkSpecifier.ip_address, linkSpecifier.ip_port, existing, &created);
        break;
    default:
        return aErrMode;
    }
    if (err == aErrNone && !isZEPHYL(linkSpecifier.type) && config.enabled)
        err = serveHelper(&created);
    if (err != aErrNone) {
        creationFailed = true;
        return err;
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

/* The first module of the model (any when 0); aErrPermission when none was
 * found on USB while the system refused to open a Tarnix device. */
static aErr sFindModel(linkType type, unsigned char model, uint32_t interfaceAddress, linkSpec** found)
{
    ModelSearch search{};
    search.spec.type = type;
    search.spec.model = model;
    auto firstOfModel = [](const linkSpec* candidate, bool* counted, void* reference) -> bool {
        auto* s = static_cast<ModelSearch*>(reference);
        const linkSpec& c = *candidate;
        if (s->spec.model != 0 && c.model != s->spec.model)
            return true;
        s->spec = c;
        s->found = true;
        *counted = true;
        return false;
    };
    aDiscoveryUSBReport report{};
    if (type == USB)
        aDiscovery_EnumerateUSBModules(firstOfModel, &search, &report);
    else
        aDiscovery_EnumerateModules(type, firstOfModel, &search, interfaceAddress);
    if (!search.found)
        return report.denied > 0 ? aErrPermission : aErrNotFound;
    *found = aLinkSpec_Copy(search.spec);
    return *found != nullptr ? aErrNone : aErrMemory;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, unsigned serial, unsigned char model)
{
    linkSpec* found = nullptr;
    aErr err = serial != 0 ? aDiscovery_LocateModule(type, serial, config.networkInterface, &found)
                           : sFindModel(type, model, config.networkInterface, &found);
    if (err != aErrNone)
        return err;
    err = link->setLinkSpecifier(*found);
    (void)aLinkSpec_Destroy(&found); /* ours: cannot fail */
    if (err != aErrNone)
        return err;
    return link->connect();
}

aErr Link::discoverAndConnect(linkType type, unsigned serial, unsigned char model)
{
    m_impl->creationFailed = false;
    aErr result = m_impl->discoveryAndConnectHelper(type, serial, model);
    if (!sFallbackHelper(result, m_impl->creationFailed, type, m_impl->config.fallback))
        return result;
    const linkType next = isZEPHYL(type) ? USB : ZEPHYL;
    Log::log(Log::DEBUG_ObjectLink, "Executing Fallback - old type: %d - new type: %d\n", (int)type, (int)next);
    aErr second = m_impl->discoveryAndConnectHelper(next, serial, model);
    /* Nothing on the other side either: a refused device explains more. */
    return second == aErrNotFound && result == aErrPermission ? result : second;
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
        (void)aLink_Destroy(&id); /* a link gone already has nothing to release */
    return aErrNone;
}

aErr Link::reset()
{
    const aLinkId id = m_impl->linkRef.load();
    return id != 0 ? aLink_Reset(id) : aErrNone;
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
        (void)aLink_PacketDebug_Write(id, kLogTextDirection, sizeof start, start); /* a marker in the debug log only */
    }
    return err;
}

aErr Link::disablePacketLog()
{
    const aLinkId id = m_impl->linkRef.load();
    if (id == 0)
        return aErrConfiguration;
    (void)aLink_PacketDebug_Disable(id); /* a link without a log has nothing to stop; the logger says the rest */
    if (m_impl->logger == nullptr)
        return aErrNotReady;
    return aLogger_Disable(m_impl->logger);
}

} // namespace Tarnix
} // namespace Velorn
