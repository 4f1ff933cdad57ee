// Every module of a lab: those on USB and TCP/IP, and those behind each
// module found directly (a routing module's I2C network), read for their
// identity and firmware. A module whose serial number is found at more than
// one place is kept, at each place, marked as a duplicate: it is never
// updated.
#pragma once

#include <string>
#include <vector>

#include "FleetModel.h"
#include "UpdaterDisplayInterface.h"

struct InventoryRequest {
    bool usb = true;
    bool tcpip = true;
    // Routing modules whose networks are searched besides those of every
    // module found directly.
    std::vector<unsigned> routers;
};

struct Inventory {
    std::vector<FleetModule> modules; // direct ones first, in discovery's order
    bool usb_access_denied = false;   // the system refused a Tarnix USB device
    // Unfinished updates of modules not found: what a boot ROM may be.
    std::vector<JournalEntry> waiting;
};

// `display` takes discovery's notes from several threads at once (it must
// be thread-safe). Never fails: what cannot be read is listed with its state.
Inventory TakeInventory(const std::string& server_url, const std::string& store_directory,
                        UpdaterDisplayInterface& display, const InventoryRequest& request);
