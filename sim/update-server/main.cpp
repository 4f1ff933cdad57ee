// update-server: answers the updater's six requests on /cgi/u from a catalog
// directory of BIRD files and a device list.
#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "Catalog.h"
#include "Token.h"

namespace {

const char kUsage[] = R"(Usage: update-server --catalog DIR --devices FILE (--secret TEXT | --secret-file FILE)
                     [--host ADDRESS] [--port N] [--cert FILE --cert-key FILE]

A stand-in update server. It answers the updater's requests on the path /cgi/u,
and on / for "Updater -u HOST:PORT" (query key "op": hi, qu, builds, bird, fix,
ent_jwt), from:

  --catalog DIR       a directory of firmware files NAME.bird; NAME (letters,
                      digits, '.', '_', '-') is the firmware name. Each file's
                      build number, version and model come from its info block.
                      A device is offered the builds whose model is its own; the
                      newest is the highest version (then the highest build).
                      Any build of the catalog can be downloaded by number.
  --devices FILE      the devices served, one per line ('#' starts a comment):
                        SERIAL MODEL [FEATURES [FINGERPRINT]]
                      SERIAL is hexadecimal, FEATURES a comma list or '-',
                      FINGERPRINT four hexadecimal words W0:W1:W2:W3 or '-'.
                      Example:  40F5849A  TX-ALPHA  stream,i2c  1:2:3:4
  --secret TEXT       key for the HMAC-SHA256 signature of device tokens;
  --secret-file FILE  or read it from a file (trailing newline removed).

  --host ADDRESS      address to listen on (default 127.0.0.1).
  --port N            port to listen on (default 8080; 0 picks a free port).
  --cert FILE         serve HTTPS with this PEM certificate (chain)
  --cert-key FILE     and this PEM private key.
  --help              this text.

Once listening it prints "listening on URL" with the base address to give the
updater (Updater -u URL ...), then one line per request. Unknown devices and
bad requests get an answer whose first line begins with "error". The catalog
and device list are read once at start. SIGINT or SIGTERM stop it cleanly.
)";

struct Options {
    std::string catalog, devices, secret, host = "127.0.0.1", cert, certKey;
    int port = 8080;
    bool secretGiven = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "update-server: " << message << "\n(see update-server --help)\n";
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (i + 1 >= argc) Fail("missing value after " + word);
        const std::string value = argv[++i];
        if (word == "--catalog") options.catalog = value;
        else if (word == "--devices") options.devices = value;
        else if (word == "--secret") options.secret = value, options.secretGiven = true;
        else if (word == "--secret-file") {
            std::ifstream in(value);
            if (!in) Fail("cannot read " + value);
            std::getline(in, options.secret, '\0');
            while (!options.secret.empty() && (options.secret.back() == '\n' || options.secret.back() == '\r'))
                options.secret.pop_back();
            options.secretGiven = true;
        } else if (word == "--host") options.host = value;
        else if (word == "--port") {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (*end || port < 0 || port > 65535) Fail("bad port " + value);
            options.port = static_cast<int>(port);
        } else if (word == "--cert") options.cert = value;
        else if (word == "--cert-key") options.certKey = value;
        else Fail("unknown option " + word);
    }
    if (options.catalog.empty()) Fail("--catalog is required");
    if (options.devices.empty()) Fail("--devices is required");
    if (!options.secretGiven || options.secret.empty()) Fail("a token key (--secret or --secret-file) is required");
    if (options.cert.empty() != options.certKey.empty()) Fail("--cert and --cert-key go together");
    return options;
}

