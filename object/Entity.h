/* Entities of a module: an entity class has a command code, each instance an
 * index, each operation an option code. EntityClass binds command and index to
 * a Module and turns get, set and call operations into UEI exchanges over the
 * module's Link, at the module's current address.
 *
 * Threads: one thread at a time per object. Errors: aErrResource when the
 * entity has no module or the module no link (never init-ed), aErrParam for a
 * null output, else the link's errors (aErrConnection, aErrTimeout, ...) or the
 * module's own code from an error reply. Nothing is thrown. */
#ifndef VELORN_TARNIX_ENTITY_H
#define VELORN_TARNIX_ENTITY_H

#include <cstddef>
#include <memory>

#include "Link.h"
#include "Module.h"

namespace Velorn {
namespace Tarnix {

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, unsigned char command, unsigned char index);
    unsigned char getIndex() const;

    /* Raw packets to the module (Link::sendPacket / receivePacket). */
    aErr sendPacket(unsigned char command, unsigned char length, const unsigned char* data);
    aErr receivePacket(const unsigned char* match, unsigned char* length, unsigned char* out);
    /* Link::drainPackets: queued packets for this match thrown away; the count. */
    size_t drainPackets(const unsigned char* match, unsigned char length);

    /* The general exchanges; *u carries the type and value in and the value out. */
    aErr getUEI(unsigned char option, uei* u);
    aErr setUEI(unsigned char option, uei* u);
    aErr setUEI(unsigned char option, unsigned char subindex, uei* u);

    aErr callUEI(unsigned char option);
    aErr setUEI8(unsigned char option, unsigned char value);
    aErr setUEI16(unsigned char option, unsigned short value);
    aErr setUEI32(unsigned char option, unsigned value);
    aErr setUEI8(unsigned char option, unsigned char subindex, unsigned char value);
    aErr setUEI16(unsigned char option, unsigned char subindex, unsigned short value);
    aErr setUEI32(unsigned char option, unsigned char subindex, unsigned value);
    aErr setUEIBytes(unsigned char option, const unsigned char* data, size_t length);
    /* The value is delivered with aErrNone and with aErrStreamStale (read before). */
    aErr getUEI8(unsigned char option, unsigned char* value);
    aErr getUEI16(unsigned char option, unsigned short* value);
    aErr getUEI32(unsigned char option, unsigned* value);
    aErr getUEI8(unsigned char option, unsigned char subindex, unsigned char* value);
    aErr getUEI16(unsigned char option, unsigned char subindex, unsigned short* value);
    aErr getUEI32(unsigned char option, unsigned char subindex, unsigned* value);
    /* Reads a byte sequence: aErrMemory when more came than length (the bytes
     * that fitted are in buffer and counted). */
    aErr getUEIBytes(unsigned char option, unsigned char* buffer, size_t length, size_t* count);
    /* Bytes to elements of unit bytes: aErrMemory when not a whole number. */
    aErr getUEIBytesCheck(size_t* count, size_t unit);
    static unsigned char getUEIBytesSequence(const aPacket* packet);
    static bool getUEIBytesContinue(const aPacket* packet);
    /* Waits 1000 ms for a 32-bit UEI nobody requested; the last argument has no effect. */
    aErr awaitUEI32Val(unsigned char option, unsigned* value, unsigned unused = 0);
    aErr drainUEI(unsigned char option);

    /* Streaming of this entity (option 255: every option), a callback for one
     * option, and the values streamed for this entity so far (Link's
     * registerStreamCallback and getStreamStatus). */
    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(unsigned char option, bool enable, Link::streamCallback callback,
                                void* context);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

protected:
    Link* link() const;
    unsigned char address() const;

private:
    aErr getUEIValue(unsigned char option, unsigned char subindex, bool subindexed, unsigned* value);
    aErr storeOperation(unsigned char option);

    struct impl;
    std::unique_ptr<impl> m_impl;
};

} // namespace Tarnix
} // namespace Velorn

#endif
