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

#endif
