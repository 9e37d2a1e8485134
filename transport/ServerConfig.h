#pragma once

#include <websocketpp/concurrency/none.hpp>
#include <websocketpp/config/asio_no_tls.hpp>

#include "transport/HandshakeRequest.h"
#include "transport/ServerLogger.h"

// websocketpp's stock Asio configuration without TLS, with its limits and timeouts untouched, set
// up for a program that runs the endpoint on one thread: the library neither locks nor wraps its
// handlers in strands, since nothing can run concurrently. The loggers are ServerLogger; requests
// are read by HandshakeRequest, which lets only the RFC 6455 family of versions upgrade.
struct ServerConfig : public websocketpp::config::asio {
    using base = websocketpp::config::asio;
    using concurrency_type = websocketpp::concurrency::none;
    using elog_type = ServerLogger<concurrency_type, websocketpp::log::elevel>;
    using alog_type = ServerLogger<concurrency_type, websocketpp::log::alevel>;
    using request_type = HandshakeRequest;
    static const bool enable_multithreading = false;

    struct transport_config : public base::transport_config {
        using concurrency_type = ServerConfig::concurrency_type;
        using elog_type = ServerConfig::elog_type;
        using alog_type = ServerConfig::alog_type;
        static const bool enable_multithreading = false;
    };
    using transport_type = websocketpp::transport::asio::endpoint<transport_config>;
};
