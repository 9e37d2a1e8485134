#include "app/ServerApp.h"

#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include "app/ListenError.h"
#include "notification/ConnectCloseNotification.h"
#include "notification/ConnectReadyNotification.h"
#include "notification/MsgNotification.h"
#include "platform/ListenOptions.h"
#include "platform/StopSignals.h"

using notification::connection_ptr;
using notification::message_ptr;
using websocketpp::connection_hdl;
namespace log = websocketpp::log;

ServerApp::ServerApp() = default;

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

    const std::vector<int> signals = platform::StopSignals::numbers();
    if (!signals.empty()) {
        stopSignals = std::make_unique<asio::signal_set>(server.get_io_service());
        for (const int number : signals) {
            stopSignals->add(number);
        }
        stopSignals->async_wait([this](const std::error_code& error, int) {
            if (!error) {
                stop();
            }
        });
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
    if (stopping) {
        // Its handshake was under way when the stop came.
        websocketpp::lib::error_code ignored;
        server.close(handle, websocketpp::close::status::going_away, "", ignored);
        return;
    }
    open.insert(handle);
    connection_ptr connection = server.get_con_from_hdl(handle);
    pluginsManager.eventCenter.postNotification(
        std::make_shared<notification::ConnectReadyNotification>(std::move(connection)));
}

void ServerApp::onMessage(connection_hdl handle, message_ptr message) {
    auto event = std::make_shared<notification::MsgNotification>(std::move(message));
    event->setConnection(server.get_con_from_hdl(handle));
    pluginsManager.eventCenter.postNotification(std::move(event));
}

void ServerApp::onClose(connection_hdl handle) {
    open.erase(handle);
    connection_ptr connection = server.get_con_from_hdl(handle);
    pluginsManager.eventCenter.postNotification(
        std::make_shared<notification::ConnectCloseNotification>(std::move(connection)));
}

void ServerApp::stop() {
    stopping = true;
    websocketpp::lib::error_code ignored;
    // Back to the default action: a second signal ends the process without waiting for pages.
    stopSignals->clear(ignored);
    server.stop_listening(ignored);
    // Each close completes later, through onClose, which releases that connection's modules. A page
    // that does not answer the close is dropped after the library's close timeout.
    for (const connection_hdl& handle : ConnectionSet(open)) {
        server.close(handle, websocketpp::close::status::going_away, "", ignored);
    }
}
