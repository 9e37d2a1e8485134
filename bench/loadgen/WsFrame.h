#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The few pieces of the WebSocket wire format (RFC 6455) a load generator needs: writing complete
// client frames (always masked by clients) and reading the header of whatever the server sends.
namespace wsframe {

enum Opcode : std::uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

struct Header {
    bool fin = false;
    std::uint8_t opcode = 0;
    bool masked = false;
    std::uint8_t mask[4] = {0, 0, 0, 0};
    std::size_t headerLength = 0;
    std::uint64_t payloadLength = 0;
};

// Bytes of header that a frame of `payloadLength` takes: 2, then 2 or 8 more for the extended
// length, then 4 for the mask key.
std::size_t headerSize(std::uint64_t payloadLength, bool masked);

// Appends one complete, final frame to `out`. When `masked`, the payload is XORed with `maskKey`
// (its bytes taken most significant first, as they appear on the wire).
void appendFrame(std::string& out, std::uint8_t opcode, const char* payload, std::size_t length,
                 bool masked, std::uint32_t maskKey);

enum class ParseStatus { kNeedMore, kComplete, kMalformed };

// Reads a frame header from the first `available` bytes of `data`. kComplete means `header` is
// filled in; the payload may still be arriving. kMalformed: reserved bits set, an unknown opcode,
// a control frame longer than 125 bytes or fragmented, or a 64-bit length with its top bit set.
ParseStatus parseHeader(const char* data, std::size_t available, Header& header);

// XORs `length` bytes with the mask, `offset` being the position of data[0] in the payload.
void applyMask(char* data, std::size_t length, const std::uint8_t mask[4], std::size_t offset = 0);

}  // namespace wsframe
