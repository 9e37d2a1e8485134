#pragma once

#include <websocketpp/config/asio_no_tls.hpp>

#include "app/ServerLogger.h"

// websocketpp's stock Asio configuration without TLS, with its limits and timeouts untouched; only
// the loggers are ServerLogger.
struct ServerConfig : public websocketpp::config::asio {
    using base = websocketpp::config::asio;
    using elog_type = ServerLogger<base::concurrency_type, websocketpp::log::elevel>;
    using alog_type = ServerLogger<base::concurrency_type, websocketpp::log::alevel>;

    struct transport_config : public base::transport_config {
        using elog_type = ServerConfig::elog_type;
        using alog_type = ServerConfig::alog_type;
    };
    using transport_type = websocketpp::transport::asio::endpoint<transport_config>;
};
