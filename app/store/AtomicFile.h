// Replacing a file as a whole: the bytes go to a hidden temporary file in the
// same directory, which is flushed to disk and then renamed over the target,
// so a reader (or a crash, or a full disk) never leaves a half-written file.
#pragma once

#include <cstddef>
#include <string>

#include "aError.h"

struct AtomicWriteResult {
    aErr error = aErrNone; // aErrNotFound: path not writable or no temporary file;
                           // aErrIO: write, sync or rename failed
    int systemError = 0;   // errno of the failing call
};

AtomicWriteResult ReplaceFileAtomically(const std::string& path, const void* bytes, size_t length);
