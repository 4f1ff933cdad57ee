// Drives tarnix-sim from tests: starts it on a configuration, finds its ports,
// and talks to a module with exact bytes over TCP.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"
#include "TempDir.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Generous bound for anything the simulator should answer.
constexpr auto kReplyWait = 5000ms;

inline std::string Hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (uint8_t x : b) {
        std::snprintf(t, sizeof t, "%02X ", x);
        s += t;
    }
    return s;
}

// The bench most tests talk to: a routing module on TCP/IP at address 4
// (serial 1234ABCD, model 17, version 2.15.3, build 4321), then `extra` lines.
inline std::string BenchModule(const std::string& name, const std::string& extra = "") {
    return "[module " + name + "]\nserial = 0x1234ABCD\nmodel = 17\naddress = 4\nversion = 2.15.3\nbuild = 4321\n" +
           extra;
}

// The module behind that bench's I2C bus at 0x10 (serial 0000BEEF, model 13,
// version 1.2.3), then `extra` lines.
inline std::string ChildModule(const std::string& name, const std::string& router, const std::string& extra = "") {
    return "[module " + name + "]\nrouter = " + router +
           "\ni2c_address = 0x10\nserial = 0x0000BEEF\nmodel = 13\nversion = 1.2.3\n" + extra;
}

// One simulator process with its configuration, state and log in a temporary directory.
class Sim {
public:
    explicit Sim(const std::string& config, std::vector<std::string> extra = {}, const std::string& stateDir = "") {
        testsupport::WriteFile(dir_ / "sim.ini", config);
        state_ = stateDir.empty() ? dir_ / "state" : stateDir;
        std::vector<std::string> argv{TARNIX_SIM_BIN, "--state", state_, "--log", dir_ / "sim.log", "--trace"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(dir_ / "sim.ini");
        process_ = std::make_unique<testsupport::Background>(argv);
        ready_ = !process_->WaitForLine("READY", 20000ms).empty();
        std::istringstream out(process_->output());
        std::string word, name, kind, where;
        while (out >> word) {
            if (word == "module" && out >> name >> kind >> where) {
                if (kind == "tcp") ports_[name] = static_cast<uint16_t>(std::stoi(where.substr(where.rfind(':') + 1)));
                else if (kind == "lpc-isp") isps_[name] = where;
                else ptys_[name] = where;
            } else if (word == "env" && out >> where) {
                const size_t eq = where.find('=');
                if (eq != std::string::npos) env_[where.substr(0, eq)] = where.substr(eq + 1);
            } else if (word == "control" && out >> where) {
                control_ = static_cast<uint16_t>(std::stoi(where.substr(where.rfind(':') + 1)));
            }
        }
    }
    bool ready() const { return ready_; }
    uint16_t port(const std::string& module) const { return ports_.at(module); }
    const std::string& pty(const std::string& module) const { return ptys_.at(module); }
    // The terminal of a module's LPC boot ROM.
    const std::string& isp(const std::string& module) const { return isps_.at(module); }
    // The USB test bed's variables (empty without one).
    const std::map<std::string, std::string>& env() const { return env_; }
    const std::string& state() const { return state_; }
    std::string log() const { return testsupport::ReadFile(dir_ / "sim.log"); }
    int stop(int signal = SIGTERM) { return process_->Stop(signal); }
    const testsupport::TempDir& dir() const { return dir_; }

    // Sends one control line and returns the answer line.
    std::string control(const std::string& line) const;

    // Waits until the log holds `text` (true) or the bound passes (false).
    bool waitForLog(const std::string& text, std::chrono::milliseconds bound = kReplyWait) const {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            if (log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

private:
    testsupport::TempDir dir_;
    std::string state_;
    std::unique_ptr<testsupport::Background> process_;
    bool ready_ = false;
    std::map<std::string, uint16_t> ports_;
    std::map<std::string, std::string> ptys_;
    std::map<std::string, std::string> isps_;
    std::map<std::string, std::string> env_;
    uint16_t control_ = 0;
};

// A TCP peer speaking raw packets (address, length, data).
class Peer {
public:
    Peer() = default;
    explicit Peer(uint16_t port) { connect(port); }
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connect(uint16_t port) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close();
            return false;
        }
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    // Retries until the port accepts again (a module coming back from a reboot).
    bool connectWithin(uint16_t port, std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            if (connect(port)) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }
    bool connected() const { return fd_ >= 0; }

    void sendRaw(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Sends one packet: address, length, data.
    void send(uint8_t address, const Bytes& data) {
        Bytes b{address, static_cast<uint8_t>(data.size())};
        b.insert(b.end(), data.begin(), data.end());
        sendRaw(b);
    }

    // The next packet (address byte first, then the data bytes; the length
    // byte is checked and left out). Heartbeats are skipped unless asked for.
    std::optional<Bytes> next(std::chrono::milliseconds bound = kReplyWait, bool keepHeartbeats = false) {
        const auto end = std::chrono::steady_clock::now() + bound;
        for (;;) {
            if (buffer_.size() >= 2 && buffer_.size() >= size_t(buffer_[1]) + 2) {
                Bytes p{buffer_[0]};
                p.insert(p.end(), buffer_.begin() + 2, buffer_.begin() + 2 + buffer_[1]);
                buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + buffer_[1]);
                if (!keepHeartbeats && p.size() == 3 && p[1] == 0) continue;
                return p;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || fd_ < 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t b[4096];
            ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            buffer_.insert(buffer_.end(), b, b + n);
        }
    }
    // Sends a request and returns the next packet.
    std::optional<Bytes> ask(uint8_t address, const Bytes& data) {
        send(address, data);
        return next();
    }
    // True when the simulator closes the connection within the bound.
    bool closedWithin(std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (!closed_ && std::chrono::steady_clock::now() < end) next(50ms, true);
        return closed_;
    }

private:
    int fd_ = -1;
    Bytes buffer_;
    bool closed_ = false;
};

inline std::string Sim::control(const std::string& line) const {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(control_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return "connect failed";
    }
    std::string l = line + "\n";
    ::send(fd, l.data(), l.size(), MSG_NOSIGNAL);
    std::string answer;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 5000) > 0 && ::recv(fd, &c, 1, 0) == 1 && c != '\n') answer += c;
    ::close(fd);
    return answer;
}

// Packet helpers: a UEI get and set of the system entity at index 0.
inline Bytes Get(uint8_t command, uint8_t option) { return {command, static_cast<uint8_t>(option | 0x40), 0x20}; }
inline Bytes Set(uint8_t command, uint8_t option, const Bytes& value) {
    Bytes b{command, static_cast<uint8_t>(option | 0x80), 0x20};
    b.insert(b.end(), value.begin(), value.end());
    return b;
}
inline Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace simtest
