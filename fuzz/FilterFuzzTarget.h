// The body of the packet-filter fuzz harness, shared with the test that
// replays its seeds in the normal suite.
#pragma once

#include <cstddef>
#include <cstdint>

// Runs the object model's reply filters over packets made from the input
// (byte 0 picks the filter, bytes 1-6 its reference record, then packets as
// address, size, data) and aborts when a filter writes outside its buffer or
// miscounts what it took.
void FuzzObjectFilters(const uint8_t* data, size_t size);
