// The stream record (push-back, block and record I/O) and the file, socket and
// serial transports, each against a real peer: files, a loopback TCP server, a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "MemoryTransport.h"
#include "Process.h"
#include "TempDir.h"
#include "aStreamTransport.h"

using linktest::MemoryTransport;

namespace {

// A get that yields scripted results, one per call.
struct Script {
    std::vector<std::pair<aErr, uint8_t>> steps;
    size_t next = 0;
    static aErr Get(uint8_t* byte, void* reference)
    {
        auto* self = static_cast<Script*>(reference);
        if (self->next >= self->steps.size())
            return aErrEOF;
        auto step = self->steps[self->next++];
        *byte = step.second;
        return step.first;
    }
};

std::string ReadAll(int fd, size_t want)
{
    std::string out;
    while (out.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        char buf[256];
        ssize_t n = read(fd, buf, std::min(sizeof(buf), want - out.size()));
        if (n <= 0)
            break;
        out.append(buf, (size_t)n);
    }
    return out;
}

} // namespace

TEST(StreamCore, ShortReadIsPushedBackInOrder)
{
    Script script;
    script.steps = {{aErrNone, 'a'}, {aErrNone, 'b'}, {aErrNotReady, 0}, {aErrNone, 'c'}, {aErrNone, 'd'}};
    aStream* stream = aStream_Create(Script::Get, nullptr, nullptr, nullptr, &script);
    ASSERT_NE(stream, nullptr);
    uint8_t buf[4] = {};
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrNotReady);
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrNone);
    EXPECT_EQ(std::string((char*)buf, 4), "abcd");
    // End of stream: what was read is handed out with aErrEOF.
    script.steps.push_back({aErrNone, 'e'});
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrEOF);
    EXPECT_EQ(buf[0], 'e');
    // Any other error drops what was read: nothing comes back on the next read.
    script.steps.push_back({aErrNone, 'f'});
    script.steps.push_back({aErrIO, 0});
    script.steps.push_back({aErrNone, 'g'});
    EXPECT_EQ(aStream_Read(stream, buf, 2), aErrIO);
    EXPECT_EQ(aStream_Read(stream, buf, 1), aErrNone);
    EXPECT_EQ(buf[0], 'g');
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
}

TEST(StreamCore, PushBackBufferGrowsAndKeepsOrder)
{
    Script script;
    aStream* stream = aStream_Create(Script::Get, nullptr, nullptr, nullptr, &script);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(aStreamBufferChar(stream, (uint8_t)(i * 7)), aErrNone);
    std::vector<uint8_t> out(2000);
    ASSERT_EQ(aStream_Read(stream, out.data(), out.size()), aErrNone);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(out[i], (uint8_t)(i * 7));
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

TEST(StreamCore, RecordsAndCStrings)
{
    MemoryTransport wire;
    aStream* stream = wire.makeStream();
    wire.feed({'a', 'b', 0, 'c', 'd', 0});
    char text[16];
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "ab");
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "cd");

    // A record cut short by a quiet transport is seen whole by the next read,
    // separator bytes already matched included.
    const uint8_t sep[2] = {'\r', '\n'};
    uint8_t record[32];
    size_t length = 0;
    wire.feed({'x', 'y', '\r'});
    EXPECT_EQ(aStream_ReadRecord(stream, record, &length, sizeof(record), sep, 2), aErrNotReady);
    wire.feed({'\n', 'z'});
    ASSERT_EQ(aStream_ReadRecord(stream, record, &length, sizeof(record), sep, 2), aErrNone);
    EXPECT_EQ(std::string((char*)record, length), "xy");

    // size - 1 bytes end a record.
    wire.feed({'1', '2', '3', '4', '5'});
    ASSERT_EQ(aStream_ReadRecord(stream, record, &length, 4, sep, 2), aErrNone);
    EXPECT_EQ(std::string((char*)record, length), "z12");
    EXPECT_EQ(aStream_ReadRecord(stream, record, &length, 4, sep, 0), aErrParam);

    // Writing: text records end with their separator and its NUL.
    ASSERT_EQ(aStream_WriteCStringRecord(stream, "hello", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCString(stream, "ok"), aErrNone);
    std::string written;
    for (auto& w : wire.takeWrites())
        written.append(w.begin(), w.end());
    EXPECT_EQ(written, std::string("hello\r\n\0ok\0", 11));
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

TEST(StreamFile, WriteThenReadBackAndFlushBetweenStreams)
{
    testsupport::TempDir dir;
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput((dir / "a.bin").c_str(), &out), aErrNone);
    const std::string content = "line one\nline two\n";
    ASSERT_EQ(aStream_Write(out, (const uint8_t*)content.data(), content.size()), aErrNone);
    ASSERT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput((dir / "a.bin").c_str(), &in), aErrNone);
    aStream* copy = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput((dir / "b.bin").c_str(), &copy), aErrNone);
    EXPECT_EQ(aStream_Flush(in, copy), aErrNone);
    EXPECT_EQ(aErrNone, aStream_Destroy(&copy));
    EXPECT_EQ(aErrNone, aStream_Destroy(&in));
    EXPECT_EQ(testsupport::ReadFile(dir / "b.bin"), content);

    aStream* missing = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateFileInput((dir / "none").c_str(), &missing), aErrResource);
    EXPECT_EQ(missing, nullptr);
}

