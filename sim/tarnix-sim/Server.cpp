#include "Server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "aCOBS.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aProtocol.h"

namespace tarnixsim {
namespace {

constexpr uint16_t kDiscoveryRequestPort = aDISCOVERY_ETHERNET_REQUEST_PORT;
constexpr uint16_t kDiscoveryReplyPort = aDISCOVERY_ETHERNET_REPLY_PORT;
constexpr const char* kDiscoveryGroup = aDISCOVERY_ETHERNET_GROUP;
constexpr size_t kMaxPending = 1 << 20;     // bytes queued to a host that does not read
constexpr size_t kMaxPtyFrame = 64;
constexpr size_t kMaxPtyBacklog = 1024;

int g_signal_pipe[2] = {-1, -1};

void onSignal(int) {
    const char b = 1;
    ssize_t n = ::write(g_signal_pipe[1], &b, 1);
    (void)n;
}

// A child ended: byte 2 wakes the loop without stopping it.
void onChild(int) {
    const char b = 2;
    ssize_t n = ::write(g_signal_pipe[1], &b, 1);
    (void)n;
}

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// A non-blocking TCP listener on address:port; port 0 picks a free one and
// `port` receives the port actually bound.
int listenTcp(in_addr address, uint16_t& port, int backlog, const std::string& failure) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw sysError("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
        auto e = sysError(failure);
        ::close(fd);
        throw e;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    setNonBlocking(fd);
    return fd;
}

struct PacketDeleter {
    void operator()(aPacket* p) const { (void)aPacket_Destroy(&p); } // ours: cannot fail
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A packet's wire bytes (address, length, data) through the shared packet code.
Bytes wireBytes(uint8_t address, const Bytes& data) {
    static const uint8_t kNone = 0; // a zero-length packet still needs a data pointer
    PacketPtr p(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.empty() ? &kNone : data.data()));
    if (!p || data.size() > aPACKET_MAX_DATA) throw std::logic_error("reply does not fit a packet");
    uint8_t buffer[aPACKET_MAX_SIZE];
    size_t written = 0;
    if (aPacket_GetBytes(p.get(), buffer, sizeof buffer, &written) != aErrNone)
        throw std::logic_error("reply does not fit a packet");
    return Bytes(buffer, buffer + written);
}

// Serial framing: COBS over the packet bytes and their CRC-8, then 0x00.
Bytes cobsFrame(const Bytes& raw) {
    Bytes block = raw;
    block.push_back(crc8_create(raw.data(), raw.size()));
    Bytes out(aCOBS_MAX_ENCODED(block.size()) + 1);
    size_t n = cobs_encode(block.data(), block.size(), out.data());
    out.resize(n);
    out.push_back(0);
    return out;
}

// True when this process runs in a private network namespace: one that
// scripts/netns-run.sh made (it names it in TARNIX_PRIVATE_NETNS), or one that
// differs from init's when that can be read.
bool inPrivateNetworkNamespace() {
    char self[128] = {}, init[128] = {};
    if (::readlink("/proc/self/ns/net", self, sizeof self - 1) <= 0) return false;
    const char* marked = std::getenv("TARNIX_PRIVATE_NETNS");
    if (marked && std::strcmp(marked, self) == 0) return true;
    if (::readlink("/proc/1/ns/net", init, sizeof init - 1) <= 0) return false;
    return std::strcmp(self, init) != 0;
}

} // namespace

struct Server::Conn : Connection {
    int fd = -1;
    bool pty = false;
    bool closing = false;
    bool abortive = false; // close with a reset, as a module whose stack went away
    std::string pty_path;
    int slave_fd = -1;
    PacketPtr rx{aPacket_Create()};
    Bytes frame;          // pty: encoded bytes of the frame being received
    bool frame_overflow = false;
    Bytes out;            // bytes not yet written
    bool warned_full = false;
    bool usb = false;     // a USB device's host session (no descriptor)
    bool idle = false;    // USB: no host holds the interface; nothing is sent
};

void InstallSignalHandlers() {
    if (g_signal_pipe[0] < 0) {
        if (::pipe(g_signal_pipe) != 0) throw sysError("pipe");
        setNonBlocking(g_signal_pipe[0]);
        setNonBlocking(g_signal_pipe[1]);
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction child{};
    child.sa_handler = onChild;
    sigemptyset(&child.sa_mask);
    child.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &child, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

Server::Server(const Config& config, const Options& options, Log& log) : options_(options), log_(log) {
    for (auto& mc : config.modules) modules_.push_back(std::make_unique<Module>(mc, options.state_dir, log));
    for (auto& m : modules_) {
        if (m->config().router.empty()) continue;
        m->attachTo(*find(m->config().router));
    }
}

Server::~Server() {
    if (command_pid_ > 0) {
        ::kill(command_pid_, SIGTERM);
        int status = 0;
        ::waitpid(command_pid_, &status, 0);
    }
    roms_.clear(); // before the test bed their devices live in
    hid_rom_.reset();
    usb_.reset(); // removes the test bed
    for (auto& [id, c] : conns_) {
        if (c->fd >= 0) ::close(c->fd);
        if (c->slave_fd >= 0) ::close(c->slave_fd);
    }
    for (auto& l : listeners_)
        if (l.fd >= 0) ::close(l.fd);
    for (auto& k : controls_) ::close(k.fd);
    if (control_fd_ >= 0) ::close(control_fd_);
    if (discovery_fd_ >= 0) ::close(discovery_fd_);
    for (auto& link : pty_links_) ::unlink(link.c_str());
}

Module* Server::find(const std::string& name) const {
    for (auto& m : modules_)
        if (m->name() == name) return m.get();
    return nullptr;
}

uint64_t Server::nowMs() const {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// ---- set-up

void Server::start() {
    const uint64_t now = nowMs();
    for (auto& m : modules_) {
        m->boot(now);
        // Down until `revive`: a loader that its chip's boot ROM has not started yet.
        if (m->config().start_down) {
            m->goDown();
            reboots_.push_back(Reboot{m.get(), 0});
        }
    }
    for (auto& m : modules_) {
        next_heartbeat_[m.get()] = now + (m->heartbeatMs() ? m->heartbeatMs() : 1000);
        if (m->router) continue;
        if (m->config().tcp) {
            listeners_.push_back(Listener{m.get(), -1, m->config().port});
            openListener(listeners_.back());
        }
        if (m->config().pty) openPty(*m);
    }
    openRoms();
    if (options_.control_port >= 0) openControl();
    if (options_.discovery) openDiscovery();
    openUsb();
    announce();
    startCommand();
}

void Server::openListener(Listener& l) {
    in_addr address{};
    if (inet_pton(AF_INET, options_.bind_address.c_str(), &address) != 1)
        throw std::runtime_error("not an IPv4 address: " + options_.bind_address);
    l.fd = listenTcp(address, l.port, 8,
                     "cannot listen on " + options_.bind_address + ":" + std::to_string(l.port) + " for module " +
                         l.module->name());
}

void Server::openPty(Module& m) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw sysError("posix_openpt");
    const char* name = ::ptsname(master);
    if (!name) throw sysError("ptsname");
    // Holding the slave open keeps the master readable while no host has it open;
    // raw mode so nothing is echoed or translated.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw sysError(std::string("open ") + name);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    setNonBlocking(master);
    if (!m.config().pty_link.empty()) {
        const std::string& link = m.config().pty_link;
        struct stat st{};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) throw std::runtime_error("pty_link " + link + " exists and is not a symbolic link");
            ::unlink(link.c_str());
        }
        if (::symlink(name, link.c_str()) != 0) throw sysError("cannot make the symbolic link " + link);
        pty_links_.push_back(link);
    }
    auto c = std::make_unique<Conn>();
    c->id = next_conn_id_++;
    c->top = &m;
    c->fd = master;
    c->pty = true;
    c->pty_path = name;
    c->slave_fd = slave;
    conns_[c->id] = std::move(c);
}

void Server::openControl() {
    uint16_t port = static_cast<uint16_t>(options_.control_port);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK); // control stays on this host
    control_fd_ = listenTcp(loopback, port, 4, "cannot listen on the control port " + std::to_string(port));
    control_port_ = port;
}

