#include "BirdStreamCheck.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "BirdFile.h"

namespace {
constexpr size_t kInflateChunk = 64 * 1024;
} // namespace

struct BirdStreamCheck::Inflater {
    z_stream stream{};
    bool ready = false;
    uint8_t out[kInflateChunk];
    Inflater() { ready = inflateInit(&stream) == Z_OK; }
    ~Inflater() {
        if (ready) inflateEnd(&stream);
    }
};

BirdStreamCheck::BirdStreamCheck(size_t maxFileBytes)
    : inflater_(std::make_unique<Inflater>()),
      maxInflated_(static_cast<unsigned long long>(maxFileBytes) * BIRD_FILE_INFLATE_FACTOR) {
    if (!inflater_->ready) problem_ = "zlib does not start";
}

BirdStreamCheck::~BirdStreamCheck() = default;

void BirdStreamCheck::Feed(const uint8_t* bytes, size_t length) {
    while (length > 0 && fileBytes_ < BIRD_FILE_HEADER_SIZE) {
        header_[fileBytes_++] = *bytes++;
        --length;
        if (fileBytes_ == BIRD_FILE_HEADER_SIZE && problem_.empty() &&
            (std::memcmp(header_, BIRD_FILE_SIGNATURE, 4) != 0 || header_[4] == 0 || header_[5] == 0))
            problem_ = "no BIRD header";
    }
    fileBytes_ += length;
    // Bytes after the end of the zlib stream are part of the file but not inflated.
    if (length > 0 && problem_.empty() && !streamEnded_) Inflate(bytes, length);
}

void BirdStreamCheck::Inflate(const uint8_t* bytes, size_t length) {
    z_stream& z = inflater_->stream;
    z.next_in = const_cast<Bytef*>(bytes);
    z.avail_in = static_cast<uInt>(length);
    while (true) {
        z.next_out = inflater_->out;
        z.avail_out = kInflateChunk;
        const int result = inflate(&z, Z_NO_FLUSH);
        const size_t produced = kInflateChunk - z.avail_out;
        inflated_ += produced;
        if (inflated_ > maxInflated_) {
            problem_ = "the zlib stream inflates past its bound";
            return;
        }
        Scan(inflater_->out, produced);
        if (result == Z_STREAM_END) {
            streamEnded_ = true;
            return;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            problem_ = "the zlib stream does not inflate (" + std::to_string(result) + ")";
            return;
        }
        // Done with this piece once all of it is taken and no output is pending
        // (zlib's buffer error only says it could make no progress).
        if ((z.avail_in == 0 && z.avail_out != 0) || (result == Z_BUF_ERROR && produced == 0)) return;
    }
}

void BirdStreamCheck::StartBlock() {
    const uint8_t type = field_[0] & BIRD_FILE_TYPE_MASK;
    dataLeft_ = BirdBigEndian32(field_ + 1);
    ++blocks_;
    if (type == BirdFile::BLOCK_INFO && !infoSeen_) {
        infoSeen_ = capturingInfo_ = true;
        infoWant_ = static_cast<size_t>(std::min<unsigned long long>(dataLeft_, BIRD_INFO_FIELD_SIZE));
    }
    phase_ = dataLeft_ > 0 ? Phase::Data : Phase::Header;
}

void BirdStreamCheck::Scan(const uint8_t* bytes, size_t length) {
    while (length > 0) {
        if (phase_ == Phase::Data) {
            const size_t take = static_cast<size_t>(std::min<unsigned long long>(length, dataLeft_));
            if (capturingInfo_) {
                const size_t keep = std::min(take, infoWant_ - infoBuild_.size());
                infoBuild_.append(reinterpret_cast<const char*>(bytes), keep);
                capturingInfo_ = infoBuild_.size() < infoWant_;
            }
            bytes += take;
            length -= take;
            dataLeft_ -= take;
            if (dataLeft_ == 0) phase_ = Phase::Header;
            continue;
        }
        field_[fieldHave_++] = *bytes++;
        --length;
        if (phase_ == Phase::Count && fieldHave_ == 4) {
            declared_ = BirdBigEndian32(field_);
            phase_ = Phase::Header;
            fieldHave_ = 0;
        } else if (phase_ == Phase::Header && fieldHave_ == 5) {
            fieldHave_ = 0;
            StartBlock();
        }
    }
}

std::string BirdStreamCheck::Finish() {
    if (!problem_.empty()) return problem_;
    if (fileBytes_ <= BIRD_FILE_HEADER_SIZE) return "no BIRD header and zlib stream";
    if (fileBytes_ > UINT32_MAX / BIRD_FILE_INFLATE_FACTOR) return "the file is too large";
    if (!streamEnded_) return "the zlib stream is cut short";
    if (inflated_ > (fileBytes_ - BIRD_FILE_HEADER_SIZE) * BIRD_FILE_INFLATE_FACTOR)
        return "the zlib stream inflates past its bound";
    // The blocks must end exactly where the 4-byte checksum leaves the area's last bytes.
    if (phase_ != Phase::Header || fieldHave_ != 4) return "the block area does not add up";
    if (blocks_ != declared_) return "the block count does not match";
    return {};
}