class SocketPeer {
public:
    SocketPeer()
    {
        listenFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listenFd, (sockaddr*)&addr, sizeof(addr));
        listen(listenFd, 4);
        socklen_t len = sizeof(addr);
        getsockname(listenFd, (sockaddr*)&addr, &len);
        port = ntohs(addr.sin_port);
    }
    ~SocketPeer()
    {
        if (conn >= 0)
            close(conn);
        close(listenFd);
    }
    bool Accept()
    {
        pollfd p{listenFd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return false;
        if (conn >= 0)
            close(conn);
        conn = accept(listenFd, nullptr, nullptr);
        return conn >= 0;
    }
    int listenFd = -1;
    int conn = -1;
    uint16_t port = 0;
};

TEST(StreamSocket, ExchangesBytesAndReconnectsWhenThePeerCloses)
{
    SocketPeer peer;
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), peer.port, &stream), aErrNone);
    ASSERT_TRUE(peer.Accept());

    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady); // quiet peer
    ASSERT_EQ(write(peer.conn, "hi", 2), 2);
    uint8_t two[2];
    aErr err = aErrNotReady;
    for (int i = 0; i < 2000 && err == aErrNotReady; ++i)
        err = aStream_Read(stream, two, 2);
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(std::string((char*)two, 2), "hi");

    const std::string block = "a block of bytes";
    ASSERT_EQ(aStream_Write(stream, (const uint8_t*)block.data(), block.size()), aErrNone);
    EXPECT_EQ(ReadAll(peer.conn, block.size()), block);

    // The peer goes away: reads report not ready, and writing reconnects.
    close(peer.conn);
    peer.conn = -1;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    bool reconnected = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!reconnected && std::chrono::steady_clock::now() < deadline) {
        (void)aStream_Write(stream, (const uint8_t*)"x", 1); /* writing is what meets the dead connection: refusals are expected */
        pollfd p{peer.listenFd, POLLIN, 0};
        reconnected = poll(&p, 1, 100) > 0;
    }
    ASSERT_TRUE(reconnected);
    ASSERT_TRUE(peer.Accept());
    ASSERT_EQ(aStream_Write(stream, (const uint8_t*)"after", 5), aErrNone);
    // Bytes of the write that met the dead connection may arrive first.
    std::string got;
    while (got.size() < 64 && got.find("after") == std::string::npos) {
        std::string more = ReadAll(peer.conn, 1);
        if (more.empty())
            break;
        got += more;
    }
    EXPECT_NE(got.find("after"), std::string::npos) << got;
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

TEST(StreamSocket, RefusedConnectionLeavesNoStream)
{
    uint16_t port;
    {
        SocketPeer closed; // bound then closed: nobody listens on that port afterwards
        port = closed.port;
    }
    aStream* stream = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream), aErrConnection);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, nullptr), aErrResource);
}

TEST(StreamSerial, RawBytesThroughAPseudoTerminal)
{
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t;
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, aBAUD_115200, false, 0, 0, &stream), aErrNone);
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    ASSERT_EQ(aStream_Write(stream, (const uint8_t*)"\x01\x00\x7f\xff", 4), aErrNone);
    EXPECT_EQ(ReadAll(master, 4), std::string("\x01\x00\x7f\xff", 4));
    ASSERT_EQ(write(master, "\x00\x0a", 2), 2);
    uint8_t two[2];
    aErr err = aErrNotReady;
    for (int i = 0; i < 2000 && err == aErrNotReady; ++i)
        err = aStream_Read(stream, two, 2);
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(two[0], 0x00);
    EXPECT_EQ(two[1], 0x0a); // no newline translation in raw mode
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    close(slave);
    close(master);
}

TEST(StreamSerial, OpeningErrors)
{
    aStream* stream = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSerial("/dev/does-not-exist-tty", aBAUD_9600, false, 0, 0, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    // Two stop bits is code 1; 2 is no valid code and opens nothing.
    EXPECT_EQ(aStream_CreateSerial(name, aBAUD_9600, false, 0, 2, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(name, aBAUD_9600, false, 3, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial_Packetized(name, aBAUD_9600, false, 0, 2, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/does-not-exist-tty", aBAUD_9600, false, 0, 0, &stream),
              aErrNotFound);
    close(slave);
    close(master);
}
