#include "plugin/MessageProtocol.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

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

// Collects the root object's members that the protocol uses while the parser streams through the
// payload. No document tree is built: the parse is iterative and the nesting of ignored members is
// only counted, so hostile nesting costs neither stack nor memory.
class RequestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestHandler> {
public:
    enum Field { kMsgId, kModule, kMethod, kParam, kFieldCount, kOther = kFieldCount };

    struct Member {
        bool present = false;
        bool isString = false;
        std::string text;  // up to the first NUL

        // Present as a string with at least one byte before any NUL.
        bool usable() const { return present && isString && !text.empty(); }
    };

    Member members[kFieldCount];
    bool rootIsObject = false;

    // Numbers, booleans and null: a value that is not a string.
    bool Default() { return value(nullptr, 0); }
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
        static const char* const names[kFieldCount] = {"MsgId", "Module", "Method", "Param"};
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

std::shared_ptr<notification::Notification> MessageProtocol::readRequest(const char* data,
                                                                         std::size_t size) {
    if (size == 0) {
        return std::make_shared<InvalidSyntaxResponse>("Bad request");
    }
    // A leading UTF-8 byte-order mark is not part of the document.
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        data += 3;
        size -= 3;
    }

    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::MemoryStream stream(data, size);
    RequestHandler handler;
    rapidjson::Reader reader;
    const bool parsed = !reader.Parse<kFlags>(stream, handler).IsError();
    // The stream reports a NUL byte as its end, so text after an embedded NUL would go unnoticed
    // without checking that every byte was consumed.
    if (!parsed || stream.Tell() != size || !handler.rootIsObject) {
        return std::make_shared<InvalidSyntaxResponse>("Invalid message format");
    }

    const RequestHandler::Member& msgId = handler.members[RequestHandler::kMsgId];
    if (!msgId.usable()) {
        return std::make_shared<InvalidSyntaxResponse>("message not have MsgId");
    }

    const RequestHandler::Member& module = handler.members[RequestHandler::kModule];
    if (module.usable()) {
        auto request = std::make_shared<LoadPluginNotification>(module.text.c_str());
        request->setMsgId(msgId.text);
        return request;
    }

    const RequestHandler::Member& method = handler.members[RequestHandler::kMethod];
    if (method.usable()) {
        const RequestHandler::Member& param = handler.members[RequestHandler::kParam];
        auto request = std::make_shared<InvokePluginFunctionNotification>(
            method.text.c_str(), param.usable() ? param.text.c_str() : "{}");
        request->setMsgId(msgId.text);
        return request;
    }

    return std::make_shared<InvalidSyntaxResponse>("not find operation(Module or Method)");
}

std::string MessageProtocol::writeReply(const notification::ResponseNotification& response) {
    const std::string msgId = response.getMsgId();
    const std::string text = response.responseText();

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.c_str(), static_cast<rapidjson::SizeType>(lengthToNul(msgId.data(), msgId.size())));
    writer.Key("Result");
    writer.Bool(response.getSuccess());
    writer.Key("Response");
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(lengthToNul(text.data(), text.size())));
    writer.EndObject();

    std::string reply(buffer.GetString(), buffer.GetSize());
    platform::Utf8::sanitize(reply);
    return reply;
}

}  // namespace plugin
