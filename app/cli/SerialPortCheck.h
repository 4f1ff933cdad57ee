// What the -s and -o arguments of -N and of recovery name, told before
// anything is sent, so a wrong path or rate is not reported as a chip that
// does not answer.
#pragma once

#include <cstdint>
#include <string>

// Empty when `path` is a terminal (or kUsbBootRomPort, the i.MX ROM over
// USB); otherwise one line for the user that says what it is instead:
// missing, a directory, a regular file, a FIFO, a socket, a block device, a
// device that is no terminal, or not openable (permission). Opens and closes a
// character device once to ask whether it is a terminal, without becoming its
// controlling process. Any thread.
std::string SerialPortProblem(const std::string& path);

// Empty when the serial layer can set `rate` exactly; otherwise one line
// that names what was given (`given`, or the number when `given` is empty)
// and lists the rates it can set. Any thread.
std::string BaudRateProblem(uint32_t rate, const std::string& given);
