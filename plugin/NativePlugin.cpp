#include "plugin/NativePlugin.h"

#include <exception>
#include <iostream>
#include <string>
#include <utility>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokeFunctionResponse.h"
#include "notification/LoadModuleResponse.h"
#include "notification/Observer.h"
#include "platform/ChildProcess.h"
#include "platform/DynamicLibrary.h"
#include "platform/ModuleLocation.h"
#include "plugin/HostedModule.h"
#include "plugin/InProcessModule.h"
#include "plugin/MessageProtocol.h"

namespace plugin {

using namespace notification;

NativePlugin::NativePlugin(std::shared_ptr<transport::ReplySink> replies,
                           const policy::Policy& policy, asio::io_context* loop)
    : replies(std::move(replies)), current(nullptr), policy(policy), loop(loop) {}

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
    // A Windows library of the other width cannot be loaded here at all: it goes to the host of
    // its width, whatever the request says.
    const int width = platform::DynamicLibrary::imageWidth(request->getModule());
    if (width != 0 && width != static_cast<int>(sizeof(void*) * 8)) {
        loadInHost(request->getModule(), "ravelink-host" + std::to_string(width));
    } else if (request->isIsolated() || policy.isolatesModules()) {
        loadInHost(request->getModule(), "ravelink-host");
    } else {
        loadInProcess(request->getModule());
    }
}

platform::DynamicLibrary::Admission NativePlugin::admission(bool& refused) const {
    // The information plug-in of this installation is part of the program, not a module a page
    // brings: pages ask it for the version whatever folders are listed (a broken policy refuses it
    // too).
    const std::string ownPlugin = policy.kind() == policy::Policy::kBroken
                                      ? std::string()
                                      : platform::ModuleLocation::informationPluginKey();
    return [this, &refused, ownPlugin](const std::string& key) {
        refused = !policy.admitsModule(key) && (ownPlugin.empty() || key != ownPlugin);
        return !refused;
    };
}

void NativePlugin::loadInProcess(const std::string& name) {
    unsigned long errorCode = 0;
    std::unique_ptr<platform::DynamicLibrary> library;
    if (policy.restrictsModules()) {
        // The module's real location is checked against the policy's folders; a refusal is
        // answered like any failed load, with the platform's access-denied code.
        bool refused = false;
        std::string location;
        library = platform::DynamicLibrary::load(name, admission(refused), errorCode, location);
        if (refused) {
            std::cerr << policy.loadRefusal(name, location) << std::endl;
        }
    } else {
        library = platform::DynamicLibrary::load(name, errorCode);
    }

    if (!library) {
        // A failed load leaves the earlier module, if any, callable.
        replyToLoad(
            false, "Load Module error, can't find module.Error code: " + std::to_string(errorCode));
        return;
    }
    // Stored first: should storing throw, the library is released and the entry point still
    // belongs to a module that is held.
    modules.push_back(std::make_unique<InProcessModule>(std::move(library)));
    const bool callable = static_cast<InProcessModule&>(*modules.back()).callable();
    current = callable ? modules.back().get() : nullptr;
    replyToLoad(callable, callable ? "Load module success" : "Invalid plugin format");
}

