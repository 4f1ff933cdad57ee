/* Non-recursive, error-checking mutexes: relocking by the owner gives
 * aErrDuplicate, unlocking by another thread aErrPermission, destroying a held
 * mutex aErrBusy (the handle is then kept). */
#ifndef TARNIX_AMUTEX_H
#define TARNIX_AMUTEX_H

#include "aError.h"

typedef struct aMutex aMutex; /* opaque */

aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
aErr aMutex_Destroy(aMutex** mutex);

#ifdef __cplusplus
/* Holds a mutex for the length of a scope. Locking a valid mutex this thread
 * does not hold cannot fail, nor can its owner's unlock, which is all a scope
 * can do; so neither result is looked at. */
class aMutexHold {
public:
    explicit aMutexHold(aMutex* mutex) : mutex_(mutex) { (void)aMutex_Lock(mutex_); }
    ~aMutexHold() { (void)aMutex_Unlock(mutex_); }
    aMutexHold(const aMutexHold&) = delete;
    aMutexHold& operator=(const aMutexHold&) = delete;

private:
    aMutex* mutex_;
};
#endif

#endif
