#pragma once

#include "notification/WebSocketTypes.h"
#include "plugin/PluginsManager.h"

// The application: the plug-in host and the WebSocket endpoint that feeds it.
//
// The endpoint's open, message and close events become ConnectReadyNotification, MsgNotification
// and ConnectCloseNotification posted into the PluginsManager's eventCenter. Delivery is
// synchronous: a handler returns once the event has been handled and any reply handed to the
// connection. Everything runs on the thread that calls run().
//
// Member order is ownership order: the PluginsManager (with its observers registered) exists before
// the endpoint and is destroyed after it, so no event can reach a half-destroyed host.
class ServerApp {
  public:
    ServerApp();
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    // Sets up, listens on 127.0.0.1:7321 and serves until the event loop runs out of work, which in
    // practice is never. Throws ListenError when the address cannot be listened on.
    void run();

  private:
    void init();
    void onOpen(websocketpp::connection_hdl handle);
    void onMessage(websocketpp::connection_hdl handle, notification::message_ptr message);
    void onClose(websocketpp::connection_hdl handle);

    plugin::PluginsManager pluginsManager;
    notification::server server;
};
