// The record of an update in progress, kept in the device's directory of the
// store (".journal") from the moment its loader starts (after which the
// module no longer runs its old firmware) until the module is back with the
// new build. A record found later means an update was cut short: the next
// update of that device finishes it with the same file. The history keys in
// ".settings" are untouched by it, so a program that does not know the
// record reads the store as before.
#pragma once

#include <string>
#include <vector>

#include "Result.h"

struct JournalEntry {
    unsigned serial = 0;
    // The file being written: a stored build's name ("2002.bird", in the
    // device's directory) or the path of a file given by the user.
    std::string file;
    unsigned build = 0;  // the file's build; 0 when it names none
    std::string link;    // how the module was reached ("usb", "tcpip", "router 33333333 address 0x10", ...)
    std::string started; // when the loader was started, local time
    std::string phase;   // "loader", "firmware block 1 of 2", "reboot"

    // True when `file` names a build kept in the store.
    bool stored() const { return file.find('/') == std::string::npos; }
};

// What a device directory holds.
struct JournalRead {
    enum class State { None, Found, Damaged };
    State state = State::None;
    JournalEntry entry;  // when Found
    std::string problem; // when Damaged: why it cannot be used
};

// One device's record. Any thread; different devices may be journalled side
// by side, one update per device.
class UpdateJournal {
public:
    static constexpr const char* kFileName = ".journal";

    explicit UpdateJournal(std::string device_directory);

    // Replaces the record as a whole, flushed to disk before it counts.
    // aErrIO (with the reason) when it could not be written.
    Result Record(const JournalEntry& entry) const;
    // The record, if any. Anything but a plain file of the expected form (a
    // link, a FIFO, a truncated or foreign file) reads as Damaged.
    JournalRead Read() const;
    // Removes the record; success when there was none. aErrIO when it stays.
    Result Clear() const;

    const std::string& path() const { return file; }

    // Every usable record in a store (its device directories, named by
    // serial number), in no particular order; damaged ones are left out.
    static std::vector<JournalEntry> AllIn(const std::string& store_directory);

private:
    std::string file;
};
