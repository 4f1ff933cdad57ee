// Looking at what is kept locally without changing it: a device's stored
// history and builds, and whether a BIRD file would do for an update. Also
// the history entry the update flow writes once a transfer has finished.
#include <cstdio>
#include <cstring>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "PrintableText.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

// Well below the settings reader's 2047-character line limit, past which the
// rest of the file (LATEST_DOWNLOAD, LATEST_TRANSFER...) would be lost.
constexpr std::size_t kMaxNoteLength = 1000;

// One line of text: a line break inside a value would start a new settings line.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return out;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The version shown for a stored file, read the way the local build list reads it.
std::string StoredVersion(const std::string& path) {
    if (!BirdFile::VerifyFile(path)) {
        Log::log(Log::DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        return {};
    }
    const ResultOf<BirdFile> file = BirdFile::Open(path);
    return file.ok() ? file->GetVersion() : std::string(); // one that does not load lists with no version
}

struct Listing {
    BuildList* builds;
};

bool ListStoredBuild(const aDirectoryListData* entry, void* ref) {
    auto* listing = static_cast<Listing*>(ref);
    const std::string path = entry->path ? entry->path : "";
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Hidden entries (".settings", temporaries) are never builds.
    if (name.empty() || name[0] == '.') return true;
    const std::string key = name.substr(0, name.find(STORE_BIRD_EXTENSION));
    listing->builds->emplace(key, entry->isDirectory ? std::string() : StoredVersion(path));
    return true;
}

// The 16-byte model field of the first info block, without its padding.
std::string ModelOf(const BirdFile& bird) {
    const auto info = bird.FindBlocks(BirdFile::BLOCK_INFO);
    if (info.empty() || info[0].length < BIRD_INFO_MODEL + BIRD_INFO_FIELD_SIZE) return {};
    const char* text = reinterpret_cast<const char*>(info[0].data + BIRD_INFO_MODEL);
    std::string model(text, strnlen(text, BIRD_INFO_FIELD_SIZE));
    while (!model.empty() && model.back() == ' ') model.pop_back();
    return model;
}

std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// The loader keeps going past a block area that does not add up; a check
// must not. Consistent means: 4-byte count, every block's 5-byte header and
// data, the 4-byte checksum, nothing left over, and as many blocks as declared.
void CheckBlockArea(const BirdFile& bird, BirdCheckReport& report) {
    const uint32_t declared = bird.dataSize >= 4 ? BirdBigEndian32(bird.data.get()) : 0;
    uint64_t used = 4 + 4;
    for (const auto& block : bird.blocks) used += 5 + uint64_t(block.length);
    if (used != bird.dataSize || bird.blockCount != declared)
        report.problems.push_back("its block area is damaged: " + std::to_string(declared) +
                                  " blocks declared, " + std::to_string(bird.blockCount) + " readable");
}

void CheckBlocks(const BirdFile& bird, BirdCheckReport& report) {
    bool firmware = false;
    unsigned index = 0;
    for (const auto& block : bird.blocks) {
        report.blocks.push_back({block.type, block.flags, block.length, block.address});
        const bool image = block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
        if (image && block.length < 4)
            report.problems.push_back("block " + std::to_string(index) + " is shorter than its load address");
        if (block.type == BirdFile::BLOCK_FIRMWARE) firmware = true;
        ++index;
    }
    if (!firmware) report.problems.push_back("it has no firmware block, so an update would write nothing");
}

void CheckInfo(const BirdFile& bird, BirdCheckReport& report) {
    const auto info = bird.FindBlocks(BirdFile::BLOCK_INFO);
    report.has_info = !info.empty();
    if (!report.has_info) {
        report.problems.push_back("it has no info block, so the model check of an update fails");
        return;
    }
    if (info[0].length < BIRD_INFO_SIZE)
        report.problems.push_back("its info block is shorter than " + std::to_string(BIRD_INFO_SIZE) + " bytes");
    report.build = bird.GetBuild();
    report.version = PrintableAscii(bird.GetVersion());
    report.serial = bird.GetSerialNumber();
    report.model = PrintableAscii(ModelOf(bird));
}

// The serial-number side of an update's validation: a file with a
// serial-number block gets the device's number patched in (in memory only);
// any other file must have been built for that device.
void CheckSerial(BirdFile& bird, BirdCheckReport& report) {
    if (report.device == 0) return;
    if (report.has_serial_block) {
        // Refused only for a block that cannot be patched, which the
        // file's write problems already name.
        report.serial_check_passed = bird.ReplaceSerialNumber(report.device);
        return;
    }
    report.serial_check_passed = bird.ValidateSerialNumber(report.device);
    if (!report.serial_check_passed)
        report.problems.push_back("it is built for device " + Hex8(bird.GetSerialNumber()) + ", not " +
                                  Hex8(report.device));
}

} // namespace

