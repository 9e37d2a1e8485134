// The broker's accept on Linux. A descriptor has no tie to an event loop, so this is the plain
// accept once the listening socket is readable, close-on-exec: the broker starts no programs, but
// nothing it holds should leak into one.
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <cerrno>
#include <utility>

#include "platform/BrokerChannel.h"

namespace platform {

void BrokerChannel::acceptUnbound(asio::ip::tcp::acceptor& acceptor, UnboundHandler accepted) {
    std::error_code error;
    acceptor.non_blocking(true, error);
    if (error) {
        asio::post(acceptor.get_executor(),
                   [error, accepted = std::move(accepted)] { accepted(error, kNoSocket, {}, {}); });
        return;
    }
    acceptor.async_wait(
        asio::socket_base::wait_read,
        [&acceptor, accepted = std::move(accepted)](const std::error_code& waitError) mutable {
            if (waitError) {
                accepted(waitError, kNoSocket, {}, {});
                return;  // the acceptor may be gone
            }
            asio::ip::tcp::endpoint local, remote;
            socklen_t size = static_cast<socklen_t>(remote.capacity());
            const int socket =
                ::accept4(acceptor.native_handle(), remote.data(), &size, SOCK_CLOEXEC);
            if (socket < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ||
                    errno == ECONNABORTED) {
                    acceptUnbound(acceptor, std::move(accepted));  // gone before it was taken
                } else {
                    accepted(std::error_code(errno, std::system_category()), kNoSocket, {}, {});
                }
                return;
            }
            remote.resize(size);
            size = static_cast<socklen_t>(local.capacity());
            if (::getsockname(socket, local.data(), &size) != 0) {
                const std::error_code failure(errno, std::system_category());
                ::close(socket);
                accepted(failure, kNoSocket, {}, {});
                return;
            }
            local.resize(size);
            accepted(std::error_code(), static_cast<SocketHandle>(socket), local, remote);
        });
}

}  // namespace platform
