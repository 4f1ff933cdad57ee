#include "UpdaterMain.h"

int updater_main(int, char**) { return 1; }
