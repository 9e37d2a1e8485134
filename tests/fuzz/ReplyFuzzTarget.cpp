// Fuzz target: one WebSocket payload read as a request, and the replies the host would write for
// whatever came out. Built two ways: with libFuzzer (clang, `make fuzz`) and as a plain program
// that replays the committed corpus under the sanitizers (CorpusReplay.cpp, part of `make test`).
//
// What must hold for every input, or the target aborts:
// - the reader classifies the payload exactly as an independent reading through the JSON library's
//   document does (first of duplicate members, texts cut at NUL, BOM, nesting limit);
// - every reply is valid UTF-8, parses back as JSON, and is an object with exactly "MsgId"
//   (string), "Result" (bool) and "Response" (string) in that order, carrying the texts that went
//   in (cut at NUL, ill-formed UTF-8 replaced).

#include <rapidjson/document.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokeFunctionResponse.h"
#include "notification/InvokePluginFunctionNotification.h"
#include "notification/LoadModuleResponse.h"
#include "notification/LoadPluginNotification.h"
#include "platform/Utf8.h"
#include "plugin/MessageProtocol.h"

namespace {

using notification::InvalidSyntaxResponse;
using notification::InvokeFunctionResponse;
using notification::InvokePluginFunctionNotification;
using notification::LoadModuleResponse;
using notification::LoadPluginNotification;
using notification::ResponseNotification;

[[noreturn]] void violation(const char* what, const std::string& detail) {
    std::fprintf(stderr, "reply fuzz target: %s: %.300s\n", what, detail.c_str());
    std::abort();
}

void require(bool holds, const char* what, const std::string& detail = std::string()) {
    if (!holds) {
        violation(what, detail);
    }
}

std::string cutAtNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

// What a reply must carry for a given text: cut at its first NUL, ill-formed UTF-8 replaced.
std::string asSent(const std::string& text) {
    std::string sent = cutAtNul(text);
    platform::Utf8::sanitize(sent);
    return sent;
}

// The independent reading.

// Builds a document like the JSON library's own handler, except that numbers stay unconverted (the
// reader never converts them either) and come out as null: not a string, which is all that matters.
struct DocumentBuilder {
    rapidjson::Document& d;
    bool Null() { return d.Null(); }
    bool Bool(bool b) { return d.Bool(b); }
    bool Int(int) { return d.Null(); }
    bool Uint(unsigned) { return d.Null(); }
    bool Int64(int64_t) { return d.Null(); }
    bool Uint64(uint64_t) { return d.Null(); }
    bool Double(double) { return d.Null(); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return d.Null(); }
    bool String(const char* s, rapidjson::SizeType n, bool copy) { return d.String(s, n, copy); }
    bool StartObject() { return d.StartObject(); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) { return d.Key(s, n, copy); }
    bool EndObject(rapidjson::SizeType n) { return d.EndObject(n); }
    bool StartArray() { return d.StartArray(); }
    bool EndArray(rapidjson::SizeType n) { return d.EndArray(n); }
};

unsigned nestingOf(const rapidjson::Value& root) {
    unsigned deepest = 0;
    std::vector<std::pair<const rapidjson::Value*, unsigned>> pending{{&root, 1u}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (value->IsObject()) {
            deepest = std::max(deepest, depth);
            for (const auto& member : value->GetObject()) {
                pending.emplace_back(&member.value, depth + 1);
            }
        } else if (value->IsArray()) {
            deepest = std::max(deepest, depth);
            for (const auto& element : value->GetArray()) {
                pending.emplace_back(&element, depth + 1);
            }
        }
    }
    return deepest;
}

// The first member of that name, if it is a string with a byte before any NUL; else null.
const rapidjson::Value* usableMember(const rapidjson::Value& object, const char* name) {
    const auto found = object.FindMember(name);  // the first of duplicates
    if (found == object.MemberEnd() || !found->value.IsString()) {
        return nullptr;
    }
    const rapidjson::Value& text = found->value;
    return text.GetStringLength() == 0 || text.GetString()[0] == '\0' ? nullptr : &text;
}

std::string textOf(const rapidjson::Value* value) {
    return cutAtNul(std::string(value->GetString(), value->GetStringLength()));
}

struct Expected {
    enum Kind { kSyntax, kLoad, kInvoke } kind = kSyntax;
    std::string reason;  // kSyntax
    std::string msgId, module, method, param;
};

Expected readIndependently(const std::string& input) {
    Expected expected;
    if (input.empty()) {
        expected.reason = "Bad request";
        return expected;
    }
    const std::size_t begin = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    // Length-bounded: an embedded NUL is a byte like any other here, and the whole input must be
    // one value with nothing but whitespace after it.
    rapidjson::MemoryStream stream(input.data() + begin, input.size() - begin);
    rapidjson::Document document;
    bool parsed = false;
    auto generate = [&](rapidjson::Document& d) {
        DocumentBuilder builder{d};
        rapidjson::Reader reader;
        constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                                    rapidjson::kParseNumbersAsStringsFlag |
                                    rapidjson::kParseStopWhenDoneFlag;
        parsed = !reader.Parse<kFlags>(stream, builder).IsError();
        return parsed;
    };
    document.Populate(generate);
    if (parsed) {
        while (stream.Peek() == ' ' || stream.Peek() == '\t' || stream.Peek() == '\n' ||
               stream.Peek() == '\r') {
            stream.Take();
        }
        parsed = stream.Tell() == input.size() - begin;
    }
    if (!parsed || !document.IsObject() ||
        nestingOf(document) > plugin::MessageProtocol::kMaxDepth) {
        expected.reason = "Invalid message format";
        return expected;
    }
    const rapidjson::Value* msgId = usableMember(document, "MsgId");
    if (msgId == nullptr) {
        expected.reason = "message not have MsgId";
        return expected;
    }
    expected.msgId = textOf(msgId);
    if (const rapidjson::Value* module = usableMember(document, "Module")) {
        expected.kind = Expected::kLoad;
        expected.module = textOf(module);
        return expected;
    }
    if (const rapidjson::Value* method = usableMember(document, "Method")) {
        expected.kind = Expected::kInvoke;
        expected.method = textOf(method);
        const rapidjson::Value* param = usableMember(document, "Param");
        expected.param = param != nullptr ? textOf(param) : std::string("{}");
        return expected;
    }
    expected.reason = "not find operation(Module or Method)";
    return expected;
}

// The reply check.

void checkReply(const ResponseNotification& response, const std::string& msgId, bool result,
                const std::string& text) {
    const std::string reply = plugin::MessageProtocol::writeReply(response);
    require(platform::Utf8::isValid(reply), "reply is not valid UTF-8", reply);

    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(reply.data(), reply.size());
    require(!document.HasParseError(), "reply is not JSON", reply);
    require(document.IsObject() && document.MemberCount() == 3, "reply is not a 3-member object",
            reply);
    const auto member = document.MemberBegin();
    require(
        std::strcmp(member[0].name.GetString(), "MsgId") == 0 && member[0].value.IsString() &&
            std::strcmp(member[1].name.GetString(), "Result") == 0 && member[1].value.IsBool() &&
            std::strcmp(member[2].name.GetString(), "Response") == 0 && member[2].value.IsString(),
        "reply members are not MsgId (string), Result (bool), Response (string)", reply);

    const auto stringOf = [](const rapidjson::Value& value) {
        return std::string(value.GetString(), value.GetStringLength());
    };
    require(stringOf(member[0].value) == asSent(msgId), "reply MsgId differs", reply);
    require(member[1].value.GetBool() == result, "reply Result differs", reply);
    require(stringOf(member[2].value) == asSent(text), "reply Response differs", reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const Expected expected = readIndependently(input);

    std::string payload = input;  // read in place: its bytes change
    const std::shared_ptr<notification::Notification> request =
        plugin::MessageProtocol::readRequest(payload);
    require(request != nullptr, "no request read");

    if (const auto syntax = std::dynamic_pointer_cast<InvalidSyntaxResponse>(request)) {
        require(expected.kind == Expected::kSyntax, "read as a syntax error, should not be", input);
        require(syntax->responseText() == "Invalid syntax, reason: " + expected.reason,
                "wrong syntax-error reason", syntax->responseText());
        checkReply(*syntax, "InvalidSyntax", false, syntax->responseText());
    } else if (const auto load = std::dynamic_pointer_cast<LoadPluginNotification>(request)) {
        require(expected.kind == Expected::kLoad, "read as a load request, should not be", input);
        require(load->getMsgId() == expected.msgId && load->getModule() == expected.module,
                "load request texts differ", input);
        const std::string refused = "Load Module error, can't find module " + load->getModule();
        LoadModuleResponse failed(false, refused);
        failed.setMsgId("LoadModule");
        checkReply(failed, "LoadModule", false, refused);
        LoadModuleResponse named(true, load->getModule());
        named.setMsgId(load->getMsgId());
        checkReply(named, load->getMsgId(), true, load->getModule());
    } else if (const auto invoke =
                   std::dynamic_pointer_cast<InvokePluginFunctionNotification>(request)) {
        require(expected.kind == Expected::kInvoke, "read as an invoke request, should not be",
                input);
        require(invoke->getMsgId() == expected.msgId && invoke->getFunction() == expected.method &&
                    invoke->getParam() == expected.param,
                "invoke request texts differ", input);
        InvokeFunctionResponse echo(true, invoke->getParam());
        echo.setMsgId(invoke->getMsgId());
        checkReply(echo, invoke->getMsgId(), true, invoke->getParam());
        const std::string fallback =
            std::string("[ ") + invoke->getFunction() + " ] function faild.";
        InvokeFunctionResponse failed(false, fallback);
        failed.setMsgId(invoke->getMsgId());
        checkReply(failed, invoke->getMsgId(), false, fallback);
    } else {
        violation("the reader returned something else than a command or a syntax error", input);
    }

    // A plug-in's answer is any bytes at all: control characters, NULs, ill-formed UTF-8. Halves of
    // the input stand in for an answer and an identifier the reply must still carry safely.
    const std::string answer = input.substr(size / 2);
    InvokeFunctionResponse raw((size & 1) != 0, answer);
    raw.setMsgId(input.substr(0, size / 2));
    checkReply(raw, input.substr(0, size / 2), (size & 1) != 0, answer);
    return 0;
}
