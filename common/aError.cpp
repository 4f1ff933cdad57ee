#include "aError.h"
