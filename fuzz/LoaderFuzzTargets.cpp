#include "LoaderFuzzTargets.h"

#include <algorithm>
#include <string>
#include <vector>

#include "NXPSerial.h"
#include "SDPLoader.h"

namespace {

struct Feed {
    const uint8_t* data;
    size_t size;
    size_t position;
};

aErr FeedGet(uint8_t* byte, void* reference) {
    Feed* f = static_cast<Feed*>(reference);
    if (f->position >= f->size) return aErrIO; // the line is gone: no waiting
    uint8_t b = f->data[f->position++];
    if (b == 0xFE) return aErrNotReady;
    *byte = b;
    return aErrNone;
}
aErr FeedPut(uint8_t, void*) { return aErrNone; }
aErr FeedWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr FeedDelete(void* reference) {
    delete static_cast<Feed*>(reference);
    return aErrNone;
}

// The ROM's side of an SDP conversation, taken from the input.
class FeedTransport : public SDPLoader_Interface {
public:
    FeedTransport(const uint8_t* d, size_t n, bool hid) : data(d), size(n), isHid(hid) {}
    bool init() override { return true; }
    ssize_t writeData(const byte_vector& report) override { return (ssize_t)report.size(); }
    ssize_t readData(byte_vector& out, unsigned, size_t expected) override {
        if (position >= size) return 0;
        size_t n = expected ? expected : data[position++] % 80;
        n = std::min(n, size - position);
        out.insert(out.end(), data + position, data + position + n);
        position += n;
        return (ssize_t)n;
    }
    bool getDataFromBuffer(const byte_vector& in, unsigned offset, unsigned& value) override {
        if (isHid) return HID_SDPLoader(0, 0).getDataFromBuffer(in, offset, value);
        return Serial_SDPLoader(nullptr).getDataFromBuffer(in, offset, value);
    }
    size_t answerLength(size_t dataBytes) const override { return isHid ? 70 : 4 + dataBytes; }
    bool securityModeBeforeData() const override { return !isHid; }

private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
    bool isHid;
};

} // namespace

void FuzzIspAnswers(const uint8_t* data, size_t size) {
    if (size == 0) return;
    NXPSerialClass isp;
    isp.Attach(aStream_Create(FeedGet, FeedPut, FeedWrite, FeedDelete, new Feed{data + 1, size - 1, 0}),
               115200);
    // The first byte chooses where the conversation starts.
    // What each step returns does not matter here, only that garbage answers
    // neither crash nor hang it: every result is dropped on purpose.
    const uint8_t mode = data[0];
    if (mode & 1) (void)isp.Sync();
    if (mode & 2) (void)isp.Resynchronize();
    if (mode & 4) (void)isp.SetEcho(false);
    long part = 0;
    (void)isp.GetPartNumber(&part);
    (void)isp.GetDeviceID();
    unsigned char major, minor;
    (void)isp.GetBootLoaderVersion(&major, &minor);
    std::vector<unsigned char> buffer(512);
    (void)isp.Read(0, (unsigned)buffer.size(), buffer.data());
    (void)isp.Write(NXPSerialClass::WRITE_ADDRESS, (unsigned)buffer.size(), buffer.data());
    (void)isp.Unlock();

    // The same bytes as one data line.
    std::string line(reinterpret_cast<const char*>(data), std::min<size_t>(size, 200));
    unsigned char out[64];
    NXPSerialClass::uudecode(out, sizeof out, line.c_str());
    NXPSerialClass::GetErrorText(line.c_str());
}

void FuzzSdpAnswers(const uint8_t* data, size_t size) {
    const byte_vector in(data, data + size);
    for (unsigned offset : {0u, 1u, 15u, 16u}) {
        unsigned value = 0;
        HID_SDPLoader(0, 0).getDataFromBuffer(in, offset, value);
        Serial_SDPLoader(nullptr).getDataFromBuffer(in, offset, value);
    }
    for (bool hid : {false, true}) {
        SDPLoader loader;
        loader.setLoader(new FeedTransport(data, size, hid));
        loader.init();
        unsigned long fingerprint = 0;
        loader.getFingerprint(fingerprint);
        loader.writeLoader(byte_vector(2100, 0xA5), 0x20000400);
        loader.startLoader(0x20000400);
    }
}
