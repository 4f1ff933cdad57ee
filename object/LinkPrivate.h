/* The private record of a Link, shared by the Link's source files only. */
#ifndef VELORN_TARNIX_LINKPRIVATE_H
#define VELORN_TARNIX_LINKPRIVATE_H

#include <stdarg.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "Link.h"
#include "aPacketLog.h"

namespace Velorn {
namespace Tarnix {

/* The link waits up to 200 steps of 10 ms for a new engine link to run. */
constexpr unsigned kConnectWaitSteps = 200;
constexpr uint32_t kConnectWaitStepMs = 10;
constexpr uint32_t kReplyTimeoutMs = 1000;
/* Direction of the text records the object itself adds to the packet log. */
constexpr uint8_t kLogTextDirection = 3;

/* One streamed value (filled by streaming). */
struct StreamEntry {
    uint32_t value = 0;
    bool fresh = false;
};

/* Key of the stream table: module 24-31, command 16-23, option 8-15, index
 * 0-7, subindex 32-39. */
inline uint64_t StreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex)
{
    return ((uint64_t)subindex << 32) | ((uint64_t)module << 24) | ((uint64_t)command << 16) |
           ((uint64_t)option << 8) | index;
}

struct Link::impl {
    impl(Link* owner, const char* name);
    ~impl();

    aErr linkCreateHelper(const linkSpec& spec, aLinkId existing);
    aErr connectHelper(aLinkId existing);
    aErr discoveryAndConnectHelper(linkType type, unsigned serial, unsigned char model);

    Link* link;                     /* owner */
    std::atomic<aLinkId> linkRef{0}; /* read by the packet logger's thread */
    aLogger* logger = nullptr;
    uint32_t loggerId = 0;
    ZephylConfig config;
    std::map<uint64_t, StreamEntry> streams;
    std::mutex streamMutex;
    std::unique_ptr<char[]> name;
    linkSpec* spec = nullptr;
};

/* Prints a debug line when the debug switch and the given mask bit are on. */
void DebugPrint(uint32_t bit, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace Tarnix
} // namespace Velorn

#endif
