#include "FakeModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "aCOBS.h"

namespace linktest {

bool IsSyncRequest(const WirePacket& p)
{
    return p.address == 0xAD && p.data.empty();
}

bool IsRoute(const WirePacket& p, uint8_t on)
{
    return p.address == 0xAF && p.data.size() == 1 && p.data[0] == on;
}

FakeModule::FakeModule(Transport transport, uint8_t address, uint8_t model)
    : transport_(transport), address_(address), model_(model)
{
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("pipe");
    if (transport_ == Transport::Tcp) {
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (bind(listenFd_, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(listenFd_, 4) != 0)
            throw std::runtime_error("listen");
        socklen_t len = sizeof(addr);
        getsockname(listenFd_, (sockaddr*)&addr, &len);
        port_ = ntohs(addr.sin_port);
    } else {
        char name[256];
        if (openpty(&ptyMaster_, &ptySlave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        ptyName_ = name;
        termios t;
        tcgetattr(ptySlave_, &t);
        cfmakeraw(&t);
        tcsetattr(ptySlave_, TCSANOW, &t);
        tcgetattr(ptyMaster_, &t);
        cfmakeraw(&t);
        tcsetattr(ptyMaster_, TCSANOW, &t);
        fcntl(ptyMaster_, F_SETFL, fcntl(ptyMaster_, F_GETFL) | O_NONBLOCK);
    }
    thread_ = std::thread([this] { run(); });
}

FakeModule::~FakeModule()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake();
    thread_.join();
    for (int fd : {listenFd_, connFd_, ptyMaster_, ptySlave_, wakePipe_[0], wakePipe_[1]})
        if (fd >= 0)
            close(fd);
}

uint32_t FakeModule::addressNetworkOrder() const
{
    return htonl(INADDR_LOOPBACK);
}

void FakeModule::wake()
{
    char c = 1;
    (void)!write(wakePipe_[1], &c, 1);
}

void FakeModule::setSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

void FakeModule::setEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = echo;
}

void FakeModule::scriptSyncAnswer(std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    scripted_.push_back(std::move(bytes));
}

std::vector<uint8_t> FakeModule::frame(const WirePacket& packet) const
{
    std::vector<uint8_t> raw{packet.address, (uint8_t)packet.data.size()};
    raw.insert(raw.end(), packet.data.begin(), packet.data.end());
    if (transport_ == Transport::Tcp)
        return raw;
    raw.push_back(crc8_create(raw.data(), raw.size()));
    std::vector<uint8_t> encoded(aCOBS_MAX_ENCODED(raw.size()) + 1);
    size_t n = cobs_encode(raw.data(), raw.size(), encoded.data());
    encoded.resize(n);
    encoded.push_back(0);
    return encoded;
}

void FakeModule::queueOut(std::vector<uint8_t> bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }
    wake();
}

void FakeModule::sendPacket(uint8_t address, std::vector<uint8_t> data)
{
    queueOut(frame(WirePacket{address, std::move(data)}));
}

void FakeModule::sendRaw(std::vector<uint8_t> bytes)
{
    queueOut(std::move(bytes));
}

void FakeModule::sendFrameWithBadCrc(uint8_t address, std::vector<uint8_t> data)
{
    std::vector<uint8_t> raw{address, (uint8_t)data.size()};
    raw.insert(raw.end(), data.begin(), data.end());
    raw.push_back((uint8_t)(crc8_create(raw.data(), raw.size()) ^ 0x5A));
    std::vector<uint8_t> encoded(aCOBS_MAX_ENCODED(raw.size()) + 1);
    encoded.resize(cobs_encode(raw.data(), raw.size(), encoded.data()));
    encoded.push_back(0);
    queueOut(std::move(encoded));
}

void FakeModule::dropConnection()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const int drops = drops_;
    dropRequested_ = true;
    lock.unlock();
    wake();
    lock.lock();
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return drops_ > drops; });
}

std::vector<WirePacket> FakeModule::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t FakeModule::countReceived(const std::function<bool(const WirePacket&)>& match) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const WirePacket& p : received_)
        n += match(p) ? 1 : 0;
    return n;
}