void NativePlugin::loadInHost(const std::string& name, const std::string& host) {
    unsigned long errorCode = 0;
    std::string location = name;
    // Kept by the load's callback, so until the host has loaded the file (or gone).
    std::shared_ptr<void> hold;
    if (policy.restrictsModules()) {
        // Checked here, before any host starts; the host is given the checked location only.
        bool refused = false;
        if (!platform::DynamicLibrary::locate(name, admission(refused), errorCode, location,
                                              hold)) {
            if (refused) {
                std::cerr << policy.loadRefusal(name, location) << std::endl;
            }
            replyToLoad(false, "Load Module error, can't find module.Error code: " +
                                   std::to_string(errorCode));
            return;
        }
    }
    std::unique_ptr<HostedModule> module;
    if (loop != nullptr) {
        // The module is known to the callback only once it is stored; the callback never runs
        // before start() has returned.
        auto stored = std::make_shared<LoadedModule*>(nullptr);
        module = HostedModule::start(
            *loop, host, location, name,
            [this, stored, hold](unsigned long code, bool callable) {
                if (code != 0) {
                    // The earlier module, if any, stays callable.
                    forget(*stored);
                    replyToLoad(false, "Load Module error, can't find module.Error code: " +
                                           std::to_string(code));
                } else {
                    if (callable) {
                        current = *stored;
                    } else {
                        forget(*stored);
                        current = nullptr;
                    }
                    // One host per connection: the load replaces every earlier host, which
                    // invokes no longer reach either way.
                    releaseHostsBut(callable ? *stored : nullptr);
                    replyToLoad(callable,
                                callable ? "Load module success" : "Invalid plugin format");
                }
                if (replies) {
                    replies->holdRequests(false);
                }
            },
            errorCode);
        if (module) {
            *stored = module.get();
        }
    } else {
        errorCode = platform::ChildProcess::brokenPipeCode();
    }
    if (!module) {
        replyToLoad(
            false, "Load Module error, can't find module.Error code: " + std::to_string(errorCode));
        return;
    }
    if (replies) {
        replies->holdRequests(true);
    }
    modules.push_back(std::move(module));
}

void NativePlugin::replyToLoad(bool success, std::string text) {
    auto reply = std::make_shared<LoadModuleResponse>(success, std::move(text));
    reply->setMsgId("LoadModule");
    responseCenter.postNotification(std::move(reply));
}

void NativePlugin::forget(LoadedModule* module) {
    if (current == module) {
        current = nullptr;
    }
    for (auto entry = modules.begin(); entry != modules.end(); ++entry) {
        if (entry->get() == module) {
            modules.erase(entry);
            return;
        }
    }
}

void NativePlugin::releaseHostsBut(LoadedModule* kept) {
    for (auto entry = modules.begin(); entry != modules.end();) {
        if ((*entry)->answersLater() && entry->get() != kept) {
            entry = modules.erase(entry);
        } else {
            ++entry;
        }
    }
}

void NativePlugin::onUnLoadPlugin(std::shared_ptr<UnLoadPluginNotification>) {
    current = nullptr;
    while (!modules.empty()) {
        modules.pop_back();
    }
    responseCenter.postNotification(std::make_shared<ResponseNotification>(true));
}

void NativePlugin::onInvokePluginFunction(
    std::shared_ptr<InvokePluginFunctionNotification> request) {
    if (current == nullptr) {
        auto reply = std::make_shared<InvokeFunctionResponse>(false, "Module have not been loaded");
        reply->setMsgId(request->getMsgId());
        responseCenter.postNotification(std::move(reply));
        return;
    }

    LoadedModule* const module = current;
    const bool later = module->answersLater();
    if (later && replies) {
        replies->holdRequests(true);
    }
    // The request stays alive until its answer is in: the texts the module is given live in it.
    module->call(request->getFunction(), request->getParam(), request,
                 [this, module, later, request](LoadedModule::Outcome&& outcome) {
                     if (outcome.moduleGone) {
                         forget(module);
                     }
                     std::string text;
                     if (outcome.answered) {
                         text = std::move(outcome.answer);
                     } else {
                         text = std::string("[ ") + request->getFunction() + " ] " +
                                (outcome.status == 0 ? "function success." : "function faild.");
                     }
                     auto reply = std::make_shared<InvokeFunctionResponse>(outcome.status == 0,
                                                                           std::move(text));
                     reply->setMsgId(request->getMsgId());
                     if (!later) {
                         responseCenter.postNotification(std::move(reply));
                         return;
                     }
                     // Answered from the event loop, where nobody above would catch: the held
                     // requests go on whatever happens to this reply.
                     try {
                         responseCenter.postNotification(std::move(reply));
                     } catch (const std::exception& error) {
                         std::cerr << "ravelink: a reply was lost (" << error.what() << ")"
                                   << std::endl;
                     }
                     if (replies) {
                         replies->holdRequests(false);
                     }
                 });
}

void NativePlugin::onResponse(std::shared_ptr<ResponseNotification> response) {
    std::string reply = MessageProtocol::writeReply(*response);
    if (replies) {
        replies->send(std::move(reply));
    }
}

}  // namespace plugin
