// Small helpers shared by the link tests.
#pragma once

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "aLink.h"

namespace linktest {

// Polls a condition until it holds or the (generous) bound passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds bound = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline bool WaitForStatus(aLinkId id, aLinkState state)
{
    return WaitUntil([&] { return aLink_GetStatus(id) == state; });
}

// Selects packets from an address whose data start with the given bytes.
struct Match {
    uint8_t address;
    std::vector<uint8_t> prefix;
};
inline bool MatchFilter(const aPacket* p, void* reference)
{
    auto* m = static_cast<Match*>(reference);
    if (p->address != m->address || p->dataSize < m->prefix.size())
        return false;
    for (size_t i = 0; i < m->prefix.size(); ++i)
        if (p->data[i] != m->prefix[i])
            return false;
    return true;
}

// Counts the received packets the match selects, leaving them queued.
struct CountingMatch {
    Match* match;
    size_t count = 0;
};
inline bool CountWithoutTaking(const aPacket* p, void* reference)
{
    auto* counting = static_cast<CountingMatch*>(reference);
    counting->count += MatchFilter(p, counting->match) ? 1 : 0;
    return false;
}
inline size_t CountQueued(aLinkId id, Match& match)
{
    CountingMatch counting{&match};
    aLink_DrainPackets(id, CountWithoutTaking, &counting);
    return counting.count;
}

// A forced synchronisation waits a fixed two seconds for the module; a loaded
// machine may need more than one try.
inline bool SyncSucceeds(aLinkId id, int attempts = 5)
{
    for (int i = 0; i < attempts; ++i)
        if (aLink_Sync(id) == aErrNone)
            return true;
    return false;
}

inline aErr PutPacket(aLinkId id, uint8_t address, const std::vector<uint8_t>& data)
{
    uint8_t none = 0;
    aPacket* p = aPacket_CreateWithData(address, (uint8_t)data.size(), data.empty() ? &none : data.data());
    aErr err = aLink_PutPacket(id, p);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    return err;
}

// Sends a request and waits for its echo, retrying while the link recovers
// (a waiting reader returns at once while the link is not running).
inline bool EchoWorks(aLinkId id, uint8_t address, uint8_t tag,
                      std::chrono::milliseconds bound = std::chrono::seconds(20))
{
    Match m{address, {0x30, tag}};
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (aLink_GetStatus(id) == linkRunning) {
            (void)PutPacket(id, address, {0x30, tag, 1, 2, 3}); /* the link may be recovering: the echo below tells */
            aPacket* reply = aLink_AwaitFirst(id, MatchFilter, &m, 500);
            if (reply != nullptr) {
                EXPECT_EQ(aErrNone, aPacket_Destroy(&reply));
                return true;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return false;
}

} // namespace linktest
