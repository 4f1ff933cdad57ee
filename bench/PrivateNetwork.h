// Benchmarks that discover modules multicast: they run only inside a private
// network namespace, which scripts/netns-run.sh makes and marks.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// True inside the namespace netns-run.sh made (its mark names this very namespace).
inline bool InPrivateNamespace()
{
    char self[128] = {};
    const char* marked = std::getenv("TARNIX_PRIVATE_NETNS");
    return readlink("/proc/self/ns/net", self, sizeof self - 1) > 0 && marked && std::strcmp(marked, self) == 0;
}

// Runs this program again through `netnsRun` (the script's path) unless it is
// inside the private namespace already; returns only then. Exits 1 when the
// script cannot be started.
inline void EnterPrivateNamespace(const char* netnsRun, int argc, char** argv)
{
    if (InPrivateNamespace())
        return;
    std::vector<char*> args{const_cast<char*>(netnsRun)};
    for (int i = 0; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(netnsRun, args.data());
    std::perror(netnsRun);
    std::exit(1);
}
