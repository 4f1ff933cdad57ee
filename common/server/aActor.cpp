/* What the link core's CZMQ users share. */
#include "aActorPrivate.h"

#include <stdio.h>


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

zsock_t* aZmq_Dealer(void)
{
    zsock_t* sock = zsock_new(ZMQ_DEALER);
    if (sock != NULL)
        zsock_set_linger(sock, 0);
    return sock;
}

bool aZmq_Pair(zsock_t* bound, zsock_t* connected, const char* kind, const void* owner, const char* what)
{
    /* ZeroMQ releases an in-process name only when its socket is reaped, in
     * the background: a new owner at a freed owner's address must not meet
     * the old name still bound, so every pair gets a number of its own. */
    static std::atomic<unsigned long long> sPairNumber{0};
    char endpoint[128];
    snprintf(endpoint, sizeof(endpoint), "inproc://tarnix-%s-%p-%s-%llu", kind, owner, what, sPairNumber++);
    return zsock_bind(bound, "%s", endpoint) == 0 && zsock_connect(connected, "%s", endpoint) == 0;
}
