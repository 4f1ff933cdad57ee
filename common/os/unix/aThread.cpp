#include "aThread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#define aTHREAD_VALIDITY 0xFADE

struct aThread {
    uint16_t validity;
    pthread_t id;
};

aThread* aThread_Create(aThreadFunction function, void* argument)
{
    if (function == NULL)
        return NULL;
    aThread* thread = static_cast<aThread*>(calloc(1, sizeof(aThread)));
    if (thread == NULL)
        return NULL;
    if (pthread_create(&thread->id, NULL, function, argument) != 0) {
        free(thread);
        return NULL;
    }
    thread->validity = aTHREAD_VALIDITY;
    return thread;
}

int aThread_Destroy(aThread** handle)
{
    if (handle == NULL || *handle == NULL || (*handle)->validity != aTHREAD_VALIDITY)
        return EINVAL;
    aThread* thread = *handle;
    const int joined = pthread_join(thread->id, NULL);
    /* A thread releasing its own handle cannot wait for itself; let it
     * finish detached rather than leak it. */
    if (joined == EDEADLK)
        pthread_detach(thread->id);
    thread->validity = 0;
    free(thread);
    *handle = NULL;
    return joined;
}

int aThread_Detach(aThread** handle)
{
    if (handle == NULL || *handle == NULL || (*handle)->validity != aTHREAD_VALIDITY)
        return EINVAL;
    aThread* thread = *handle;
    const int detached = pthread_detach(thread->id);
    thread->validity = 0;
    free(thread);
    *handle = NULL;
    return detached;
}

void aThread_Yield(void)
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, NULL);
}