bool ParseSerial(const std::string& text, uint32_t& serial) {
    if (text.empty() || text.size() > 8) return false;
    char* end = nullptr;
    serial = static_cast<uint32_t>(std::strtoul(text.c_str(), &end, 16));
    return *end == '\0';
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

class Service {
public:
    Service(const Catalog& catalog, std::string secret) : catalog_(catalog), secret_(std::move(secret)) {}

    // The answer body for one request; `note` says what was done, for the log line.
    std::string Answer(const httplib::Request& request, std::string& note) const {
        const std::string op = request.get_param_value("op");
        if (op == "hi") return note = "ping", "ok\n";
        if (op == "fix") return Recovery(request, note);
        if (op != "qu" && op != "builds" && op != "bird" && op != "ent_jwt")
            return note = "unknown op", "error unknown request \"" + op + "\"\n";

        uint32_t serial = 0;
        if (!ParseSerial(request.get_param_value("sn"), serial))
            return note = "bad serial", "error bad serial number\n";
        const Device* device = catalog_.FindDevice(serial);
        if (!device) return note = "unknown device " + Hex8(serial), "error unknown device " + Hex8(serial) + "\n";

        if (op == "qu") {
            const auto builds = catalog_.BuildsFor(*device);
            if (builds.empty()) return note = "no builds", "error no builds for " + Hex8(serial) + "\n";
            note = "newest " + std::to_string(builds[0]->build);
            return "ok\n" + std::to_string(builds[0]->build) + "\n" + builds[0]->firmwareName + "\n";
        }
        if (op == "builds") {
            std::string body = "ok\n";
            const auto builds = catalog_.BuildsFor(*device);
            for (const auto* b : builds) body += std::to_string(b->build) + ";" + b->version + "\n";
            note = std::to_string(builds.size()) + " builds";
            return body;
        }
        if (op == "bird") return Download(request, *device, note);
        return Token(*device, note);
    }

private:
    std::string Download(const httplib::Request& request, const Device& device, std::string& note) const {
        const std::string buildText = request.get_param_value("bld");
        char* end = nullptr;
        const unsigned long build = std::strtoul(buildText.c_str(), &end, 10);
        if (buildText.empty() || *end) return note = "bad build", "error bad build number\n";
        const CatalogBuild* file =
            catalog_.FindForDownload(device, request.get_param_value("fw"), static_cast<uint32_t>(build));
        if (!file) return note = "no build " + buildText, "error no build " + buildText + "\n";
        std::ifstream in(file->path, std::ios::binary | std::ios::ate);
        std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
        in.seekg(0);
        if (!in || !in.read(&bytes[0], static_cast<std::streamsize>(bytes.size())))
            return note = "cannot read " + file->path, "error catalog file unreadable\n";
        note = "sent " + file->path + " (" + std::to_string(bytes.size()) + " bytes, no_cal=" +
               request.get_param_value("no_cal") + ")";
        return "ok\n" + Base64(bytes) + "\n";
    }

    std::string Token(const Device& device, std::string& note) const {
        std::string features = "[";
        for (size_t i = 0; i < device.features.size(); ++i)
            features += (i ? "," : "") + JsonString(device.features[i]);
        features += "]";
        const std::string payload = "{\"sub\":" + JsonString(Hex8(device.serial)) + ",\"model\":" +
                                    JsonString(device.model) + ",\"features\":" + features +
                                    ",\"iat\":" + std::to_string(std::time(nullptr)) + "}";
        note = "token for " + Hex8(device.serial);
        return "ok\n" + SignToken(payload, secret_) + "\n";
    }

    std::string Recovery(const httplib::Request& request, std::string& note) const {
        std::istringstream words(request.get_param_value("fp"));
        std::array<uint32_t, 4> fp{};
        std::string word;
        for (auto& w : fp)
            if (!(words >> word) || !ParseSerial(word, w)) return note = "bad fingerprint", "error bad fingerprint\n";
        const Device* device = catalog_.FindDeviceByFingerprint(fp);
        if (!device) return note = "unknown fingerprint", "error unknown fingerprint\n";
        const auto builds = catalog_.BuildsFor(*device);
        if (builds.empty()) return note = "no builds", "error no builds for " + Hex8(device->serial) + "\n";
        note = "device " + Hex8(device->serial);
        return "ok\n" + Hex8(device->serial) + "\n" + std::to_string(builds[0]->build) + "\n";
    }

    const Catalog& catalog_;
    std::string secret_;
};

} // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);

    Catalog catalog;
    std::vector<std::string> warnings;
    catalog.LoadBuilds(options.catalog, warnings);
    for (const auto& w : warnings) std::cerr << "update-server: " << w << "\n";
    std::string error;
    if (!catalog.LoadDevices(options.devices, error)) Fail(error);

    // Stop requests arrive as signals; take them on the main thread only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<httplib::Server> server;
    const bool secure = !options.cert.empty();
    if (secure) {
        server = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.certKey.c_str());
        if (!server->is_valid()) Fail("cannot use certificate " + options.cert + " with key " + options.certKey);
    } else {
        server = std::make_unique<httplib::Server>();
    }

    const Service service(catalog, options.secret);
    std::mutex outputLock;
    const auto answer = [&](const httplib::Request& request, httplib::Response& response) {
        std::string note;
        response.status = 200;
        response.set_content(service.Answer(request, note), "text/plain");
        std::lock_guard<std::mutex> lock(outputLock);
        std::printf("%s \"GET %s\" %d %s\n", request.remote_addr.c_str(), request.target.c_str(), response.status,
                    note.c_str());
        std::fflush(stdout);
    };
    server->Get("/cgi/u", answer);
    // "Updater -u host:port" asks for the server's root: answer there too.
    server->Get("/", answer);
    server->set_error_handler([&](const httplib::Request& request, httplib::Response& response) {
        response.set_content("error " + std::to_string(response.status) + "\n", "text/plain");
        std::lock_guard<std::mutex> lock(outputLock);
        std::printf("%s \"%s %s\" %d\n", request.remote_addr.c_str(), request.method.c_str(),
                    request.target.c_str(), response.status);
        std::fflush(stdout);
    });

    int port = options.port;
    if (port == 0) {
        port = server->bind_to_any_port(options.host);
        if (port < 0) Fail("cannot listen on " + options.host);
    } else if (!server->bind_to_port(options.host, port)) {
        Fail("cannot listen on " + options.host + ":" + std::to_string(port));
    }
    std::thread listener([&] { server->listen_after_bind(); });

    const std::string host = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    std::printf("update-server: %zu builds, %zu devices\n", catalog.BuildCount(), catalog.DeviceCount());
    std::printf("listening on %s://%s:%d/cgi/u\n", secure ? "https" : "http", host.c_str(), port);
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
    listener.join();
    {
        std::lock_guard<std::mutex> lock(outputLock);
        std::printf("update-server: stopped (signal %d)\n", signal);
        std::fflush(stdout);
    }
    return 0;
}
