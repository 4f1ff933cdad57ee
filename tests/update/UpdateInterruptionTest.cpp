// The interruption scope with updates side by side: a signal names every
// update in progress in its own phase, the handlers stay while any update
// runs, and the program's own handling comes back after the last one.
// Each case runs in a child process, since the handler ends the program.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "UpdateInterruption.h"

namespace {

struct Ended {
    bool bySignal = false;
    int code = -1; // exit status, or the signal
    std::string err;
};

// Runs `body` in a child with standard error captured; the child exits 0
// when the body returns.
Ended InChild(const std::function<void()>& body) {
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        body();
        _exit(0);
    }
    close(pipeFds[1]);
    Ended ended;
    char buffer[512];
    for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) ended.err.append(buffer, size_t(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ended.bySignal = WIFSIGNALED(status);
    ended.code = ended.bySignal ? WTERMSIG(status) : WEXITSTATUS(status);
    return ended;
}

TEST(UpdateInterruption, TwoUpdatesAtOnce) {
    const std::string untouchedA = "module [0000000A] was not changed";
    const std::string loaderA = "module [0000000A] may be left in its loader";
    const std::string untouchedB = "module [0000000B] was not changed";
    struct Case {
        const char* name;
        std::function<void()> body;
        bool bySignal;
        int code;
        std::vector<std::string> said;
        std::vector<std::string> notSaid;
    };
    const std::vector<Case> cases{
        {"both named, each in its phase",
         [] {
             UpdateInterruption a(0xA), b(0xB);
             a.Enter(UpdateInterruption::InLoader);
             raise(SIGINT);
         },
         false, 1, {loaderA, untouchedB}, {untouchedA}},
        {"the first gone, the second still handled",
         [] {
             auto a = std::make_unique<UpdateInterruption>(0xA);
             UpdateInterruption b(0xB);
             a.reset();
             raise(SIGTERM);
         },
         false, 1, {untouchedB}, {untouchedA}},
        {"one recording: the signal is noted, nobody ends",
         [] {
             UpdateInterruption a(0xA), b(0xB);
             b.Enter(UpdateInterruption::Recording);
             raise(SIGINT);
             if (!a.Interrupted() || !b.Interrupted()) _exit(3);
         },
         false, 0, {}, {untouchedA, untouchedB}},
        {"both gone: the default action again",
         [] {
             { UpdateInterruption a(0xA), b(0xB); }
             raise(SIGTERM);
         },
         true, SIGTERM, {}, {untouchedA, untouchedB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Ended ended = InChild(c.body);
        EXPECT_EQ(ended.bySignal, c.bySignal);
        EXPECT_EQ(ended.code, c.code) << ended.err;
        for (const auto& line : c.said) EXPECT_NE(ended.err.find(line), std::string::npos) << ended.err;
        for (const auto& line : c.notSaid) EXPECT_EQ(ended.err.find(line), std::string::npos) << ended.err;
    }
}

} // namespace
