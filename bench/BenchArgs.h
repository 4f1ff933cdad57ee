// The command line of a benchmark program: the names of the parts to run.
#pragma once

#include <cstring>

// True when the part `what` is to run: every part runs when none is named.
inline bool Wanted(int argc, char** argv, const char* what)
{
    if (argc < 2)
        return true;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], what) == 0)
            return true;
    return false;
}

#include <cstdio>
#include <cstdlib>

#include "aError.h"

// A benchmark's figures mean nothing once a call failed: say which and stop.
inline void Must(aErr err, const char* what)
{
    if (err == aErrNone)
        return;
    fprintf(stderr, "benchmark stopped: %s failed (%s)\n", what, aError_GetErrorText(err));
    exit(1);
}
