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
void _display_stored_device(CLI_Display& display, const StoredDevice& device, unsigned serial);
// The report of a BIRD file check; problems go out as errors.
void _display_bird_check(CLI_Display& display, const BirdCheckReport& report);
