#include "app/ServerApp.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/BrokerRefusal.h"
#include "app/ListenError.h"
#include "notification/ConnectCloseNotification.h"
#include "notification/ConnectReadyNotification.h"
#include "notification/MsgNotification.h"
#include "platform/ProcessResources.h"
#include "platform/StopSignals.h"

using transport::connection_ptr;
using transport::message_ptr;
using websocketpp::connection_hdl;
namespace log = websocketpp::log;

namespace {

// How often the backlog looks at connections with unsent replies.
constexpr long kBacklogPollMilliseconds = 5;

}  // namespace

ServerApp::ServerApp() : ServerApp(policy::Policy::none()) {}

ServerApp::ServerApp(const policy::Policy& policy)
    : policy(policy), pluginsManager(policy), acceptor(server) {}

ServerApp::ServerApp(const policy::Policy& policy, const transport::LogDestination& access,
                     const transport::LogDestination& error)
    : ServerApp(policy) {
    server.get_alog().direct(access);
    server.get_elog().direct(error);
}

void ServerApp::init() {
    pluginsManager.registerObservers();
    backlog.watchWith([this] { watchBacklog(); });

    server.init_asio();
    pluginsManager.watchHostsOn(server.get_io_service());
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
    server.set_http_handler(std::bind(&ServerApp::onHttp, this, _1));

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

    server.set_validate_handler(std::bind(&ServerApp::onValidate, this, _1));
    broker =
        std::make_unique<transport::BrokerClient>(server.get_io_service(), acceptor, std::cerr);
}

void ServerApp::run() {
    init();

    std::string detail;
    switch (broker->start(detail)) {
        case transport::BrokerClient::Start::registered:
        case transport::BrokerClient::Start::listening:
            break;
        case transport::BrokerClient::Start::anotherCopy:
            throw BrokerRefusal(detail, true);
        case transport::BrokerClient::Start::refused:
            throw BrokerRefusal(detail, false);
        case transport::BrokerClient::Start::cannotListen:
            throw ListenError(detail);
    }
    // Every handler keeps a failure to its connection (see guardConnection()); should anything
    // still escape the event loop, it is logged and serving goes on, as the loop allows.
    for (;;) {
        try {
            server.run();
            return;
        } catch (const std::exception& error) {
            logEscaped(error.what());
        } catch (...) {
            logEscaped("an unknown exception");
        }
    }
}

void ServerApp::logEscaped(const std::string& failure) {
    server.get_elog().write(log::elevel::rerror,
                            "error outside any connection (" + failure + "); serving goes on");
}

void ServerApp::onOpen(connection_hdl handle) {
    if (stopping) {
        // Its handshake was under way when the stop came.
        websocketpp::lib::error_code ignored;
        server.close(handle, websocketpp::close::status::going_away, "", ignored);
        return;
    }
    connection_ptr connection = server.get_con_from_hdl(handle);
    guardConnection(connection, "opening", [&] {
        auto record = std::make_shared<transport::ServedConnection>(connection, backlog);
        std::shared_ptr<transport::ServedConnection>& slot = connections[connection.get()];
        if (slot) {
            // A leaving record whose connection object the library has freed: this one took its
            // address.
            --leavingCount;
        }
        slot = record;
        pluginsManager.eventCenter.postNotification(
            std::make_shared<notification::ConnectReadyNotification>(connection, record));
    });
}

void ServerApp::onMessage(connection_hdl handle, message_ptr message) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    const auto entry = connections.find(connection.get());
    if (entry == connections.end() || entry->second->leaving()) {
        return;  // opening failed; the connection is closing
    }
    transport::ServedConnection& record = *entry->second;
    // Holding the request allocates; a failure there is this connection's.
    guardConnection(connection, "a request", [&] {
        if (transport::ReplyBacklog::wouldHold(record)) {
            const std::size_t bytes = message->get_payload().size();
            backlog.handle(
                record,
                [this, connection, message]() mutable {
                    handleMessage(connection, std::move(message));
                },
                bytes);
        } else {
            handleMessage(connection, std::move(message));
        }
    });
}

void ServerApp::handleMessage(const connection_ptr& connection, message_ptr message) {
    if (connection->get_state() != websocketpp::session::state::open) {
        // A request held while its connection was paused, and the connection is closing since
        // (a stop, or a failure that closed it with 1011): its page is going, so it is not run.
        return;
    }
    guardConnection(connection, "a request", [&] {
        auto event = std::make_shared<notification::MsgNotification>(std::move(message));
        event->setConnection(connection);
        pluginsManager.eventCenter.postNotification(std::move(event));
    });
}

