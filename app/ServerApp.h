#pragma once

#include "notification/WebSocketTypes.h"
#include "plugin/PluginsManager.h"
#include "policy/Policy.h"

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
    // Serves under an administrator's policy, which must outlive this object.
    explicit ServerApp(const policy::Policy& policy);
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
    // Installed only when a policy exists: refuses, with 403, a handshake the policy does not
    // admit.
    bool onValidate(websocketpp::connection_hdl handle);

    const policy::Policy& policy;
    plugin::PluginsManager pluginsManager;
    notification::server server;
};
