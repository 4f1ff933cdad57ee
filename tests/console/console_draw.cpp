// Drives the console display and the debug log from the command line, one
// action per argument, so tests can watch what a terminal or a pipe receives:
//   info=TEXT error=TEXT bar=FRACTION bar=FRACTION,LABEL spin spin=LABEL
//   spinoff show hide mute unmute long=N log=PACKAGE,TEXT mask=VALUE
#include <cstdlib>
#include <cstring>
#include <string>

#include "CLI_Display.h"
#include "Log.h"

int main(int argc, char** argv) {
    CLI_Display display;
    Log::SetOutput(stderr);
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const auto eq = word.find('=');
        const std::string action = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        const auto comma = value.find(',');
        const std::string first = value.substr(0, comma);
        const std::string rest = comma == std::string::npos ? "" : value.substr(comma + 1);
        const bool has_rest = comma != std::string::npos;

        if (action == "info") {
            display.message(UpdaterDisplayInterface::Info, "%s", value.c_str());
        } else if (action == "error") {
            display.message(UpdaterDisplayInterface::Error, "%s", value.c_str());
        } else if (action == "bar") {
            display.update_progress(std::strtod(first.c_str(), nullptr), has_rest ? rest.c_str() : nullptr);
        } else if (action == "spin") {
            display.update_spinner(true, eq == std::string::npos ? nullptr : value.c_str());
        } else if (action == "spinoff") {
            display.update_spinner(false, nullptr);
        } else if (action == "show") {
            display.display_progress(true);
        } else if (action == "hide") {
            display.display_progress(false);
        } else if (action == "mute") {
            display.mute_messages(true);
        } else if (action == "unmute") {
            display.mute_messages(false);
        } else if (action == "long") {
            const std::string text(std::strtoul(value.c_str(), nullptr, 10), 'x');
            display.message(UpdaterDisplayInterface::Info, "%s", text.c_str());
        } else if (action == "log") {
            Log::log(static_cast<unsigned>(std::strtoul(first.c_str(), nullptr, 0)), "%s\n", rest.c_str());
        } else if (action == "mask") {
            Log::ActivatePackage(static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0)));
        } else {
            return 2;
        }
    }
    return 0;
}
