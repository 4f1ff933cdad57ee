#include "aMutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#define aMUTEX_VALIDITY 0xD00D
#define aMUTEX_NAME_SIZE 256

struct aMutex {
    uint16_t validity;
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_SIZE];
};

static bool sValid(const aMutex* mutex)
{
    return mutex != NULL && mutex->validity == aMUTEX_VALIDITY;
}

aMutex* aMutex_Create(const char* name)
{
    if (name != NULL && strnlen(name, aMUTEX_NAME_SIZE) >= aMUTEX_NAME_SIZE)
        return NULL;
    aMutex* mutex = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
    if (mutex == NULL)
        return NULL;

    /* Error checking, so relocking by the owner and unlocking by another
     * thread are reported instead of hanging or corrupting the lock. */
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        free(mutex);
        return NULL;
    }
    const bool made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                      pthread_mutex_init(&mutex->mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!made) {
        free(mutex);
        return NULL;
    }
    if (name != NULL)
        strcpy(mutex->name, name);
    mutex->validity = aMUTEX_VALIDITY;
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex)
{
    return sValid(mutex) ? mutex->name : "";
}

aErr aMutex_Lock(aMutex* mutex)
{
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutex* mutex)
{
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutex* mutex)
{
    if (!sValid(mutex))
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutex** handle)
{
    if (handle == NULL || !sValid(*handle))
        return aErrParam;
    aMutex* mutex = *handle;

    /* Destroying a held lock is undefined for POSIX; refuse it instead. */
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: pthread_mutex_unlock(&mutex->mutex); break;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
    switch (pthread_mutex_destroy(&mutex->mutex)) {
    case 0: break;
    case EBUSY: return aErrBusy;
    case EAGAIN: case ENOMEM: return aErrResource;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
    mutex->validity = 0;
    free(mutex);
    *handle = NULL;
    return aErrNone;
}
