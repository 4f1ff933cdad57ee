// Starts a boot-ROM simulator and waits for its terminal.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"

struct BootRomSim {
    explicit BootRomSim(std::vector<std::string> argv) {
        process = std::make_unique<testsupport::Background>(argv);
        const std::string line = process->WaitForLine("pty ", std::chrono::seconds(10));
        if (line.size() > 4 && !process->WaitForLine("READY", std::chrono::seconds(10)).empty())
            pty = line.substr(4);
    }
    // The line of standard output containing `text`, waited for a bounded time.
    std::string WaitFor(const std::string& text) {
        return process->WaitForLine(text, std::chrono::seconds(10));
    }
    std::unique_ptr<testsupport::Background> process;
    std::string pty; // empty when the simulator did not come up
};

inline std::vector<unsigned char> TestImage(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (unsigned char)((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return v;
}
