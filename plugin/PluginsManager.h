#pragma once

#include <asio/io_context.hpp>

#include <map>
#include <memory>

#include "notification/ConnectCloseNotification.h"
#include "notification/ConnectReadyNotification.h"
#include "notification/MsgNotification.h"
#include "notification/NotificationCenter.h"
#include "plugin/NativePlugin.h"
#include "policy/Policy.h"
#include "transport/WebSocketTypes.h"

namespace plugin {

// Keeps one NativePlugin per open connection and routes the front end's events to it.
//
// The front end posts ConnectReadyNotification, MsgNotification and ConnectCloseNotification into
// eventCenter. A ready connection gets a fresh NativePlugin that replies through the connection's
// sink; each message goes to its connection's NativePlugin; a closing connection has its modules
// released and then its NativePlugin destroyed. Events in an odd order change nothing: a second
// ready of an open connection, a message or close of a connection that is not open are ignored.
// The manager itself never looks inside a message.
class PluginsManager {
  public:
    PluginsManager();
    // Every host it creates loads under `policy`, which must outlive this object.
    explicit PluginsManager(const policy::Policy& policy);
    ~PluginsManager();
    PluginsManager(const PluginsManager&) = delete;
    PluginsManager& operator=(const PluginsManager&) = delete;

    // Host processes of isolated modules are watched on `loop`, which must outlive every
    // connection's host. Called once, before the endpoint can accept connections.
    void watchHostsOn(asio::io_context& loop) { this->loop = &loop; }

    // Registers the three event observers. Called once, before the endpoint can accept connections.
    void registerObservers();

    // Where the front end posts its events. Declared first so that it outlives the table.
    notification::NotificationCenter eventCenter;

  private:
    void onConnectReady(std::shared_ptr<notification::ConnectReadyNotification> event);
    void onConnectClose(std::shared_ptr<notification::ConnectCloseNotification> event);
    void onMsg(std::shared_ptr<notification::MsgNotification> event);

    // Keyed by connection object address. Both key and NativePlugin hold the connection alive
    // until the entry goes.
    std::map<transport::connection_ptr, std::unique_ptr<NativePlugin>> plugins;
    const policy::Policy& policy;
    asio::io_context* loop = nullptr;
};

}  // namespace plugin
