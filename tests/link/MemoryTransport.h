// An in-memory transport for streams under test: bytes queued by the test come
// out of get, and every write call is recorded whole.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <chrono>
#include <vector>

#include "aStream.h"

namespace linktest {

struct MemoryTransport {
    std::mutex mutex;
    std::condition_variable written;
    std::deque<uint8_t> input;
    std::vector<std::vector<uint8_t>> writes;
    bool deleted = false;
    // When set, the write call waits until the test releases it (holdWrites = false).
    bool holdWrites = false;
    bool inWrite = false;
    std::condition_variable released;

    void feed(const std::vector<uint8_t>& bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        input.insert(input.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::vector<uint8_t>> takeWrites()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::vector<uint8_t>> out;
        out.swap(writes);
        return out;
    }

    static aErr Get(uint8_t* byte, void* reference)
    {
        auto* self = static_cast<MemoryTransport*>(reference);
        std::unique_lock<std::mutex> lock(self->mutex);
        if (self->input.empty()) {
            // Like a real transport, wait a moment for a byte rather than spin.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return aErrNotReady;
        }
        *byte = self->input.front();
        self->input.pop_front();
        return aErrNone;
    }
    static aErr Write(const uint8_t* bytes, size_t length, void* reference)
    {
        auto* self = static_cast<MemoryTransport*>(reference);
        std::unique_lock<std::mutex> lock(self->mutex);
        self->inWrite = true;
        self->written.notify_all();
        self->released.wait(lock, [&] { return !self->holdWrites; });
        self->writes.emplace_back(bytes, bytes + length);
        self->inWrite = false;
        self->written.notify_all();
        return aErrNone;
    }
    static aErr Put(uint8_t byte, void* reference) { return Write(&byte, 1, reference); }
    // The transport outlives the stream in tests: delete only records the call.
    static aErr Delete(void* reference)
    {
        auto* self = static_cast<MemoryTransport*>(reference);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->deleted = true;
        return aErrNone;
    }

    aStream* makeStream() { return aStream_Create(Get, Put, Write, Delete, this); }
};

} // namespace linktest
