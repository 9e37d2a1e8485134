#pragma once

#include <memory>
#include <set>

#include "notification/WebSocketTypes.h"
#include "plugin/PluginsManager.h"

// The application: the plug-in host and the WebSocket endpoint that feeds it.
//
// The endpoint's open, message and close events become ConnectReadyNotification, MsgNotification
// and ConnectCloseNotification posted into the PluginsManager's eventCenter. Delivery is
// synchronous: a handler returns once the event has been handled and any reply handed to the
// connection. Everything runs on the thread that calls run().
//
// A stop signal (see platform::StopSignals) ends serving cleanly: the endpoint stops accepting,
// every open connection is closed as "going away" and has its modules released, and run() returns
// once the last connection is gone. A second signal ends the process at once.
//
// Member order is ownership order: the PluginsManager (with its observers registered) exists before
// the endpoint and is destroyed after it, so no event can reach a half-destroyed host.
class ServerApp {
  public:
    ServerApp();
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    // Sets up, listens on 127.0.0.1:7321 and serves until the event loop runs out of work, which
    // happens only after a stop signal. Throws ListenError when the address cannot be listened on.
    void run();

  private:
    void init();
    void onOpen(websocketpp::connection_hdl handle);
    void onMessage(websocketpp::connection_hdl handle, notification::message_ptr message);
    void onClose(websocketpp::connection_hdl handle);
    void stop();

    plugin::PluginsManager pluginsManager;
    notification::server server;
    // Open connections, so that a stop can close them; the endpoint owns them.
    using ConnectionSet =
        std::set<websocketpp::connection_hdl, std::owner_less<websocketpp::connection_hdl>>;
    ConnectionSet open;
    // Waits on the endpoint's event loop, so it goes before the endpoint does. Null where the
    // platform has no stop signals.
    std::unique_ptr<asio::signal_set> stopSignals;
    bool stopping = false;
};
