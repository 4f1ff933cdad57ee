#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <strings.h>

#include "Log.h"
#include "PrintableText.h"

namespace {

constexpr unsigned kLog = Log::DEBUG_ServerComm;

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallTimeoutSeconds = 60;
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr size_t kSmallBodyBytes = size_t(1) << 20;
constexpr long kSmallDeadlineSeconds = 60;
constexpr size_t kDownloadBodyBytes = size_t(64) << 20;
constexpr long kDownloadDeadlineSeconds = 10 * 60;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A number from the environment, or the fallback when unset or not a positive number.
template <typename Number>
Number FromEnvironment(const char* name, Number fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || value <= 0 || errno != 0) return fallback;
    if (static_cast<unsigned long long>(value) > static_cast<unsigned long long>(std::numeric_limits<Number>::max()))
        return fallback;
    return static_cast<Number>(value);
}

// Capped so that the milliseconds libcurl takes still fit a long.
long SecondsFromEnvironment(const char* name, long fallback) {
    return std::min(FromEnvironment<long>(name, fallback), 1000000000L);
}

struct EasyHandle {
    CURL* curl = curl_easy_init();
    ~EasyHandle() {
        if (curl) curl_easy_cleanup(curl);
    }
};

// -1 marks characters outside the alphabet (and the pad, handled apart).
std::array<int8_t, 256> DecodeTable() {
    std::array<int8_t, 256> table;
    table.fill(-1);
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}

// Header callback: a Content-Length lets the body be received without regrowing.
size_t sHeader(char* bytes, size_t size, size_t count, void* target) {
    const size_t total = size * count;
    static const char kName[] = "content-length:";
    const size_t nameLength = sizeof kName - 1;
    if (total > nameLength && strncasecmp(bytes, kName, nameLength) == 0) {
        const std::string value(bytes + nameLength, total - nameLength);
        char* end = nullptr;
        const unsigned long long length = std::strtoull(value.c_str(), &end, 10);
        if (end != value.c_str()) static_cast<HTTPResponse*>(target)->expect(static_cast<size_t>(length));
    }
    return total;
}

// The text of a failed transfer; a breached limit gets a debug line of its own.
std::string Failure(CURL* curl, CURLcode result, const HTTPResponse& response, const HTTPLimits& limits) {
    char text[128];
    if (result == CURLE_FILESIZE_EXCEEDED || (result == CURLE_WRITE_ERROR && response.over_limit())) {
        std::snprintf(text, sizeof text, "answer larger than %zu bytes", limits.maxBodyBytes);
    } else if (result == CURLE_OPERATION_TIMEDOUT) {
        // The same code reports a slow connect and a stall: only a request
        // that ran its whole time hit the deadline.
        curl_off_t elapsed = 0;
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &elapsed);
        if (elapsed / 1000 < limits.deadlineSeconds * 1000 - 50) return curl_easy_strerror(result);
        std::snprintf(text, sizeof text, "no complete answer within %ld s", limits.deadlineSeconds);
    } else {
        return curl_easy_strerror(result);
    }
    if (Log::package_bitmask & kLog)
        Log::log(kLog, "GET(%s): %s, transfer stopped\n", PrintableText(response.get_request()).c_str(), text);
    return text;
}

} // namespace

HTTPLimits HTTPLimits::Small() {
    return {FromEnvironment<size_t>("UPDATER_HTTP_MAX_BYTES", kSmallBodyBytes),
            SecondsFromEnvironment("UPDATER_HTTP_TIMEOUT", kSmallDeadlineSeconds)};
}

HTTPLimits HTTPLimits::Download() {
    return {FromEnvironment<size_t>("UPDATER_HTTP_DOWNLOAD_MAX_BYTES", kDownloadBodyBytes),
            SecondsFromEnvironment("UPDATER_HTTP_DOWNLOAD_TIMEOUT", kDownloadDeadlineSeconds)};
}

void HTTPResponse::expect(size_t bytes) {
    // A server may announce anything; never reserve more than this answer may take.
    if (bytes <= response_.size() || bytes > limit_) return;
    try {
        response_.reserve(bytes);
    } catch (const std::exception&) {
        // The body still grows as it arrives.
    }
}

size_t _rcv_data(char* bytes, size_t size, size_t count, void* target) {
    auto* response = static_cast<HTTPResponse*>(target);
    const size_t total = size * count;
    if (Log::package_bitmask & kLog) {
        // The data is not terminated: show at most its first 100 bytes, padded to 100.
        // Server bytes: no control characters reach the log (line breaks stay).
        const std::string head = PrintableText(std::string_view(bytes, std::min<size_t>(total, 100)), true);
        Log::log(kLog, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
                 static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)),
                 head.c_str());
    }
    if (total > response->get_limit() - response->get_response().size()) {
        response->mark_over_limit();
        return 0; // libcurl turns a short count into a write error
    }
    try {
        response->process(bytes, total);
    } catch (const std::bad_alloc&) {
        return 0; // libcurl turns a short count into a write error
    }
    Log::log(kLog, "rcv_data returns %d\n", static_cast<int>(total));
    return total;
}

