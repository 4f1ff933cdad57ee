// Printing the results of the dispatched commands.
#pragma once

#include <string>
#include <vector>

#include "Updater.h"
#include "aDefs.h"

class CLI_Display;

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type);
void _display_builds(CLI_Display& display, const BuildList& list, unsigned serial);
void _display_jwt(CLI_Display& display, const std::string& token);
void _display_fingerprint(CLI_Display& display, const Fingerprint& fingerprint);
