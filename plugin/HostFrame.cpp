#include "plugin/HostFrame.h"

#include <utility>

namespace plugin {

namespace {

void putU32(char* out, std::uint32_t value) {
    for (int index = 0; index < 4; ++index) {
        out[index] = static_cast<char>((value >> (8 * index)) & 0xFF);
    }
}

std::uint32_t getU32(const char* bytes) {
    std::uint32_t value = 0;
    for (int index = 3; index >= 0; --index) {
        value = (value << 8) | static_cast<unsigned char>(bytes[index]);
    }
    return value;
}

constexpr std::size_t kFixedBody = 1 + 1 + 4 + 4 + 4;

}  // namespace

bool HostFrame::fields(std::size_t firstSize, std::size_t secondSize, char* out) const {
    // Compared one by one, so that no sum can wrap in a 32-bit size_t.
    if (firstSize > kMaxBody - kFixedBody || secondSize > kMaxBody - kFixedBody - firstSize) {
        return false;
    }
    putU32(out, static_cast<std::uint32_t>(kFixedBody + firstSize + secondSize));
    out[4] = static_cast<char>(kind);
    out[5] = flag ? 1 : 0;
    putU32(out + 6, static_cast<std::uint32_t>(code));
    putU32(out + 10, static_cast<std::uint32_t>(firstSize));
    putU32(out + kBeforeFirst, static_cast<std::uint32_t>(secondSize));
    return true;
}

std::string HostFrame::encode() const {
    char own[kFieldsSize];
    if (!fields(first.size(), second.size(), own)) {
        return std::string();
    }
    std::string out;
    out.reserve(kFieldsSize + first.size() + second.size());
    out.append(own, kBeforeFirst);
    out += first;
    out.append(own + kBeforeFirst, kFieldsSize - kBeforeFirst);
    out += second;
    return out;
}

void HostFrame::Reader::feed(const char* bytes, std::size_t count) {
    if (!failure.empty()) {
        return;
    }
    // Taken frames go before the buffer grows, so a long answer arriving in pieces is not moved
    // again and again.
    if (consumed > 0 && consumed == buffer.size()) {
        buffer.clear();
        consumed = 0;
    } else if (consumed > 0 && consumed >= buffer.size() / 2) {
        buffer.erase(0, consumed);
        consumed = 0;
    }
    buffer.append(bytes, count);
}

bool HostFrame::Reader::next(HostFrame& frame) {
    if (!failure.empty() || buffer.size() - consumed < 4) {
        return false;
    }
    const char* head = buffer.data() + consumed;
    const std::uint32_t body = getU32(head);
    if (body > kMaxBody) {
        failure = "a frame of " + std::to_string(body) + " bytes, over the limit";
        return false;
    }
    if (body < kFixedBody) {
        failure = "a frame of " + std::to_string(body) + " bytes, too short for its header";
        return false;
    }
    if (buffer.size() - consumed - 4 < body) {
        return false;
    }
    const char* p = head + 4;
    const char* const end = p + body;
    const auto kind = static_cast<std::uint8_t>(p[0]);
    const auto flag = static_cast<std::uint8_t>(p[1]);
    if (kind < kLoad || kind > kRelease || flag > 1) {
        failure =
            "a frame of unknown kind " + std::to_string(kind) + " or flag " + std::to_string(flag);
        return false;
    }
    const std::int32_t code = static_cast<std::int32_t>(getU32(p + 2));
    p += 6;
    const std::uint32_t firstLength = getU32(p);
    p += 4;
    // Subtracted, never added: firstLength + 4 wraps in a 32-bit size_t.
    const auto left = static_cast<std::size_t>(end - p);
    if (left < 4 || left - 4 < firstLength) {
        failure = "a frame whose texts do not fit its length";
        return false;
    }
    const char* const firstBytes = p;
    p += firstLength;
    const std::uint32_t secondLength = getU32(p);
    p += 4;
    if (static_cast<std::size_t>(end - p) != secondLength) {
        failure = "a frame whose texts do not fit its length";
        return false;
    }
    frame.kind = static_cast<Kind>(kind);
    frame.flag = flag != 0;
    frame.code = code;
    frame.first.assign(firstBytes, firstLength);
    frame.second.assign(p, secondLength);
    consumed += 4 + body;
    return true;
}

}  // namespace plugin
