// Deliberate misuse of a mutex (relock by the owner, unlock by another
// thread, destroy while held). Kept out of the ThreadSanitizer run, which
// reports such misuse itself.
#include <gtest/gtest.h>

#include <thread>

#include "aMutex.h"

TEST(Mutex, ResultsOfMisuse)
{
    aMutex* m = aMutex_Create("table");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(aMutex_Identifier(m), "table");

    ASSERT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_Lock(m), aErrDuplicate);      // the owner again: would deadlock
    aErr otherTry = aErrNone, otherUnlock = aErrNone;
    std::thread([&] {
        otherTry = aMutex_TryLock(m);
        otherUnlock = aMutex_Unlock(m);
    }).join();
    EXPECT_EQ(otherTry, aErrBusy);
    EXPECT_EQ(otherUnlock, aErrPermission);

    EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
    ASSERT_NE(m, nullptr);                          // kept, still usable
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrPermission);    // no longer owned
    EXPECT_EQ(aMutex_TryLock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);

    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(aMutex_Destroy(&m), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
}
