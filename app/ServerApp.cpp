#include "app/ServerApp.h"

#include <functional>
#include <iostream>
#include <memory>
#include <system_error>

#include "app/ListenError.h"
#include "notification/ConnectCloseNotification.h"
#include "notification/ConnectReadyNotification.h"
#include "notification/MsgNotification.h"
#include "platform/ListenOptions.h"

using notification::connection_ptr;
using notification::message_ptr;
using websocketpp::connection_hdl;
namespace log = websocketpp::log;

ServerApp::ServerApp() : ServerApp(policy::Policy::none()) {}

ServerApp::ServerApp(const policy::Policy& policy) : policy(policy), pluginsManager(policy) {}

void ServerApp::init() {
    pluginsManager.registerObservers();

    server.init_asio();
    server.set_error_channels(log::elevel::all);
    server.set_access_channels(log::alevel::all ^ log::alevel::frame_payload);
    // Payloads are what pages and modules exchange, personal data included; the access log may end
    // up on disk, so it never carries them.
    server.clear_access_channels(log::alevel::frame_payload);

    using std::placeholders::_1;
    using std::placeholders::_2;
    server.set_open_handler(std::bind(&ServerApp::onOpen, this, _1));
    server.set_message_handler(std::bind(&ServerApp::onMessage, this, _1, _2));
    server.set_close_handler(std::bind(&ServerApp::onClose, this, _1));
    // Without a policy every handshake is accepted and no validation handler is installed at all.
    if (policy.kind() != policy::Policy::kNone) {
        server.set_validate_handler(std::bind(&ServerApp::onValidate, this, _1));
    }
}

void ServerApp::run() {
    init();

    server.set_reuse_addr(platform::ListenOptions::reuseAddress());
    websocketpp::lib::error_code error;
    try {
        server.listen("127.0.0.1", "7321", error);
    } catch (const std::system_error& resolveError) {
        throw ListenError(resolveError.code().message());
    }
    if (error) {
        throw ListenError(error.message());
    }
    server.start_accept(error);
    if (error) {
        throw ListenError(error.message());
    }
    server.run();
}

void ServerApp::onOpen(connection_hdl handle) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    pluginsManager.eventCenter.postNotification(
        std::make_shared<notification::ConnectReadyNotification>(std::move(connection)));
}

void ServerApp::onMessage(connection_hdl handle, message_ptr message) {
    auto event = std::make_shared<notification::MsgNotification>(std::move(message));
    event->setConnection(server.get_con_from_hdl(handle));
    pluginsManager.eventCenter.postNotification(std::move(event));
}

bool ServerApp::onValidate(connection_hdl handle) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    std::string refusal;
    if (policy.admitsHandshake(connection->get_request_header("Origin"),
                               connection->get_request_header("Sec-WebSocket-Origin"), refusal)) {
        return true;
    }
    // The library answers with this status and never opens the connection: no open
    // notification, nothing loaded.
    connection->set_status(websocketpp::http::status_code::forbidden);
    std::cerr << refusal << std::endl;
    return false;
}

void ServerApp::onClose(connection_hdl handle) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    pluginsManager.eventCenter.postNotification(
        std::make_shared<notification::ConnectCloseNotification>(std::move(connection)));
}