void Server::openDiscovery() {
    // Joining the group announces membership on the network; refuse that on
    // the host's own interfaces unless told otherwise.
    if (!options_.discovery_any_namespace && !inPrivateNetworkNamespace())
        throw std::runtime_error(
            "--discovery refused: this process shares the host's network namespace; run it under "
            "scripts/netns-run.sh (or pass --discovery-any-namespace on a network you own)");
    discovery_source_ = discoverySource();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw sysError("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kDiscoveryRequestPort);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        auto e = sysError("cannot bind the discovery port " + std::to_string(kDiscoveryRequestPort));
        ::close(fd);
        throw e;
    }
    ip_mreq mreq{};
    inet_pton(AF_INET, kDiscoveryGroup, &mreq.imr_multiaddr);
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (!options_.discovery_interface.empty() &&
        inet_pton(AF_INET, options_.discovery_interface.c_str(), &mreq.imr_interface) != 1) {
        ::close(fd);
        throw std::runtime_error("not an IPv4 address: " + options_.discovery_interface);
    }
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        auto e = sysError(std::string("cannot join the discovery group ") + kDiscoveryGroup);
        ::close(fd);
        throw e;
    }
    setNonBlocking(fd);
    discovery_fd_ = fd;
    if (options_.bind_address.rfind("127.", 0) == 0)
        log_.info("discovery: module ports listen on %s only; a host that connects to the address the replies "
                  "come from needs --bind with that address",
                  options_.bind_address.c_str());
}

void Server::announce() {
    std::ostringstream o;
    for (auto& l : listeners_)
        o << "module " << l.module->name() << " tcp " << options_.bind_address << ":" << l.port << "\n";
    for (auto& [id, c] : conns_)
        if (c->pty) o << "module " << c->top->name() << " pty " << c->pty_path << "\n";
    for (auto& r : roms_)
        if (r.rom->kind() == BootRom::Lpc) o << "module " << r.module->name() << " lpc-isp " << r.rom->where() << "\n";
    // A module that is on USB only as the loader its boot ROM starts is not yet.
    for (auto& u : usb_slots_)
        if (u.module->config().usb) o << "module " << u.module->name() << " usb " << u.node << "\n";
    if (usb_) {
        o << "env UMOCKDEV_DIR=" << usb_->root() << "\n";
        o << "env LD_PRELOAD=" << UsbPreloadValue() << "\n";
    }
    if (control_fd_ >= 0) o << "control 127.0.0.1:" << control_port_ << "\n";
    if (discovery_fd_ >= 0) o << "discovery " << kDiscoveryGroup << ":" << kDiscoveryRequestPort << "\n";
    o << "READY\n";
    const std::string text = o.str();
    // The file first: whoever waits for READY on standard output may read it at once.
    if (!options_.ready_file.empty()) {
        const std::string aside = options_.ready_file + ".new";
        FILE* f = std::fopen(aside.c_str(), "w");
        if (!f) throw sysError("cannot write " + aside);
        std::fputs(text.c_str(), f);
        std::fclose(f);
        if (std::rename(aside.c_str(), options_.ready_file.c_str()) != 0) throw sysError("rename " + aside);
    }
    // With a command to run, standard output is the command's.
    if (options_.command.empty()) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    log_.info("ready: %zu module(s)", modules_.size());
}

// ---- the loop

