#include "FuzzTargets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <zlib.h>

#include "BirdFile.h"
#include "KeyValueStore.h"

namespace {

// Scratch files in memory when /dev/shm is there: fsync costs nothing there.
std::string ScratchPath(const char* name) {
    static const std::string directory = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return directory + "/updater-fuzz-" + std::to_string(getpid()) + "-" + name;
}

void WriteScratch(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
}

} // namespace

namespace {

void LoadAndExercise(const std::string& path, size_t fileSize) {
    BirdFile::VerifyFile(path);
    BirdFile bird;
    bird.path = path;
    if (!bird.Load()) return;
    // The reader's own bound on the inflated size.
    if (bird.dataSize > fileSize * BIRD_FILE_INFLATE_FACTOR) std::abort();
    for (const auto& block : bird.blocks)
        if (block.data < bird.data.get() || block.data + block.length > bird.data.get() + bird.dataSize)
            std::abort();
    bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    bird.GetBuild();
    bird.GetSerialNumber();
    bird.GetVersion();
    bird.ValidateModel("Corvane");
    bird.ValidateSerialNumber(0x0000ABCD);
    const uint8_t pattern[] = {0x00, 0x10, 0x00, 0x20};
    bird.ValidateData(pattern, sizeof pattern);
    bird.ReplaceSerialNumber(0x12345678);
    bird.ReplaceVectorChecksum();
    bird.ScanBlocks(bird.data.get(), bird.dataSize);
    bird.FindSerialNumberOffsets();
    BirdFile moved = std::move(bird);
    moved.GetVersion();
}

} // namespace

void FuzzBirdFileLoad(const uint8_t* data, size_t size) {
    const std::string path = ScratchPath("load.bird");

    // The input as a whole file: header, zlib stream and all.
    WriteScratch(path, data, size);
    LoadAndExercise(path, size);

    // The input as a block area behind a good header and stream, so the
    // block scanner and the queries see arbitrary bytes too.
    uLongf length = compressBound(size);
    std::vector<uint8_t> file(BIRD_FILE_HEADER_SIZE + length);
    std::copy(BIRD_FILE_SIGNATURE, BIRD_FILE_SIGNATURE + 4, file.begin());
    file[4] = file[5] = 1;
    if (compress2(file.data() + BIRD_FILE_HEADER_SIZE, &length, data, size, 1) != Z_OK) std::abort();
    file.resize(BIRD_FILE_HEADER_SIZE + length);
    WriteScratch(path, file.data(), file.size());
    LoadAndExercise(path, file.size());

    std::remove(path.c_str());
}

void FuzzKeyValueStoreLoad(const uint8_t* data, size_t size) {
    const std::string path = ScratchPath("load.settings");
    const std::string copy = ScratchPath("saved.settings");
    WriteScratch(path, data, size);

    KeyValueStore store(path);
    store.GetInt("LATEST_DOWNLOAD");
    store.GetHex("hex");
    store.GetBOOL("flag");
    store.GetDouble("number");
    store.GetString("CREATED_TIME");

    // What was read survives a save and a new load, except keys that begin
    // with '#': written back they read as comments.
    KeyValueStore saved = store;
    if (!saved.Save(copy.c_str())) std::abort();
    KeyValueStore reread(copy);
    auto expected = store.entries;
    for (auto it = expected.begin(); it != expected.end();)
        it = it->first[0] == '#' ? expected.erase(it) : std::next(it);
    if (reread.entries != expected) std::abort();

    std::remove(path.c_str());
    std::remove(copy.c_str());
}
