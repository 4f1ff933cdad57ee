#include "UpdateInterruption.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
constexpr int kPhases = 2; // phases that end the program with a notice

// Filled before the handlers go in; the handler only reads them.
char sNotice[kPhases][256];
size_t sNoticeLength[kPhases];
std::atomic<int> sPhase{UpdateInterruption::Untouched};
std::atomic<bool> sInterrupted{false};
struct sigaction sPrevious[sizeof kSignals / sizeof kSignals[0]];

// Only async-signal-safe calls: write and _exit.
void sOnSignal(int) {
    const int phase = sPhase.load();
    if (phase == UpdateInterruption::Recording) {
        sInterrupted.store(true);
        return;
    }
    ssize_t ignored = write(STDERR_FILENO, sNotice[phase], sNoticeLength[phase]);
    (void)ignored;
    _exit(1);
}

void sFormat(int phase, const char* format, unsigned serial, const char* lead) {
    std::snprintf(sNotice[phase], sizeof sNotice[phase], format, lead, serial);
    sNoticeLength[phase] = std::strlen(sNotice[phase]);
}

} // namespace

UpdateInterruption::UpdateInterruption(unsigned serial) {
    // A progress bar on the terminal leaves the cursor mid-line.
    const char* lead = isatty(STDOUT_FILENO) ? "\n" : "";
    sFormat(Untouched, "%sUpdate interrupted: module [%08X] was not changed (its loader had not been started)\n",
            serial, lead);
    sFormat(InLoader,
            "%sUpdate interrupted: module [%08X] may be left in its loader; run the same Updater -U command "
            "again to finish the update\n",
            serial, lead);
    sPhase.store(Untouched);
    sInterrupted.store(false);
    struct sigaction action {};
    action.sa_handler = sOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &action, &sPrevious[i]);
}

UpdateInterruption::~UpdateInterruption() {
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &sPrevious[i], nullptr);
    sPhase.store(Untouched);
}

void UpdateInterruption::Enter(Phase phase) { sPhase.store(phase); }

bool UpdateInterruption::Interrupted() { return sInterrupted.load(); }
