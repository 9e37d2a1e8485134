#pragma once

#include <cstddef>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "plugin/PluginsManager.h"
#include "policy/Policy.h"
#include "transport/Acceptor.h"
#include "transport/BrokerClient.h"
#include "transport/LogDestination.h"
#include "transport/PeerCheck.h"
#include "transport/ReplyBacklog.h"
#include "transport/ServedConnection.h"
#include "transport/WebSocketTypes.h"

// The application: the plug-in host and the WebSocket endpoint that feeds it.
//
// The endpoint's open, message and close events become ConnectReadyNotification, MsgNotification
// and ConnectCloseNotification posted into the PluginsManager's eventCenter. Delivery is
// synchronous: a handler returns once the event has been handled and any reply handed to the
// connection. Everything runs on the thread that calls run().
//
// Each connection has one record, a ServedConnection, in one table (`connections`): made in one
// step when the connection opens, turned to leaving in one step when it closes, destroyed once the
// library has freed the connection object (see ServedConnection for its life). Through it the
// connection's replies go, and the ReplyBacklog stops reading its requests while too many replies
// or held requests wait; a request read meanwhile is held and handled later, from the backlog's
// timer or when a call's answer is in, unless its connection is closing by then (a stop, or a
// 1011): then it is dropped. The plug-in side keeps its own per-connection object, the
// PluginsManager's NativePlugin, made and released by the open and close notifications.
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
// half-destroyed host; the connection records, the acceptor, the broker client and the stop
// signals go before the endpoint whose event loop they use.
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

    // Sets up, registers with the machine's broker where one runs or else listens on
    // 127.0.0.1:7321 (see transport::BrokerClient), and serves until the event loop runs out of
    // work, which happens only after a stop signal. Throws BrokerRefusal when the broker refuses
    // this copy, ListenError when there is no broker and the address cannot be listened on.
    void run();

  private:
    void init();
    void onOpen(websocketpp::connection_hdl handle);
    void onMessage(websocketpp::connection_hdl handle, transport::message_ptr message);
    void onClose(websocketpp::connection_hdl handle);
    void onHttp(websocketpp::connection_hdl handle);
    void stop();

    void handleMessage(const transport::connection_ptr& connection, transport::message_ptr message);
    // Runs `work` for `connection` and confines a failure to it: an exception ends that
    // connection alone (see above).
    void guardConnection(const transport::connection_ptr& connection, const char* stage,
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
    transport::server server;
    // Every connection's record, open or leaving, by connection object; they go before the
    // endpoint whose event loop they use. A key is reused only once the library has freed the
    // object it named, so a leaving record found under the key of a new connection is gone and is
    // replaced.
    std::map<transport::server::connection_type*, std::shared_ptr<transport::ServedConnection>>
        connections;
    // How many of them are leaving: kept until the library frees their connection objects, with
    // the unsent replies in them, so that free memory goes back to the system after that.
    std::size_t leavingCount = 0;
    transport::Acceptor acceptor;
    // Registers with the broker, or listens through the acceptor; made once the endpoint's event
    // loop exists, gone before the acceptor it uses.
    std::unique_ptr<transport::BrokerClient> broker;
    // Waits on the endpoint's event loop, so it goes before the endpoint does. Null where the
    // platform has no stop signals.
    std::unique_ptr<asio::signal_set> stopSignals;
    bool backlogWatched = false;
    bool stopping = false;
};
