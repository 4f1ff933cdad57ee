#include "SerialPortCheck.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Updater.h"
#include "aStream.h"

namespace {

std::string NotAPort(const std::string& path, const char* what) {
    return path + " is " + what + ", not a serial port";
}

std::string OpenProblem(const std::string& path, int error) {
    if (error == EACCES || error == EPERM) return "No permission to open serial port " + path;
    return "Cannot open serial port " + path + ": " + std::strerror(error);
}

// A character device is a serial port only when the terminal layer says so
// (/dev/null and /dev/zero are character devices too).
std::string DeviceProblem(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenProblem(path, errno);
    const bool terminal = isatty(fd) == 1;
    close(fd);
    return terminal ? std::string() : path + " is a device that is not a terminal, not a serial port";
}

} // namespace

std::string SerialPortProblem(const std::string& path) {
    if (path.empty()) return "Must specify the serial port used for connecting";
    if (path == kUsbBootRomPort) return "";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return path + " does not exist";
        return OpenProblem(path, errno);
    }
    if (S_ISCHR(st.st_mode)) return DeviceProblem(path);
    if (S_ISDIR(st.st_mode)) return NotAPort(path, "a directory");
    if (S_ISREG(st.st_mode)) return NotAPort(path, "a regular file");
    if (S_ISFIFO(st.st_mode)) return NotAPort(path, "a FIFO");
    if (S_ISSOCK(st.st_mode)) return NotAPort(path, "a socket");
    return NotAPort(path, "a block device");
}

std::string BaudRateProblem(uint32_t rate, const std::string& given) {
    uint32_t code = 0;
    if (aStream_SerialBaudCode(rate, &code)) return "";
    std::string rates;
    for (uint32_t c = 0; c < aBAUD_COUNT; ++c)
        rates += (c == 0 ? "" : ", ") + std::to_string(aStream_SerialBaudRate(c));
    return "Baud rate " + (given.empty() ? std::to_string(rate) : given) +
           " cannot be set on a serial port; use one of " + rates;
}
