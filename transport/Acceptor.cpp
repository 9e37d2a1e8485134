#include "transport/Acceptor.h"

#include <chrono>
#include <cstdint>
#include <utility>

#include "platform/ListenOptions.h"

namespace transport {

namespace asio = websocketpp::lib::asio;

Acceptor::Acceptor(server& endpoint) : endpoint(endpoint) {}

std::error_code Acceptor::listen(const std::string& address, unsigned short port) {
    std::error_code error;
    const asio::ip::address ip = asio::ip::make_address(address, error);
    if (error) {
        return error;
    }
    const asio::ip::tcp::endpoint where(ip, port);
    ++generation;
    failing = false;
    acceptor = std::make_unique<asio::ip::tcp::acceptor>(endpoint.get_io_service());
    retry = std::make_unique<asio::steady_timer>(endpoint.get_io_service());
    return openListening(*acceptor, where);
}

std::error_code Acceptor::openListening(asio::ip::tcp::acceptor& acceptor,
                                        const asio::ip::tcp::endpoint& where) {
    std::error_code error;
    acceptor.open(where.protocol(), error);
    if (!error) {
        acceptor.set_option(
            asio::socket_base::reuse_address(platform::ListenOptions::reuseAddress()), error);
    }
    if (!error) {
        const int code =
            platform::ListenOptions::prepare(static_cast<std::uintptr_t>(acceptor.native_handle()));
        if (code != 0) {
            error = std::error_code(code, std::system_category());
        }
    }
    if (!error) {
        acceptor.bind(where, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        std::error_code ignored;
        acceptor.close(ignored);
    }
    return error;
}

unsigned short Acceptor::port() const {
    std::error_code error;
    const unsigned short listening =
        acceptor ? acceptor->local_endpoint(error).port() : static_cast<unsigned short>(0);
    return error ? 0 : listening;
}

void Acceptor::start() {
    acceptInto(endpoint.get_connection());
}

void Acceptor::stopListening() {
    ++generation;
    std::error_code ignored;
    if (retry) {
        retry->cancel(ignored);
    }
    if (acceptor) {
        acceptor->close(ignored);
    }
}

void Acceptor::adopt(std::uintptr_t nativeSocket) {
    std::error_code error = std::make_error_code(std::errc::operation_canceled);
    connection_ptr connection = stopped ? nullptr : endpoint.get_connection();
    if (connection) {
        connection->get_raw_socket().assign(
            asio::ip::tcp::v4(),
            static_cast<asio::ip::tcp::socket::native_handle_type>(nativeSocket), error);
    }
    if (error) {
        if (!stopped) {
            endpoint.get_elog().write(
                websocketpp::log::elevel::rerror,
                "cannot serve a connection handed over by the broker (" +
                    (connection ? error.message() : std::string("no connection object")) +
                    "); it is closed");
        }
        asio::ip::tcp::socket closer(endpoint.get_io_service());
        std::error_code ignored;
        closer.assign(asio::ip::tcp::v4(),
                      static_cast<asio::ip::tcp::socket::native_handle_type>(nativeSocket),
                      ignored);
        return;  // the closer closes it
    }
    serve(connection);
}

void Acceptor::stop() {
    stopped = true;
    std::error_code ignored;
    if (retry) {
        retry->cancel(ignored);
    }
    if (acceptor) {
        acceptor->close(ignored);
    }
}

void Acceptor::acceptInto(connection_ptr connection) {
    if (stopped) {
        return;
    }
    if (!connection) {
        // The endpoint could not set up a connection object (it has logged why): as a failed
        // accept, try again later.
        onAccepted(nullptr, std::make_error_code(std::errc::not_enough_memory), generation);
        return;
    }
    const unsigned current = generation;
    acceptor->async_accept(connection->get_raw_socket(),
                           [this, connection, current](const std::error_code& error) {
                               onAccepted(connection, error, current);
                           });
}

void Acceptor::onAccepted(connection_ptr connection, const std::error_code& error,
                          unsigned accepting) {
    // Stopped: whatever completes now, an accept that finished just before the stop or a retry
    // already due, goes nowhere. A connection accepted that late is dropped unopened (its socket
    // closes with the object); accepting again would fail on the closed acceptor and retry for
    // ever.
    if (stopped || error == asio::error::operation_aborted) {
        return;
    }
    if (accepting != generation) {
        // Listening ended (or began anew) since: a page accepted just before is served, and
        // accepting goes on only from the socket listening now.
        if (!error) {
            serve(connection);
        }
        return;
    }
    if (error) {
        // The connection object never got a socket; it waits for the next try.
        if (!failing) {
            failing = true;
            endpoint.get_elog().write(websocketpp::log::elevel::rerror,
                                      "cannot accept connections (" + error.message() +
                                          "); open connections are still served, and accepting "
                                          "is tried again every " +
                                          std::to_string(kRetryMilliseconds) + " ms");
        }
        retry->expires_after(std::chrono::milliseconds(kRetryMilliseconds));
        retry->async_wait([this, connection, accepting](const std::error_code& waitError) {
            if (!waitError && !stopped && accepting == generation) {
                acceptInto(connection ? connection : endpoint.get_connection());
            }
        });
        return;
    }
    if (failing) {
        failing = false;
        endpoint.get_alog().write(websocketpp::log::alevel::app, "accepting connections again");
    }
    serve(connection);
    acceptInto(endpoint.get_connection());
}

void Acceptor::serve(const connection_ptr& connection) {
    std::error_code ignored;  // a socket without the option still works, only slower
    connection->get_raw_socket().set_option(asio::ip::tcp::no_delay(true), ignored);
    connection->start();
}

}  // namespace transport
