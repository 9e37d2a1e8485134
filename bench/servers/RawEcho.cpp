#include "RawEcho.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <unordered_map>

namespace rawecho {

int listenLoopback(int port, int& boundPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4096) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    boundPort = ntohs(address.sin_port);
    return fd;
}

namespace {

struct Peer {
    std::string backlog;  // echo bytes the socket did not take yet
    std::size_t sent = 0;
};

void watch(int epollFd, int fd, bool writing) {
    epoll_event event{};
    event.events = writing ? EPOLLOUT : EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
}

// False when the connection is finished with.
bool drain(int fd, Peer& peer) {
    while (peer.sent < peer.backlog.size()) {
        const ssize_t n = ::send(fd, peer.backlog.data() + peer.sent,
                                 peer.backlog.size() - peer.sent, MSG_NOSIGNAL);
        if (n > 0) {
            peer.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    peer.backlog.clear();
    peer.sent = 0;
    return true;
}

}  // namespace

void serve(int listenFd, const std::atomic<bool>& stop) {
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listenFd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &event);
    std::unordered_map<int, Peer> peers;
    static char buffer[256 * 1024];
    epoll_event events[256];
    auto drop = [&](int fd) {
        epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        peers.erase(fd);
    };
    while (!stop.load()) {
        const int n = epoll_wait(epollFd, events, 256, 100);
        for (int k = 0; k < n; ++k) {
            const int fd = events[k].data.fd;
            if (fd == listenFd) {
                for (;;) {
                    const int client =
                        ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0) {
                        break;
                    }
                    int one = 1;
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event added{};
                    added.events = EPOLLIN;
                    added.data.fd = client;
                    epoll_ctl(epollFd, EPOLL_CTL_ADD, client, &added);
                    peers[client];
                }
                continue;
            }
            Peer& peer = peers[fd];
            if (!peer.backlog.empty()) {
                if (!drain(fd, peer)) {
                    drop(fd);
                } else if (peer.backlog.empty()) {
                    watch(epollFd, fd, false);
                }
                continue;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got == 0 ||
                (got < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
                drop(fd);
                continue;
            }
            if (got < 0) {
                continue;
            }
            peer.backlog.assign(buffer, static_cast<std::size_t>(got));
            if (!drain(fd, peer)) {
                drop(fd);
            } else if (!peer.backlog.empty()) {
                watch(epollFd, fd, true);
            }
        }
    }
    for (auto& entry : peers) {
        ::close(entry.first);
    }
    ::close(epollFd);
}

}  // namespace rawecho
