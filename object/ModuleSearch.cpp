#include "ModuleSearch.h"

#include "aDiscovery.h"
#include "aTime.h"

namespace Velorn {
namespace Tarnix {

namespace {

aErr Relink(Module& module, const ModuleSearch& search, bool freshUsb) {
    if (!search.relink)
        return aErrNone;
    if (freshUsb)
        aDiscovery_RefreshUSB();
    (void)module.disconnect(); /* a module that is gone may not say goodbye; the search goes on */
    if (search.type != USB) {
        const aErr err = module.reconnect();
        return err != aErrNone ? err : module.isConnected() ? aErrNone : aErrConnection;
    }
    aErr err = aErrNotFound;
    for (unsigned serial : search.serials) {
        err = module.discoverAndConnect(USB, serial);
        if (err == aErrNone && module.isConnected())
            return aErrNone;
        if (err == aErrNone)
            err = aErrConnection;
    }
    return err;
}

bool Exhausted(const ModuleSearch& search, int round, uint64_t end) {
    if (search.maxRounds != 0 && round > search.maxRounds)
        return true;
    return search.deadlineMs != 0 && aTime_MonotonicMS() >= end;
}

} // namespace

aErr findModuleAgain(Module& module, const ModuleSearch& search) {
    if (search.maxRounds <= 0 && search.deadlineMs == 0)
        return aErrParam;
    const uint64_t end = aTime_MonotonicMS() + search.deadlineMs;
    aErr err = aErrTimeout;
    for (int round = 1; !Exhausted(search, round, end); ++round) {
        const bool freshUsb =
            search.relink && search.type == USB && search.freshUsbEvery > 0 && round % search.freshUsbEvery == 0;
        if (search.eachRound)
            search.eachRound(round, freshUsb);
        err = Relink(module, search, freshUsb);
        if (err == aErrNone && search.confirm)
            err = search.confirm(module);
        if (err == aErrNone)
            return aErrNone;
        if (round != search.maxRounds)
            aTime_MSSleep(search.pauseMs);
    }
    return err;
}


} // namespace Tarnix
} // namespace Velorn