std::string HTTPRequest::FullAddress(const std::string& address, const Parameters& parameters) {
    std::string full = address;
    if (!parameters.empty()) {
        full += '?';
        for (const auto& [name, value] : parameters) {
            full += name;
            full += '=';
            full += value;
            full += '&';
        }
    }
    return full;
}

namespace {

// Where a streamed body goes; the status is read once, with the first bytes.
struct StreamTarget {
    CURL* curl;
    HTTPResponse* response;
    const HTTPRequest::BodySink* body;
    long status = -1;
    size_t received = 0;
};

size_t sIgnoreHeader(char*, size_t size, size_t count, void*) { return size * count; }

size_t sStreamed(char* bytes, size_t size, size_t count, void* target) {
    auto* stream = static_cast<StreamTarget*>(target);
    if (stream->status < 0 && curl_easy_getinfo(stream->curl, CURLINFO_RESPONSE_CODE, &stream->status) != CURLE_OK)
        stream->status = 0;
    if (stream->status != 200) return _rcv_data(bytes, size, count, stream->response);
    const size_t total = size * count;
    if (total > stream->response->get_limit() - stream->received) {
        stream->response->mark_over_limit();
        return 0; // libcurl turns a short count into a write error
    }
    stream->received += total;
    (*stream->body)(bytes, total);
    return total;
}

// Sets every option of a request but where the body goes.
CURLcode Configure(CURL* curl, const HTTPResponse& response, const HTTPLimits& limits) {
    const long connectTimeout = SecondsFromEnvironment("UPDATER_HTTP_CONNECT_TIMEOUT", kConnectTimeoutSeconds);
    const long stallTimeout = SecondsFromEnvironment("UPDATER_HTTP_STALL_TIMEOUT", kStallTimeoutSeconds);
    const char* caBundle = std::getenv("CURL_CA_BUNDLE");

    CURLcode result = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str());
    // Only web addresses: an address such as file:///... must not be read.
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // The firmware comes over this connection: the peer must prove who it is.
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (result == CURLE_OK && caBundle && *caBundle) result = curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle);
    // A silent server must not hang the program; a slow but moving download is fine.
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallTimeout);
    // A hostile server must not take unbounded memory or time: a body
    // announced too large is refused at once, one that grows too large is cut
    // by the write callback, and the whole request has a deadline.
    if (result == CURLE_OK)
        result = curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.deadlineSeconds * 1000L);
    // Firmware answers run to tens of megabytes: take them in large pieces.
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    // The download runs on a worker thread; time-outs must not rely on signals.
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    return result;
}

// Runs the configured request; the response with its status, or why it failed.
ResultOf<HTTPResponse> Perform(CURL* curl, CURLcode result, HTTPResponse& response, const HTTPLimits& limits) {
    if (result == CURLE_OK) {
        if (Log::package_bitmask & kLog) Log::log(kLog, "GET(%s)\n", PrintableText(response.get_request()).c_str());
        result = curl_easy_perform(curl);
    }
    long status = 0;
    if (result == CURLE_OK) result = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) return Result::Failure(aErrConnection, Failure(curl, result, response, limits));
    response.set_status(status);
    return std::move(response);
}

} // namespace

ResultOf<HTTPResponse> HTTPRequest::GET(const std::string& address, const Parameters& parameters, const HTTPLimits& limits) {
    HTTPResponse response(FullAddress(address, parameters));
    response.set_limit(limits.maxBodyBytes);

    EasyHandle handle;
    if (!handle.curl) return Result::Failure(aErrInitialization, "Could not create curl instance");
    CURL* curl = handle.curl;

    CURLcode result = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, sHeader);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
    if (result == CURLE_OK) result = Configure(curl, response, limits);
    return Perform(curl, result, response, limits);
}

ResultOf<HTTPResponse> HTTPRequest::GETStreamed(const std::string& address, const Parameters& parameters,
                                                const HTTPLimits& limits, const BodySink& body) {
    HTTPResponse response(FullAddress(address, parameters));
    response.set_limit(limits.maxBodyBytes);

    EasyHandle handle;
    if (!handle.curl) return Result::Failure(aErrInitialization, "Could not create curl instance");
    CURL* curl = handle.curl;

    // No Content-Length reservation: the body is never held.
    StreamTarget target{curl, &response, &body};
    CURLcode result = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sStreamed);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
    if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, sIgnoreHeader);
    if (result == CURLE_OK) result = Configure(curl, response, limits);
    return Perform(curl, result, response, limits);
}

