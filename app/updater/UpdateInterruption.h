// Ctrl-C and SIGTERM during an update: the program ends at once, with status
// 1, after one line on standard error per update in progress that says what
// the interruption left behind, since a module stopped after its loader
// started runs no firmware until an update finishes.
#pragma once

#include <cstddef>

class UpdateInterruption {
public:
    enum Phase : int {
        Untouched = 0, // nothing sent that changes the module yet
        InLoader = 1,  // LOAD sent: the module may run its loader until the update ends
        Recording = 2, // the module is back with the new build; the history is being written
    };

    // Registers the update of module `serial`, in phase Untouched. The first
    // scope of the process installs handlers for SIGINT and SIGTERM, the last
    // one to go puts the earlier handlers back; scopes of updates running side
    // by side (any threads) share them. Past the supported number of updates
    // at once a scope is inert: its update is still ended by a signal, without
    // its own line. The handlers themselves may run on any thread.
    explicit UpdateInterruption(unsigned serial);
    ~UpdateInterruption();
    UpdateInterruption(const UpdateInterruption&) = delete;
    UpdateInterruption& operator=(const UpdateInterruption&) = delete;

    // Moves this update to `phase`. While any update is Recording, a signal
    // does not end the program (a settings file must not be left half-done);
    // Interrupted() then tells each update to stop. Owner's thread.
    void Enter(Phase phase);
    // True when a signal arrived while some update was Recording.
    bool Interrupted() const;

private:
    int slot; // -1 when inert
};