ResultOf<StoredDevice> Updater::Get_StoredDevice(unsigned serial) {
    StoredDevice device;
    // Plain look-ups only: the store's own lookup would make the settings
    // file it does not find, and matches names that merely contain the number.
    device.directory = BuildPath(store_directory, UpdaterStore::DeviceName(serial));
    if (serial == 0 || !aDirectory_Exists(device.directory.c_str())) {
        display.message(kError, "No stored information for device [%08X]", serial);
        return Result::Failure(aErrNotFound, "no stored information");
    }

    const std::string settings = BuildPath(device.directory, KeyValueStore::DEFAULT_FILENAME);
    if (aFile_Exists(settings.c_str())) {
        // Loading a file it cannot open would write a fresh one over it.
        aFile* probe = aFile_Open(settings.c_str(), aFileModeReadOnly);
        if (probe) {
            (void)aFile_Close(&probe); // opened only to test read access
            KeyValueStore values;
            values.Load(settings);
            device.settings = values.entries;
        } else {
            device.settings_unreadable = true;
        }
    }

    device.journal = UpdateJournal(device.directory).Read();
    Listing listing{&device.builds};
    // An unlistable directory shows as one without stored builds, as before.
    const aErr listed = aDirectory_List(device.directory.c_str(), ListStoredBuild, &listing);
    if (listed != aErrNone)
        Log::log(Log::DEBUG_Updater, "Cannot list %s (%d)\n", device.directory.c_str(), int(listed));
    return device;
}

BirdCheckReport Updater::Check_BirdFile(const std::string& path, unsigned serial) {
    BirdCheckReport report;
    report.path = path;
    report.device = serial;
    if (aDirectory_Exists(path.c_str())) {
        report.problems.push_back("it is a directory");
        return report;
    }
    if (!aFile_Exists(path.c_str())) {
        report.problems.push_back("there is no such file");
        return report;
    }
    ResultOf<BirdFile> loaded = BirdFile::Open(path);
    if (!loaded.ok()) {
        report.problems.push_back("it does not load: unreadable, too short, or its data does not inflate");
        return report;
    }
    BirdFile bird = std::move(loaded).value();
    report.loaded = true;
    // An update from -f reads past a bad header; the store refuses such a file.
    if (!BirdFile::VerifyFile(path))
        report.problems.push_back("its header is not \"bird\" with two non-zero version bytes");
    CheckBlockArea(bird, report);
    CheckBlocks(bird, report);
    CheckInfo(bird, report);
    report.has_serial_block = bird.hasSerialOffsets;
    report.serial_offset = bird.serialNumberOffset;
    report.descriptor_offset = bird.descriptorOffset;
    for (const auto& problem : bird.WriteProblems()) report.problems.push_back(problem);
    CheckSerial(bird, report);
    return report;
}

bool _refuse_unwritable(UpdaterDisplayInterface& display, const BirdFile& file, const char* purpose) {
    const auto problems = file.WriteProblems();
    for (const auto& problem : problems)
        display.message(kError, "BIRD file cannot be used for %s: %s", purpose, problem.c_str());
    return !problems.empty();
}

std::string _history_note_text(const std::string& note) {
    std::string text = OneLine(note);
    for (char& c : text)
        if (c == '=') c = ' ';
    text = Trimmed(text);
    if (text.size() > kMaxNoteLength) {
        std::size_t cut = kMaxNoteLength;
        // Never split a UTF-8 sequence: back up over continuation bytes.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text = Trimmed(text.substr(0, cut));
    }
    return text;
}

bool _record_transfer(KeyValueStore& settings, const std::string& transferred, const std::string& note) {
    settings.Add(STORE_KEY_LATEST_TRANSFER, Trimmed(OneLine(transferred)));
    settings.Add(STORE_KEY_LAST_TRANSFER_DATE, KeyValueStore::Now());
    const std::string text = _history_note_text(note);
    if (!text.empty()) {
        settings.Add(STORE_KEY_LAST_TRANSFER_NOTE, text);
    } else if (settings.entries.erase(STORE_KEY_LAST_TRANSFER_NOTE) != 0) {
        settings.dirty = true; // an older transfer's note must not pass for this one's
    }
    return settings.Save();
}