void Server::run() {
    for (;;) {
        const uint64_t now = nowMs();
        timers(now);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (it->second->closing) {
                if (it->second->abortive) {
                    linger l{1, 0};
                    setsockopt(it->second->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                }
                ::close(it->second->fd);
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<pollfd> fds;
        std::vector<std::pair<char, uint64_t>> what; // kind, id or index
        fds.push_back({g_signal_pipe[0], POLLIN, 0});
        what.push_back({'S', 0});
        for (size_t i = 0; i < listeners_.size(); ++i)
            if (listeners_[i].fd >= 0) {
                fds.push_back({listeners_[i].fd, POLLIN, 0});
                what.push_back({'L', i});
            }
        for (auto& [id, c] : conns_) {
            if (c->usb) continue;
            fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
            what.push_back({'C', id});
        }
        if (control_fd_ >= 0) {
            fds.push_back({control_fd_, POLLIN, 0});
            what.push_back({'K', 0});
        }
        for (size_t i = 0; i < controls_.size(); ++i) {
            fds.push_back({controls_[i].fd, static_cast<short>(POLLIN | (controls_[i].out.empty() ? 0 : POLLOUT)), 0});
            what.push_back({'k', i});
        }
        if (discovery_fd_ >= 0) {
            fds.push_back({discovery_fd_, POLLIN, 0});
            what.push_back({'D', 0});
        }
        if (usb_) {
            fds.push_back({usb_->eventFd(), POLLIN, 0});
            what.push_back({'U', 0});
        }
        for (size_t i = 0; i < roms_.size(); ++i)
            if (roms_[i].rom->fd() >= 0) {
                fds.push_back({roms_[i].rom->fd(), roms_[i].rom->pollEvents(), 0});
                what.push_back({'R', i});
            }
        const uint64_t deadline = nextDeadline(now);
        const int timeout = static_cast<int>(std::min<uint64_t>(deadline > now ? deadline - now : 0, 1000));
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            throw sysError("poll");
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            auto [kind, id] = what[i];
            switch (kind) {
            case 'S': {
                char b[16];
                bool stop = false;
                ssize_t n;
                while ((n = ::read(g_signal_pipe[0], b, sizeof b)) > 0)
                    for (ssize_t k = 0; k < n; ++k) stop = stop || b[k] == 1;
                if (reapCommand()) return;
                if (!stop) break;
                log_.info("signal received, stopping");
                return;
            }
            case 'U': usbEvents(); break;
            case 'R': roms_[id].rom->service(); break;
            case 'L': accept(listeners_[id]); break;
            case 'C': {
                auto it = conns_.find(id);
                if (it == conns_.end() || it->second->closing) break;
                Conn& c = *it->second;
                if (fds[i].revents & POLLOUT) flush(c);
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) c.pty ? readPty(c) : readTcp(c);
                break;
            }
            case 'K': acceptControl(); break;
            case 'k':
                if (id < controls_.size()) readControl(controls_[id]);
                break;
            case 'D': answerDiscovery(); break;
            }
        }
        controls_.erase(std::remove_if(controls_.begin(), controls_.end(), [](const Control& k) { return k.fd < 0; }),
                        controls_.end());
    }
}

uint64_t Server::nextDeadline(uint64_t now) const {
    uint64_t next = now + 1000;
    if (!delayed_.empty()) next = std::min(next, delayed_.begin()->first);
    for (auto& r : reboots_)
        if (r.due) next = std::min(next, r.due);
    for (auto& p : power_cuts_) next = std::min(next, p.due);
    for (auto& [m, t] : next_heartbeat_) next = std::min(next, t);
    for (auto& [id, c] : conns_)
        if (!c->streams.empty()) next = std::min(next, c->next_stream_ms);
    for (auto& u : usb_slots_) {
        if (u.unplug_due) next = std::min(next, u.unplug_due);
        if (u.replug_due) next = std::min(next, u.replug_due);
    }
    return next;
}

void Server::timers(uint64_t now) {
    usbTimers(now);
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        Delayed d = std::move(delayed_.begin()->second);
        delayed_.erase(delayed_.begin());
        auto it = conns_.find(d.conn);
        if (it != conns_.end() && !it->second->closing) writeWire(*it->second, d.wire);
    }
    for (size_t i = 0; i < power_cuts_.size();) {
        if (power_cuts_[i].due <= now) {
            Module* m = power_cuts_[i].module;
            power_cuts_.erase(power_cuts_.begin() + static_cast<long>(i));
            cutPower(*m);
        } else {
            ++i;
        }
    }
    for (size_t i = 0; i < reboots_.size();) {
        if (reboots_[i].due && reboots_[i].due <= now) {
            Module* m = reboots_[i].module;
            reboots_.erase(reboots_.begin() + static_cast<long>(i));
            bringUp(*m);
        } else {
            ++i;
        }
    }
    for (auto& [m, due] : next_heartbeat_) {
        if (now < due) continue;
        const unsigned interval = m->heartbeatMs();
        due = now + (interval ? interval : 1000);
        if (!interval || !m->up()) continue;
        // A module behind a router reaches the hosts of its router's connections
        // that have routing on, while the router is up.
        std::vector<Conn*> targets;
        Module* top = m->router ? m->router : m;
        if (!top->up()) continue;
        for (auto& [id, c] : conns_)
            if (c->top == top && !c->closing && !c->idle && (top == m || c->route_on)) targets.push_back(c.get());
        if (targets.empty()) continue;
        const uint8_t v = m->nextHeartbeat();
        for (Conn* c : targets) send(*c, m->address(), Bytes{0, v}, 0);
    }
    for (auto& [id, c] : conns_) {
        if (c->streams.empty() || c->closing || c->idle || now < c->next_stream_ms) continue;
        // The module samples on its own clock: every period, stamped with its
        // tick, even when this loop wakes late (the missed ticks at once, up to
        // 128; after a longer stall it skips ahead rather than flood).
        const uint64_t period = std::max(1u, c->top->config().stream_interval_ms);
        for (int burst = 0; c->next_stream_ms <= now && burst < 128; ++burst) {
            const uint64_t tick = c->next_stream_ms;
            c->next_stream_ms += period;
            streamTick(*c, tick);
        }
        if (c->next_stream_ms <= now) c->next_stream_ms = now + period;
    }
}

