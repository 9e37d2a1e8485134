#pragma once

#include <asio/io_context.hpp>

#include <memory>
#include <string>
#include <vector>

#include "notification/InvokePluginFunctionNotification.h"
#include "notification/LoadPluginNotification.h"
#include "notification/MsgNotification.h"
#include "notification/NotificationCenter.h"
#include "notification/ResponseNotification.h"
#include "notification/UnLoadPluginNotification.h"
#include "platform/DynamicLibrary.h"
#include "plugin/LoadedModule.h"
#include "policy/Policy.h"
#include "transport/ReplySink.h"

namespace plugin {

// The plug-in host of one WebSocket connection: reads the connection's requests, loads, calls and
// releases its modules, and hands every reply to the connection's reply sink.
//
// Inside it is a pipeline of three private centers: requestCenter turns a message into a command
// or a syntax-error reply, commandCenter loads, invokes and unloads, responseCenter writes and
// sends the reply. Each stage posts only to a later one, so no observer is ever re-entered.
// A module in this process is loaded and called synchronously: when postMessage() returns, the
// reply has been handed to the sink. A module in a host process of its own (see HostedModule)
// answers later, from the event loop; until then the sink is told to hold the connection's later
// requests (ReplySink::holdRequests), so replies still leave in request order.
// An exception (an allocation failing, say) leaves the host consistent and reaches the caller.
//
// Owned by exactly one entry of the PluginsManager's table. The five observers it registers point
// back at it and live in its own centers, so they go when it goes.
class NativePlugin {
  public:
    // `replies` is shared with the front end; a null one drops every reply. Modules are loaded
    // under `policy` (none by default), which must outlive this object. Host processes are
    // watched on `loop`; without one, a load asking for a host process fails.
    explicit NativePlugin(std::shared_ptr<transport::ReplySink> replies,
                          const policy::Policy& policy = policy::Policy::none(),
                          asio::io_context* loop = nullptr);
    ~NativePlugin();
    NativePlugin(const NativePlugin&) = delete;
    NativePlugin& operator=(const NativePlugin&) = delete;

    // Called once, right after construction and before anything is posted.
    void registerObservers();

    // Reads, carries out and answers one request of this connection.
    void postMessage(std::shared_ptr<notification::MsgNotification> message);

    // Releases every module of this connection. Called when the connection closes; the sink drops
    // the unload reply it produces, since the connection is gone.
    void postUnload();

  private:
    void onMsg(std::shared_ptr<notification::MsgNotification> message);
    void onLoadPlugin(std::shared_ptr<notification::LoadPluginNotification> request);
    void onUnLoadPlugin(std::shared_ptr<notification::UnLoadPluginNotification> request);
    void onInvokePluginFunction(
        std::shared_ptr<notification::InvokePluginFunctionNotification> request);
    void onResponse(std::shared_ptr<notification::ResponseNotification> response);
    // The policy's check of a module's location; sets `refused` when the policy refuses it.
    platform::DynamicLibrary::Admission admission(bool& refused) const;
    void loadInProcess(const std::string& name);
    // `host` is the host program's name: "ravelink-host", or on Windows "ravelink-host32" or
    // "ravelink-host64" for a library of the other width.
    void loadInHost(const std::string& name, const std::string& host);
    void replyToLoad(bool success, std::string text);
    // Drops a module whose host has gone; it can no longer be called.
    void forget(LoadedModule* module);
    // Releases every module in a host process except `kept` (which may be null).
    void releaseHostsBut(LoadedModule* kept);

    std::shared_ptr<transport::ReplySink> replies;
    notification::NotificationCenter requestCenter;
    notification::NotificationCenter commandCenter;
    notification::NotificationCenter responseCenter;

    // Every successful load this connection made, oldest first, each owned here until the
    // connection closes (or, in a host process, until that host has gone). A later load in this
    // process changes which module invokes reach, never what is released: all of them are
    // released on unload, newest first. A load in a host process that answers (with or without
    // "Invoke") releases every earlier host, so a connection keeps at most one host process
    // (two while a reload is under way); a failed one keeps them.
    std::vector<std::unique_ptr<LoadedModule>> modules;
    // The module invokes reach, one of `modules`; null when the last load found no entry point or
    // its host has gone.
    LoadedModule* current;
    const policy::Policy& policy;
    asio::io_context* loop;
};

}  // namespace plugin
