// Running a program as a user would: arguments, environment, standard
// streams captured, exit status, optionally under a pseudo-terminal.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    std::string out;   // standard output (under a pty: everything the terminal saw)
    std::string err;   // standard error (empty under a pty when merged)
    int status = -1;   // exit status, or 128 + signal
    bool timed_out = false;
};

struct RunOptions {
    std::map<std::string, std::string> env;   // added to / overriding the environment
    std::vector<std::string> unset_env;       // removed from the environment
    std::string stdin_data;                   // written to standard input, then closed
    std::string cwd;                          // working directory (empty: inherit)
    std::chrono::milliseconds timeout{60000}; // killed (SIGKILL) after this
    bool stdout_pty = false;                  // standard output on a pseudo-terminal;
                                              // standard error stays a pipe
};

// Runs argv[0] (a path) with the given arguments and waits for it.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = {});

// Shorthand for the Updater binary under test.
RunResult RunUpdater(const std::vector<std::string>& args, const RunOptions& options = {});

// A running background process (a server or simulator) that is killed on destruction.
class Background {
public:
    Background(const std::vector<std::string>& argv, const RunOptions& options = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    int pid() const { return pid_; }
    // Waits until a line containing `text` appears on standard output; returns that line.
    // Empty string when the process exits or the time-out passes first.
    std::string WaitForLine(const std::string& text, std::chrono::milliseconds timeout);
    // Everything read from standard output so far.
    const std::string& output() const { return out_; }
    // Sends a signal and waits for the exit status (128 + signal when killed by it).
    int Stop(int signal = 15, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

private:
    int pid_ = -1;
    int out_fd_ = -1;
    std::string out_;
    bool reaped_ = false;
    int status_ = -1;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

} // namespace testsupport
