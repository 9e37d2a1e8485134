#pragma once

#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin/PluginsManager.h"
#include "policy/Policy.h"
#include "transport/Acceptor.h"
#include "transport/ConnectionReplySink.h"
#include "transport/LogDestination.h"
#include "transport/PeerCheck.h"
#include "transport/ReplyBacklog.h"
#include "transport/WebSocketTypes.h"

// The application: the plug-in host and the WebSocket endpoint that feeds it.
//
// The endpoint's open, message and close events become ConnectReadyNotification, MsgNotification
// and ConnectCloseNotification posted into the PluginsManager's eventCenter. Delivery is
// synchronous: a handler returns once the event has been handled and any reply handed to the
// connection. Everything runs on the thread that calls run().
//
// Each open connection has a ConnectionReplySink, through which its replies go and by which the
// ReplyBacklog stops reading its requests while too many replies wait to be sent; a request read
// meanwhile is held and handled later, from the backlog's timer, unless its connection is closing
// by then (a stop, or a 1011): then it is dropped.
//
// An exception while one connection is served (opening, a request, holding one, closing) ends that
// connection alone: it is closed with 1011 and its modules are released, with one line in the error
// log. One outside any connection (the backlog's timer) is logged, and serving goes on.
//
// A stop signal (see platform::StopSignals) ends serving cleanly: accepting stops, every open
// connection is closed as "going away" and has its modules released, and run() returns once the
// last connection is gone. A second signal ends the process at once.
//
// Member order is ownership order: the PluginsManager (with its observers registered) and the
// backlog exist before the endpoint and are destroyed after it, so no event can reach a
// half-destroyed host; the acceptor and the stop signals go before the endpoint whose event loop
// they use.
class ServerApp {
  public:
    ServerApp();
    // Serves under an administrator's policy, which must outlive this object.
    explicit ServerApp(const policy::Policy& policy);
    // The same, with the access and error logs sent where `access` and `error` say (see
    // ProgramLog); their streams must outlive this object.
    ServerApp(const policy::Policy& policy, const transport::LogDestination& access,
              const transport::LogDestination& error);
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    // Sets up, listens on 127.0.0.1:7321 and serves until the event loop runs out of work, which
    // happens only after a stop signal. Throws ListenError when the address cannot be listened on.
    void run();

  private:
    void init();
    void onOpen(websocketpp::connection_hdl handle);
    void onMessage(websocketpp::connection_hdl handle, transport::message_ptr message);
    void onClose(websocketpp::connection_hdl handle);
    void onHttp(websocketpp::connection_hdl handle);
    void stop();

    void handleMessage(const transport::connection_ptr& connection, transport::message_ptr message);
    // Runs `work` for `connection`; an exception ends that connection (see above).
    void serve(const transport::connection_ptr& connection, const char* stage,
               const std::function<void()>& work);
    void watchBacklog();
    void logEscaped(const std::string& failure);
    // Refuses, with 403, a handshake whose peer is another account's process (unless the policy
    // allows other users) or one the policy does not admit.
    bool onValidate(websocketpp::connection_hdl handle);

    const policy::Policy& policy;
    plugin::PluginsManager pluginsManager;
    transport::ReplyBacklog backlog;
    transport::PeerCheck peerCheck{std::cerr};
    // The sink of every open connection, by connection object. Entries go on close.
    std::map<transport::server::connection_type*, std::shared_ptr<transport::ConnectionReplySink>>
        sinks;
    // Open connections, so that a stop can close them; the endpoint owns them.
    using ConnectionSet =
        std::set<websocketpp::connection_hdl, std::owner_less<websocketpp::connection_hdl>>;
    ConnectionSet open;
    // Closed connections that had unsent replies: free memory goes back to the system once the
    // library has freed them (and with them their replies).
    using Leaving = std::weak_ptr<transport::server::connection_type>;
    std::vector<Leaving> leaving;
    transport::server server;
    transport::Acceptor acceptor;
    // Waits on the endpoint's event loop, so it goes before the endpoint does. Null where the
    // platform has no stop signals.
    std::unique_ptr<asio::signal_set> stopSignals;
    bool backlogWatched = false;
    bool stopping = false;
};
