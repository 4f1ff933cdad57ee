// Peers for the update-server tests: the stand-in server, a scripted server on
// Python's http.server, a test certificate authority, and BIRD catalogs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"

namespace servertest {

// Writes a BIRD file with birdtool; the firmware image is `imageSize`
// pseudo-random bytes derived from `seed`.
void MakeBird(const std::string& path, unsigned build, const std::string& version, const std::string& model,
              size_t imageSize = 256, unsigned seed = 1);

// A BIRD file around an (inflated) block area; BirdBytes makes one with no
// blocks for build 0, else an info block naming the build and a firmware image.
std::string BirdFromArea(const std::string& area);
std::string BirdBytes(unsigned build, size_t imageSize = 0);

// The stand-in update server on a free loopback port.
class StandInServer {
public:
    struct Config {
        std::string catalog, devices, secret = "lab-secret";
        std::string cert, certKey; // HTTPS when given
    };
    explicit StandInServer(const Config& config);
    const std::string& url() const { return url_; } // http(s)://127.0.0.1:PORT/cgi/u
    int port() const { return port_; }
    testsupport::Background& process() { return *process_; }

private:
    std::unique_ptr<testsupport::Background> process_;
    std::string url_;
    int port_ = 0;
};

// A scripted server on Python's http.server; see canned_server.py.
class CannedServer {
public:
    struct Answer {
        std::string op; // "*" for any other
        int status = 200;
        std::string body;
        bool stall = false;
        bool trickle = false; // body one byte at a time, 0.2 s apart
        int repeat = 1;       // the body this many times, without a Content-Length
        long cut = -1;        // when >= 0: the whole body announced, only this many bytes sent
    };
    explicit CannedServer(const std::vector<Answer>& answers);
    // Accepts connections and never answers.
    static std::unique_ptr<CannedServer> Silent();
    std::string url(const std::string& scheme = "http") const;
    // The request paths received so far, in order (waits for `count` of them).
    std::vector<std::string> Requests(size_t count);
    // Waits for a line of the server's output containing text.
    bool Saw(const std::string& text);

private:
    CannedServer() = default;
    void Start(const std::vector<std::string>& args);
    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::Background> process_;
    int port_ = 0;
    std::vector<std::string> requests_;
};

// A certificate authority made for the test, with server certificates it signs.
class TestCA {
public:
    TestCA();
    // Certificate and key for the given subjectAltName (e.g. "IP:127.0.0.1").
    void Issue(const std::string& name, const std::string& altNames);
    std::string ca() const { return dir_ / "ca.pem"; }
    std::string cert(const std::string& name) const { return dir_ / (name + ".pem"); }
    std::string key(const std::string& name) const { return dir_ / (name + ".key"); }

private:
    testsupport::TempDir dir_;
};

// A port on 127.0.0.1 that is bound but not listening: connections are refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Splits text into lines (without their "\n").
std::vector<std::string> Lines(const std::string& text);
// Runs a program and returns its standard output; fails the test on a non-zero status.
std::string Output(const std::vector<std::string>& argv, const testsupport::RunOptions& options = {});
// Base64url (no padding) decoding.
std::string Base64UrlDecode(const std::string& text);
// Base64url HMAC-SHA256 of text with key.
std::string HmacSha256Url(const std::string& key, const std::string& text);

} // namespace servertest