bool ServerApp::onValidate(connection_hdl handle) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    // The library answers a refusal with this status and never opens the connection: no open
    // notification, nothing loaded.
    if (!policy.allowsOtherUsers() && !peerCheck.admits(connection)) {
        connection->set_status(websocketpp::http::status_code::forbidden);
        return false;  // PeerCheck wrote the line
    }
    if (policy.kind() == policy::Policy::kNone) {
        return true;
    }
    std::string refusal;
    if (policy.admitsHandshake(connection->get_request_header("Origin"),
                               connection->get_request_header("Sec-WebSocket-Origin"), refusal)) {
        return true;
    }
    connection->set_status(websocketpp::http::status_code::forbidden);
    std::cerr << refusal << std::endl;
    return false;
}

void ServerApp::onClose(connection_hdl handle) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    guardConnection(connection, "closing", [&] {
        pluginsManager.eventCenter.postNotification(
            std::make_shared<notification::ConnectCloseNotification>(connection));
    });
    const auto entry = connections.find(connection.get());
    if (entry == connections.end() || entry->second->leaving()) {
        return;
    }
    entry->second->leave();
    // The connection's unsent replies are freed with the connection object, which the library
    // lets go of only after this handler; the memory is given back once that has happened.
    if (backlog.takeLargeDrain()) {
        ++leavingCount;
        watchBacklog();
    } else {
        connections.erase(entry);
    }
}

// Plain HTTP, and upgrades to a WebSocket version other than 13, 8 and 7 (see HandshakeRequest).
void ServerApp::onHttp(connection_hdl handle) {
    connection_ptr connection = server.get_con_from_hdl(handle);
    connection->set_status(websocketpp::http::status_code::upgrade_required);
    connection->replace_header("Sec-WebSocket-Version", "13");
}

void ServerApp::guardConnection(const connection_ptr& connection, const char* stage,
                                const std::function<void()>& work) {
    std::string failure;
    try {
        work();
        return;
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "an unknown exception";
    }
    server.get_elog().write(log::elevel::rerror, std::string("error while serving ") + stage +
                                                     " of a connection (" + failure +
                                                     "); closing that connection with 1011");
    // The close handler releases the connection's modules once the close is done.
    websocketpp::lib::error_code ignored;
    connection->close(websocketpp::close::status::internal_endpoint_error, "Internal error",
                      ignored);
}

void ServerApp::watchBacklog() {
    if (backlogWatched || (!backlog.pending() && leavingCount == 0)) {
        return;
    }
    backlogWatched = true;
    server.set_timer(kBacklogPollMilliseconds, [this](const websocketpp::lib::error_code& error) {
        backlogWatched = false;
        if (error) {
            return;
        }
        // Outside every connection's guard: held requests guard themselves (handleMessage), and
        // anything else failing here is logged and looked at again on the next turn.
        try {
            // The records stay alive while their held requests run, whatever those do.
            std::vector<std::shared_ptr<transport::ServedConnection>> weighing;
            std::vector<transport::FlowControlled*> looked;
            bool goneNow = false;
            for (auto entry = connections.begin(); entry != connections.end();) {
                if (entry->second->gone()) {
                    entry = connections.erase(entry);
                    --leavingCount;
                    goneNow = true;
                    continue;
                }
                if (transport::ReplyBacklog::weighs(*entry->second)) {
                    weighing.push_back(entry->second);
                    looked.push_back(entry->second.get());
                }
                ++entry;
            }
            backlog.poll(looked);
            // The backlog counts a reply as drained only once the library has freed it.
            const bool release = backlog.takeLargeDrain() || (goneNow && leavingCount == 0);
            if (release) {
                platform::ProcessResources::releaseFreeMemory();
            }
        } catch (const std::exception& failure) {
            logEscaped(failure.what());
        } catch (...) {
            logEscaped("an unknown exception");
        }
        watchBacklog();
    });
}

void ServerApp::stop() {
    stopping = true;
    websocketpp::lib::error_code ignored;
    // Back to the default action: a second signal ends the process without waiting for pages.
    stopSignals->clear(ignored);
    acceptor.stop();
    broker->stop();
    // Each close completes later, through onClose, which releases that connection's modules. A page
    // that does not answer the close is dropped after the library's close timeout.
    std::vector<connection_ptr> open;
    for (const auto& entry : connections) {
        if (!entry.second->leaving()) {
            open.push_back(entry.second->connection());
        }
    }
    for (const connection_ptr& connection : open) {
        connection->close(websocketpp::close::status::going_away, "", ignored);
    }
}
