// The six questions the updater asks the update server, and build-list ordering.
// Every request returns true on success, logs its reasons otherwise and never throws.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "HTTPRequest.h"
#include "Result.h"

class UpdateServerRequest {
public:
    using BuildList = std::map<std::string, std::string>; // build text -> version text
    using SortedBuilds = std::vector<std::pair<std::string, std::string>>;

    // The built-in server address, HTTP and HTTPS forms (path "/cgi/u"), and
    // its host alone. The one definition of the default server: the command
    // line takes it from here.
    static const char* DefaultURL();
    static const char* DefaultSecureURL();
    static const char* DefaultHost();

    // An empty address means DefaultURL().
    static bool ping(const std::string& address);
    // The ping with its reason: aErrConnection with libcurl's text for a
    // failed transfer (`limits` bound it), aErrNotFound "HTTP status N" for
    // another status than 200, aErrParse when the answer is not the server's,
    // aErrInitialization when curl cannot start. Any thread.
    static Result Reach(const std::string& address, const HTTPLimits& limits);
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmwareName,
                           const std::string& address);
    // The build file (op=bird) taken as it arrives: the base64 text after the
    // "ok" line is decoded on the fly and its bytes handed to `bytes`, so the
    // answer is never held whole. False when the transfer failed, the status
    // is not 200 or the answer does not begin with "ok"; true
    // otherwise, with `wholeText` true only when the text after "ok" was
    // non-empty, whole base64: else the bytes handed over are no file.
    // `bytes` runs on the calling thread. Any thread.
    using ByteSink = std::function<void(const uint8_t* bytes, size_t length)>;
    static bool GetBuildStreamed(uint32_t serial, const std::string& firmwareName, const std::string& build,
                                 const ByteSink& bytes, bool& wholeText, const std::string& address, bool noCal);
    static bool GetBuildList(uint32_t serial, BuildList& builds, const std::string& address);
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                                const std::string& address);
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const std::string& address);

    // Newest version first; entries whose version is not three numbers go last.
    static SortedBuilds SortBuildsByVersion(const BuildList& builds);
    // Exactly three parts, or an empty list.
    static std::vector<std::string> SplitTarnixVersion(const std::string& text);
};
