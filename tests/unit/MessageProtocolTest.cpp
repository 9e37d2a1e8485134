// Reading requests and writing replies, byte for byte.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokeFunctionResponse.h"
#include "notification/InvokePluginFunctionNotification.h"
#include "notification/LoadModuleResponse.h"
#include "notification/LoadPluginNotification.h"
#include "plugin/MessageProtocol.h"

using namespace notification;
using plugin::MessageProtocol;

namespace {

std::shared_ptr<Notification> read(std::string payload) {
    return MessageProtocol::readRequest(payload);
}

// The reply text of a rejected request, or "" when the request was not rejected.
std::string rejection(const std::string& payload) {
    auto response = std::dynamic_pointer_cast<InvalidSyntaxResponse>(read(payload));
    return response ? MessageProtocol::writeReply(*response) : std::string();
}

std::string rejected(const std::string& reason) {
    return "{\"MsgId\":\"InvalidSyntax\",\"Result\":false,\"Response\":\"Invalid syntax, reason: " +
           reason + "\"}";
}

std::shared_ptr<LoadPluginNotification> load(const std::string& payload) {
    return std::dynamic_pointer_cast<LoadPluginNotification>(read(payload));
}

std::shared_ptr<InvokePluginFunctionNotification> invoke(const std::string& payload) {
    return std::dynamic_pointer_cast<InvokePluginFunctionNotification>(read(payload));
}

const std::string kBadRequest = rejected("Bad request");
const std::string kInvalidFormat = rejected("Invalid message format");
const std::string kNoMsgId = rejected("message not have MsgId");
const std::string kNoOperation = rejected("not find operation(Module or Method)");

}  // namespace

TEST(ReadRequest, EmptyPayloadIsABadRequest) {
    EXPECT_EQ(rejection(""), kBadRequest);
}

TEST(ReadRequest, MalformedJsonIsInvalidFormat) {
    for (const std::string payload :
         {" ", "   \t\r\n", "{", "{\"MsgId\":\"1\"", "{\"MsgId\":\"1\"} x", "{} {}",
          "{/*c*/\"MsgId\":\"1\",\"Method\":\"a\"}", "{\"MsgId\":\"1\",\"Method\":\"a\",}",
          "{'MsgId':'1'}", "{\"MsgId\":NaN}", "{\"a\":Infinity}", "{\"a\":01}", "{\"a\":\"\\x\"}",
          "{\"a\":\"\x01\"}", "\xEF\xBB\xBF", "nul"}) {
        EXPECT_EQ(rejection(payload), kInvalidFormat) << "payload: " << payload;
    }
}

TEST(ReadRequest, TextAfterAnEmbeddedNulIsNotIgnored) {
    EXPECT_EQ(rejection(std::string("{\"MsgId\":\"1\",\"Method\":\"a\"}\0{", 28)), kInvalidFormat);
    EXPECT_EQ(rejection(std::string("{\"MsgId\":\"1\",\"Method\":\"a\"}\0", 27)), kInvalidFormat);
    EXPECT_EQ(rejection(std::string("\0", 1)), kInvalidFormat);
}

TEST(ReadRequest, RootThatIsNotAnObjectIsInvalidFormat) {
    for (const std::string payload : {"[]", "[{\"MsgId\":\"1\",\"Method\":\"a\"}]", "\"MsgId\"",
                                      "1", "-0.5e3", "true", "false", "null"}) {
        EXPECT_EQ(rejection(payload), kInvalidFormat) << "payload: " << payload;
    }
}

// Checked before the operation: "{}" and {"Param":...} lack both, and get this reason.
TEST(ReadRequest, MsgIdMustBeANonEmptyString) {
    for (const std::string payload :
         {"{}", "{\"Param\":\"x\"}", "{\"MsgId\":\"\",\"Method\":\"a\"}",
          "{\"MsgId\":7,\"Method\":\"a\"}", "{\"MsgId\":true,\"Method\":\"a\"}",
          "{\"MsgId\":null,\"Method\":\"a\"}", "{\"MsgId\":[\"1\"],\"Method\":\"a\"}",
          "{\"MsgId\":{\"a\":\"1\"},\"Method\":\"a\"}", "{\"msgid\":\"1\",\"Method\":\"a\"}",
          "{\"Module\":\"m\"}"}) {
        EXPECT_EQ(rejection(payload), kNoMsgId) << "payload: " << payload;
    }
}

