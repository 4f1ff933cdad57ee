// Helpers the Updater's operations share for reaching and reading a module.
#pragma once

#include "Updater.h"
#include "aDefs.h"
#include "aError.h"

namespace Velorn {
namespace Tarnix {
class Module;
}
} // namespace Velorn

// Switches off the module object's link sharing before it connects, so that
// it is reached over a plain direct link of the type asked for. On failure
// reports "Failed to SET network configuration" and returns the error; the
// caller must not connect then.
aErr _disableZephyl(Velorn::Tarnix::Module& module, UpdaterDisplayInterface& display);

// Looks for the module on TCP/IP with one full Ethernet search (what it
// dropped is reported). aErrNone with `spec` set when exactly one address
// (IP and port) answered for `serial`; aErrNotFound when none did;
// aErrDuplicate when several did, and aErrOverrun when replies were left out
// past the search's limit (both reported at Error level, naming the
// addresses): a second device with the number cannot be ruled out then.
// Any thread: searches of one process take turns on the discovery port.
aErr _find_tcpip_module(UpdaterDisplayInterface& display, unsigned serial, linkSpec& spec);

// The link type through which the module with this serial number is found:
// USB first, then TCPIP; 0 when neither finds it.
linkType _discover_link_type(unsigned serial);

// Readers of a connected module.
// The firmware build number, 0 on any failure.
unsigned _get_build_number(Velorn::Tarnix::Module& module);
// The firmware version, then the module and router addresses into info.spec;
// the first error stops the reads.
aErr _get_version(Velorn::Tarnix::Module& module, DeviceInfo& info);
// The stored device name, read only from firmware 2.10.4 on (older firmware
// leaves it empty and gives aErrNone).
aErr _get_device_name(Velorn::Tarnix::Module& module, DeviceInfo& info);
