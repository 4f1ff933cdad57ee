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