TEST(ReadRequest, NeedsAUsableModuleOrMethod) {
    for (const std::string payload :
         {"{\"MsgId\":\"1\"}", "{\"MsgId\":\"1\",\"Module\":\"\"}",
          "{\"MsgId\":\"1\",\"Method\":5}", "{\"MsgId\":\"1\",\"module\":\"m\",\"method\":\"a\"}",
          "{\"MsgId\":\"1\",\"Param\":\"p\"}",
          "{\"MsgId\":\"1\",\"x\":{\"Module\":\"m\",\"Method\":\"a\"}}"}) {
        EXPECT_EQ(rejection(payload), kNoOperation) << "payload: " << payload;
    }
}

TEST(ReadRequest, UsableModuleMakesALoadRequestEvenWithAMethod) {
    auto request = load("{\"Method\":\"a\",\"Module\":\"C:\\\\p\\\\x.dll\",\"MsgId\":\"9\"}");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->getModule(), "C:\\p\\x.dll");
    EXPECT_EQ(request->getMsgId(), "9");
}

TEST(ReadRequest, UnusableModuleFallsBackToMethod) {
    for (const std::string module : {"\"\"", "3", "null", "[]", "{}"}) {
        auto request = invoke("{\"MsgId\":\"1\",\"Module\":" + module + ",\"Method\":\"Add\"}");
        ASSERT_NE(request, nullptr) << module;
        EXPECT_STREQ(request->getFunction(), "Add");
    }
}

TEST(ReadRequest, ParamIsPassedOrDefaultsToBraces) {
    auto given = invoke("{\"MsgId\":\"1\",\"Method\":\"Add\",\"Param\":\"{\\\"a\\\":1}\"}");
    ASSERT_NE(given, nullptr);
    EXPECT_STREQ(given->getParam(), "{\"a\":1}");
    EXPECT_EQ(given->getMsgId(), "1");

    for (const std::string tail :
         {"", ",\"Param\":\"\"", ",\"Param\":12", ",\"Param\":{\"a\":\"b\"}", ",\"Param\":[1]",
          ",\"Param\":false", ",\"param\":\"x\""}) {
        auto request = invoke("{\"MsgId\":\"1\",\"Method\":\"Add\"" + tail + "}");
        ASSERT_NE(request, nullptr) << tail;
        EXPECT_STREQ(request->getParam(), "{}") << tail;
    }
}

TEST(ReadRequest, FirstOfDuplicateMembersCounts) {
    auto request =
        invoke("{\"MsgId\":\"first\",\"MsgId\":\"second\",\"Method\":\"a\",\"Method\":\"b\"}");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->getMsgId(), "first");
    EXPECT_STREQ(request->getFunction(), "a");
    // A first occurrence that is not a string is not replaced by a later string.
    EXPECT_EQ(rejection("{\"MsgId\":1,\"MsgId\":\"2\",\"Method\":\"a\"}"), kNoMsgId);
}

// Every value ends at its first NUL, so a value that starts with one is as good as empty: no MsgId,
// no Module (the Method is called), no Method, or the default "{}" for Param.
TEST(ReadRequest, ValuesAreCutAtTheirFirstNul) {
    const struct {
        std::string payload;
        std::string readAs;  // a rejection reply, or "invoke MSGID FUNCTION PARAM"
    } cases[] = {
        {R"({"MsgId":"a\u0000b","Method":"m\u0000x","Param":"p\u0000q"})", "invoke a m p"},
        {R"({"MsgId":"\u0000","Method":"m"})", kNoMsgId},
        {R"({"MsgId":"\u0000x","Method":"m"})", kNoMsgId},
        {R"({"MsgId":"1","Method":"\u0000"})", kNoOperation},
        {R"({"MsgId":"1","Method":"\u0000m"})", kNoOperation},
        {R"({"MsgId":"1","Module":"\u0000"})", kNoOperation},
        {R"({"MsgId":"1","Module":"\u0000x.so","Method":"m"})", "invoke 1 m {}"},
        {R"({"MsgId":"1","Method":"m","Param":"\u0000"})", "invoke 1 m {}"},
        {R"({"MsgId":"1","Method":"m","Param":"\u0000p"})", "invoke 1 m {}"},
    };
    for (const auto& c : cases) {
        auto request = invoke(c.payload);
        const std::string readAs = request ? "invoke " + request->getMsgId() + " " +
                                                 request->getFunction() + " " + request->getParam()
                                           : rejection(c.payload);
        EXPECT_EQ(readAs, c.readAs) << c.payload;
    }
}

