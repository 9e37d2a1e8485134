// The broker's accept on Linux. A descriptor has no tie to an event loop, so this is only the
// plain accept, close-on-exec: the broker starts no programs, but nothing it holds should leak
// into one.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/BrokerChannel.h"

namespace platform {

BrokerChannel::SocketHandle BrokerChannel::acceptUnbound(asio::ip::tcp::acceptor& acceptor,
                                                         asio::ip::tcp::endpoint& local,
                                                         asio::ip::tcp::endpoint& remote,
                                                         std::error_code& error) {
    acceptor.non_blocking(true, error);
    if (error) {
        return kNoSocket;
    }
    int socket;
    socklen_t size;
    do {
        size = static_cast<socklen_t>(remote.capacity());
        socket = ::accept4(acceptor.native_handle(), remote.data(), &size, SOCK_CLOEXEC);
    } while (socket < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (socket < 0) {
        error = errno == EAGAIN || errno == EWOULDBLOCK
                    ? asio::error::make_error_code(asio::error::would_block)
                    : std::error_code(errno, std::system_category());
        return kNoSocket;
    }
    remote.resize(size);
    size = static_cast<socklen_t>(local.capacity());
    if (::getsockname(socket, local.data(), &size) != 0) {
        error = std::error_code(errno, std::system_category());
        ::close(socket);
        return kNoSocket;
    }
    local.resize(size);
    error.clear();
    return static_cast<SocketHandle>(socket);
}

}  // namespace platform
