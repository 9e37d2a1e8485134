// The notification classes: their texts, their fields and where they sit in the class tree.

#include <gtest/gtest.h>

#include <memory>

#include "notification/ConnectCloseNotification.h"
#include "notification/ConnectReadyNotification.h"
#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokeFunctionResponse.h"
#include "notification/InvokePluginFunctionNotification.h"
#include "notification/LoadModuleResponse.h"
#include "notification/LoadPluginNotification.h"
#include "notification/MsgNotification.h"
#include "notification/UnLoadPluginNotification.h"

using namespace notification;

TEST(ResponseTexts, PlainResponseNamesItsIdAndOutcome) {
    auto success = std::make_shared<ResponseNotification>(true);
    EXPECT_EQ(success->responseText(), "Response of :success");
    EXPECT_TRUE(success->getSuccess());
    EXPECT_EQ(success->getMsgId(), "");

    auto failure = std::make_shared<ResponseNotification>(false);
    failure->setMsgId("42");
    EXPECT_EQ(failure->responseText(), "Response of 42:faild");
    EXPECT_FALSE(failure->getSuccess());
}

TEST(ResponseTexts, InvalidSyntaxHasFixedIdAndFailure) {
    auto response = std::make_shared<InvalidSyntaxResponse>("Bad request");
    EXPECT_FALSE(response->getSuccess());
    EXPECT_EQ(response->getMsgId(), "InvalidSyntax");
    EXPECT_EQ(response->responseText(), "Invalid syntax, reason: Bad request");
    // Read through the base interface, as the reply writer does.
    std::shared_ptr<ResponseNotification> base = response;
    EXPECT_EQ(base->responseText(), "Invalid syntax, reason: Bad request");
}

TEST(ResponseTexts, LoadAndInvokeResponsesGiveTheirTextBackExactly) {
    LoadModuleResponse load(true, "Load module success");
    EXPECT_TRUE(load.getSuccess());
    EXPECT_EQ(load.responseText(), "Load module success");
    EXPECT_EQ(load.getMsgId(), "");

    InvokeFunctionResponse invoke(false, "");
    EXPECT_FALSE(invoke.getSuccess());
    EXPECT_EQ(invoke.responseText(), "");

    const std::string withNul("a\0b", 3);
    InvokeFunctionResponse binary(true, withNul);
    EXPECT_EQ(binary.responseText(), withNul);
}

TEST(Commands, InvokeCarriesFunctionAndParamAsCStrings) {
    InvokePluginFunctionNotification invoke("Add", "{\"a\":1}");
    EXPECT_STREQ(invoke.getFunction(), "Add");
    EXPECT_STREQ(invoke.getParam(), "{\"a\":1}");
    invoke.setMsgId("7");
    EXPECT_EQ(invoke.getMsgId(), "7");
}

TEST(Commands, LoadCarriesModuleName) {
    LoadPluginNotification load("C:\\plugins\\x.dll");
    EXPECT_EQ(load.getModule(), "C:\\plugins\\x.dll");
    EXPECT_EQ(load.getMsgId(), "");
}

TEST(Descriptions, FixedTextsAndDefaultToName) {
    EXPECT_EQ(ConnectReadyNotification(nullptr, nullptr).description(), "new connection...");
    EXPECT_EQ(ConnectCloseNotification(nullptr).description(), "connection closing ...");
    EXPECT_EQ(InvokePluginFunctionNotification("f", "{}").description(),
              "user calling function: f\nlength of param: 2\n");
    EXPECT_EQ(InvokePluginFunctionNotification("Add", "").description(),
              "user calling function: Add\nlength of param: 0\n");

    MsgNotification message(nullptr);
    LoadPluginNotification load("m");
    InvalidSyntaxResponse syntax("x");
    UnLoadPluginNotification unload;
    for (const Notification* n :
         std::initializer_list<const Notification*>{&message, &load, &syntax, &unload}) {
        EXPECT_EQ(n->description(), n->name());
        EXPECT_FALSE(n->name().empty());
    }
}

TEST(Descriptions, NamesAreReadableAndDistinct) {
    EXPECT_NE(LoadModuleResponse(true, "").name(), InvokeFunctionResponse(true, "").name());
    EXPECT_NE(LoadModuleResponse(true, "").name().find("LoadModuleResponse"), std::string::npos);
}

TEST(ClassTree, UnloadIsNotAPluginNotification) {
    std::shared_ptr<Notification> unload = std::make_shared<UnLoadPluginNotification>();
    EXPECT_EQ(std::dynamic_pointer_cast<PluginNotification>(unload), nullptr);

    std::shared_ptr<Notification> syntax = std::make_shared<InvalidSyntaxResponse>("r");
    EXPECT_NE(std::dynamic_pointer_cast<ResponseNotification>(syntax), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<PluginNotification>(syntax), nullptr);

    std::shared_ptr<Notification> ready =
        std::make_shared<ConnectReadyNotification>(nullptr, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ConnectNotification>(ready), nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<ConnectCloseNotification>(ready), nullptr);
}

TEST(ConnectionFields, MessageConnectionIsSetAfterConstruction) {
    MsgNotification message(nullptr);
    EXPECT_EQ(message.getConnection(), nullptr);
    EXPECT_EQ(message.getMessage(), nullptr);
}
