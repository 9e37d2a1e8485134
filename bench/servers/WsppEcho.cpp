#include "WsppEcho.h"

#include <string>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

namespace wsppecho {

using endpoint = websocketpp::server<websocketpp::config::asio>;

struct Server::Impl {
    endpoint server;
};

Server::Server() : impl(std::make_unique<Impl>()) {
    endpoint& s = impl->server;
    s.clear_access_channels(websocketpp::log::alevel::all);
    s.clear_error_channels(websocketpp::log::elevel::all);
    s.init_asio();
    s.set_reuse_addr(true);
    s.set_message_handler([&s](websocketpp::connection_hdl handle, endpoint::message_ptr message) {
        websocketpp::lib::error_code ignored;
        s.send(handle, message->get_payload(), message->get_opcode(), ignored);
    });
}

Server::~Server() = default;

int Server::listen(int port) {
    endpoint& s = impl->server;
    s.listen("127.0.0.1", std::to_string(port));
    s.start_accept();
    websocketpp::lib::asio::error_code error;
    const auto local = s.get_local_endpoint(error);
    return error ? port : local.port();
}

void Server::run() {
    impl->server.run();
}

void Server::stop() {
    impl->server.stop();
}

}  // namespace wsppecho
