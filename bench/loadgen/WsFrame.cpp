#include "WsFrame.h"

#include <cstring>

namespace wsframe {

std::size_t headerSize(std::uint64_t payloadLength, bool masked) {
    std::size_t size = 2;
    if (payloadLength > 0xFFFF) {
        size += 8;
    } else if (payloadLength > 125) {
        size += 2;
    }
    return size + (masked ? 4 : 0);
}

void applyMask(char* data, std::size_t length, const std::uint8_t mask[4], std::size_t offset) {
    std::size_t i = 0;
    // Byte by byte up to a payload position that is a multiple of 4, then eight bytes at a time.
    for (; i < length && (offset + i) % 4 != 0; ++i) {
        data[i] = static_cast<char>(data[i] ^ mask[(offset + i) % 4]);
    }
    std::uint64_t wide;
    std::uint8_t pattern[8];
    for (int k = 0; k < 8; ++k) {
        pattern[k] = mask[k % 4];
    }
    std::memcpy(&wide, pattern, 8);
    for (; i + 8 <= length; i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, data + i, 8);
        chunk ^= wide;
        std::memcpy(data + i, &chunk, 8);
    }
    for (; i < length; ++i) {
        data[i] = static_cast<char>(data[i] ^ mask[(offset + i) % 4]);
    }
}

void appendFrame(std::string& out, std::uint8_t opcode, const char* payload, std::size_t length,
                 bool masked, std::uint32_t maskKey) {
    const std::size_t start = out.size();
    const std::size_t header = headerSize(length, masked);
    out.resize(start + header + length);
    auto* p = reinterpret_cast<std::uint8_t*>(&out[start]);
    p[0] = static_cast<std::uint8_t>(0x80 | (opcode & 0x0F));
    const std::uint8_t maskBit = masked ? 0x80 : 0x00;
    std::size_t at = 2;
    if (length > 0xFFFF) {
        p[1] = maskBit | 127;
        for (int k = 7; k >= 0; --k) {
            p[at++] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(length) >> (8 * k));
        }
    } else if (length > 125) {
        p[1] = maskBit | 126;
        p[at++] = static_cast<std::uint8_t>(length >> 8);
        p[at++] = static_cast<std::uint8_t>(length);
    } else {
        p[1] = static_cast<std::uint8_t>(maskBit | length);
    }
    std::uint8_t mask[4] = {
        static_cast<std::uint8_t>(maskKey >> 24), static_cast<std::uint8_t>(maskKey >> 16),
        static_cast<std::uint8_t>(maskKey >> 8), static_cast<std::uint8_t>(maskKey)};
    if (masked) {
        std::memcpy(p + at, mask, 4);
        at += 4;
    }
    if (length > 0) {
        std::memcpy(p + at, payload, length);
        if (masked) {
            applyMask(reinterpret_cast<char*>(p + at), length, mask);
        }
    }
}

ParseStatus parseHeader(const char* data, std::size_t available, Header& header) {
    if (available < 2) {
        return ParseStatus::kNeedMore;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    if ((p[0] & 0x70) != 0) {
        return ParseStatus::kMalformed;
    }
    header.fin = (p[0] & 0x80) != 0;
    header.opcode = p[0] & 0x0F;
    header.masked = (p[1] & 0x80) != 0;
    const std::uint8_t shortLength = p[1] & 0x7F;
    const bool control = (header.opcode & 0x8) != 0;
    switch (header.opcode) {
        case kContinuation:
        case kText:
        case kBinary:
        case kClose:
        case kPing:
        case kPong:
            break;
        default:
            return ParseStatus::kMalformed;
    }
    if (control && (shortLength > 125 || !header.fin)) {
        return ParseStatus::kMalformed;
    }
    std::size_t at = 2;
    if (shortLength == 126) {
        if (available < at + 2) {
            return ParseStatus::kNeedMore;
        }
        header.payloadLength = (static_cast<std::uint64_t>(p[2]) << 8) | p[3];
        at += 2;
    } else if (shortLength == 127) {
        if (available < at + 8) {
            return ParseStatus::kNeedMore;
        }
        header.payloadLength = 0;
        for (int k = 0; k < 8; ++k) {
            header.payloadLength = (header.payloadLength << 8) | p[2 + k];
        }
        if ((header.payloadLength >> 63) != 0) {
            return ParseStatus::kMalformed;
        }
        at += 8;
    } else {
        header.payloadLength = shortLength;
    }
    if (header.masked) {
        if (available < at + 4) {
            return ParseStatus::kNeedMore;
        }
        std::memcpy(header.mask, p + at, 4);
        at += 4;
    }
    header.headerLength = at;
    return ParseStatus::kComplete;
}

}  // namespace wsframe