void Server::streamTick(Conn& c, uint64_t tick) {
    // Overlapping subscriptions (one option and all options) send each sample once.
    std::set<std::tuple<Module*, uint8_t, uint8_t, uint8_t>> sent;
    for (auto& s : c.streams) {
        if (!s.module->up() || (s.module != c.top && !c.route_on)) continue;
        std::vector<Bytes> samples;
        s.module->streamSamples(s, tick, samples);
        for (auto& p : samples) {
            const uint8_t subindex = p[3] >= 5 ? p[4] : 0;
            if (sent.insert({s.module, p[0], p[1], subindex}).second) send(c, s.module->address(), p, 0);
        }
    }
}

// ---- host connections

void Server::accept(Listener& l) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(l.fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) return;
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    Module* m = l.module;
    const bool inUse = std::any_of(conns_.begin(), conns_.end(), [&](const auto& e) {
        return e.second->top == m && !e.second->pty && !e.second->usb && !e.second->closing;
    });
    if (inUse && m->faults().refuse_second_connection) {
        log_.info("%s: connection from %s:%u refused (module in use)", m->name().c_str(), ip, ntohs(peer.sin_port));
        ::close(fd);
        return;
    }
    setNonBlocking(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Conn>();
    c->id = next_conn_id_++;
    c->top = m;
    c->fd = fd;
    log_.info("%s: %s from %s:%u", m->name().c_str(), c->label().c_str(), ip, ntohs(peer.sin_port));
    conns_[c->id] = std::move(c);
}

void Server::close(Conn& c, const char* why, bool abortive) {
    if (c.closing) return;
    c.closing = true;
    c.abortive = abortive;
    if (c.usb) {
        // The device outlives a host session: only that session's state goes.
        c.closing = false;
        c.idle = true;
        c.route_on = false;
        c.streams.clear();
        c.incoming.clear();
        c.factory = Connection::Factory{};
        (void)aPacket_Reset(c.rx.get()); // the connection's own packet: cannot fail
        log_.info("%s: %s (usb) reset: %s", c.top->name().c_str(), c.label().c_str(), why);
        return;
    }
    if (c.pty) {
        // The pty outlives a reboot: only pending output and host state go.
        c.closing = false;
        c.out.clear();
        c.frame.clear();
        c.route_on = false;
        c.streams.clear();
        c.incoming.clear();
        log_.info("%s: %s (pty) reset: %s", c.top->name().c_str(), c.label().c_str(), why);
        return;
    }
    log_.info("%s: %s closed: %s", c.top->name().c_str(), c.label().c_str(), why);
}

void Server::readTcp(Conn& c) {
    uint8_t buffer[4096];
    ssize_t n = ::read(c.fd, buffer, sizeof buffer);
    if (n == 0) return close(c, "host closed the connection");
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        return close(c, std::strerror(errno));
    }
    feed(c, buffer, static_cast<size_t>(n));
}

// Raw packets, back to back (TCP and USB).
void Server::feed(Conn& c, const uint8_t* buffer, size_t n) {
    for (size_t i = 0; i < n && !c.closing; ++i) {
        aErr e = aPacket_AddByte(c.rx.get(), buffer[i]);
        if (e != aErrNone) {
            log_.info("%s: framing error on byte %02X, packet dropped", c.label().c_str(), buffer[i]);
            (void)aPacket_Reset(c.rx.get()); // the connection's own packet: cannot fail
            continue;
        }
        if (aPacket_IsComplete(c.rx.get())) {
            Bytes data(c.rx->data, c.rx->data + c.rx->dataSize);
            const uint8_t address = c.rx->address;
            (void)aPacket_Reset(c.rx.get()); // the connection's own packet: cannot fail
            dispatch(c, address, data);
        }
    }
}

void Server::readPty(Conn& c) {
    uint8_t buffer[4096];
    ssize_t n = ::read(c.fd, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
        const uint8_t b = buffer[i];
        if (b != 0) {
            if (c.frame.size() < kMaxPtyFrame) c.frame.push_back(b);
            else c.frame_overflow = true;
            continue;
        }
        if (c.frame.empty()) continue;
        Bytes decoded(c.frame.size());
        size_t len = c.frame_overflow ? 0 : cobs_decode(c.frame.data(), c.frame.size(), decoded.data());
        c.frame.clear();
        c.frame_overflow = false;
        if (len < 3 || len != size_t(decoded[1]) + 3 || !crc8_check(decoded.data(), len - 1, decoded[len - 1])) {
            log_.info("%s: bad serial frame dropped", c.label().c_str());
            continue;
        }
        // Reassemble through the packet code so that the same limits apply as on TCP.
        PacketPtr p(aPacket_Create());
        bool complete = false;
        for (size_t k = 0; k + 1 < len; ++k) {
            if (aPacket_AddByte(p.get(), decoded[k]) != aErrNone) break;
            complete = aPacket_IsComplete(p.get());
        }
        if (!complete) {
            log_.info("%s: malformed packet in serial frame dropped", c.label().c_str());
            continue;
        }
        dispatch(c, p->address, Bytes(p->data, p->data + p->dataSize));
    }
}