bool FakeModule::waitFor(const std::function<bool(const WirePacket&)>& match, size_t count,
                         std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (const WirePacket& p : received_)
            n += match(p) ? 1 : 0;
        return n >= count;
    });
}

size_t FakeModule::total() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
}

bool FakeModule::waitForTotal(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return total_ >= count; });
}

void FakeModule::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = on;
}

int FakeModule::connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool FakeModule::waitForConnections(int count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

void FakeModule::clearReceived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

void FakeModule::handlePacket(const WirePacket& packet)
{
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        total_++;
        if (recording_)
            received_.push_back(packet);
        if (!silent_) {
            if (IsSyncRequest(packet)) {
                if (!scripted_.empty()) {
                    reply = scripted_.front();
                    scripted_.pop_front();
                } else {
                    reply = frame(WirePacket{address_, {}});
                }
            } else if (packet.address == address_ && packet.data == std::vector<uint8_t>{3, 0x48, 0x20}) {
                reply = frame(WirePacket{address_, {3, 0x48, 0x20, model_}});
            } else if (echo_ && packet.address == address_ &&
                       !(packet.data.size() == 2 && packet.data[0] == 0)) {
                reply = frame(packet);
            }
        }
        out_.insert(out_.end(), reply.begin(), reply.end());
    }
    changed_.notify_all();
}

void FakeModule::handleBytes(const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (transport_ == Transport::Tcp) {
            rx_.push_back(b);
            if (rx_.size() >= 2 && rx_.size() == (size_t)rx_[1] + 2) {
                handlePacket(WirePacket{rx_[0], std::vector<uint8_t>(rx_.begin() + 2, rx_.end())});
                rx_.clear();
            }
            continue;
        }
        if (b != 0) {
            rx_.push_back(b);
            continue;
        }
        std::vector<uint8_t> decoded(rx_.size() + 1);
        size_t n = cobs_decode(rx_.data(), rx_.size(), decoded.data());
        rx_.clear();
        if (n >= 3 && n == (size_t)decoded[1] + 3 && crc8_check(decoded.data(), n - 1, decoded[n - 1]))
            handlePacket(WirePacket{decoded[0], std::vector<uint8_t>(decoded.begin() + 2, decoded.begin() + n - 1)});
    }
}

void FakeModule::flushOut(int fd)
{
    std::vector<uint8_t> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending.swap(out_);
    }
    size_t done = 0;
    while (done < pending.size()) {
        ssize_t n = write(fd, pending.data() + done, pending.size() - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        return; /* connection gone */
    }
}

void FakeModule::run()
{
    uint8_t buffer[4096];
    for (;;) {
        bool drop;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_)
                return;
            drop = dropRequested_;
            dropRequested_ = false;
        }
        if (drop && connFd_ >= 0) {
            close(connFd_);
            connFd_ = -1;
            rx_.clear();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                drops_++;
                out_.clear();
            }
            changed_.notify_all();
        } else if (drop) {
            std::lock_guard<std::mutex> lock(mutex_);
            drops_++;
            changed_.notify_all();
        }

        int io = transport_ == Transport::Tcp ? connFd_ : ptyMaster_;
        if (io >= 0)
            flushOut(io);

        pollfd fds[2] = {{wakePipe_[0], POLLIN, 0}, {-1, POLLIN, 0}};
        if (transport_ == Transport::Tcp)
            fds[1].fd = connFd_ >= 0 ? connFd_ : listenFd_;
        else
            fds[1].fd = ptyMaster_;
        poll(fds, 2, 100);
        if (fds[0].revents & POLLIN) {
            char sink[64];
            while (read(wakePipe_[0], sink, sizeof(sink)) > 0) {
            }
        }
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        if (transport_ == Transport::Tcp && connFd_ < 0) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connFd_ = fd;
                rx_.clear();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    connections_++;
                }
                changed_.notify_all();
            }
            continue;
        }
        ssize_t n = read(fds[1].fd, buffer, sizeof(buffer));
        if (n > 0) {
            handleBytes(buffer, (size_t)n);
        } else if (transport_ == Transport::Tcp && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
            close(connFd_); /* the link went away; wait for the next connection */
            connFd_ = -1;
            rx_.clear();
        } else if (n <= 0 && transport_ == Transport::Pty) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

} // namespace linktest
