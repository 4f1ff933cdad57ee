// One JSON object built field by field, for the event stream and the run
// record. Values are numbers, booleans, null, text (escaped) or objects built
// the same way; keys keep the order they were added in.
#pragma once

#include <cstdint>
#include <string>

class JsonObject {
public:
    JsonObject& Text(const char* key, const std::string& value);
    // Null when `present` is false.
    JsonObject& TextOrNull(const char* key, const std::string& value, bool present);
    JsonObject& Int(const char* key, int64_t value);
    JsonObject& IntOrNull(const char* key, int64_t value, bool present);
    JsonObject& Number(const char* key, double value);
    JsonObject& Bool(const char* key, bool value);
    JsonObject& Null(const char* key);
    // `json` is already JSON (an object or array built elsewhere).
    JsonObject& Raw(const char* key, const std::string& json);
    // The object as one line, without a line end.
    std::string str() const { return "{" + body + "}"; }

private:
    JsonObject& Key(const char* key);
    std::string body;
};

// `text` as a JSON string literal, quotes included. Bytes that are not valid
// UTF-8 become U+FFFD, so a module's name can never break the stream.
std::string JsonQuote(const std::string& text);
