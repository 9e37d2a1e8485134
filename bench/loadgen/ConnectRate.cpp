#include "ConnectRate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace loadgen {

namespace {

std::uint64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// A masked close frame with status 1000 (mask of zeros: the payload goes as it is).
const char kCloseFrame[] = {'\x88', '\x82', 0, 0, 0, 0, '\x03', '\xe8'};

struct Slot {
    int fd = -1;
    bool upgraded = false;  // the 101 arrived and the close frame went
    std::uint64_t beganNs = 0;
    std::string head;
};

class Cycler {
  public:
    explicit Cycler(const ConnectRateConfig& config) : config(config) {}
    ~Cycler() {
        for (Slot& s : slots) {
            if (s.fd >= 0) {
                ::close(s.fd);
            }
        }
        if (epollFd >= 0) {
            ::close(epollFd);
        }
    }

    ConnectRateResult run() {
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(config.port));
        if (epollFd < 0 || inet_pton(AF_INET, config.host.c_str(), &address.sin_addr) != 1) {
            result.firstError = "bad host or no epoll";
            return result;
        }
        request = "GET / HTTP/1.1\r\nHost: " + config.host + ":" + std::to_string(config.port) +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                  "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        const std::uint64_t start = nowNs();
        measureFromNs = start + static_cast<std::uint64_t>(config.warmupSeconds * 1e9);
        endNs = measureFromNs + static_cast<std::uint64_t>(config.durationSeconds * 1e9);
        slots.resize(static_cast<std::size_t>(config.connections < 1 ? 1 : config.connections));
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (!open(i)) {
                return result;
            }
        }
        std::vector<epoll_event> events(slots.size());
        char buffer[4096];
        while (nowNs() < endNs && result.firstError.empty()) {
            const int ready =
                epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 100);
            for (int k = 0; k < ready; ++k) {
                const std::size_t i = events[k].data.u64;
                Slot& s = slots[i];
                const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    continue;
                }
                if (n <= 0) {
                    if (!s.upgraded) {
                        fail("connection ended before the handshake's answer");
                        return finish();
                    }
                    ++result.cycles;  // the server ended the connection: one cycle done
                    const std::uint64_t now = nowNs();
                    if (now >= measureFromNs && now < endNs) {
                        ++result.measuredCycles;
                    }
                    ::close(s.fd);
                    s.fd = -1;
                    if (now < endNs && !open(i)) {
                        return finish();
                    }
                    continue;
                }
                if (s.upgraded) {
                    continue;  // the server's close frame
                }
                s.head.append(buffer, static_cast<std::size_t>(n));
                if (s.head.find("\r\n\r\n") == std::string::npos) {
                    continue;
                }
                if (s.head.compare(0, 12, "HTTP/1.1 101") != 0) {
                    fail("handshake refused: " + s.head.substr(0, s.head.find('\r')));
                    return finish();
                }
                if (s.beganNs >= measureFromNs) {
                    result.setUpNs.record(nowNs() - s.beganNs);
                }
                s.upgraded = true;
                if (::send(s.fd, kCloseFrame, sizeof kCloseFrame, MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(sizeof kCloseFrame)) {
                    fail(std::string("close frame: ") + std::strerror(errno));
                    return finish();
                }
            }
        }
        return finish();
    }

  private:
    void fail(const std::string& text) {
        ++result.errors;
        if (result.firstError.empty()) {
            result.firstError = text;
        }
    }

    ConnectRateResult finish() {
        result.measuredSeconds = config.durationSeconds;
        return result;
    }

    bool open(std::size_t i) {
        Slot& s = slots[i];
        s = Slot();
        s.beganNs = nowNs();
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s.fd < 0 ||
            ::connect(s.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            fail(std::string("connect: ") + std::strerror(errno));
            return false;
        }
        int one = 1;
        setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::send(s.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            fail(std::string("handshake: ") + std::strerror(errno));
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(epollFd, EPOLL_CTL_ADD, s.fd, &event);
        return true;
    }

    const ConnectRateConfig& config;
    int epollFd = -1;
    sockaddr_in address{};
    std::string request;
    std::vector<Slot> slots;
    std::uint64_t measureFromNs = 0;
    std::uint64_t endNs = 0;
    ConnectRateResult result;
};

}  // namespace

ConnectRateResult runConnectRate(const ConnectRateConfig& config) {
    return Cycler(config).run();
}

}  // namespace loadgen
