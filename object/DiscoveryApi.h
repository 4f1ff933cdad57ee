/* The object model's view of module discovery and USB link creation, which live
 * in the link core. Builds whose core lacks them still compile: discovery then
 * finds nothing and USB links cannot be made (both give aErrNotFound above). */
#ifndef VELORN_TARNIX_DISCOVERYAPI_H
#define VELORN_TARNIX_DISCOVERYAPI_H

#if __has_include("aDiscovery.h")
#include "aDiscovery.h"
#define TARNIX_HAVE_DISCOVERY 1
#else
#define TARNIX_HAVE_DISCOVERY 0
#endif

/* TARNIX_HAVE_CREATE_USB is set by object/CMakeLists.txt when the core's link
 * header declares aLink_CreateUSB. */
#ifndef TARNIX_HAVE_CREATE_USB
#define TARNIX_HAVE_CREATE_USB 0
#endif

#endif
