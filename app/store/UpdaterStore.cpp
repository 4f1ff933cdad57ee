#include "UpdaterStore.h"

#include <cstdio>

#include "AtomicFile.h"
#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

constexpr unsigned kPackage = Log::DEBUG_Updater;
constexpr mode_t kDirectoryMode = 0755;

std::string LastComponent(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

Result EnsureDirectory(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(kPackage, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return {};
    }
    if (aFile_Exists(path.c_str()))
        return Result::Failure(aErrMode, "UpdaterStore: " + path + " exists and is a file");
    aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
    if (err != aErrNone)
        return Result::Failure(err, "UpdaterStore: Could not create directory " + path + " error " +
                                        std::to_string(int(err)));
    Log::log(kPackage, "UpdaterStore: Created directory [%s].\n", path.c_str());
    return {};
}

bool FindItemCallback(const aDirectoryListData* entry, void* ref) {
    auto* search = static_cast<result_t*>(ref);
    const std::string entryPath = entry->path ? entry->path : "";
    Log::log(kPackage, "%s([%s], %d, %d) searching for %s\n", "_find_item", entryPath.c_str(),
             int(entry->isDirectory), int(entry->size), search->name.c_str());
    // Only the entry's own name counts: the directory it lies in may well
    // contain the searched text itself (a root under /tmp/0000ABCD).
    const std::string name = LastComponent(entryPath);
    if (name.find(search->name) == std::string::npos) return true;

    search->found = true;
    if (search->item) {
        *search->item = UpdaterStoreItem(ParentOf(entryPath), name,
                                         entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

bool FindInDirectory(const std::string& directory, const std::string& name, UpdaterStoreItem* item) {
    result_t search;
    search.name = name;
    search.item = item;
    // A directory that cannot be listed holds nothing this store can use.
    const aErr listed = aDirectory_List(directory.c_str(), FindItemCallback, &search);
    if (listed != aErrNone)
        Log::log(kPackage, "UpdaterStore: cannot list [%s] (%d).\n", directory.c_str(), int(listed));
    Log::log(kPackage, "UpdaterStore: FindDevice %s %s.\n", search.found ? "Found" : "Not Found",
             name.c_str());
    return search.found;
}

struct BuildListing {
    std::vector<UpdaterStoreItem>* list;
};

bool ListItemsCallback(const aDirectoryListData* entry, void* ref) {
    auto* listing = static_cast<BuildListing*>(ref);
    const std::string entryPath = entry->path ? entry->path : "";
    Log::log(kPackage, "%s([%s], %d, %d)\n", "_find_items", entryPath.c_str(),
             int(entry->isDirectory), int(entry->size));
    const std::string name = LastComponent(entryPath);
    // Hidden entries (".", "..", ".settings", temporaries) are never builds.
    if (name.empty() || name[0] == '.') return true;
    listing->list->emplace_back(ParentOf(entryPath), name,
                                entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

// ---------------------------------------------------------------- UpdaterStoreItem

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const std::string& itemBasePath, const std::string& itemName,
                                   store_item_t itemKind)
    : basePath(itemBasePath), name(itemName), kind(itemKind) {
    settings.Load(BuildPath(basePath, name, KeyValueStore::DEFAULT_FILENAME));
}

std::string UpdaterStoreItem::Path() const { return BuildPath(basePath, name); }

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    return FindInDirectory(Path(), fileName, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length) {
    if (!bytes) return aErrNotFound;
    const std::string target = BuildPath(basePath, name, fileName);
    // A stored build is replaced as a whole, never left half-written.
    AtomicWriteResult result = ReplaceFileAtomically(target, bytes, length);
    if (result.error != aErrNone)
        Log::log(kPackage, "UpdaterStore: writing [%s] failed (%d)\n", target.c_str(),
                 result.systemError);
    return result.error;
}

std::unique_ptr<AtomicFileWriter> UpdaterStoreItem::StartFile(const std::string& fileName) const {
    return std::make_unique<AtomicFileWriter>(BuildPath(basePath, name, fileName));
}

aErr UpdaterStoreItem::CommitFile(const std::string& fileName, AtomicFileWriter& file) const {
    const AtomicWriteResult result = file.Commit();
    if (result.error != aErrNone)
        Log::log(kPackage, "UpdaterStore: writing [%s] failed (%d)\n", BuildPath(basePath, name, fileName).c_str(),
                 result.systemError);
    return result.error;
}

ResultOf<BirdFile> UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    const std::string target = BuildPath(basePath, name, fileName);
    if (!BirdFile::VerifyFile(target)) return Result::Failure(aErrParse, "Invalid bird " + target);
    return BirdFile::Open(target);
}

// ---------------------------------------------------------------- UpdaterStore

UpdaterStore::UpdaterStore(const std::string& path) : basePath(path) {}

ResultOf<UpdaterStore> UpdaterStore::Open(const std::string& path) {
    Result made = EnsureDirectory(path);
    if (!made.ok()) return made;
    return UpdaterStore(path);
}

const std::string& UpdaterStore::BasePath() const { return basePath; }

std::string UpdaterStore::DeviceName(uint32_t serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

ResultOf<UpdaterStoreItem> UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(DeviceName(serial)); }

ResultOf<UpdaterStoreItem> UpdaterStore::AddDevice(const std::string& name) {
    Result made = EnsureDirectory(BuildPath(basePath, name));
    if (!made.ok()) return made;
    return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
    return FindDevice(DeviceName(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
    return FindInDirectory(basePath, name, item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& list) const {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    BuildListing listing{&list};
    const aErr listed = aDirectory_List(device.Path().c_str(), ListItemsCallback, &listing);
    if (listed != aErrNone)
        Log::log(kPackage, "UpdaterStore: cannot list [%s] (%d).\n", device.Path().c_str(), int(listed));
    return listed == aErrNone;
}
