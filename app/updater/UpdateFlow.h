// The update of one module over its link, as named steps: choose the build,
// load the file, connect (directly or through a routing module), check that
// the file fits, start the loader, write, restart, confirm the module came
// back with the new build, and only then record the transfer.
#pragma once

#include <string>

class Updater;

// What one update is asked to do (the -U command's options).
struct UpdateRequest {
    unsigned serial = 0;
    unsigned build = 0;               // 0: the server's newest when stored, else the store's latest
    std::string bird_file;            // a file given with -f; the build is then not looked up
    unsigned char module_address = 0; // behind a router; 0: found by probing the router's network
    unsigned router_serial = 0;       // 0: the module is reached directly
    bool override = false;            // skip the check that the file is built for the module
};

// Runs the update; true when the module came back running the file's build
// and the transfer was recorded, false after saying why. The display, store,
// server URL and options all come from `updater`; updates through different
// Updater objects may run at the same time on different threads (one update
// per module). Ctrl-C and SIGTERM are handled for the length of the call.
bool RunUpdateFlow(Updater& updater, const UpdateRequest& request);
