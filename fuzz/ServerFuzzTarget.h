// The body of the server frame fuzzer, shared with the test that replays its seeds.
#pragma once

#include <cstddef>
#include <cstdint>

// Splits the input into frames (selector byte, length byte, bytes) and feeds
// them to the server's router as client frames from one of four clients or as
// sync-worker frames, and the same frames as requests and module packets to
// the exchanges with the module; aborts when a bound or a routing invariant
// breaks.
void FuzzServerFrames(const uint8_t* data, size_t size);