TEST(ReadRequest, EscapesAndByteOrderMark) {
    auto request =
        invoke("\xEF\xBB\xBF {\"MsgId\":\"\\u00e9\\ud83d\\ude00\",\"Method\":\"\\/a\\tb\"}\n");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->getMsgId(), "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_STREQ(request->getFunction(), "/a\tb");
    // Bytes inside strings are not checked for UTF-8 (binary messages may carry anything).
    auto raw = invoke("{\"MsgId\":\"\xFF\",\"Method\":\"\xC0\xAF\"}");
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->getMsgId(), "\xFF");
}

TEST(ReadRequest, HostileNestingIsRefusedWithoutRecursion) {
    const std::string deep(1000000, '[');
    EXPECT_EQ(rejection(deep), kInvalidFormat);
    std::string objects;
    for (int i = 0; i < 200000; ++i)
        objects += "{\"a\":";
    EXPECT_EQ(rejection(objects), kInvalidFormat);
}

// A request may nest 512 levels deep, its root object included; one level more is refused, in
// arrays and objects alike.
TEST(ReadRequest, NestingLimitIs512Levels) {
    const auto nested = [](int levels, const std::string& open, const std::string& close) {
        std::string value = "0";
        for (int i = 0; i < levels; ++i)
            value = open + value + close;
        return "{\"MsgId\":\"1\",\"Method\":\"a\",\"x\":" + value + "}";
    };
    for (const auto& brackets : {std::make_pair("[", "]"), std::make_pair("{\"a\":", "}")}) {
        EXPECT_NE(invoke(nested(511, brackets.first, brackets.second)), nullptr) << brackets.first;
        EXPECT_EQ(rejection(nested(512, brackets.first, brackets.second)), kInvalidFormat)
            << brackets.first;
    }
}

TEST(ReadRequest, ExtremeNumbersAreNonStringValues) {
    // Exponents that would overflow a naive conversion are just numbers: not strings.
    EXPECT_EQ(rejection("{\"MsgId\":0.0000000001e-2147483639,\"Method\":\"a\"}"), kNoMsgId);
    EXPECT_EQ(rejection("{\"MsgId\":-1e-99999999999999999999,\"Method\":\"a\"}"), kNoMsgId);
    auto request = invoke(
        "{\"MsgId\":\"1\",\"Module\":-123456789012345678901234567890e-2147483648,"
        "\"Method\":\"a\",\"Param\":0.000000000000000000000000000001e-2147483647}");
    ASSERT_NE(request, nullptr);
    EXPECT_STREQ(request->getParam(), "{}");
    EXPECT_EQ(rejection("{\"MsgId\":\"1\",\"Method\":1.5e-400}"), kNoOperation);
    // Beyond the largest double the JSON library refuses the document, as it always has.
    EXPECT_EQ(rejection("{\"MsgId\":\"1\",\"Method\":\"a\",\"x\":1e400}"), kInvalidFormat);
}

TEST(WriteReply, CompactThreeMembersInOrder) {
    InvokeFunctionResponse response(true, "[ Add ] function success.");
    response.setMsgId("7");
    EXPECT_EQ(MessageProtocol::writeReply(response),
              "{\"MsgId\":\"7\",\"Result\":true,\"Response\":\"[ Add ] function success.\"}");

    LoadModuleResponse failed(false, "Invalid plugin format");
    failed.setMsgId("LoadModule");
    EXPECT_EQ(MessageProtocol::writeReply(failed),
              "{\"MsgId\":\"LoadModule\",\"Result\":false,\"Response\":\"Invalid plugin format\"}");

    EXPECT_EQ(MessageProtocol::writeReply(ResponseNotification(true)),
              "{\"MsgId\":\"\",\"Result\":true,\"Response\":\"Response of :success\"}");
}

