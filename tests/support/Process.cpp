#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> BuildEnvironment(const RunOptions& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& name : options.unset_env) env.erase(name);
    for (const auto& [k, v] : options.env) env[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

int DecodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

struct Spawned {
    int pid = -1;
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
};

// Starts the child with pipes (or a pty for standard output).
Spawned Spawn(const std::vector<std::string>& argv, const RunOptions& options, bool merge_err) {
    int in_pipe[2], out_pipe[2] = {-1, -1}, err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int master = -1, slave = -1;
    if (options.stdout_pty) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
    } else if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }

    std::vector<std::string> args = argv;
    std::vector<std::string> env = BuildEnvironment(options);
    auto argp = Pointers(args);
    auto envp = Pointers(env);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in_pipe[0], 0);
        if (options.stdout_pty) {
            dup2(slave, 1);
        } else {
            dup2(out_pipe[1], 1);
        }
        dup2(merge_err ? 1 : err_pipe[1], 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(err_pipe[1]);
    Spawned s;
    s.pid = pid;
    s.in_fd = in_pipe[1];
    s.err_fd = err_pipe[0];
    if (options.stdout_pty) {
        close(slave);
        s.out_fd = master;
    } else {
        close(out_pipe[1]);
        s.out_fd = out_pipe[0];
    }
    return s;
}

// Reads what is available on fd into out; returns false at end of data.
bool Drain(int fd, std::string& out) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    return false; // EOF, or EIO from a pty whose other side closed
}

} // namespace

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    Spawned s = Spawn(argv, options, false);

    // Feed standard input without blocking on a full pipe.
    size_t in_written = 0;
    fcntl(s.in_fd, F_SETFL, O_NONBLOCK);
    if (options.stdin_data.empty()) {
        close(s.in_fd);
        s.in_fd = -1;
    }

    const auto deadline = Clock::now() + options.timeout;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        struct pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_open) { fds[n] = {s.out_fd, POLLIN, 0}; out_i = n++; }
        if (err_open) { fds[n] = {s.err_fd, POLLIN, 0}; err_i = n++; }
        if (s.in_fd >= 0) { fds[n] = {s.in_fd, POLLOUT, 0}; in_i = n++; }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-s.pid, SIGKILL);
            kill(s.pid, SIGKILL);
            break;
        }
        int r = poll(fds, n, static_cast<int>(std::min<long>(left.count(), 200)));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) {
            // A pty master never reports EOF while the child lives; check for exit.
            if (options.stdout_pty) {
                int raw;
                if (waitpid(s.pid, &raw, WNOHANG) == s.pid) {
                    result.status = DecodeStatus(raw);
                    while (Drain(s.out_fd, result.out)) {
                        struct pollfd p = {s.out_fd, POLLIN, 0};
                        if (poll(&p, 1, 0) <= 0) break;
                    }
                    while (err_open && Drain(s.err_fd, result.err)) {}
                    close(s.out_fd);
                    close(s.err_fd);
                    if (s.in_fd >= 0) close(s.in_fd);
                    return result;
                }
            }
            continue;
        }
        if (out_i >= 0 && fds[out_i].revents) out_open = Drain(s.out_fd, result.out);
        if (err_i >= 0 && fds[err_i].revents) err_open = Drain(s.err_fd, result.err);
        if (in_i >= 0 && fds[in_i].revents) {
            if (fds[in_i].revents & (POLLERR | POLLHUP)) {
                close(s.in_fd);
                s.in_fd = -1;
            } else {
                ssize_t w = write(s.in_fd, options.stdin_data.data() + in_written,
                                  options.stdin_data.size() - in_written);
                if (w > 0) in_written += static_cast<size_t>(w);
                if (in_written >= options.stdin_data.size() || (w < 0 && errno != EAGAIN)) {
                    close(s.in_fd);
                    s.in_fd = -1;
                }
            }
        }
    }
    if (s.in_fd >= 0) close(s.in_fd);
    close(s.out_fd);
    close(s.err_fd);
    int raw = 0;
    while (waitpid(s.pid, &raw, 0) < 0 && errno == EINTR) {}
    if (result.status < 0) result.status = DecodeStatus(raw);
    return result;
}

RunResult RunUpdater(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{UPDATER_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, options);
}

Background::Background(const std::vector<std::string>& argv, const RunOptions& options) {
    Spawned s = Spawn(argv, options, true);
    close(s.in_fd);
    close(s.err_fd);
    pid_ = s.pid;
    out_fd_ = s.out_fd;
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

Background::~Background() {
    if (!reaped_) Stop(SIGKILL);
    if (out_fd_ >= 0) close(out_fd_);
}

std::string Background::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    size_t scanned = 0;
    for (;;) {
        // Look for a complete line containing the text.
        size_t pos;
        while ((pos = out_.find('\n', scanned)) != std::string::npos) {
            std::string line = out_.substr(scanned, pos - scanned);
            scanned = pos + 1;
            if (line.find(text) != std::string::npos) return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || out_fd_ < 0) return "";
        struct pollfd p = {out_fd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 200)));
        if (r > 0 && !Drain(out_fd_, out_)) {
            close(out_fd_);
            out_fd_ = -1;
        }
    }
}

int Background::Stop(int signal, std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    kill(pid_, signal);
    const auto deadline = Clock::now() + timeout;
    int raw = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) break;
        if (r < 0 && errno != EINTR) { raw = 0; break; }
        if (Clock::now() >= deadline) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            waitpid(pid_, &raw, 0);
            break;
        }
        if (out_fd_ >= 0) {
            struct pollfd p = {out_fd_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && !Drain(out_fd_, out_)) { close(out_fd_); out_fd_ = -1; }
        } else {
            usleep(20000);
        }
    }
    kill(-pid_, SIGKILL); // anything the process left in its group
    reaped_ = true;
    status_ = DecodeStatus(raw);
    if (out_fd_ >= 0) { while (Drain(out_fd_, out_)) { struct pollfd p = {out_fd_, POLLIN, 0}; if (poll(&p,1,0) <= 0) break; } }
    return status_;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace testsupport
