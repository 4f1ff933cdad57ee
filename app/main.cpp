// The Updater entry point.
#include "UpdaterMain.h"

int main(int argc, char** argv) { return updater_main(argc, argv); }