void Server::dispatch(Conn& c, uint8_t address, const Bytes& data) {
    log_.packet("rx", c.label(), address, data.data(), data.size());
    Module& top = *c.top;
    if (!top.up()) return; // rebooting: nobody listens
    if (address == aLINK_SYNC_ADDRESS && data.empty()) {
        send(c, top.address(), Bytes{}, 0);
        return;
    }
    if (address == aLINK_ROUTE_ADDRESS && data.size() == 1) {
        c.route_on = data[0] != 0;
        log_.info("%s: route control %s", c.label().c_str(), c.route_on ? "on" : "off");
        return;
    }
    Module* target = address == top.address() ? &top : nullptr;
    Module* child = top.childAt(address);
    if (!target && child && c.route_on && child->up()) target = child;
    if (target) {
        try {
            target->handle(c, data, *this);
        } catch (const std::exception& e) {
            // A module that cannot write its state goes on answering; the cause is logged.
            log_.info("%s: request not completed: %s", target->name().c_str(), e.what());
        }
        return;
    }
    log_.info("%s: no module answers at address 0x%02X%s", c.label().c_str(), address,
              child && !c.route_on ? " (route control off)" : "");
}

void Server::send(Connection& base, uint8_t from, const Bytes& data, unsigned delayMs) {
    Conn& c = static_cast<Conn&>(base);
    if (c.closing) return;
    log_.packet("tx", c.label(), from, data.data(), data.size());
    Bytes raw = wireBytes(from, data);
    Bytes wire = c.pty ? cobsFrame(raw) : raw;
    if (delayMs) {
        delayed_.emplace(nowMs() + delayMs, Delayed{c.id, std::move(wire)});
        return;
    }
    writeWire(c, wire);
}

void Server::writeWire(Conn& c, const Bytes& wire) {
    if (c.usb) {
        if (c.idle) return;
        for (auto& u : usb_slots_)
            if (u.conn == &c && u.device >= 0) usb_->deliver(u.device, wire);
        return;
    }
    // A pty nobody reads keeps little: a host that opens it later should not
    // get a backlog of stale heartbeats and samples.
    if (c.out.size() + wire.size() > (c.pty ? kMaxPtyBacklog : kMaxPending)) {
        if (c.pty) {
            if (!c.warned_full) log_.info("%s: nobody reads the pty; output dropped", c.label().c_str());
            c.warned_full = true;
            return;
        }
        return close(c, "host does not read");
    }
    c.out.insert(c.out.end(), wire.begin(), wire.end());
    flush(c);
}

void Server::flush(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(c.fd, c.out.data(), c.out.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            if (c.pty) {
                c.out.clear();
                return;
            }
            return close(c, std::strerror(errno));
        }
        c.out.erase(c.out.begin(), c.out.begin() + n);
        c.warned_full = false;
    }
}

void Server::dropConnections(Module& top) {
    for (auto& [id, c] : conns_)
        if (c->top == &top && !c->pty && !c->usb) close(*c, "dropped by the module", true);
}

void Server::takeDown(Module& m, const char* why) {
    if (m.router) return;
    for (auto& [id, c] : conns_)
        if (c->top == &m) close(*c, why, true);
    for (auto& l : listeners_)
        if (l.module == &m && l.fd >= 0) {
            ::close(l.fd);
            l.fd = -1;
        }
    // A USB module leaves the bus; it comes back as a new device when it boots.
    if (UsbSlot* u = usbSlot(m)) {
        unplugUsb(*u);
        u->unplug_due = u->replug_due = 0;
    }
}

void Server::reboot(Module& m, bool comeBack) {
    m.goDown();
    takeDown(m, "module rebooting");
    reboots_.erase(std::remove_if(reboots_.begin(), reboots_.end(), [&](const Reboot& r) { return r.module == &m; }),
                   reboots_.end());
    reboots_.push_back(Reboot{&m, comeBack ? nowMs() + m.config().reboot_ms : 0});
    log_.info("%s: rebooting%s", m.name().c_str(), comeBack ? "" : " (fault no_return_after_reboot: stays down)");
}

void Server::bringUp(Module& m) {
    // Powered again, or the code its boot ROM started runs: the ROM is done.
    if (RomSlot* r = romSlot(m)) r->rom->leave();
    m.boot(nowMs());
    // A loader the i.MX ROM started runs on USB only.
    for (auto& l : listeners_) {
        if (l.module != &m || l.fd >= 0 || m.runningRomLoader()) continue;
        try {
            openListener(l);
            log_.info("%s: listening again on port %u", m.name().c_str(), l.port);
        } catch (const std::exception& e) {
            log_.info("%s: %s; retrying", m.name().c_str(), e.what());
            m.goDown();
            reboots_.push_back(Reboot{&m, nowMs() + 100});
            return;
        }
    }
    next_heartbeat_[&m] = nowMs() + (m.heartbeatMs() ? m.heartbeatMs() : 1000);
    if (UsbSlot* u = usbSlot(m); u && m.onUsb()) {
        const unsigned late = m.faults().usb_late_ms;
        m.faults().usb_late_ms = 0;
        if (late) log_.info("%s: fault usb_late: back on USB %u ms late", m.name().c_str(), late);
        u->replug_due = nowMs() + late;
        if (!late) {
            u->replug_due = 0;
            plugUsb(*u);
        }
    }
}

// ---- power cuts and boot ROMs

void Server::openRoms() {
    // The HID ROM of --imx-hid-rom has /dev/hidraw0.
    next_hidraw_ = options_.hid_rom_module.empty() ? 0 : 1;
    for (auto& m : modules_) {
        if (m->config().boot_rom == BootRom::None) continue;
        RomSlot slot;
        slot.module = m.get();
        slot.rom = std::make_unique<ChipRom>(*m, log_);
        roms_.push_back(std::move(slot));
    }
}

Server::RomSlot* Server::romSlot(Module& m) {
    for (auto& r : roms_)
        if (r.module == &m) return &r;
    return nullptr;
}

void Server::powerCut(Module& m, unsigned delayMs) {
    if (delayMs == 0) return cutPower(m);
    power_cuts_.push_back(PendingCut{&m, nowMs() + delayMs});
}

