/* What the link core's CZMQ users share: stopping actors so that
 * ThreadSanitizer sees the order, and in-process socket pairs. */
#ifndef TARNIX_AACTORPRIVATE_H
#define TARNIX_AACTORPRIVATE_H

#include <czmq.h>

#include <atomic>

/* zactor_destroy returns once the actor's thread has signalled through its
 * pipe, a hand-off inside libzmq that ThreadSanitizer cannot see, so freeing
 * what the actor used would look like a race. Each actor of ours holds an
 * aActorExit for its whole body (set as its last step), and its owner stops it
 * with aActor_Destroy, which also waits for that mark: the order becomes
 * visible to the checker, and nothing else changes. */
class aActorExit {
public:
    explicit aActorExit(std::atomic<bool>* exited) : exited_(exited) {}
    ~aActorExit() { exited_->store(true, std::memory_order_release); }
    aActorExit(const aActorExit&) = delete;
    aActorExit& operator=(const aActorExit&) = delete;

private:
    std::atomic<bool>* exited_;
};

/* zactor_destroy, then the wait for the actor's mark (already set by then in
 * practice; bounded all the same). Null actors are fine. */
void aActor_Destroy(zactor_t** actor, std::atomic<bool>* exited);

/* A DEALER socket that drops unsent messages when closed; null on failure. */
zsock_t* aZmq_Dealer(void);
/* Binds `bound` and connects `connected` to one in-process endpoint named
 * after `kind`, the owner's address, `what` and a number never used before
 * in this process; false when either fails. Any thread. */
bool aZmq_Pair(zsock_t* bound, zsock_t* connected, const char* kind, const void* owner, const char* what);

#endif
