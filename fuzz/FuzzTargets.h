// The bodies of the fuzz harnesses, shared with the regression test that
// replays the seed corpus in the normal suite.
#pragma once

#include <cstddef>
#include <cstdint>

// Loads the input as a BIRD file, and again as the block area of a file with
// a good header and stream, exercising every query and in-memory patch on
// whatever loaded.
void FuzzBirdFileLoad(const uint8_t* data, size_t size);

// Loads the input as a settings file, saves it and loads the result again;
// aborts when the second load disagrees with the first.
void FuzzKeyValueStoreLoad(const uint8_t* data, size_t size);
