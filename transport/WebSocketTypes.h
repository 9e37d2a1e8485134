#pragma once

// The WebSocket library's handles as every part of ravelink sees them. The server runs
// websocketpp's Asio configuration without TLS (see ServerConfig); these aliases keep that choice
// in one place.

#include <websocketpp/server.hpp>

#include "transport/ServerConfig.h"

namespace transport {

using server = websocketpp::server<ServerConfig>;
// Shared pointer to one connection. Holding it keeps the connection object alive, not the TCP
// connection open.
using connection_ptr = server::connection_ptr;
// Shared pointer to one received message: opcode and complete payload.
using message_ptr = server::message_ptr;

}  // namespace transport
