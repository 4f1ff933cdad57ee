// Carries a plan out: a pool of workers, each updating one module at a time
// through the same flow as a single update. Modules on USB and TCP/IP go side
// by side; a routing module and the modules behind it share one I2C bus and
// go one after another; no module is ever driven by two workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Events.h"
#include "FleetModel.h"

struct RunnerOptions {
    std::string server_url;
    std::string store_directory; // the Updater's store (<root>/updater)
    std::string run_directory;   // where each module's log goes; "" for none
    unsigned jobs = 0;           // workers; 0: one per group that can go in parallel
    uint32_t log_mask = 0;       // debug log packages for each module's log, besides the process's
    int attempts = 2;            // tries of a module left in its loader by a failed try
    const std::atomic<bool>* stop = nullptr; // set: workers stop at their next safe point
};

// The key of the modules that must not be updated at the same time as
// `entry`: a routed module shares its router's, a router its own.
unsigned GroupOf(const PlanEntry& entry);

// One result per plan entry, in the plan's order. Entries that need no update
// are reported at once; the rest as they finish. Main thread; returns when
// every worker has ended.
std::vector<ModuleResult> RunPlan(const std::vector<PlanEntry>& plan, const RunnerOptions& options, Events& events);
