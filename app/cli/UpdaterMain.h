// The command-line front end: parses the options and dispatches the commands.
#pragma once

int updater_main(int argc, char** argv);
