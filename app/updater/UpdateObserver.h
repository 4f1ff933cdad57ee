// What a caller may learn of an update while it runs, and how it may stop
// it. The flow calls these on its own thread.
#pragma once

#include <cstdint>

class UpdateObserver {
public:
    enum class Stage {
        Loader,   // loader blocks going out; done/total in bytes
        Firmware, // firmware blocks being written; done/total in bytes over all blocks
        Reboot,   // REBOOT sent, waiting for the link to drop
        Verify,   // looking for the module back with the new build
    };

    virtual void OnStage(Stage stage, uint64_t done, uint64_t total) = 0;
    // LOAD is about to go out: from here the module no longer runs its old
    // firmware until the update finishes.
    virtual void OnLoaderStarting() = 0;
    // Firmware block `number` of `count` is about to be written.
    virtual void OnFirmwareBlock(unsigned number, unsigned count) = 0;
    // A step is tried again (`attempt` counts from 2).
    virtual void OnRetry(const char* what, int attempt) = 0;
    // True when the caller wants the update to end at the next safe point:
    // before the loader starts, or between firmware chunks (which leaves the
    // module in its loader). Once REBOOT is sent the update runs to its end.
    virtual bool StopRequested() const = 0;

protected:
    ~UpdateObserver() = default;
};
