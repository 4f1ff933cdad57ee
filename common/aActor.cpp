/* Stopping the link core's CZMQ actors. */
#include "aActorPrivate.h"


#include "aTime.h"

void aActor_Destroy(zactor_t** actor, std::atomic<bool>* exited)
{
    if (actor == NULL || *actor == NULL)
        return;
    zactor_destroy(actor);
    /* The actor marks its exit before it signals the pipe zactor_destroy
     * waited on, so this loop normally ends at once; the bound only keeps a
     * broken actor from holding its owner forever. */
    for (int waited = 0; !exited->load(std::memory_order_acquire) && waited < 1000; ++waited)
        aTime_MSSleep(1);
}
