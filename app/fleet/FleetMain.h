// The fleet program's entry: parses the command line, runs one command and
// returns the exit status (FleetExit).
#pragma once

int fleet_main(int argc, char** argv);
