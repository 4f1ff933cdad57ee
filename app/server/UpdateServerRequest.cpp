#include "UpdateServerRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "HTTPRequest.h"
#include "Log.h"
#include "PrintableText.h"

// The build names the default server's host (CMake cache UPDATER_SERVER_HOST).
#ifndef UPDATER_SERVER_HOST
#error "UPDATER_SERVER_HOST must be defined by the build"
#endif

namespace {

constexpr unsigned kLog = Log::DEBUG_ServerComm;

std::string SerialText(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The non-empty lines of a body, cut at "\n" (a "\r" stays part of its line).
std::vector<std::string_view> Lines(std::string_view body) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string_view::npos) end = body.size();
        if (end > start) lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The text up to the first of the given characters.
std::string_view CutAt(std::string_view text, std::string_view stops) {
    // One fast scan per stop character: a BIRD line runs to tens of megabytes.
    size_t end = text.size();
    for (char stop : stops) end = std::min(end, text.substr(0, end).find(stop));
    return text.substr(0, end);
}

// Server text for a debug line, without control characters (line breaks
// stay); nothing is copied while the debug log is off.
std::string Shown(std::string_view text) {
    return (Log::package_bitmask & kLog) ? PrintableText(text, true) : std::string();
}

// Runs one request: the transfer, the status and the leading "ok".
// On success `response` holds the answer and `lines` its lines; a failure
// says which of the three failed.
Result AskWhy(const char* operation, const std::string& address, const HTTPRequest::Parameters& parameters,
              std::unique_ptr<HTTPResponse>& response, std::vector<std::string_view>& lines,
              const HTTPLimits& limits = HTTPLimits::Small()) {
    const std::string base = address.empty() ? std::string(UpdateServerRequest::DefaultURL()) : address;
    ResultOf<HTTPResponse> answer = HTTPRequest::GET(base, parameters, limits);
    if (!answer.ok()) {
        Log::log(kLog, "%s ==> [%s]\n", operation, answer.message().c_str());
        return answer.result();
    }
    response = std::make_unique<HTTPResponse>(std::move(answer).value());
    if (response->get_status() != 200) {
        if (std::string_view(operation) == "ping")
            Log::log(kLog, "PING ==> [%d] [%s]\n", static_cast<int>(response->get_status()),
                     Shown(response->get_response()).c_str());
        else
            Log::log(kLog, "%s ==> [%d] [%s]\n", operation, static_cast<int>(response->get_status()),
                     Shown(response->get_response()).c_str());
        return Result::Failure(aErrNotFound, "HTTP status " + std::to_string(response->get_status()));
    }
    lines = Lines(response->get_response());
    if (lines.empty() || lines[0].substr(0, 2) != "ok") {
        Log::log(kLog, "ServerCommClass: %s failed [%s]\n", operation, Shown(response->get_request()).c_str());
        return Result::Failure(aErrParse, "the answer does not begin with \"ok\"");
    }
    return {};
}

bool Ask(const char* operation, const std::string& address, const HTTPRequest::Parameters& parameters,
         std::unique_ptr<HTTPResponse>& response, std::vector<std::string_view>& lines,
         const HTTPLimits& limits = HTTPLimits::Small()) {
    return AskWhy(operation, address, parameters, response, lines, limits).ok();
}

void MissingLine(const char* operation, const char* what) {
    Log::log(kLog, "%s: answer has no %s\n", operation, what);
}

// Major, minor, patch reduced to 8 bits, as the firmware compares versions.
struct VersionKey {
    bool valid = false;
    uint8_t major = 0, minor = 0, patch = 0;
};

bool ReadNumber(const std::string& text, long long& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return end != text.c_str() && errno == 0;
}

VersionKey KeyOf(const std::string& version) {
    VersionKey key;
    const auto parts = UpdateServerRequest::SplitTarnixVersion(version);
    if (parts.size() != 3) return key;
    long long numbers[3];
    for (int i = 0; i < 3; ++i) {
        if (!ReadNumber(parts[i], numbers[i])) {
            Log::log(kLog, "%s: Exception converting version: %s\n", "_sortVersion", version.c_str());
            return key;
        }
    }
    key.valid = true;
    key.major = static_cast<uint8_t>(numbers[0]);
    key.minor = static_cast<uint8_t>(numbers[1]);
    key.patch = static_cast<uint8_t>(numbers[2]);
    return key;
}

} // namespace

