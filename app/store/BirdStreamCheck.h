// Checks a BIRD file as its bytes arrive, without keeping them: the same
// verdict BirdFile::LoadBytes + ScanBlocks give for the whole file in memory
// (header, one zlib stream inflating to at most BIRD_FILE_INFLATE_FACTOR times
// the bytes after the header, a block area whose blocks, count and trailing
// checksum add up), in one pass with a few fixed buffers.
// One thread at a time; not copyable (it owns a zlib stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class BirdStreamCheck {
public:
    // `maxFileBytes` bounds the whole file (the most its answer can carry):
    // inflating stops once the output passes what a file that large may give.
    explicit BirdStreamCheck(size_t maxFileBytes);
    ~BirdStreamCheck();
    BirdStreamCheck(const BirdStreamCheck&) = delete;
    BirdStreamCheck& operator=(const BirdStreamCheck&) = delete;

    // The next bytes of the file. Once something is wrong the rest is only counted.
    void Feed(const uint8_t* bytes, size_t length);
    // After the last byte: empty when the whole file checks out, else what
    // was wrong (for the debug log).
    std::string Finish();
    // The info block's build field (up to 16 bytes, raw) of the first info
    // block, empty when there is none; valid after Finish().
    const std::string& InfoBuildField() const { return infoBuild_; }
    unsigned long long FileBytes() const { return fileBytes_; }

private:
    struct Inflater;
    void Inflate(const uint8_t* bytes, size_t length);
    void Scan(const uint8_t* bytes, size_t length);
    void StartBlock();

    std::unique_ptr<Inflater> inflater_;
    unsigned long long maxInflated_;
    unsigned long long fileBytes_ = 0, inflated_ = 0;
    uint8_t header_[6] = {};
    bool streamEnded_ = false;
    std::string problem_;
    // Block area scan: the 4-byte count, then 5-byte block headers and data.
    enum class Phase { Count, Header, Data } phase_ = Phase::Count;
    uint8_t field_[5] = {};
    size_t fieldHave_ = 0;
    uint32_t declared_ = 0, blocks_ = 0;
    unsigned long long dataLeft_ = 0;
    bool capturingInfo_ = false, infoSeen_ = false;
    size_t infoWant_ = 0;
    std::string infoBuild_;
};
