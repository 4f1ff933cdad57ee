// Bodies of the discovery fuzz harnesses, shared with the suite's seed replay.
#pragma once

#include <cstddef>
#include <cstdint>

// The input as one Ethernet discovery reply; aborts when what is accepted
// does not say exactly what the bytes say.
void FuzzDiscoveryEthernetReply(const uint8_t* data, size_t size);

// The input as a run of networked-link announcements (loopback multicast
// answers or beacons), each a length byte then that many bytes (a last frame
// takes what is left), through the parser and one search's seen list; aborts
// when a bad record is accepted or one is reported twice.
void FuzzDiscoveryAnnouncements(const uint8_t* data, size_t size);
