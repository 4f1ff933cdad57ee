/* Finding a module again after it restarted (into its loader, out of it, or
 * from a boot ROM's RAM loader): USB modules re-enumerate and are discovered
 * anew by serial number, others are reconnected where they were.
 *
 * Threads: one search per Module at a time, on that module's thread; searches
 * on different modules may run side by side. Nothing is thrown. */
#ifndef VELORN_TARNIX_MODULESEARCH_H
#define VELORN_TARNIX_MODULESEARCH_H

#include <cstdint>
#include <functional>
#include <vector>

#include "Module.h"

namespace Velorn {
namespace Tarnix {

struct ModuleSearch {
    /* USB: discovered anew under one of `serials`; any other type:
     * reconnected at the address the link had. */
    linkType type = USB;
    /* The serial numbers the module may come back as, tried in this order
     * each round (USB only). */
    std::vector<unsigned> serials;
    /* False: the link is not remade (a routed module's link belongs to its
     * router); each round only runs `confirm`. */
    bool relink = true;
    /* Bounds: the search ends after maxRounds rounds or when deadlineMs (on
     * the monotonic clock, from the start) has passed, whichever comes first;
     * 0 leaves that bound out. One of them must be set. */
    int maxRounds = 0;
    uint32_t deadlineMs = 0;
    uint32_t pauseMs = 1000; /* between rounds */
    /* USB: every n-th round starts with a fresh USB context, for a bus whose
     * enumeration went stale while the module was away (0: never). Links
     * open elsewhere keep working. */
    int freshUsbEvery = 0;
    /* Runs on the connected module; its error fails the round. */
    std::function<aErr(Module&)> confirm;
    /* Called before each round with its number (from 1) and whether it starts
     * with a fresh USB context, for a spinner or a debug line. */
    std::function<void(int round, bool freshUsb)> eachRound;
};

/* Searches for `module` as `search` says. aErrNone once it is connected and
 * confirmed; otherwise the last round's error (aErrTimeout when no round
 * ran, aErrParam when neither bound is set). The module stays disconnected
 * after a failed relinking round. */
aErr findModuleAgain(Module& module, const ModuleSearch& search);

} // namespace Tarnix
} // namespace Velorn

#endif