const char* UpdateServerRequest::DefaultURL() { return "http://" UPDATER_SERVER_HOST "/cgi/u"; }
const char* UpdateServerRequest::DefaultSecureURL() { return "https://" UPDATER_SERVER_HOST "/cgi/u"; }
const char* UpdateServerRequest::DefaultHost() { return UPDATER_SERVER_HOST; }

bool UpdateServerRequest::ping(const std::string& address) { return Reach(address, HTTPLimits::Small()).ok(); }

Result UpdateServerRequest::Reach(const std::string& address, const HTTPLimits& limits) {
    std::unique_ptr<HTTPResponse> response;
    std::vector<std::string_view> lines;
    return AskWhy("ping", address, {{"op", "hi"}, {"rv", "2"}}, response, lines, limits);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmwareName,
                                     const std::string& address) {
    std::unique_ptr<HTTPResponse> response;
    std::vector<std::string_view> lines;
    if (!Ask("QueryBuild", address, {{"op", "qu"}, {"sn", SerialText(serial)}}, response, lines)) return false;
    if (lines.size() > 1) build = std::string(CutAt(lines[1], "\r"));
    else MissingLine("QueryBuild", "build line");
    if (lines.size() > 2) firmwareName = std::string(CutAt(lines[2], "\r\n"));
    else MissingLine("QueryBuild", "firmware name line");
    return true;
}

namespace {

// The lines of a build answer as they arrive: the first non-empty line must
// begin with "ok"; in every later line the text up to its first "\r" is
// base64, joined across lines (a server may wrap it, as MIME does at 76 columns).
class BuildAnswerReader {
public:
    explicit BuildAnswerReader(Base64Stream& text) : text_(text) {}

    void Feed(const char* bytes, size_t length) {
        const char* const end = bytes + length;
        while (bytes < end && state_ != State::Rejected) {
            if (state_ == State::First) {
                bytes = ReadFirstLine(bytes, end);
                continue;
            }
            const char* stop = static_cast<const char*>(std::memchr(bytes, '\n', end - bytes));
            const char* lineEnd = stop ? stop : end;
            if (lineEnd > bytes && !inLine_) ++textLines_;
            inLine_ = !stop;
            if (state_ == State::Text) {
                const char* cr = static_cast<const char*>(std::memchr(bytes, '\r', lineEnd - bytes));
                text_.Feed(bytes, (cr ? cr : lineEnd) - bytes);
                if (cr) state_ = State::SkipToLineEnd;
            }
            if (stop) state_ = State::Text;
            bytes = stop ? stop + 1 : end;
        }
    }
    // Whether the first non-empty line began with "ok" (after the whole body).
    bool Ok() const { return okSeen_ || (state_ == State::First && first_ == "ok"); }
    size_t TextLines() const { return textLines_; }

private:
    enum class State { First, Text, SkipToLineEnd, Rejected };

    // Up to the end of the first non-empty line; empty lines before it do not count.
    const char* ReadFirstLine(const char* bytes, const char* end) {
        while (bytes < end) {
            const char c = *bytes++;
            if (c == '\n') {
                if (first_.empty() && !firstStarted_) continue;
                okSeen_ = first_ == "ok";
                state_ = okSeen_ ? State::Text : State::Rejected;
                return bytes;
            }
            firstStarted_ = true;
            if (first_.size() < 2) first_ += c;
        }
        return bytes;
    }

    Base64Stream& text_;
    State state_ = State::First;
    std::string first_;
    bool firstStarted_ = false, okSeen_ = false, inLine_ = false;
    size_t textLines_ = 0;
};

} // namespace

