#include "UpdateJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "AtomicFile.h"
#include "aDirectory.h"

namespace {

constexpr const char* kFormat = "1";
constexpr size_t kMaxSize = 8192;

// A value as it can stand on one line.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// The whole file, when it is a plain file of bounded size; never follows a link
// and never waits on a FIFO.
bool ReadPlainFile(const std::string& path, std::string& text, std::string& problem) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= kMaxSize;
    if (!ok) problem = "it is not a small plain file";
    char buffer[kMaxSize + 1];
    ssize_t got = ok ? read(fd, buffer, sizeof buffer) : -1;
    if (ok && (got < 0 || size_t(got) > kMaxSize)) {
        problem = "it cannot be read";
        ok = false;
    }
    close(fd);
    if (ok) text.assign(buffer, size_t(got));
    return ok;
}

bool ParseUnsigned(const std::string& text, int base, unsigned& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFul) return false;
    out = unsigned(value);
    return true;
}

} // namespace

UpdateJournal::UpdateJournal(std::string device_directory) : file(std::move(device_directory) + "/" + kFileName) {}

Result UpdateJournal::Record(const JournalEntry& e) const {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", e.serial);
    const std::string text = std::string("JOURNAL=") + kFormat + "\nSERIAL=" + serial + "\nFILE=" + OneLine(e.file) +
                             "\nBUILD=" + std::to_string(e.build) + "\nLINK=" + OneLine(e.link) +
                             "\nSTARTED=" + OneLine(e.started) + "\nPHASE=" + OneLine(e.phase) + "\n";
    // Whatever else stands at the name (a link someone left, a FIFO) goes:
    // the record is always a plain file of this directory.
    struct stat st {};
    if (lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && unlink(file.c_str()) != 0)
        return Result::Failure(aErrIO, "cannot replace " + file + ": " + std::strerror(errno));
    const AtomicWriteResult written = ReplaceFileAtomically(file, text.data(), text.size());
    if (written.error != aErrNone)
        return Result::Failure(aErrIO, "cannot write " + file + ": " + std::strerror(written.systemError));
    return {};
}

JournalRead UpdateJournal::Read() const {
    JournalRead read;
    struct stat st {};
    if (lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) return read;
        read.state = JournalRead::State::Damaged;
        read.problem = std::strerror(errno);
        return read;
    }
    read.state = JournalRead::State::Damaged;
    std::string text;
    if (!ReadPlainFile(file, text, read.problem)) return read;
    std::map<std::string, std::string> keys;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    JournalEntry& e = read.entry;
    if (keys["JOURNAL"] != kFormat) read.problem = "it is not a record this program writes";
    else if (!ParseUnsigned(keys["SERIAL"], 16, e.serial) || e.serial == 0) read.problem = "its serial number is missing";
    else if ((e.file = keys["FILE"]).empty()) read.problem = "it names no file";
    else if (!ParseUnsigned(keys["BUILD"], 10, e.build)) read.problem = "its build is missing";
    else if ((e.phase = keys["PHASE"]).empty()) read.problem = "it is cut short";
    if (!read.problem.empty()) return read;
    e.link = keys["LINK"];
    e.started = keys["STARTED"];
    read.state = JournalRead::State::Found;
    return read;
}

Result UpdateJournal::Clear() const {
    if (unlink(file.c_str()) == 0 || errno == ENOENT) return {};
    return Result::Failure(aErrIO, "cannot remove " + file + ": " + std::strerror(errno));
}

namespace {

bool AddDeviceDirectory(const aDirectoryListData* entry, void* ref) {
    const std::string path = entry->path ? entry->path : "";
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const bool serialName = name.size() == 8 && name.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    if (entry->isDirectory && serialName) static_cast<std::vector<std::string>*>(ref)->push_back(path);
    return true;
}

} // namespace

std::vector<JournalEntry> UpdateJournal::AllIn(const std::string& store_directory) {
    std::vector<std::string> directories;
    std::vector<JournalEntry> entries;
    if (aDirectory_List(store_directory.c_str(), AddDeviceDirectory, &directories) != aErrNone) return entries;
    for (const std::string& directory : directories) {
        const JournalRead read = UpdateJournal(directory).Read();
        const std::string name = directory.substr(directory.find_last_of('/') + 1);
        if (read.state == JournalRead::State::Found && std::strtoul(name.c_str(), nullptr, 16) == read.entry.serial)
            entries.push_back(read.entry);
    }
    return entries;
}
