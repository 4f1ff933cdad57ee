// Operations this build does not have yet. Each says so plainly and fails,
// so the command that needs it ends with status 1. Each operation moves out
// of this file into its own when it is built.
#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    _not_available("Reading a chip fingerprint");
    return false;
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    _not_available("Firmware recovery");
    return false;
}
