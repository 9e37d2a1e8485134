// The broker's accept on Linux. A descriptor has no tie to an event loop, so this is only the
// plain accept, close-on-exec: the broker starts no programs, but nothing it holds should leak
// into one.
#include <sys/socket.h>

#include <cerrno>

#include "platform/BrokerChannel.h"

namespace platform {

BrokerChannel::SocketHandle BrokerChannel::acceptUnbound(asio::ip::tcp::acceptor& acceptor,
                                                         std::error_code& error) {
    acceptor.non_blocking(true, error);
    if (error) {
        return kNoSocket;
    }
    int socket;
    do {
        socket = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (socket < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (socket < 0) {
        error = errno == EAGAIN || errno == EWOULDBLOCK
                    ? asio::error::make_error_code(asio::error::would_block)
                    : std::error_code(errno, std::system_category());
        return kNoSocket;
    }
    error.clear();
    return static_cast<SocketHandle>(socket);
}

}  // namespace platform
