// The update of one module over its link, as named steps: choose the build,
// load the file, connect (directly or through a routing module), check that
// the file fits, start the loader, write, restart, confirm the module came
// back with the new build, and only then record the transfer.
#pragma once

#include <optional>
#include <string>

#include "Result.h"
#include "UpdateJournal.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"

class Updater;
class UpdateObserver;

// What one update is asked to do (the -U command's options).
struct UpdateRequest {
    unsigned serial = 0;
    unsigned build = 0;               // 0: the server's newest when stored, else the store's latest
    std::string bird_file;            // a file given with -f; the build is then not looked up
    unsigned char module_address = 0; // behind a router; 0: found by probing the router's network
    unsigned router_serial = 0;       // 0: the module is reached directly
    bool override = false;            // skip the check that the file is built for the module
    // Where the caller found the module (or its router) a moment ago. One on
    // TCP/IP with the same serial number is connected there first: the
    // Ethernet search that would find it again takes turns between threads
    // and waits 2 s for late answers. Type INVALID (the default): searched.
    linkSpec module_link{};
    linkSpec router_link{};
    // Told of the stages as they pass; may ask the update to stop. With an
    // observer the caller handles Ctrl-C and SIGTERM itself (the flow sets no
    // signal handlers) and stops updates through StopRequested.
    UpdateObserver* observer = nullptr;
};

// Runs the update; success when the module came back running the file's
// build and the transfer was recorded. A failure has been shown on the
// display; the Result names the step that stopped the update ("update
// stopped at: write") with the link's error when there was one (else
// aErrParam: no device named; aErrIO, aErrNotFound, aErrParse,
// aErrConnection, aErrInvalidEntity, aErrTimeout by step). The display, store,
// server URL and options all come from `updater`; updates through different
// Updater objects may run at the same time on different threads (one update
// per module). Without an observer, Ctrl-C and SIGTERM are handled for the
// length of the call; an update stopped through the observer ends with
// aErrCancel.
Result RunUpdateFlow(Updater& updater, const UpdateRequest& request);

// The update of `serial` that its device directory records as cut short,
// with `path` set to its file. A record that cannot be followed (damaged,
// another device's, its file gone) is said on the display and cleared:
// nullopt then, as when there is none. The caller's thread.
std::optional<JournalEntry> _interrupted_update(UpdaterDisplayInterface& display, const std::string& directory,
                                                unsigned serial, std::string& path);
