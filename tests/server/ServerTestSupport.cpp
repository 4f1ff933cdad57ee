#include "ServerTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace servertest {

using namespace std::chrono_literals;
using testsupport::Background;
using testsupport::Run;
using testsupport::RunOptions;

namespace {

int PortAfter(const std::string& line, const std::string& marker) {
    const size_t at = line.rfind(marker);
    if (at == std::string::npos) throw std::runtime_error("no port in: " + line);
    return std::stoi(line.substr(at + marker.size()));
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    char buffer[8];
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace

std::string BirdFromArea(const std::string& area) {
    uLongf size = compressBound(area.size());
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(area.data()), area.size(), 9);
    return std::string("bird\x01\x01", 6) + packed.substr(0, size);
}

std::string BirdBytes(unsigned build, size_t imageSize) {
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    if (!build) return BirdFromArea(be32(0) + be32(0));
    const std::string info = (std::to_string(build) + std::string(64, ' ')).substr(0, 64);
    std::string image(imageSize, '\0'); // hardly compressible, as firmware is
    for (size_t i = 0; i < imageSize; ++i) image[i] = static_cast<char>((i * 2654435761u) >> 13);
    return BirdFromArea(be32(2) + '\x04' + be32(64) + info + '\x01' + be32(4 + imageSize) + be32(0) + image + be32(0));
}

void MakeBird(const std::string& path, unsigned build, const std::string& version, const std::string& model,
              size_t imageSize, unsigned seed) {
    const std::string image = path + ".image";
    const std::string manifest = path + ".manifest";
    std::mt19937 random(seed);
    std::string bytes(imageSize, '\0');
    for (auto& b : bytes) b = static_cast<char>(random() & 0xFF);
    testsupport::WriteFile(image, bytes);
    std::ostringstream text;
    text << "build " << build << "\nversion " << version << "\nserial 00000000\nmodel " << model
         << "\nfirmware 0x00000000 " << image << "\n";
    testsupport::WriteFile(manifest, text.str());
    const auto result = Run({BIRDTOOL_BIN, "pack", manifest, path});
    unlink(image.c_str());
    unlink(manifest.c_str());
    if (result.status != 0) throw std::runtime_error("birdtool pack failed: " + result.err);
}

StandInServer::StandInServer(const Config& config) {
    std::vector<std::string> argv{UPDATE_SERVER_BIN, "--catalog", config.catalog, "--devices", config.devices,
                                  "--secret",        config.secret, "--port",  "0"};
    if (!config.cert.empty()) {
        argv.insert(argv.end(), {"--cert", config.cert, "--cert-key", config.certKey});
    }
    process_ = std::make_unique<Background>(argv);
    const std::string line = process_->WaitForLine("listening on", 30s);
    if (line.empty()) throw std::runtime_error("update-server did not start: " + process_->output());
    url_ = line.substr(line.find("listening on ") + 13);
    port_ = PortAfter(url_.substr(0, url_.rfind('/') - 4), ":");
}

void CannedServer::Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{SYSTEM_PYTHON3, SERVER_TEST_DIR "/canned_server.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<Background>(argv);
    const std::string line = process_->WaitForLine("listening on", 30s);
    if (line.empty()) throw std::runtime_error("canned server did not start: " + process_->output());
    port_ = PortAfter(line, "listening on ");
}

CannedServer::CannedServer(const std::vector<Answer>& answers) {
    std::string json = "{";
    for (size_t i = 0; i < answers.size(); ++i) {
        const auto& a = answers[i];
        json += (i ? "," : "") + JsonString(a.op) + ":{\"status\":" + std::to_string(a.status) +
                ",\"body\":" + JsonString(a.body) + ",\"stall\":" + (a.stall ? "true" : "false") +
                ",\"trickle\":" + (a.trickle ? "true" : "false") + ",\"repeat\":" + std::to_string(a.repeat) +
                ",\"cut\":" + std::to_string(a.cut) + "}";
    }
    json += "}";
    testsupport::WriteFile(dir_ / "answers.json", json);
    Start({dir_ / "answers.json"});
}

std::unique_ptr<CannedServer> CannedServer::Silent() {
    std::unique_ptr<CannedServer> server(new CannedServer());
    server->Start({"--silent"});
    return server;
}

std::string CannedServer::url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> CannedServer::Requests(size_t count) {
    while (requests_.size() < count) {
        const std::string marker = "REQUEST " + std::to_string(requests_.size() + 1) + " ";
        const std::string line = process_->WaitForLine(marker, 30s);
        if (line.empty()) break;
        requests_.push_back(line.substr(line.find(marker) + marker.size()));
    }
    return requests_;
}

bool CannedServer::Saw(const std::string& text) { return !process_->WaitForLine(text, 30s).empty(); }

TestCA::TestCA() {
    const auto result = Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                             "-subj", "/CN=Updater Test CA", "-keyout", dir_ / "ca.key", "-out", dir_ / "ca.pem",
                             "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                             "keyUsage=critical,keyCertSign,cRLSign"});
    if (result.status != 0) throw std::runtime_error("openssl CA: " + result.err);
}

void TestCA::Issue(const std::string& name, const std::string& altNames) {
    const std::string csr = dir_ / (name + ".csr"), ext = dir_ / (name + ".ext");
    auto result = Run({"/usr/bin/openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                       "-keyout", key(name), "-out", csr});
    if (result.status != 0) throw std::runtime_error("openssl csr: " + result.err);
    testsupport::WriteFile(ext, "subjectAltName=" + altNames + "\nextendedKeyUsage=serverAuth\n");
    result = Run({"/usr/bin/openssl", "x509", "-req", "-in", csr, "-CA", ca(), "-CAkey", dir_ / "ca.key",
                  "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", cert(name)});
    if (result.status != 0) throw std::runtime_error("openssl sign: " + result.err);
}

RefusingPort::RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot reserve a port");
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) close(fd_);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string Output(const std::vector<std::string>& argv, const RunOptions& options) {
    const auto result = Run(argv, options);
    EXPECT_EQ(result.status, 0) << argv[0] << ": " << result.err;
    return result.out;
}

std::string Base64UrlDecode(const std::string& text) {
    std::string standard = text;
    for (auto& c : standard) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    while (standard.size() % 4) standard += '=';
    std::string out(standard.size() / 4 * 3 + 1, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(standard.data()),
                                  static_cast<int>(standard.size()));
    if (n < 0) return {};
    out.resize(static_cast<size_t>(n) - (text.size() % 4 == 2 ? 2 : text.size() % 4 == 3 ? 1 : 0));
    return out;
}

std::string HmacSha256Url(const std::string& key, const std::string& text) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), mac, &length);
    std::string encoded(4 * ((length + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]), mac, static_cast<int>(length));
    encoded.resize(static_cast<size_t>(n));
    while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
    for (auto& c : encoded) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    return encoded;
}

} // namespace servertest