std::unique_ptr<unsigned char[]> base64_decode(const char* text, size_t length, size_t* outLength) {
    static const std::array<int8_t, 256> table = DecodeTable();
    if (length % 4 != 0 || (length > 0 && !text)) return nullptr;

    size_t pads = 0;
    if (length > 0 && text[length - 1] == '=') ++pads;
    if (length > 1 && text[length - 2] == '=') ++pads;
    const size_t size = length / 4 * 3 - pads;
    std::unique_ptr<unsigned char[]> out(new (std::nothrow) unsigned char[size + 1]);
    if (!out) return nullptr;

    const auto* in = reinterpret_cast<const unsigned char*>(text);
    unsigned char* o = out.get();
    // Every group but the last is four alphabet characters; anything else,
    // a pad included, marks the text as not base64 (the table gives -1).
    int bad = 0;
    const size_t fullGroups = length == 0 ? 0 : length / 4 - 1;
    for (size_t g = 0; g < fullGroups; ++g, in += 4) {
        const int a = table[in[0]], b = table[in[1]], c = table[in[2]], d = table[in[3]];
        bad |= a | b | c | d;
        const uint32_t group = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
        *o++ = static_cast<unsigned char>(group >> 16);
        *o++ = static_cast<unsigned char>(group >> 8);
        *o++ = static_cast<unsigned char>(group);
    }
    if (length > 0) {
        // The last group: its final one or two characters may be pads, read as 0.
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            const bool pad = k >= 4 - pads;
            const int value = pad ? 0 : table[in[k]];
            bad |= value;
            group = (group << 6) | static_cast<uint32_t>(value & 0x3F);
        }
        for (int shift = 16; o < out.get() + size; shift -= 8) *o++ = static_cast<unsigned char>(group >> shift);
    }
    if (bad < 0) return nullptr;
    out[size] = 0;
    if (outLength) *outLength = size;
    return out;
}

std::unique_ptr<char[]> base64_encode(const unsigned char* bytes, size_t length, size_t* outLength) {
    const size_t size = 4 * ((length + 2) / 3);
    std::unique_ptr<char[]> out(new (std::nothrow) char[size + 1]);
    if (!out) return nullptr;

    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < length) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < length) group |= bytes[i + 2];
        out[o++] = kAlphabet[(group >> 18) & 0x3F];
        out[o++] = kAlphabet[(group >> 12) & 0x3F];
        out[o++] = kAlphabet[(group >> 6) & 0x3F];
        out[o++] = kAlphabet[group & 0x3F];
    }
    const size_t pads = (3 - length % 3) % 3;
    for (size_t p = 0; p < pads; ++p) out[size - 1 - p] = '=';
    out[size] = 0;
    if (outLength) *outLength = size;
    return out;
}

void Base64Stream::Flush() {
    if (pending_ > 0) output_(buffer_, pending_);
    pending_ = 0;
}

// One group of four: alphabet characters, or the closing group with its pads.
void Base64Stream::Group(const unsigned char* in) {
    static const std::array<int8_t, 256> table = DecodeTable();
    const int pads = in[3] != '=' ? 0 : in[2] == '=' ? 2 : 1;
    int bad = 0;
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
        const int value = k >= 4 - pads ? 0 : table[in[k]];
        bad |= value;
        group = (group << 6) | static_cast<uint32_t>(value & 0x3F);
    }
    if (bad < 0) {
        bad_ = true;
        return;
    }
    if (pending_ + 3 > sizeof buffer_) Flush();
    for (int k = 0; k < 3 - pads; ++k) buffer_[pending_++] = static_cast<uint8_t>(group >> (16 - 8 * k));
    ended_ = pads > 0; // a padded group is the last one
}

namespace {

// Four tables with each character's six bits already in place in a 24-bit
// group; characters outside the alphabet (the pad included) set bit 24, so one
// test per group finds them.
struct GroupTables {
    uint32_t at[4][256];
    GroupTables() {
        const std::array<int8_t, 256> table = DecodeTable();
        for (int position = 0; position < 4; ++position)
            for (int c = 0; c < 256; ++c)
                at[position][c] = table[c] < 0 ? (1u << 24) : uint32_t(table[c]) << (18 - 6 * position);
    }
};

} // namespace

bool Base64Stream::Feed(const char* text, size_t length) {
    static const GroupTables tables;
    if (bad_) return false;
    if (length > 0 && ended_) bad_ = true; // text after the pads
    textLength_ += length;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const end = in + length;
    while (!bad_ && carried_ > 0 && carried_ < 4 && in < end) carry_[carried_++] = *in++;
    if (!bad_ && carried_ == 4) {
        Group(carry_);
        carried_ = 0;
    }
    while (!bad_ && end - in >= 4) {
        if (ended_) {
            bad_ = true;
            break;
        }
        const uint32_t group =
            tables.at[0][in[0]] | tables.at[1][in[1]] | tables.at[2][in[2]] | tables.at[3][in[3]];
        if (group >> 24) {
            Group(in); // a pad or a stray character
        } else {
            if (pending_ + 3 > sizeof buffer_) Flush();
            buffer_[pending_++] = static_cast<uint8_t>(group >> 16);
            buffer_[pending_++] = static_cast<uint8_t>(group >> 8);
            buffer_[pending_++] = static_cast<uint8_t>(group);
        }
        in += 4;
    }
    if (!bad_ && in < end && ended_) bad_ = true;
    while (!bad_ && in < end) carry_[carried_++] = *in++;
    if (!bad_) Flush();
    return !bad_;
}

bool Base64Stream::Finish() {
    if (!bad_ && carried_ != 0) bad_ = true; // not a multiple of four
    return !bad_ && textLength_ > 0;
}
