// The tests talk to virtual devices through umockdev's preload library, which
// must be loaded when the process starts: start over under it if it is not.
#include <gtest/gtest.h>

#include "UmockdevPreload.h"

int main(int argc, char** argv)
{
    testsupport::RestartUnderUmockdevPreload(argv, "USB_TESTS_REEXEC");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
