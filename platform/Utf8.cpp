#include "platform/Utf8.h"

#include <cstdint>
#include <cstring>

namespace platform {

std::size_t Utf8::decode(const std::string& text, std::size_t pos, char32_t& codePoint,
                         std::size_t& badLength) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    badLength = 1;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length;
    char32_t value;
    // Bounds of the second byte narrow for some lead bytes; this is what rules out overlong forms,
    // surrogates and values above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (pos + i >= text.size()) {
            badLength = i;
            return 0;
        }
        const unsigned char next = byte(pos + i);
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (next < min || next > max) {
            badLength = i;
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    codePoint = value;
    return length;
}

bool Utf8::isValid(const std::string& text) {
    char32_t codePoint;
    std::size_t bad;
    for (std::size_t pos = 0; pos < text.size();) {
        // ASCII runs are the common case: skip them eight bytes at a time, without decoding.
        std::uint64_t word;
        if (pos + sizeof word <= text.size()) {
            std::memcpy(&word, text.data() + pos, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                pos += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t length = decode(text, pos, codePoint, bad);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

void Utf8::sanitize(std::string& text) {
    if (isValid(text)) {
        return;
    }
    std::string out;
    out.reserve(text.size() + 8);
    char32_t codePoint;
    std::size_t bad;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decode(text, pos, codePoint, bad);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            pos += bad;
        } else {
            out.append(text, pos, length);
            pos += length;
        }
    }
    text.swap(out);
}

bool Utf8::toUtf16(const std::string& text, std::u16string& out) {
    out.clear();
    out.reserve(text.size());
    char32_t codePoint;
    std::size_t bad;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decode(text, pos, codePoint, bad);
        if (length == 0) {
            return false;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(codePoint));
        }
        pos += length;
    }
    return true;
}

}  // namespace platform
