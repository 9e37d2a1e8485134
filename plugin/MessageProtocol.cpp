#include "plugin/MessageProtocol.h"

#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokePluginFunctionNotification.h"
#include "notification/LoadPluginNotification.h"
#include "platform/Utf8.h"

namespace plugin {

namespace {

using notification::InvalidSyntaxResponse;
using notification::InvokePluginFunctionNotification;
using notification::LoadPluginNotification;

std::size_t lengthToNul(const char* text, std::size_t length) {
    const void* nul = std::memchr(text, '\0', length);
    return nul == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(nul) - text);
}

// The writer's output: the string that becomes the reply, sized up front for the usual case of few
// escapes and grown by doubling otherwise. One store per byte; the length is settled at the end.
class ReplyStream {
  public:
    using Ch = char;

    explicit ReplyStream(std::size_t capacity) : text(capacity, '\0'), used(0) {}

    void Put(char c) {
        if (used == text.size()) {
            grow(1);
        }
        text[used++] = c;
    }
    void append(const char* bytes, std::size_t count) {
        if (text.size() - used < count) {
            grow(count);
        }
        std::memcpy(&text[used], bytes, count);
        used += count;
    }
    void Flush() {}
    std::string take() {
        text.resize(used);
        return std::move(text);
    }

  private:
    void grow(std::size_t atLeast) { text.resize(text.size() * 2 + atLeast + 16); }

    std::string text;
    std::size_t used;
};

}  // namespace
}  // namespace plugin

// The writer copies a string's bytes one call per byte; here runs of bytes that need no escape go
// out in one piece. Which bytes are escaped, and how, stays the writer's business.
template <>
inline bool rapidjson::Writer<plugin::ReplyStream>::ScanWriteUnescapedString(StringStream& is,
                                                                             size_t length) {
    const char* const end = is.head_ + length;
    const char* p = is.src_;
    // Eight bytes at a time while none of them is a control character, a quote or a backslash.
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    const auto anyZero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        const std::uint64_t special = ((word - kOnes * 0x20) & ~word & kHigh) |
                                      anyZero(word ^ (kOnes * '"')) |
                                      anyZero(word ^ (kOnes * '\\'));
        if (special != 0) {
            break;
        }
        p += 8;
    }
    while (p != end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == '"' || c == '\\') {
            break;
        }
        ++p;
    }
    os_->append(is.src_, static_cast<std::size_t>(p - is.src_));
    is.src_ = p;
    return p != end;
}

namespace plugin {
namespace {

// Collects the root object's members that the protocol uses while the parser streams through the
// payload. No document tree is built: the parse is iterative and the nesting of ignored members is
// only counted, so hostile nesting costs neither stack nor memory.
class RequestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestHandler> {
  public:
    enum Field { kMsgId, kModule, kMethod, kParam, kIsolated, kFieldCount, kOther = kFieldCount };

    struct Member {
        bool present = false;
        bool isString = false;
        bool isTrue = false;  // the JSON value true
        std::string text;     // up to the first NUL

        // Present as a string with at least one byte before any NUL.
        bool usable() const { return present && isString && !text.empty(); }
    };

    Member members[kFieldCount];
    bool rootIsObject = false;

    // Numbers, booleans and null: a value that is not a string.
    bool Default() { return value(nullptr, 0); }
    bool Bool(bool which) {
        if (depth == 1 && pending != kOther && !members[pending].present) {
            members[pending].isTrue = which;
        }
        return value(nullptr, 0);
    }
    bool String(const char* text, rapidjson::SizeType length, bool) { return value(text, length); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return value(nullptr, 0); }

    bool Key(const char* name, rapidjson::SizeType length, bool) {
        if (depth == 1) {
            pending = fieldOf(name, length);
        }
        return true;
    }

    bool StartObject() {
        if (depth == 0) {
            rootIsObject = true;
        } else {
            value(nullptr, 0);
        }
        return ++depth <= MessageProtocol::kMaxDepth;
    }
    bool EndObject(rapidjson::SizeType) {
        --depth;
        return true;
    }
    bool StartArray() {
        value(nullptr, 0);
        return ++depth <= MessageProtocol::kMaxDepth;
    }
    bool EndArray(rapidjson::SizeType) {
        --depth;
        return true;
    }

