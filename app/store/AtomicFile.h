// Replacing a file as a whole: the bytes go to a hidden temporary file in the
// same directory, which is flushed to disk and then renamed over the target,
// so a reader (or a crash, or a full disk) never leaves a half-written file.
// Only a plain regular file with one name is replaced that way. A symbolic
// link is followed to its target; a target that is no regular file (a device,
// a FIFO, a terminal) and a hard-linked file are written in place, as an
// ordinary write would, so neither the device nor the other names are lost.
// Called from any thread; nothing is kept between calls.
#pragma once

#include <cstddef>
#include <string>

#include "aError.h"

struct AtomicWriteResult {
    aErr error = aErrNone; // aErrNotFound: path not writable (a directory, no
                           // permission, a FIFO nobody reads) or no temporary file;
                           // aErrIO: reserve, write, sync or rename failed
    int systemError = 0;   // errno of the failing call
};

AtomicWriteResult ReplaceFileAtomically(const std::string& path, const void* bytes, size_t length);

// The same replacement for bytes that arrive in pieces: they go to a hidden
// temporary file beside the target as they come, and only Commit() puts them
// in place. A writer dropped without Commit() (or whose Commit() failed)
// removes its temporary and leaves the target as it was. Errors are sticky:
// after a failed Write() nothing more is written and Commit() reports it.
// One thread at a time; not copyable.
class AtomicFileWriter {
public:
    // Makes the temporary; a failure to make it is kept for Commit()
    // (aErrNotFound with errno), as ReplaceFileAtomically reports it.
    explicit AtomicFileWriter(const std::string& path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // False once anything failed (a full disk, a file too large).
    bool Write(const void* bytes, size_t length);
    // One fsync of the temporary, then the rename (or, for a target that is
    // replaced in place, a copy into it); the outcome of the whole write.
    AtomicWriteResult Commit();

private:
    void Discard();
    std::string path_, temporary_;
    int fd_ = -1;
    AtomicWriteResult failure_;
    unsigned long long written_ = 0, flushedTo_ = 0;
};
