#pragma once

#include <cstdint>

namespace platform {

// Looks at a connected TCP socket without taking anything from it: whether its peer has closed it
// (an orderly close, or a reset) or has sent data that waits to be read. For a connection whose
// reading has stopped, so its close can be seen though nothing is read.
//
// On Linux a close behind unread data is seen too (POLLRDHUP). Elsewhere only a reset, or a close
// with nothing before it, is seen; with data waiting, look() says so and the caller looks again
// later.
class SocketPeek {
  public:
    // The platform's socket handle: a file descriptor, or a Windows SOCKET.
    using Handle = std::uintptr_t;
    enum class Seen { nothing, data, closed };

    // Never blocks; nothing is read.
    static Seen look(Handle socket);
};

}  // namespace platform