  private:
    static Field fieldOf(const char* name, rapidjson::SizeType length) {
        static const char* const names[kFieldCount] = {"MsgId", "Module", "Method", "Param",
                                                       "Isolated"};
        for (int key = 0; key < kFieldCount; ++key) {
            if (std::strlen(names[key]) == length && std::memcmp(names[key], name, length) == 0) {
                return static_cast<Field>(key);
            }
        }
        return kOther;
    }

    // Records the value of a root member; `text` is null for anything but a string.
    bool value(const char* text, rapidjson::SizeType length) {
        if (depth == 1 && pending != kOther) {
            Member& member = members[pending];
            if (!member.present) {
                member.present = true;
                member.isString = text != nullptr;
                if (text != nullptr) {
                    member.text.assign(text, lengthToNul(text, length));
                }
            }
        }
        pending = kOther;
        return true;
    }

    unsigned depth = 0;
    Field pending = kOther;
};

}  // namespace

std::shared_ptr<notification::Notification> MessageProtocol::readRequest(std::string& payload) {
    if (payload.empty()) {
        return std::make_shared<InvalidSyntaxResponse>("Bad request");
    }
    // A leading UTF-8 byte-order mark is not part of the document.
    std::size_t begin = 0;
    if (payload.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        begin = 3;
    }

    // Iterative: nesting costs heap, not stack. Numbers stay text: they are never used, and the
    // JSON library's conversion overflows on extreme exponents. In situ: strings are decoded into
    // the payload's own bytes instead of a copy (the string's terminating NUL ends the input).
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                                rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseInsituFlag;
    rapidjson::InsituStringStream stream(&payload[begin]);
    RequestHandler handler;
    rapidjson::Reader reader;
    const bool parsed = !reader.Parse<kFlags>(stream, handler).IsError();
    // The stream takes a NUL byte for its end, so text after an embedded NUL would go unnoticed
    // without checking that every byte was consumed.
    if (!parsed || begin + stream.Tell() != payload.size() || !handler.rootIsObject) {
        return std::make_shared<InvalidSyntaxResponse>("Invalid message format");
    }

    RequestHandler::Member& msgId = handler.members[RequestHandler::kMsgId];
    if (!msgId.usable()) {
        return std::make_shared<InvalidSyntaxResponse>("message not have MsgId");
    }

    RequestHandler::Member& module = handler.members[RequestHandler::kModule];
    if (module.usable()) {
        auto request = std::make_shared<LoadPluginNotification>(std::move(module.text));
        request->setIsolated(handler.members[RequestHandler::kIsolated].isTrue);
        request->setMsgId(std::move(msgId.text));
        return request;
    }

    RequestHandler::Member& method = handler.members[RequestHandler::kMethod];
    if (method.usable()) {
        RequestHandler::Member& param = handler.members[RequestHandler::kParam];
        auto request = std::make_shared<InvokePluginFunctionNotification>(
            std::move(method.text), param.usable() ? std::move(param.text) : std::string("{}"));
        request->setMsgId(std::move(msgId.text));
        return request;
    }

    return std::make_shared<InvalidSyntaxResponse>("not find operation(Module or Method)");
}

std::string MessageProtocol::writeReply(const notification::ResponseNotification& response) {
    const std::string msgId = response.getMsgId();
    std::string scratch;
    const std::string& text = response.responseTextView(scratch);

    // Written straight into the string that becomes the reply, sized for the usual case of few
    // escapes, so a large answer is copied once here and not again.
    ReplyStream stream(msgId.size() + text.size() + 48);
    rapidjson::Writer<ReplyStream> writer(stream);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.c_str(),
                  static_cast<rapidjson::SizeType>(lengthToNul(msgId.data(), msgId.size())));
    writer.Key("Result");
    writer.Bool(response.getSuccess());
    writer.Key("Response");
    writer.String(text.c_str(),
                  static_cast<rapidjson::SizeType>(lengthToNul(text.data(), text.size())));
    writer.EndObject();

    std::string reply = stream.take();
    platform::Utf8::sanitize(reply);
    return reply;
}

}  // namespace plugin
