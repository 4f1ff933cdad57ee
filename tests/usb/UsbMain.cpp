// The tests talk to virtual devices through umockdev's preload library, which
// must be loaded when the process starts: start over under it if it is not.
#include <string>

#include <gtest/gtest.h>

#include "Link.h"
#include "UmockdevPreload.h"
#include "aLink.h"

namespace {

// `--open-as-user usb|find|serial TARGET`: what a test runs again as an
// ordinary user (under setpriv); exits with the aErr the opening gave.
int OpenAsUser(const std::string& how, const std::string& target)
{
    aLinkId link = 0;
    aErr err = aErrParam;
    if (how == "usb") {
        err = aLink_OpenUSB(std::stoul(target, nullptr, 0), &link);
    } else if (how == "serial") {
        err = aLink_OpenSerial(1, target.c_str(), 115200, &link);
    } else if (how == "find") {
        Velorn::Tarnix::Link object("as-user");
        err = object.discoverAndConnect(USB, std::stoul(target, nullptr, 0));
        if (err == aErrNone)
            (void)object.disconnect(); /* the exit status says enough */
    }
    if (link != 0)
        (void)aLink_Destroy(&link); /* the exit status says enough */
    return static_cast<int>(err);
}

} // namespace

int main(int argc, char** argv)
{
    testsupport::RestartUnderUmockdevPreload(argv, "USB_TESTS_REEXEC");
    if (argc == 4 && std::string(argv[1]) == "--open-as-user")
        return OpenAsUser(argv[2], argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
