// The local store: a root directory with one directory per device
// ("%08X" of its serial number) holding <build>.bird files and ".settings".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "AtomicFile.h"
#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Result.h"
#include "aError.h"

// Settings keys of a device directory (values are text; times in `ctime` form).
inline constexpr const char* STORE_KEY_CREATED_TIME = KeyValueStore::KEY_CREATED_TIME;
inline constexpr const char* STORE_KEY_UPDATED_TIME = KeyValueStore::KEY_UPDATED_TIME;
inline constexpr const char* STORE_KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";       // "<build>.bird"
inline constexpr const char* STORE_KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE"; // time
inline constexpr const char* STORE_KEY_LATEST_TRANSFER = "LATEST_TRANSFER";       // file name sent
inline constexpr const char* STORE_KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE"; // time
inline constexpr const char* STORE_KEY_LAST_TRANSFER_NOTE = "LAST_TRANSFER_NOTE"; // -l text of that transfer
inline constexpr const char* STORE_SETTINGS_KEYS[] = {
    STORE_KEY_CREATED_TIME,    STORE_KEY_UPDATED_TIME,    STORE_KEY_LATEST_DOWNLOAD,
    STORE_KEY_LAST_DOWNLOAD_DATE, STORE_KEY_LATEST_TRANSFER, STORE_KEY_LAST_TRANSFER_DATE,
    STORE_KEY_LAST_TRANSFER_NOTE,
};
// File name extension of stored builds.
inline constexpr const char* STORE_BIRD_EXTENSION = ".bird";

namespace store_detail {
inline bool IsEnd(std::nullptr_t) { return true; }
inline bool IsEnd(const char* part) { return part == nullptr; }
inline bool IsEnd(const std::string&) { return false; }
inline void Append(std::string&, std::nullptr_t) {}
inline void Append(std::string& path, const char* part) { path += part; }
inline void Append(std::string& path, const std::string& part) { path += part; }
} // namespace store_detail

// Joins path components with "/" up to the first null one. Nothing is
// normalised: a component ending in "/" gives a doubled separator.
template <typename... Parts>
std::string BuildPath(const std::string& first, const Parts&... rest) {
    std::string path = first;
    bool ended = false;
    auto add = [&](const auto& part) {
        if (ended || store_detail::IsEnd(part)) {
            ended = true;
            return;
        }
        path += "/";
        store_detail::Append(path, part);
    };
    (add(rest), ...);
    (void)add;
    return path;
}

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the store (a device directory or a file) with its settings.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    // Loads the settings from <basePath>/<name>/.settings (created when missing).
    UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

    // Whether an entry whose name contains `fileName` is in this item's directory.
    bool FileExists(const std::string& fileName) const;
    // Replaces <basePath>/<name>/<fileName> with the bytes as a whole.
    // aErrNotFound for null bytes or a file that cannot be made.
    aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length);
    // The same replacement for bytes that arrive in pieces: the writer takes
    // them, CommitFile() puts them in place (aErrNotFound when no temporary
    // could be made, aErrIO for a failed write, sync or rename). The caller
    // owns the writer; one dropped uncommitted leaves the stored file as it was.
    std::unique_ptr<AtomicFileWriter> StartFile(const std::string& fileName) const;
    aErr CommitFile(const std::string& fileName, AtomicFileWriter& file) const;
    // Loads <basePath>/<name>/<fileName>. Fails with "Invalid bird <path>"
    // (aErrParse) when the header is wrong or the file is missing, and with
    // "Failed to load bird data" (aErrIO) when it does not load.
    ResultOf<BirdFile> ReadBirdFile(const std::string& fileName) const;
    bool IsValid() const;
    // <basePath>/<name>
    std::string Path() const;

    std::string basePath;
    std::string name;
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore settings;
};

// Search record used while listing a directory.
struct result_t {
    bool found = false;
    std::string name;
    UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
public:
    // Ensures the root directory (0755) and returns the store rooted there.
    // Fails with "UpdaterStore: <path> exists and is a file" (aErrMode) or
    // "UpdaterStore: Could not create directory <path> error <n>" (the aErr
    // of the creation).
    static ResultOf<UpdaterStore> Open(const std::string& path);

    const std::string& BasePath() const;
    // Ensures the device directory "%08X" and returns its item; fails as Open does.
    ResultOf<UpdaterStoreItem> AddDevice(uint32_t serial);
    ResultOf<UpdaterStoreItem> AddDevice(const std::string& name);
    // Finds the first root entry whose own name contains the text.
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr) const;
    // Appends an item per visible entry of the device's directory. True also
    // when the store does not know the device; false when its directory
    // cannot be listed.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& list) const;

    // "%08X"
    static std::string DeviceName(uint32_t serial);

private:
    explicit UpdaterStore(const std::string& path);

    std::string basePath;
};