void Server::cutPower(Module& m) {
    power_cuts_.erase(std::remove_if(power_cuts_.begin(), power_cuts_.end(),
                                     [&](const PendingCut& p) { return p.module == &m; }),
                      power_cuts_.end());
    m.powerCut();
    takeDown(m, "power cut");
    // Down until its boot ROM starts code, or `revive` brings the power back.
    reboots_.erase(std::remove_if(reboots_.begin(), reboots_.end(), [&](const Reboot& r) { return r.module == &m; }),
                   reboots_.end());
    reboots_.push_back(Reboot{&m, 0});
    RomSlot* r = romSlot(m);
    if (!r) return;
    std::function<void()> started;
    if (r->rom->kind() == BootRom::ImxHid) {
        // The jump comes on umockdev's thread: the loop takes it from the bed's queue.
        UsbBed* bed = usb_.get();
        const std::string name = m.name();
        started = [bed, name]() { bed->post(UsbEvent{UsbEvent::RomJump, -1, Bytes(name.begin(), name.end())}); };
    } else {
        started = [this, &m]() { romStarted(m, false); };
    }
    UsbSlot* u = usbSlot(m);
    try {
        const bool hid = r->rom->kind() == BootRom::ImxHid;
        r->rom->enter(usb_.get(), u ? u->port : 0, hid ? next_hidraw_++ : 0, started);
    } catch (const std::exception& e) {
        log_.info("%s: its boot ROM did not come up: %s", m.name().c_str(), e.what());
    }
}

void Server::romStarted(Module& m, bool ramLoader) {
    RomSlot* r = romSlot(m);
    if (!r || !r->rom->active()) return; // the power came back meanwhile
    m.startFromRom(ramLoader);
    // A loader in RAM enumerates on USB once the ROM has left the bus.
    const uint64_t due = nowMs() + (ramLoader ? m.config().usb_reenumerate_ms : 0);
    auto it = std::find_if(reboots_.begin(), reboots_.end(), [&](const Reboot& b) { return b.module == &m; });
    if (it != reboots_.end()) it->due = due;
    else reboots_.push_back(Reboot{&m, due});
    log_.info("%s: its boot ROM started the %s", m.name().c_str(), ramLoader ? "loader in RAM" : "firmware in flash");
}

Module* Server::findByNameOrSerial(const std::string& what) const {
    if (Module* m = find(what)) return m;
    char* end = nullptr;
    const unsigned long serial = std::strtoul(what.c_str(), &end, 16);
    if (what.empty() || *end != '\0') return nullptr;
    for (auto& m : modules_)
        if (m->serial() == serial) return m.get();
    return nullptr;
}

std::string Server::statusOfRom(Module& m) {
    RomSlot* r = romSlot(m);
    if (!r) return " boot_rom=none";
    const std::string& where = r->rom->where();
    return std::string(" boot_rom=") + BootRomName(r->rom->kind()) + " rom=" + (where.empty() ? "none" : where) +
           " in_rom=" + (r->rom->active() ? "yes" : "no");
}

// ---- Ethernet discovery

// A module answers from its own address, the one its link service listens on,
// whichever interface the request came through; --discovery-source puts
// another of this host's addresses there (a responder on another subnet).
std::optional<in_addr> Server::discoverySource() const {
    const bool chosen = !options_.discovery_source.empty();
    const std::string& text = chosen ? options_.discovery_source : options_.bind_address;
    in_addr source{};
    if (inet_pton(AF_INET, text.c_str(), &source) != 1) {
        if (chosen) throw std::runtime_error("not an IPv4 address: " + text);
        return std::nullopt;
    }
    if (!chosen) {
        if (text.rfind("127.", 0) == 0) return std::nullopt;
        return source;
    }
    // Only a local address can be a datagram's source: find out now, not at
    // the first reply.
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = source;
    const bool local = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (probe >= 0) ::close(probe);
    if (!local) throw std::runtime_error("--discovery-source " + text + " is not an address of this host");
    return source;
}

void Server::sendDiscoveryReply(const uint8_t* reply, size_t size, const sockaddr_in& to) {
    iovec part{const_cast<uint8_t*>(reply), size};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (discovery_source_) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst = *discovery_source_;
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    if (::sendmsg(discovery_fd_, &message, 0) < 0) log_.info("discovery: reply not sent: %s", std::strerror(errno));
}

