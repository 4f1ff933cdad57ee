#include "Json.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `s` (0 when there is none).
size_t Utf8Length(const unsigned char* s, size_t left) {
    if (s[0] < 0x80) return 1;
    size_t length = 0;
    uint32_t lowest = 0;
    if ((s[0] & 0xE0) == 0xC0) length = 2, lowest = 0x80;
    else if ((s[0] & 0xF0) == 0xE0) length = 3, lowest = 0x800;
    else if ((s[0] & 0xF8) == 0xF0) length = 4, lowest = 0x10000;
    else return 0;
    if (length > left) return 0;
    uint32_t code = s[0] & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

} // namespace

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = bytes[i];
        const size_t length = Utf8Length(bytes + i, text.size() - i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

JsonObject& JsonObject::Key(const char* key) {
    if (!body.empty()) body += ",";
    body += JsonQuote(key) + ":";
    return *this;
}

JsonObject& JsonObject::Text(const char* key, const std::string& value) {
    Key(key).body += JsonQuote(value);
    return *this;
}

JsonObject& JsonObject::TextOrNull(const char* key, const std::string& value, bool present) {
    return present ? Text(key, value) : Null(key);
}

JsonObject& JsonObject::Int(const char* key, int64_t value) {
    Key(key).body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::IntOrNull(const char* key, int64_t value, bool present) {
    return present ? Int(key, value) : Null(key);
}

JsonObject& JsonObject::Number(const char* key, double value) {
    if (!std::isfinite(value)) return Null(key);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    Key(key).body += text;
    return *this;
}

JsonObject& JsonObject::Bool(const char* key, bool value) {
    Key(key).body += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(const char* key) {
    Key(key).body += "null";
    return *this;
}

JsonObject& JsonObject::Raw(const char* key, const std::string& json) {
    Key(key).body += json;
    return *this;
}
