// HTTP GET on libcurl's easy interface, and the base64 coding that carries
// firmware images inside server answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Result.h"

// One finished (or failed) GET: the address asked for, the HTTP status and the body.
class HTTPResponse {
public:
    explicit HTTPResponse(std::string request) : request_(std::move(request)) {}

    const std::string& get_request() const { return request_; }
    long get_status() const { return status_; }
    const std::string& get_response() const { return response_; }
    std::string& get_response() { return response_; }

    void set_status(long code) { status_ = code; }
    void process(const char* bytes, size_t count) { response_.append(bytes, count); }
    // Makes room for a body of the announced size in one piece (best effort).
    void expect(size_t bytes);

    // The most body bytes this response takes; the write callback stops the
    // transfer at the first byte past it.
    void set_limit(size_t bytes) { limit_ = bytes; }
    size_t get_limit() const { return limit_; }
    bool over_limit() const { return overLimit_; }
    void mark_over_limit() { overLimit_ = true; }

private:
    std::string request_;
    long status_ = 0;
    std::string response_;
    size_t limit_ = static_cast<size_t>(-1);
    bool overLimit_ = false;
};

// What one request may take: body bytes and seconds from start to end.
struct HTTPLimits {
    size_t maxBodyBytes;
    long deadlineSeconds;

    // The short answers (ping, build queries, tokens): 1 MiB within 60 s;
    // UPDATER_HTTP_MAX_BYTES and UPDATER_HTTP_TIMEOUT override them.
    static HTTPLimits Small();
    // A BIRD file as base64: 64 MiB within 10 minutes;
    // UPDATER_HTTP_DOWNLOAD_MAX_BYTES and UPDATER_HTTP_DOWNLOAD_TIMEOUT override them.
    static HTTPLimits Download();
};

class HTTPRequest {
public:
    using Parameters = std::map<std::string, std::string>;

    // Requests address + "?" + name=value& ... (values inserted unchanged).
    // Fails with aErrConnection and libcurl's reason on any transfer failure,
    // a body larger than limits.maxBodyBytes or a transfer still running
    // after limits.deadlineSeconds included, and with aErrInitialization when
    // no curl handle can be made; an HTTP error status is not a failure, the
    // caller inspects get_status(). Any thread.
    //
    // HTTPS peers are verified against the system trust store, or the file
    // named by CURL_CA_BUNDLE. Connecting is bounded (30 s) and a transfer
    // that receives nothing for 60 s is aborted; the environment variables
    // UPDATER_HTTP_CONNECT_TIMEOUT and UPDATER_HTTP_STALL_TIMEOUT (seconds)
    // override those bounds.
    static ResultOf<HTTPResponse> GET(const std::string& address, const Parameters& parameters,
                            const HTTPLimits& limits = HTTPLimits::Small());

    // GET with the body of a 200 answer handed to `body` piece by piece as it
    // arrives, never held whole (the response's body stays empty); the body of
    // any other status is kept in the response as GET keeps it. Same failures
    // and limits as GET. `body` runs on the calling thread, inside the transfer.
    using BodySink = std::function<void(const char* bytes, size_t length)>;
    static ResultOf<HTTPResponse> GETStreamed(const std::string& address, const Parameters& parameters,
                                              const HTTPLimits& limits, const BodySink& body);

    // The full address GET requests for these parameters.
    static std::string FullAddress(const std::string& address, const Parameters& parameters);
};

// libcurl write callback: appends size * count bytes to the HTTPResponse;
// returns 0 (libcurl then stops the transfer) when they would take the body
// past the response's limit or memory runs out.
size_t _rcv_data(char* bytes, size_t size, size_t count, void* response);

// RFC 4648 base64, no line breaks. Decoding returns null for a text whose
// length is not a multiple of four or that holds characters outside the
// alphabet; the buffer carries one extra zero byte after outLength bytes.
std::unique_ptr<unsigned char[]> base64_decode(const char* text, size_t length, size_t* outLength);
// Returns zero-terminated text, or null when memory runs out.
std::unique_ptr<char[]> base64_encode(const unsigned char* bytes, size_t length, size_t* outLength);

// RFC 4648 base64 decoded piece by piece, with the verdict base64_decode
// gives for the whole text: groups of four alphabet characters, the last of
// which may end in one or two pads, nothing after them. One thread at a time.
class Base64Stream {
public:
    // `output` receives the decoded bytes in pieces of at most 48 KiB.
    using Output = std::function<void(const uint8_t* bytes, size_t length)>;
    explicit Base64Stream(Output output) : output_(std::move(output)) {}

    // The next piece of text (no line breaks). False once the text is known
    // not to be base64; what follows is then ignored.
    bool Feed(const char* text, size_t length);
    // After the last piece: true when the text was non-empty, whole base64.
    bool Finish();

private:
    void Group(const unsigned char* in);
    void Flush();
    Output output_;
    unsigned char carry_[4] = {};
    size_t carried_ = 0, textLength_ = 0, pending_ = 0;
    bool bad_ = false, ended_ = false;
    uint8_t buffer_[48 * 1024];
};
