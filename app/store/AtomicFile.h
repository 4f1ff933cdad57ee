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
