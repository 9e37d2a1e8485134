// The response classes: the texts and outcomes that the reply writer reads from them.

#include <gtest/gtest.h>

#include <memory>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokeFunctionResponse.h"
#include "notification/LoadModuleResponse.h"

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
