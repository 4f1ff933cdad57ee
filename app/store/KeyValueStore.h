// A small map of named text values kept in a file of key=value lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct aFile;

class KeyValueStore {
public:
    // The name a store is saved under when it has no file name yet.
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // An empty store; loads `path` when one is given.
    explicit KeyValueStore(const char* path = nullptr);
    explicit KeyValueStore(const std::string& path);

    // Reads `path` into the map; a missing file is created with CREATED_TIME.
    // Anything but a regular file (a FIFO, a terminal, /dev/null) is neither
    // read nor created, with a debug line; the store goes on empty.
    bool Load(const char* path);
    bool Load(const std::string& path) { return Load(path.c_str()); }
    // Writes every entry in key order to `path`, or to the file last used,
    // followed by whatever Load could not read (see `unread`). A regular file
    // is replaced as a whole: readers see the old or the new content. False
    // (logged) when nothing was written; the caller must say so.
    bool Save(const char* path = nullptr);
    bool Save(const std::string& path) { return Save(path.c_str()); }

    // The value, or null when the key is absent. Never adds the key.
    const char* operator[](const std::string& key) const;
    // The value when present (even empty), else `def` (empty when null).
    std::string GetString(const std::string& key, const char* def = nullptr) const;
    // Numeric getters add an absent key with an empty value (without making
    // the store dirty) and return `def` for a missing or empty value.
    int GetInt(const std::string& key, int def = 0);
    uint32_t GetHex(const std::string& key, uint32_t def = 0);
    bool GetBOOL(const std::string& key, bool def = false);
    double GetDouble(const std::string& key, double def = 0.0);

    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value);
    // Copies every entry of `other`, replacing equal keys.
    bool Add(const KeyValueStore& other);
    bool Clear();

    // The current local time as `ctime` writes it, without the newline.
    static std::string Now();

    std::string filename;
    std::map<std::string, std::string> entries;
    bool dirty = false;

private:
    // Reading stops at an over-long line. That line and all after it are kept
    // here verbatim and written back after the entries, so a save never drops
    // keys it could not read (other tools', later history). When even that
    // could not be kept (a read error, or more than kMaxUnread bytes), the
    // file was not read whole and Save refuses to overwrite it.
    std::string unread;
    bool readWhole = true;

    // Keeps `text` (the start of the over-long line) and the rest of `file`.
    void KeepUnread(aFile* file, std::string text);
    // Save with a given UPDATED_TIME text (the current time when empty).
    bool SaveStamped(const char* path, const std::string& stamp);
    bool Set(const std::string& key, const std::string& value);
    // The value text of a key, added empty when absent.
    const std::string& Lookup(const std::string& key);
};
