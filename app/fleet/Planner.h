// What an update would do to each selected module: its target build and
// where that comes from (a file given, the store, or the update server's
// newest, downloaded first), or why it is left alone. Planning writes
// nothing and changes no module.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "FleetModel.h"
#include "Result.h"
#include "Updater.h"

struct PlanRequest {
    std::string file; // --file; empty: each module's newest build
    bool force = false;
    std::vector<JournalEntry> waiting; // unfinished updates of modules not found
};

// One entry per module, in the order given. Fails (aErrParse, with the
// reasons) only when a file is given that no update could use. Notes, such
// as an update server that does not answer, go to `say`. Main thread.
ResultOf<std::vector<PlanEntry>> MakePlan(Updater& updater, const std::vector<FleetModule>& modules,
                                          const PlanRequest& request,
                                          const std::function<void(const std::string&)>& say);