TEST(WriteReply, EscapeTable) {
    std::string text = "q\" b\\ ";
    for (int c = 1; c < 0x20; ++c)
        text += static_cast<char>(c);
    text += " / \x7F \xC3\xA9";
    InvokeFunctionResponse response(true, text);
    response.setMsgId("1");
    EXPECT_EQ(
        MessageProtocol::writeReply(response),
        "{\"MsgId\":\"1\",\"Result\":true,\"Response\":\"q\\\" b\\\\ "
        "\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000B\\f\\r\\u000E\\u000F"
        "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001A\\u001B"
        "\\u001C\\u001D\\u001E\\u001F / \x7F \xC3\xA9\"}");
}

// Long texts take a word-at-a-time path; a byte that needs escaping must be found at any offset
// within a word, and the bytes around it (0x20, 0x7F, high bytes) must pass unchanged.
TEST(WriteReply, EscapesAreFoundAtEveryOffsetOfALongText) {
    const struct {
        char byte;
        const char* written;
    } cases[] = {{'\x01', "\\u0001"}, {'\x1F', "\\u001F"}, {'"', "\\\""},    {'\\', "\\\\"},
                 {'\n', "\\n"},       {' ', " "},          {'\x7F', "\x7F"}, {'!', "!"},
                 {'#', "#"},          {'[', "["},          {']', "]"},       {'\x80', "\x80"},
                 {'\xDC', "\xDC"},    {'\xA2', "\xA2"}};
    for (const auto& c : cases) {
        for (std::size_t at = 0; at < 24; ++at) {
            std::string text(23, '~');
            text[at % text.size()] = c.byte;
            std::string expected = text;
            expected.replace(at % text.size(), 1, c.written);
            InvokeFunctionResponse response(true, text);
            response.setMsgId("1");
            std::string reply = MessageProtocol::writeReply(response);
            // High bytes alone are not UTF-8 and come back replaced; compare the rest exactly.
            if (static_cast<unsigned char>(c.byte) >= 0x80) {
                expected.replace(at % text.size(), 1, "\xEF\xBF\xBD");
            }
            EXPECT_EQ(reply, "{\"MsgId\":\"1\",\"Result\":true,\"Response\":\"" + expected + "\"}")
                << "byte " << static_cast<int>(static_cast<unsigned char>(c.byte)) << " at " << at;
        }
    }
}

TEST(WriteReply, StringsEndAtTheirFirstNul) {
    InvokeFunctionResponse response(false, std::string("ab\0cd", 5));
    response.setMsgId(std::string("x\0y", 3));
    EXPECT_EQ(MessageProtocol::writeReply(response),
              "{\"MsgId\":\"x\",\"Result\":false,\"Response\":\"ab\"}");
}

TEST(WriteReply, IllFormedUtf8BecomesReplacementCharacters) {
    InvokeFunctionResponse response(true,
                                    "a\x80z \xE2\x82 \xF0\x9F\x98\x80 \xED\xA0\x80 \xC0\xAF\xFF");
    response.setMsgId("\xFF");
    EXPECT_EQ(MessageProtocol::writeReply(response),
              "{\"MsgId\":\"\xEF\xBF\xBD\",\"Result\":true,\"Response\":\"a\xEF\xBF\xBDz "
              "\xEF\xBF\xBD \xF0\x9F\x98\x80 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD "
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}");
}

TEST(RoundTrip, AnInvokeRequestEchoesItsIdInTheReply) {
    auto request = invoke("{\"MsgId\":\"\\\"id\\\"\",\"Method\":\"m\"}");
    ASSERT_NE(request, nullptr);
    InvokeFunctionResponse reply(true, "ok");
    reply.setMsgId(request->getMsgId());
    EXPECT_EQ(MessageProtocol::writeReply(reply),
              "{\"MsgId\":\"\\\"id\\\"\",\"Result\":true,\"Response\":\"ok\"}");
}