bool UpdateServerRequest::GetBuildStreamed(uint32_t serial, const std::string& firmwareName, const std::string& build,
                                           const ByteSink& bytes, bool& wholeText, const std::string& address,
                                           bool noCal) {
    wholeText = false;
    const HTTPRequest::Parameters parameters{{"op", "bird"},
                                             {"sn", SerialText(serial)},
                                             {"fw", firmwareName},
                                             {"bld", build},
                                             {"no_cal", noCal ? "true" : "false"}};
    Base64Stream text(bytes);
    BuildAnswerReader reader(text);
    const std::string base = address.empty() ? std::string(DefaultURL()) : address;
    ResultOf<HTTPResponse> answer = HTTPRequest::GETStreamed(
        base, parameters, HTTPLimits::Download(), [&](const char* data, size_t length) { reader.Feed(data, length); });
    if (!answer.ok()) {
        Log::log(kLog, "%s ==> [%s]\n", "GetBuild", answer.message().c_str());
        return false;
    }
    if (answer->get_status() != 200) {
        Log::log(kLog, "%s ==> [%d] [%s]\n", "GetBuild", static_cast<int>(answer->get_status()),
                 Shown(answer->get_response()).c_str());
        return false;
    }
    if (!reader.Ok()) {
        Log::log(kLog, "ServerCommClass: %s failed [%s]\n", "GetBuild", Shown(answer->get_request()).c_str());
        return false;
    }
    if (reader.TextLines() == 0) {
        MissingLine("GetBuild", "BIRD line");
        return true;
    }
    if (reader.TextLines() > 1) Log::log(kLog, "GetBuild: joined %zu lines of base64\n", reader.TextLines());
    wholeText = text.Finish();
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const std::string& address) {
    builds.clear();
    std::unique_ptr<HTTPResponse> response;
    std::vector<std::string_view> lines;
    if (!Ask("GetBuildList", address, {{"op", "builds"}, {"sn", SerialText(serial)}}, response, lines))
        return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.size() < 3) continue;
        Log::log(kLog, "%s processing entry: [%s]\n", "GetBuildList", Shown(line).c_str());
        const std::string_view buildField = CutAt(line, ";\r\n");
        if (buildField.empty()) continue;
        std::string_view version;
        if (buildField.size() < line.size() && line[buildField.size()] == ';')
            version = CutAt(line.substr(buildField.size() + 1), ";\r\n");
        const std::string build(buildField), versionText(version);
        builds.emplace(build, versionText); // a build listed twice keeps its first line
        Log::log(kLog, "%s [%.10s][%.10s]\n", "GetBuildList", Shown(build).c_str(), Shown(versionText).c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                                          const std::string& address) {
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                  fingerprint[3]);
    std::unique_ptr<HTTPResponse> response;
    std::vector<std::string_view> lines;
    if (!Ask("GetRecoveryInfo", address, {{"op", "fix"}, {"fp", fp}, {"brief", "true"}}, response, lines))
        return false;
    const std::string first(lines[0]);
    const std::string second = lines.size() > 1 ? std::string(lines[1]) : std::string();
    const std::string third = lines.size() > 2 ? std::string(lines[2]) : std::string();
    if (lines.size() > 1) serial = static_cast<uint32_t>(std::strtoul(second.c_str(), nullptr, 16));
    if (lines.size() > 2) build = static_cast<uint32_t>(std::strtoul(third.c_str(), nullptr, 0));
    Log::log(kLog, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", Shown(first).c_str(), Shown(second).c_str(),
             Shown(third).c_str());
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const std::string& address) {
    std::unique_ptr<HTTPResponse> response;
    std::vector<std::string_view> lines;
    if (!Ask("GetDeviceJWT", address, {{"op", "ent_jwt"}, {"sn", SerialText(serial)}, {"json", "false"}}, response,
             lines))
        return false;
    if (lines.size() < 2 || lines[1].size() <= 2) {
        MissingLine("GetDeviceJWT", "token line");
        return false;
    }
    const std::string_view line = lines[1];
    Log::log(kLog, "%s processing entry: [%s]\n", "GetDeviceJWT", Shown(line).c_str());
    const size_t firstDot = line.find('.');
    if (firstDot == std::string_view::npos) return false;
    const size_t secondDot = line.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos) return false;
    const std::string_view header = line.substr(0, firstDot);
    const std::string_view payload = line.substr(firstDot + 1, secondDot - firstDot - 1);
    const std::string_view signature = CutAt(line.substr(secondDot + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
    token = std::string(header) + "." + std::string(payload) + "." + std::string(signature);
    return true;
}

UpdateServerRequest::SortedBuilds UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
    struct Entry {
        VersionKey key;
        std::pair<std::string, std::string> item;
    };
    std::vector<Entry> entries;
    entries.reserve(builds.size());
    for (const auto& item : builds) entries.push_back({KeyOf(item.second), item});

    // A strict weak ordering even for unreadable versions: they rank below every
    // readable one and keep their map order among themselves.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.key.valid != b.key.valid) return a.key.valid;
        if (!a.key.valid) return false;
        if (a.key.major != b.key.major) return a.key.major > b.key.major;
        if (a.key.minor != b.key.minor) return a.key.minor > b.key.minor;
        return a.key.patch > b.key.patch;
    });

    SortedBuilds sorted;
    sorted.reserve(entries.size());
    for (auto& entry : entries) sorted.push_back(std::move(entry.item));
    return sorted;
}

std::vector<std::string> UpdateServerRequest::SplitTarnixVersion(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}
