#include "plugin/NativePlugin.h"

#include <iostream>
#include <string>
#include <utility>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokeFunctionResponse.h"
#include "notification/LoadModuleResponse.h"
#include "notification/Observer.h"
#include "platform/ModuleLocation.h"
#include "plugin/MessageProtocol.h"

namespace plugin {

using namespace notification;

NativePlugin::NativePlugin(std::shared_ptr<transport::ReplySink> replies,
                           const policy::Policy& policy)
    : replies(std::move(replies)), invokeEntry(nullptr), policy(policy) {}

// Modules still held here (the program is shutting down with this connection open) are released by
// their owners.
NativePlugin::~NativePlugin() = default;

void NativePlugin::registerObservers() {
    requestCenter.addObserver(Observer<NativePlugin, MsgNotification>(this, &NativePlugin::onMsg));
    commandCenter.addObserver(
        Observer<NativePlugin, LoadPluginNotification>(this, &NativePlugin::onLoadPlugin));
    commandCenter.addObserver(
        Observer<NativePlugin, UnLoadPluginNotification>(this, &NativePlugin::onUnLoadPlugin));
    commandCenter.addObserver(Observer<NativePlugin, InvokePluginFunctionNotification>(
        this, &NativePlugin::onInvokePluginFunction));
    responseCenter.addObserver(
        Observer<NativePlugin, ResponseNotification>(this, &NativePlugin::onResponse));
}

void NativePlugin::postMessage(std::shared_ptr<MsgNotification> message) {
    requestCenter.postNotification(std::move(message));
}

void NativePlugin::postUnload() {
    commandCenter.postNotification(std::make_shared<UnLoadPluginNotification>());
}

void NativePlugin::onMsg(std::shared_ptr<MsgNotification> message) {
    // The payload is read in place and nothing needs it afterwards: its memory goes back at once,
    // which matters for a message of tens of megabytes.
    std::string& payload = message->getMessage()->get_raw_payload();
    std::shared_ptr<Notification> request = MessageProtocol::readRequest(payload);
    std::string().swap(payload);
    // The reader has already set the msgId of a command; a syntax-error reply carries its fixed
    // one.
    if (std::dynamic_pointer_cast<ResponseNotification>(request)) {
        responseCenter.postNotification(std::move(request));
    } else {
        commandCenter.postNotification(std::move(request));
    }
}

void NativePlugin::onLoadPlugin(std::shared_ptr<LoadPluginNotification> request) {
    unsigned long errorCode = 0;
    std::unique_ptr<platform::DynamicLibrary> library;
    if (policy.restrictsModules()) {
        // The module's real location is checked against the policy's folders; a refusal is
        // answered like any failed load, with the platform's access-denied code. The information
        // plug-in of this installation is part of the program, not a module a page brings: pages
        // ask it for the version whatever folders are listed (a broken policy refuses it too).
        bool refused = false;
        std::string location;
        const std::string ownPlugin = policy.kind() == policy::Policy::kBroken
                                          ? std::string()
                                          : platform::ModuleLocation::informationPluginKey();
        library = platform::DynamicLibrary::load(
            request->getModule(),
            [this, &refused, &ownPlugin](const std::string& key) {
                refused = !policy.admitsModule(key) && (ownPlugin.empty() || key != ownPlugin);
                return !refused;
            },
            errorCode, location);
        if (refused) {
            std::cerr << policy.loadRefusal(request->getModule(), location) << std::endl;
        }
    } else {
        library = platform::DynamicLibrary::load(request->getModule(), errorCode);
    }

    std::shared_ptr<LoadModuleResponse> reply;
    if (!library) {
        // A failed load leaves the earlier module, if any, callable.
        reply = std::make_shared<LoadModuleResponse>(
            false, "Load Module error, can't find module.Error code: " + std::to_string(errorCode));
    } else {
        // Stored first: should storing throw, the library is released and the entry point still
        // belongs to a module that is held.
        modules.push_back(std::move(library));
        invokeEntry = modules.back()->findInvoke();
        if (invokeEntry == nullptr) {
            reply = std::make_shared<LoadModuleResponse>(false, "Invalid plugin format");
        } else {
            reply = std::make_shared<LoadModuleResponse>(true, "Load module success");
        }
    }
    reply->setMsgId("LoadModule");
    responseCenter.postNotification(std::move(reply));
}

void NativePlugin::onUnLoadPlugin(std::shared_ptr<UnLoadPluginNotification>) {
    invokeEntry = nullptr;
    while (!modules.empty()) {
        modules.pop_back();
    }
    responseCenter.postNotification(std::make_shared<ResponseNotification>(true));
}

void NativePlugin::onInvokePluginFunction(
    std::shared_ptr<InvokePluginFunctionNotification> request) {
    if (invokeEntry == nullptr) {
        auto reply = std::make_shared<InvokeFunctionResponse>(false, "Module have not been loaded");
        reply->setMsgId(request->getMsgId());
        responseCenter.postNotification(std::move(reply));
        return;
    }

    char* answer = nullptr;
    const int32_t status = invokeEntry(request->getFunction(), request->getParam(), &answer);
    // From here the host owns the answer block; it goes back to the plug-in heap once the reply has
    // been handed to the connection, or if anything on the way throws.
    std::unique_ptr<char, void (*)(char*)> answerOwner(answer,
                                                       &platform::DynamicLibrary::freeAnswer);

    std::string text;
    if (answer != nullptr) {
        text = answer;
    } else {
        text = std::string("[ ") + request->getFunction() + " ] " +
               (status == 0 ? "function success." : "function faild.");
    }
    auto reply = std::make_shared<InvokeFunctionResponse>(status == 0, std::move(text));
    reply->setMsgId(request->getMsgId());
    responseCenter.postNotification(std::move(reply));
}

void NativePlugin::onResponse(std::shared_ptr<ResponseNotification> response) {
    std::string reply = MessageProtocol::writeReply(*response);
    if (replies) {
        replies->send(std::move(reply));
    }
}

}  // namespace plugin