void Server::answerDiscovery() {
    uint8_t request[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(discovery_fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    if (n != 16 || request[0] != 1) {
        log_.info("discovery: %zd-byte datagram from %s ignored", n, ip);
        return;
    }
    log_.info("discovery: request from %s:%u", ip, ntohs(from.sin_port));
    sockaddr_in to = from;
    to.sin_port = htons(kDiscoveryReplyPort);
    char source[INET_ADDRSTRLEN] = "any";
    if (discovery_source_) inet_ntop(AF_INET, &*discovery_source_, source, sizeof source);
    for (auto& l : listeners_) {
        if (l.fd < 0 || !l.module->up()) continue;
        uint8_t reply[16] = {};
        reply[1] = l.module->address();
        reply[2] = static_cast<uint8_t>(l.port);
        reply[3] = static_cast<uint8_t>(l.port >> 8);
        const uint32_t s = l.module->serial();
        for (int k = 0; k < 4; ++k) reply[4 + k] = static_cast<uint8_t>(s >> (8 * k));
        reply[12] = l.module->model();
        sendDiscoveryReply(reply, sizeof reply, to);
        log_.info("discovery: %s answered (port %u) from %s to %s:%u", l.module->name().c_str(), l.port, source,
                  ip, kDiscoveryReplyPort);
    }
}

// ---- control port: one text command per line

void Server::acceptControl() {
    int fd = ::accept4(control_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    setNonBlocking(fd);
    controls_.push_back(Control{fd, {}, {}});
}

void Server::readControl(Control& k) {
    char buffer[1024];
    ssize_t n = ::read(k.fd, buffer, sizeof buffer);
    if (n > 0) {
        k.in.append(buffer, static_cast<size_t>(n));
        size_t eol;
        while ((eol = k.in.find('\n')) != std::string::npos) {
            std::string line = k.in.substr(0, eol);
            k.in.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            k.out += command(line) + "\n";
        }
        if (k.in.size() > 4096) k.in.clear();
    }
    while (!k.out.empty()) {
        ssize_t w = ::send(k.fd, k.out.data(), k.out.size(), MSG_NOSIGNAL);
        if (w <= 0) break;
        k.out.erase(0, static_cast<size_t>(w));
    }
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(k.fd);
        k.fd = -1;
    }
}

std::string Server::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb, name;
    in >> verb >> name;
    log_.info("control: %s", line.c_str());
    if (verb == "list") {
        std::string out = "ok";
        for (auto& m : modules_) out += " " + m->name();
        return out;
    }
    if (verb == "powercut") {
        Module* target = findByNameOrSerial(name);
        if (!target) return "error unknown module '" + name + "'";
        cutPower(*target);
        return "ok" + statusOfRom(*target);
    }
    Module* m = find(name);
    if (!m) return "error unknown module '" + name + "'";
    if (verb == "status") {
        size_t open = 0;
        std::string tcp = "none", pty = "none";
        for (auto& [id, c] : conns_) {
            if (c->top == m && !c->pty && !c->usb && !c->closing) ++open;
            if (c->top == m && c->pty) pty = c->pty_path;
        }
        for (auto& l : listeners_)
            if (l.module == m) tcp = std::to_string(l.port);
        std::string usb;
        if (UsbSlot* u = usbSlot(*m))
            usb = u->device >= 0 && usb_->present(u->device)
                      ? " usb=" + u->node + (usb_->claimed(u->device) ? " usb_claimed=yes" : " usb_claimed=no") +
                            " usb_serial_reads=" + std::to_string(usb_->serialReads(u->device))
                      : " usb=away";
        return "ok " + m->status() + " connections=" + std::to_string(open) + " tcp_port=" + tcp + " pty=" + pty + usb +
               statusOfRom(*m);
    }
    if (verb == "fault") {
        std::string key, value;
        in >> key;
        std::getline(in, value);
        try {
            m->faults().set(key, value);
        } catch (const ConfigError& e) {
            return std::string("error ") + e.what();
        }
        // USB faults belong to the device on the bus now.
        if (UsbSlot* u = usbSlot(*m); u && key.rfind("usb_", 0) == 0 && key != "usb_late" && u->device >= 0) {
            usb_->setFaults(u->device, m->faults().usb);
            m->faults().usb = UsbFaults{};
            m->faults().usb.held = usb_->faults(u->device).held;
        }
        return "ok";
    }
    if (verb == "replug") {
        UsbSlot* u = usbSlot(*m);
        if (!u) return "error module is not on USB";
        unplugUsb(*u);
        u->unplug_due = 0;
        u->replug_due = nowMs() + m->config().usb_reenumerate_ms;
        return "ok";
    }
    if (verb == "clear") {
        m->faults() = Faults{};
        if (UsbSlot* u = usbSlot(*m); u && u->device >= 0) usb_->setFaults(u->device, UsbFaults{});
        return "ok";
    }
    if (verb == "drop") {
        Module* top = m;
        while (top->router) top = top->router;
        dropConnections(*top);
        return "ok";
    }
    if (verb == "reboot") {
        reboot(*m, true);
        return "ok";
    }
    if (verb == "revive") {
        auto it = std::find_if(reboots_.begin(), reboots_.end(), [&](const Reboot& r) { return r.module == m; });
        if (it == reboots_.end()) return "error module is not down";
        it->due = nowMs();
        return "ok";
    }
    return "error unknown command '" + verb + "' (list, status, fault, clear, drop, reboot, revive, replug, powercut)";
}

// ---- USB

Server::UsbSlot* Server::usbSlot(Module& m) {
    for (auto& u : usb_slots_)
        if (u.module == &m) return &u;
    return nullptr;
}

void Server::openUsb() {
    unsigned port = 1;
    for (auto& m : modules_) {
        // A module whose i.MX boot ROM starts a loader on USB has its port too.
        const bool usbLoader = m->config().boot_rom == BootRom::ImxHid;
        if ((!m->config().usb && !usbLoader) || m->router) continue;
        makeUsbBed();
        auto c = std::make_unique<Conn>();
        c->id = next_conn_id_++;
        c->top = m.get();
        c->usb = true;
        c->idle = true;
        UsbSlot slot;
        slot.module = m.get();
        slot.port = port++;
        slot.conn = c.get();
        conns_[c->id] = std::move(c);
        usb_slots_.push_back(slot);
        if (m->up() && m->onUsb()) plugUsb(usb_slots_.back());
    }
    if (options_.hid_rom_module.empty()) return;
    // The chip's boot ROM on the same bus as the image it starts, so that one
    // host session reaches both.
    if (!find(options_.hid_rom_module)) throw std::runtime_error("no module '" + options_.hid_rom_module + "' for the i.MX ROM");
    makeUsbBed();
    bootrom::HidRomOptions rom = options_.hid_rom;
    rom.port = port;
    rom.devnum = usb_->takeDevnum();
    UsbBed* bed = usb_.get();
    const std::string name = options_.hid_rom_module;
    hid_rom_ = std::make_unique<bootrom::ImxHidRom>(usb_->testbed(), rom, [bed, name](uint32_t) {
        bed->post(UsbEvent{UsbEvent::Revive, -1, std::vector<uint8_t>(name.begin(), name.end())});
    });
    log_.info("i.MX HID boot ROM on USB port 1-%u; its jump starts %s", port, name.c_str());
}

void Server::makeUsbBed() {
    if (usb_) return;
    usb_ = std::make_unique<UsbBed>();
    // Each emulated call ends in a zero-length sleep in the client; a
    // small timer slack (inherited by commands we start) keeps it short.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void Server::plugUsb(UsbSlot& s) {
    if (s.device >= 0 && usb_->present(s.device)) return;
    const ModuleConfig& mc = s.module->config();
    UsbShape shape;
    shape.vendor = mc.usb_vendor;
    shape.product = static_cast<uint16_t>(mc.usb_product >= 0 ? mc.usb_product : s.module->model());
    shape.max_packet = mc.usb_packet;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", s.module->serial());
    // A loader its boot ROM started is not the module's firmware: its own string.
    shape.serial = mc.usb_serial.empty() || s.module->runningRomLoader() ? serial : mc.usb_serial;
    shape.product_name = "Tarnix module " + std::to_string(s.module->model());
    shape.defect = mc.usb_defect;
    try {
        s.device = usb_->plug(shape, s.port, s.node);
    } catch (const std::exception& e) {
        // At start-up this is fatal (the caller reports it); later the module tries again.
        if (!s.conn->idle || s.device >= 0) {
            log_.info("%s: %s; trying again", s.module->name().c_str(), e.what());
            s.replug_due = nowMs() + 500;
            return;
        }
        throw;
    }
    // Faults set in the configuration or before this device appeared are its own now.
    UsbFaults f = s.module->faults().usb;
    usb_->setFaults(s.device, f);
    s.module->faults().usb = UsbFaults{};
    s.module->faults().usb.held = f.held;
    close(*s.conn, "device attached");
    log_.info("%s: on USB as %s (vendor %04X product %04X, serial '%s', %u-byte packets)", s.module->name().c_str(),
              s.node.c_str(), shape.vendor, shape.product, shape.serial.c_str(), shape.max_packet);
}

void Server::unplugUsb(UsbSlot& s) {
    if (s.device < 0) return;
    if (usb_->present(s.device) || !s.node.empty()) {
        usb_->unplug(s.device);
        log_.info("%s: left USB (%s)", s.module->name().c_str(), s.node.c_str());
    }
    close(*s.conn, "device detached");
    s.node.clear();
}

void Server::loaderStarted(Module& m) {
    UsbSlot* u = usbSlot(m);
    if (!u) return;
    // Leave the LOAD answer time to reach the host, then re-enumerate.
    const uint64_t now = nowMs();
    u->unplug_due = now + 50;
    const unsigned late = m.faults().usb_late_ms;
    m.faults().usb_late_ms = 0;
    u->replug_due = u->unplug_due + m.config().usb_reenumerate_ms + late;
}

void Server::usbTimers(uint64_t now) {
    for (auto& u : usb_slots_) {
        if (u.unplug_due && now >= u.unplug_due) {
            u.unplug_due = 0;
            unplugUsb(u);
        }
        if (u.replug_due && now >= u.replug_due && !u.unplug_due) {
            u.replug_due = 0;
            if (u.module->up() && u.module->onUsb()) plugUsb(u);
        }
    }
}

void Server::usbEvents() {
    for (UsbEvent& e : usb_->take()) {
        if (e.kind == UsbEvent::Revive) {
            const std::string name(e.data.begin(), e.data.end());
            log_.info("i.MX HID boot ROM: jump, %s starts: %s", name.c_str(), command("revive " + name).c_str());
            continue;
        }
        if (e.kind == UsbEvent::RomJump) {
            if (Module* m = find(std::string(e.data.begin(), e.data.end()))) romStarted(*m, true);
            continue;
        }
        UsbSlot* slot = nullptr;
        for (auto& u : usb_slots_)
            if (u.device == e.device) slot = &u;
        if (!slot) continue; // an earlier appearance of a device
        Conn& c = *slot->conn;
        switch (e.kind) {
        case UsbEvent::Claimed:
            close(c, "new host session");
            c.idle = false;
            log_.info("%s: %s: host claimed the interface", slot->module->name().c_str(), c.label().c_str());
            break;
        case UsbEvent::Released:
            close(c, "host released the interface");
            break;
        case UsbEvent::Revive:
        case UsbEvent::RomJump: break; // handled above
        case UsbEvent::Data:
            if (log_.trace())
                log_.info("%s: usb out transfer of %zu bytes", slot->module->name().c_str(), e.data.size());
            if (!c.idle) feed(c, e.data.data(), e.data.size());
            break;
        case UsbEvent::Vanished: {
            const long back = static_cast<long>(e.data[0]) << 24 | e.data[1] << 16 | e.data[2] << 8 | e.data[3];
            log_.info("%s: fault usb_vanish: gone mid-transfer", slot->module->name().c_str());
            unplugUsb(*slot);
            slot->unplug_due = 0;
            slot->replug_due = back >= 0x7FFFFFFF ? 0 : nowMs() + static_cast<uint64_t>(back);
            break;
        }
        }
    }
}

// ---- a command run against the modules

void Server::startCommand() {
    if (options_.command.empty()) return;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw sysError("fork");
    if (pid == 0) {
        // The test bed's variables are in this process's environment already
        // (UMOCKDEV_DIR from the test bed, LD_PRELOAD from the re-execution).
        std::vector<char*> argv;
        for (auto& a : options_.command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::signal(SIGPIPE, SIG_DFL);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "tarnix-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    command_pid_ = pid;
    log_.info("running %s (pid %d)", options_.command[0].c_str(), static_cast<int>(pid));
}

bool Server::reapCommand() {
    if (command_pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(command_pid_, &status, WNOHANG) != command_pid_) return false;
    command_pid_ = -1;
    command_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    log_.info("command ended with status %d", command_status_);
    return true;
}

} // namespace tarnixsim
