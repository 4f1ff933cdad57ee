#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "AtomicFile.h"
#include "Log.h"
#include "ReadFileScope.h"
#include "aFile.h"

namespace {

constexpr unsigned kPackage = Log::DEBUG_Attributes;
constexpr size_t kLineBufferSize = 2048;
// More unread text than a settings file has any business holding is not kept.
constexpr size_t kMaxUnread = 1 << 20;

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string TrimRight(std::string text) {
    while (!text.empty() && IsBlank(text.back())) text.pop_back();
    return text;
}

size_t SkipBlanks(const std::string& text, size_t at) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    return at;
}

} // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path) Load(path);
}

KeyValueStore::KeyValueStore(const std::string& path) { Load(path.c_str()); }

std::string KeyValueStore::Now() {
    std::time_t now = std::time(nullptr);
    char text[64] = {};
    if (!ctime_r(&now, text)) return {};
    return TrimRight(text);
}

bool KeyValueStore::Load(const char* path) {
    // No name is no file: creating one would land as ".settings" in the
    // working directory.
    if (!path || !*path) return false;
    unread.clear();
    readWhole = true;
    aFile* file = nullptr;
    const aErr opened = aFile_OpenRegular(path, aFileModeReadOnly, &file);
    if (opened == aErrMode) {
        // A FIFO or a terminal is never read (it could hold the command for
        // ever), nor made a file: a device such as /dev/null standing there
        // is the user's choice. The command goes on with nothing read.
        Log::log(kPackage, "Attibutes: Error - '%s' is not a regular file\n", path);
    } else if (!file) {
        const int error = errno;
        Log::log(kPackage, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path,
                 error);
        if (error == ENOENT) {
            // A new file starts with the time it was made; both lines carry the same time.
            const std::string stamp = Now();
            Add(KEY_CREATED_TIME, stamp);
            // Not made (a read-only directory): the entries stay in memory and
            // the caller's own Save reports the failure when it matters.
            if (!SaveStamped(path, stamp))
                Log::log(kPackage, "Attibutes: Error - could not create attributes file '%s'\n", path);
        } else {
            // It is there but could not be read (no read permission): its
            // content is unknown, so it must not be overwritten.
            readWhole = false;
        }
    }

    filename = path;
    dirty = false;
    if (!file) return false;
    ReadFileScope closed(file);

    char line[kLineBufferSize];
    size_t length = 0;
    aErr err;
    while ((err = aFile_ReadLine(file, line, sizeof line, &length)) == aErrNone) {
        const std::string text(line, length);
        if (text.size() < 3 || text[0] == '#') continue;

        const size_t keyStart = SkipBlanks(text, 0);
        const size_t equals = text.find('=', keyStart);
        std::string key = TrimRight(text.substr(keyStart, equals == std::string::npos
                                                              ? std::string::npos
                                                              : equals - keyStart));
        std::string value;
        if (equals != std::string::npos) value = TrimRight(text.substr(SkipBlanks(text, equals + 1)));
        // A line starting with '=' names nothing; storing it would only add an
        // entry no caller can mean.
        if (key.empty()) continue;
        entries[key] = value;
    }
    if (err == aErrOverrun) KeepUnread(file, std::string(line, length));
    else if (err != aErrEOF) readWhole = false;
    if (!readWhole)
        Log::log(kPackage, "Attibutes: Error - attributes file '%s' was not read whole\n", path);
    return true;
}

void KeyValueStore::KeepUnread(aFile* file, std::string text) {
    char buffer[4096];
    size_t count = 0;
    aErr err = aErrNone;
    while (text.size() <= kMaxUnread && (err = aFile_Read(file, buffer, sizeof buffer, &count)) == aErrNone)
        text.append(buffer, count);
    if (text.size() > kMaxUnread || err != aErrEOF) {
        readWhole = false;
        return;
    }
    unread = std::move(text);
}

bool KeyValueStore::Save(const char* path) { return SaveStamped(path, std::string()); }

bool KeyValueStore::SaveStamped(const char* path, const std::string& stamp) {
    if (path && *path) {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(kPackage, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (!readWhole) {
        Log::log(kPackage, "Attibutes: Error - not overwriting '%s': it was not read whole\n",
                 filename.c_str());
        return false;
    }
    if (dirty) Add(KEY_UPDATED_TIME, stamp.empty() ? Now() : stamp);

    std::string contents;
    for (const auto& [key, value] : entries) {
        contents += key;
        contents += '=';
        contents += value;
        contents += '\n';
    }
    contents += unread;
    // Written beside the old file and renamed over it, so the device's history
    // survives a crash or a full disk in the middle of the write.
    AtomicWriteResult result = ReplaceFileAtomically(filename, contents.data(), contents.size());
    if (result.error != aErrNone) {
        Log::log(kPackage, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), result.systemError);
        return false;
    }
    dirty = false;
    return true;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* def) const {
    auto found = entries.find(key);
    if (found != entries.end()) return found->second;
    return def ? def : "";
}

const std::string& KeyValueStore::Lookup(const std::string& key) { return entries[key]; }

int KeyValueStore::GetInt(const std::string& key, int def) {
    const std::string& value = Lookup(key);
    return value.empty() ? def : std::atoi(value.c_str());
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def) {
    const std::string& value = Lookup(key);
    return value.empty() ? def : static_cast<uint32_t>(std::strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def) {
    const std::string& value = Lookup(key);
    return value.empty() ? def : std::atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double def) {
    const std::string& value = Lookup(key);
    return value.empty() ? def : std::atof(value.c_str());
}

bool KeyValueStore::Set(const std::string& key, const std::string& value) {
    std::string& current = entries[key];
    if (current != value) dirty = true;
    current = value;
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value) { return Set(key, std::to_string(value)); }

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Set(key, value ? value : "");
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) { return Set(key, value); }

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Set(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (other.entries.empty()) return true;
    for (const auto& [key, value] : other.entries) entries[key] = value;
    dirty = true;
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    dirty = true;
    return true;
}
