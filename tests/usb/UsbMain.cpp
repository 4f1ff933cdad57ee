// The tests talk to virtual devices through umockdev's preload library, which
// must be loaded when the process starts: start over under it if it is not
// (after the sanitizer runtime, which must stay first).
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Mapped(const char* name)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos && line.find(name, line.rfind('/')) != std::string::npos)
            return line.substr(slash);
    }
    return "";
}

} // namespace

int main(int argc, char** argv)
{
    if (Mapped("libumockdev-preload").empty() && getenv("USB_TESTS_REEXEC") == nullptr) {
        const std::string asan = Mapped("libasan.so");
        const std::string preload = (asan.empty() ? "" : asan + ":") + "libumockdev-preload.so.0";
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("USB_TESTS_REEXEC", "1", 1);
        execv("/proc/self/exe", argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
