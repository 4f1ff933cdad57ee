// The tarnix-fleet entry point.
#include "FleetMain.h"

int main(int argc, char** argv) { return fleet_main(argc, argv); }
