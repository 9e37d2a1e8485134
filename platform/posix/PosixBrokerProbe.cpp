// The broker channel's test probe on Linux: a plain SOCK_SEQPACKET client of the broker's socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/BrokerChannel.h"
#include "platform/BrokerChannelProbe.h"

namespace platform {

std::unique_ptr<BrokerChannelProbe> BrokerChannelProbe::connect(std::error_code& error) {
    const int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        error = std::error_code(errno, std::system_category());
        return nullptr;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, BrokerChannel::kLinuxPath, sizeof address.sun_path - 1);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = std::error_code(errno, std::system_category());
        ::close(socket);
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<BrokerChannelProbe>(
        new BrokerChannelProbe(static_cast<std::uintptr_t>(socket)));
}

BrokerChannelProbe::~BrokerChannelProbe() {
    ::close(static_cast<int>(handle));
}

bool BrokerChannelProbe::send(const std::string& bytes, std::error_code& error) {
    if (::send(static_cast<int>(handle), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(bytes.size())) {
        error = std::error_code(errno, std::system_category());
        return false;
    }
    error.clear();
    return true;
}

}  // namespace platform
