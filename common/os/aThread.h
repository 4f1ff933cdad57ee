/* Joinable threads. */
#ifndef TARNIX_ATHREAD_H
#define TARNIX_ATHREAD_H

#include "aError.h"

typedef struct aThread aThread; /* opaque */
typedef void* (*aThreadFunction)(void* argument);

aThread* aThread_Create(aThreadFunction function, void* argument);
/* Waits for the thread to end, frees the handle and nulls it; returns the join result. */
int aThread_Destroy(aThread** thread);
/* Lets the thread end on its own without being waited for (it may be the calling
 * thread), frees the handle and nulls it; returns the detach result. */
int aThread_Detach(aThread** thread);
void aThread_Yield(void);

#endif
