// A stand-in for a module at the far end of a link: listens on a loopback TCP
// port (raw packet bytes) or sits on the master side of a pseudo-terminal
// (COBS frames with CRC-8). It answers synchronisation requests, echoes
// requests, answers the model query, records everything it receives and can
// misbehave on demand.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linktest {

struct WirePacket {
    uint8_t address = 0;
    std::vector<uint8_t> data;
    bool operator==(const WirePacket& other) const
    {
        return address == other.address && data == other.data;
    }
};

class FakeModule {
public:
    enum class Transport { Tcp, Pty };

    // address: the module's own (even) address.
    FakeModule(Transport transport, uint8_t address = 4, uint8_t model = 19);
    ~FakeModule();
    FakeModule(const FakeModule&) = delete;
    FakeModule& operator=(const FakeModule&) = delete;

    uint16_t port() const { return port_; }               // TCP
    uint32_t addressNetworkOrder() const;                 // 127.0.0.1
    const std::string& ptyName() const { return ptyName_; } // pty

    // Behaviour switches.
    void setSilent(bool silent);   // answer nothing
    void setEcho(bool echo);       // echo requests back (on by default)
    // The next synchronisation request is answered with these raw bytes
    // instead of (address, 0); later requests are answered normally.
    void scriptSyncAnswer(std::vector<uint8_t> bytes);

    // Sending (from any thread).
    void sendPacket(uint8_t address, std::vector<uint8_t> data);
    void sendRaw(std::vector<uint8_t> bytes);                 // bytes as they are, no framing
    void sendFrameWithBadCrc(uint8_t address, std::vector<uint8_t> data); // pty only
    void sendHeartbeat(uint8_t value) { sendPacket(address_, {0, value}); }
    void dropConnection();         // TCP: close the current connection (waits until closed)

    // Observation.
    std::vector<WirePacket> received() const;
    size_t countReceived(const std::function<bool(const WirePacket&)>& match) const;
    // Waits until at least `count` received packets match; false on time-out.
    bool waitFor(const std::function<bool(const WirePacket&)>& match, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    size_t total() const;          // packets received so far
    bool waitForTotal(size_t count, std::chrono::milliseconds timeout) const;
    void setRecording(bool on);    // off: count packets without keeping them
    int connections() const;       // TCP connections accepted so far
    bool waitForConnections(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void clearReceived();

    uint8_t address() const { return address_; }

private:
    void run();
    void handleBytes(const uint8_t* bytes, size_t length);
    void handlePacket(const WirePacket& packet);
    void queueOut(std::vector<uint8_t> bytes);
    std::vector<uint8_t> frame(const WirePacket& packet) const;
    void flushOut(int fd);
    void wake();

    Transport transport_;
    uint8_t address_;
    uint8_t model_;
    uint16_t port_ = 0;
    std::string ptyName_;
    int listenFd_ = -1;
    int connFd_ = -1;
    int ptyMaster_ = -1;
    int ptySlave_ = -1;
    int wakePipe_[2] = {-1, -1};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<WirePacket> received_;
    std::deque<std::vector<uint8_t>> scripted_;
    std::vector<uint8_t> out_;
    bool silent_ = false;
    bool echo_ = true;
    bool recording_ = true;
    size_t total_ = 0;
    bool stop_ = false;
    bool dropRequested_ = false;
    int connections_ = 0;
    int drops_ = 0;

    // Receive state (peer thread only).
    std::vector<uint8_t> rx_;
    std::thread thread_;
};

// Packet filters for tests.
bool IsSyncRequest(const WirePacket& p);
bool IsRoute(const WirePacket& p, uint8_t on);

} // namespace linktest
