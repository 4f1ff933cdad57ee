// Text from outside the program (the update server, downloaded files) made
// safe to print: a terminal must not act on escape sequences a server chose.
#pragma once

#include <string>
#include <string_view>

// `text` with every byte outside printable ASCII replaced by '?': one console
// line whatever the text holds.
inline std::string PrintableAscii(std::string_view text) {
    std::string out;
    for (unsigned char c : text) out += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    return out;
}

// `text` with every control character replaced by '?': C0 controls other than
// tab (and newline when `keepNewlines`), DEL, and C1 controls written in UTF-8.
// Other bytes that are not well-formed UTF-8 are replaced too, since a
// terminal in an 8-bit mode reads 0x80-0x9F as C1 controls.
inline std::string PrintableText(std::string_view text, bool keepNewlines = false) {
    std::string out;
    out.reserve(text.size());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            const bool control = (byte < 0x20 && byte != '\t' && !(keepNewlines && byte == '\n')) || byte == 0x7F;
            out += control ? '?' : static_cast<char>(byte);
            ++i;
            continue;
        }
        // Length of the UTF-8 sequence this byte starts (0: it starts none).
        const size_t length = byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                            : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
        bool wellFormed = length != 0 && i + length <= size;
        for (size_t k = 1; wellFormed && k < length; ++k)
            wellFormed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        const bool c1 = wellFormed && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (!wellFormed || c1) {
            out += '?';
            i += c1 ? 2 : 1;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}
