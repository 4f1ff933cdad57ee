// Programs that talk to virtual USB devices through umockdev's preload
// library need it loaded when the process starts (after the sanitizer
// runtime, which must stay first): they start over under it. Header-only, so
// that benchmarks use it without the test libraries.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace testsupport {

// The path of the library mapped into this process whose file name contains
// `name`, or "" when none is.
inline std::string MappedLibrary(const char* name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos && line.find(name, line.rfind('/')) != std::string::npos)
            return line.substr(slash);
    }
    return "";
}

inline bool UnderUmockdevPreload() { return !MappedLibrary("libumockdev-preload").empty(); }

// Starts this program again with the same arguments under the preload,
// unless it already runs under it or `marker` is set (the restarted process
// sets it, so a preload that fails to load cannot loop). Returns when it does
// not restart.
inline void RestartUnderUmockdevPreload(char** argv, const char* marker) {
    if (UnderUmockdevPreload() || getenv(marker) != nullptr) return;
    const std::string asan = MappedLibrary("libasan.so");
    setenv("LD_PRELOAD", ((asan.empty() ? "" : asan + ":") + "libumockdev-preload.so.0").c_str(), 1);
    setenv(marker, "1", 1);
    execv("/proc/self/exe", argv);
}

} // namespace testsupport
