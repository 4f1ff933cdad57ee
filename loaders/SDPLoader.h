// Client of the serial download protocol (SDP) of an NXP i.MX boot ROM: checks
// that the ROM answers, reads the two fuse registers that identify the chip,
// writes a loader image into RAM and starts it. The 16-byte SDP command
// travels in HID reports (HID_SDPLoader, through hidapi) or as plain bytes on
// a serial port (Serial_SDPLoader).
//
// Threads: one object is used by one thread at a time; nothing takes locks.
// Ownership: SDPLoader owns its transport (setLoader) and destroys it, which
// closes the device. Serial_SDPLoader keeps the path pointer it is given: the
// text must outlive the object.
// Errors are integer results (listed per call); nothing throws. Every read
// has a bounded time-out and returns as soon as the expected answer is in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

using byte_vector = std::vector<uint8_t>;

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the transport (and, on a serial port, associates with the ROM).
    virtual bool init() = 0;
    // Sends one report whose first byte is the HID report number; returns the
    // bytes written, negative on failure.
    virtual ssize_t writeData(const byte_vector& report) = 0;
    // Appends what the device sends until `expected` bytes have been appended
    // (0: everything within the time-out) or `timeoutMs` has passed; returns
    // the number appended (negative when the device failed before any came).
    virtual ssize_t readData(byte_vector& out, unsigned timeoutMs, size_t expected = 0) = 0;
    // ORs the little-endian word that follows the security-mode answer into
    // `value`; false when `in` is not a complete answer.
    virtual bool getDataFromBuffer(const byte_vector& in, unsigned offset, unsigned& value) = 0;
    // Length of a complete answer whose data part holds `dataBytes` bytes.
    virtual size_t answerLength(size_t dataBytes) const = 0;
    // True when the ROM sends the security mode as soon as it takes a
    // WRITE_FILE command (the UART ROM) rather than after the data (HID).
    virtual bool securityModeBeforeData() const = 0;
};

class SDPLoader {
public:
    // Results of the operations below.
    enum Result {
        OK = 0,
        NO_TRANSPORT = 1,
        NO_ANSWER = 2,
        ABORTED = 3,       // the device sent data during the transfer
        NOT_CONFIRMED = 4, // the ROM did not confirm the transfer
        WRITE_FAILED = 5,  // the transport could not send (device gone)
        INIT_FAILED = 6,
        BAD_ANSWER = 7,
    };
    static constexpr unsigned SECURITY_MODE_CLOSED = 0x12343412;
    static constexpr unsigned SECURITY_MODE_OPEN = 0x56787856;
    static constexpr unsigned ACK = 0xF0F0F0F0;
    static constexpr unsigned WRITE_COMPLETE = 0x88888888;
    static constexpr unsigned FINGERPRINT_LOW = 0x401F4410;
    static constexpr unsigned FINGERPRINT_HIGH = 0x401F4420;
    static constexpr unsigned ANSWER_TIMEOUT_MS = 500;

    SDPLoader() = default;
    ~SDPLoader() = default;
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // False (nothing changes) for a null transport or when one is set already.
    bool setLoader(SDPLoader_Interface* transport);
    // 1 without a transport, 0 when it opened, 6 otherwise.
    int init();
    // 0, NO_ANSWER, ABORTED, NOT_CONFIRMED or WRITE_FAILED.
    int writeLoader(byte_vector image, unsigned address);
    void startLoader(unsigned address);
    // 0, NO_ANSWER or BAD_ANSWER; ORs the two register words into fingerprint.
    int getFingerprint(unsigned long& fingerprint);
    // The security mode the ROM reported last (0 before any).
    unsigned securityMode() const { return lastSecurityMode; }

    static byte_vector _createStatusPacket();
    static byte_vector _create4ByteReadRegisterPacket(unsigned address);
    static byte_vector _createWriteFilePacket(unsigned address, unsigned size);
    static byte_vector _createJumpPacket(unsigned address);
    static void _fillCommand(byte_vector& report);

    bool _isConnectionAlive();
    bool _expectResponse(const byte_vector& answer);
    bool _expectAck(const byte_vector& answer);
    bool _expectSuccess(const byte_vector& answer);
    static void _printBuffer(const byte_vector& report);

private:
    void noteSecurityMode(const byte_vector& answer);

    std::unique_ptr<SDPLoader_Interface> loader;
    unsigned lastSecurityMode = 0;
};

struct hid_device_;

// One i.MX boot ROM on USB HID and whether this process may use it.
struct HidRomAccess {
    std::string path;    // its hidraw node
    bool opened = false; // opened read-write
    bool denied = false; // the system refused this user
    std::string error;   // hidapi's reason when it did not open
};

class HID_SDPLoader : public SDPLoader_Interface {
public:
    // The USB identity of the i.MX serial download ROM.
    static constexpr uint16_t kRomVendor = 0x1FC9;
    static constexpr uint16_t kRomProduct = 0x0130;

    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    // The ROM at one hidapi path (as hid_enumerate gives it), for a host
    // with several.
    explicit HID_SDPLoader(std::string path);
    ~HID_SDPLoader() override;
    // Every device with this identity that hidapi lists, each opened
    // read-write as init() opens it and closed again; nothing is sent. Empty
    // when there is none or hidapi cannot start. Not while another thread
    // uses hidapi (it is started and released around the search).
    static std::vector<HidRomAccess> CheckAccess(uint16_t vendorId = kRomVendor, uint16_t productId = kRomProduct);
    bool init() override;
    ssize_t writeData(const byte_vector& report) override;
    ssize_t readData(byte_vector& out, unsigned timeoutMs, size_t expected = 0) override;
    bool getDataFromBuffer(const byte_vector& in, unsigned offset, unsigned& value) override;
    size_t answerLength(size_t) const override { return 70; }
    bool securityModeBeforeData() const override { return false; }

private:
    hid_device_* handle = nullptr;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string path;
    bool hidInitialised = false;
};

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    static constexpr unsigned WRITE_STALL_MS = 2000; // a write making no progress this long fails
    // The association answer proves the line works, so a short settle is enough.
    static constexpr unsigned DEFAULT_SETTLE_MS = 100;

    explicit Serial_SDPLoader(const char* path);
    ~Serial_SDPLoader() override;
    // Time the line is left to settle after it is configured.
    void setSettleTime(unsigned ms);
    bool init() override;
    ssize_t writeData(const byte_vector& report) override;
    ssize_t readData(byte_vector& out, unsigned timeoutMs, size_t expected = 0) override;
    bool getDataFromBuffer(const byte_vector& in, unsigned offset, unsigned& value) override;
    size_t answerLength(size_t dataBytes) const override { return 4 + dataBytes; }
    bool securityModeBeforeData() const override { return true; }

private:
    bool associate();
    std::unique_ptr<PrivateSerial_SDPLoader> d;
};

// One i.MX serial download ROM found on USB HID.
struct ImxHidRom {
    std::string path;         // hidapi's path of the device
    bool read = false;        // it answered: `fingerprint` holds its fuse words
    uint32_t fingerprint[2] = {}; // the two fuse registers, in address order
    bool denied = false;      // the system refused to open it (device permissions)
};

// Every i.MX boot ROM on USB HID, each asked for its fuse words (two register
// reads: nothing is written and the ROM stays at its prompt). Empty when
// hidapi finds none or cannot start. Any one thread at a time; no other
// hidapi user may run meanwhile (hidapi's start and end are process-wide).
std::vector<ImxHidRom> FindImxHidRoms();
