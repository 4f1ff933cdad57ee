#include "UpdateInterruption.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr int kPhases = 2; // phases that end the program with a notice
constexpr int kSlots = 16; // updates at once that each get their own line

// One update in progress. The notices are filled before `used` is set and
// only read by the handler after it saw `used`.
struct Slot {
    std::atomic<bool> used{false};
    std::atomic<int> phase{UpdateInterruption::Untouched};
    char notice[kPhases][256];
    size_t noticeLength[kPhases];
};

Slot sSlots[kSlots];
std::atomic<bool> sInterrupted{false};
// Installation and removal of the handlers, never taken by the handler.
std::mutex sInstallLock;
int sScopes = 0;
struct sigaction sPrevious[kSignalCount];

bool sAnyRecording() {
    for (const Slot& slot : sSlots)
        if (slot.used.load() && slot.phase.load() == UpdateInterruption::Recording) return true;
    return false;
}

// Only async-signal-safe calls: write and _exit.
void sOnSignal(int) {
    if (sAnyRecording()) {
        sInterrupted.store(true);
        return;
    }
    for (const Slot& slot : sSlots) {
        if (!slot.used.load()) continue;
        const int phase = slot.phase.load();
        ssize_t ignored = write(STDERR_FILENO, slot.notice[phase], slot.noticeLength[phase]);
        (void)ignored;
    }
    _exit(1);
}

void sFormat(Slot& slot, int phase, const char* format, unsigned serial, const char* lead) {
    std::snprintf(slot.notice[phase], sizeof slot.notice[phase], format, lead, serial);
    slot.noticeLength[phase] = std::strlen(slot.notice[phase]);
}

int sClaimSlot(unsigned serial) {
    // A progress bar on the terminal leaves the cursor mid-line.
    const char* lead = isatty(STDOUT_FILENO) ? "\n" : "";
    for (int i = 0; i < kSlots; ++i) {
        Slot& slot = sSlots[i];
        if (slot.used.load()) continue;
        sFormat(slot, UpdateInterruption::Untouched,
                "%sUpdate interrupted: module [%08X] was not changed (its loader had not been started)\n", serial,
                lead);
        sFormat(slot, UpdateInterruption::InLoader,
                "%sUpdate interrupted: module [%08X] may be left in its loader; run the same Updater -U command "
                "again to finish the update\n",
                serial, lead);
        slot.phase.store(UpdateInterruption::Untouched);
        slot.used.store(true);
        return i;
    }
    return -1;
}

} // namespace

UpdateInterruption::UpdateInterruption(unsigned serial) {
    const std::lock_guard<std::mutex> lock(sInstallLock);
    slot = sClaimSlot(serial);
    if (sScopes++ > 0) return;
    sInterrupted.store(false);
    struct sigaction action {};
    action.sa_handler = sOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &sPrevious[i]);
}

UpdateInterruption::~UpdateInterruption() {
    const std::lock_guard<std::mutex> lock(sInstallLock);
    if (slot >= 0) {
        sSlots[slot].used.store(false);
        sSlots[slot].phase.store(Untouched);
    }
    if (--sScopes > 0) return;
    for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &sPrevious[i], nullptr);
}

void UpdateInterruption::Enter(Phase phase) {
    if (slot >= 0) sSlots[slot].phase.store(phase);
}

bool UpdateInterruption::Interrupted() const { return sInterrupted.load(); }
