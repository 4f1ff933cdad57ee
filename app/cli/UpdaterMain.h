// The command-line front end: reads the options, prints version and usage,
// prepares the store directory and dispatches the commands.
#pragma once

#include <string>

#include "Parameters.h"

class CLI_Display;

// The whole run; returns the exit status (0 or 1).
int updater_main(int argc, char** argv);

// Fills the record from the command line: 0 when it is acceptable, 1 otherwise.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);
// The -k file that _get_params will record, found before parsing so the
// debug log can go there from the first line; false when -k is not given.
bool _find_log_file(int argc, char** argv, std::string& path);
// Releases what the record owns on the early-exit paths.
int _release_params(Parameters* params);

// Convert an option argument made only of hexadecimal (decimal) digits; any
// other character, or a null end pointer, gives 0 and leaves *end alone.
unsigned _get_hex_arg(const char* text, char** end);
unsigned _get_int_arg(const char* text, char** end);

// Usage text, straight to standard error.
void _display_usage(bool extended, bool full);
void _display_app_version(CLI_Display& display);
void _display_copyright(CLI_Display& display);
