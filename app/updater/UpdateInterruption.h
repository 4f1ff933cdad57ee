// Ctrl-C and SIGTERM during an update: the program ends at once, with status
// 1, after one line on standard error that says what the interruption left
// behind, since a module stopped after its loader started runs no firmware
// until an update finishes.
#pragma once

class UpdateInterruption {
public:
    enum Phase : int {
        Untouched = 0, // nothing sent that changes the module yet
        InLoader = 1,  // LOAD sent: the module may run its loader until the update ends
        Recording = 2, // the module is back with the new build; the history is being written
    };

    // Installs handlers for SIGINT and SIGTERM that name module `serial`;
    // the phase starts as Untouched. One scope at a time, on the thread that
    // runs the update; the handlers themselves may run on any thread.
    explicit UpdateInterruption(unsigned serial);
    // Puts the earlier handlers back.
    ~UpdateInterruption();
    UpdateInterruption(const UpdateInterruption&) = delete;
    UpdateInterruption& operator=(const UpdateInterruption&) = delete;

    // Moves to `phase`. Harmless when no scope is installed. While Recording,
    // a signal does not end the program (a settings file must not be left
    // half-done); Interrupted() then tells the caller to stop.
    static void Enter(Phase phase);
    // True when a signal arrived while Recording.
    static bool Interrupted();
};
