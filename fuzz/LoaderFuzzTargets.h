// Bodies of the boot-ROM answer fuzzers, shared with the test that replays
// their seeds in the normal suite.
#pragma once

#include <cstddef>
#include <cstdint>

// Feeds the input to the LPC ISP client as everything the chip says, through
// a synchronisation and each command that parses an answer. A 0xFE byte in
// the input is a pause on the line (the read finds nothing ready once).
void FuzzIspAnswers(const uint8_t* data, size_t size);

// Decodes the input as SDP answers of both transports, and feeds it to the
// SDP client as the ROM's answers to a fingerprint read and a loader write.
void FuzzSdpAnswers(const uint8_t* data, size_t size);
