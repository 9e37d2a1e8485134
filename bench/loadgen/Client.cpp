#include "Client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "WsFrame.h"

namespace loadgen {

namespace {

// The key and answer of RFC 6455's own example: a server that computes the answer correctly
// returns exactly this, which saves the client a SHA-1.
constexpr const char* kHandshakeKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr const char* kHandshakeAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::uint64_t kTimerTag = ~std::uint64_t{0};

std::uint64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t secondsToNs(double seconds) {
    return static_cast<std::uint64_t>(seconds * 1e9);
}

// A growable byte window: [begin, end) holds unread bytes of `capacity`.
struct InBuffer {
    std::unique_ptr<char, void (*)(void*)> data{nullptr, &std::free};
    std::size_t capacity = 0, begin = 0, end = 0;

    std::size_t size() const { return end - begin; }
    const char* head() const { return data.get() + begin; }
    char* headMutable() { return data.get() + begin; }
    void consume(std::size_t n) {
        begin += n;
        if (begin == end) {
            begin = end = 0;
        }
    }
    // Makes room for at least `want` more bytes after `end`, moving unread bytes to the front.
    bool reserveTail(std::size_t want) {
        if (capacity - end >= want) {
            return true;
        }
        if (begin > 0) {
            std::memmove(data.get(), data.get() + begin, end - begin);
            end -= begin;
            begin = 0;
            if (capacity - end >= want) {
                return true;
            }
        }
        std::size_t grown = std::max(capacity * 2, end + want);
        void* moved = std::realloc(data.get(), grown);
        if (moved == nullptr) {
            return false;
        }
        data.release();
        data.reset(static_cast<char*>(moved));
        capacity = grown;
        return true;
    }
};

enum class ConnState { kHandshake, kLoading, kReady, kDead };

struct Pending {
    std::uint64_t dueNs;  // intended send time (fixed rate) or actual send time (closed loop)
    std::uint64_t id;
};

struct Connection {
    int fd = -1;
    ConnState state = ConnState::kHandshake;
    std::string out;
    std::size_t outSent = 0;
    bool watchingWrite = false;
    InBuffer in;
    std::string fragments;  // a fragmented message being put together
    bool inFragments = false;
    std::deque<Pending> pending;
    std::uint64_t nextId = 1;
};

class Engine {
  public:
    explicit Engine(const Config& config) : config(config) {}
    ~Engine() {
        for (Connection& c : conns) {
            if (c.fd >= 0) {
                ::close(c.fd);
            }
        }
        if (timerFd >= 0) {
            ::close(timerFd);
        }
        if (epollFd >= 0) {
            ::close(epollFd);
        }
    }

    Result run(const std::function<void(const Result&)>& onHold) {
        if (!setUp()) {
            return result;
        }
        loop();
        if (onHold) {
            onHold(result);
        }
        return result;
    }

  private:
    void fail(const std::string& text) {
        ++result.errors;
        if (result.firstError.empty()) {
            result.firstError = text;
        }
    }

    bool setUp() {
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (epollFd < 0 || timerFd < 0) {
            fail(std::string("epoll/timerfd: ") + std::strerror(errno));
            return false;
        }
        epoll_event timerEvent{};
        timerEvent.events = EPOLLIN;
        timerEvent.data.u64 = kTimerTag;
        epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &timerEvent);

        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(config.port));
        if (inet_pton(AF_INET, config.host.c_str(), &address.sin_addr) != 1) {
            fail("bad host " + config.host);
            return false;
        }
        if (config.payload == Payload::kEcho) {
            echoPayload.assign(config.size, 'x');
        }
        conns.resize(static_cast<std::size_t>(std::max(1, config.connections)));
        for (std::size_t i = 0; i < conns.size(); ++i) {
            Connection& c = conns[i];
            c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (c.fd < 0 ||
                ::connect(c.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                fail("connect " + config.host + ":" + std::to_string(config.port) + ": " +
                     std::strerror(errno));
                return false;
            }
            int one = 1;
            setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = i;
            epoll_ctl(epollFd, EPOLL_CTL_ADD, c.fd, &event);
            if (config.protocol == Protocol::kWebSocket) {
                c.out = "GET / HTTP/1.1\r\nHost: " + config.host + ":" +
                        std::to_string(config.port) +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
                        kHandshakeKey + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
                flush(i);
            } else {
                becomeReady(i);
            }
        }
        return true;
    }

    bool sendingOver(std::uint64_t now) const {
        if (config.requests > 0) {
            return result.sent >= config.requests;
        }
        return started && now >= endNs;
    }

    void start() {
        started = true;
        startNs = nowNs();
        measureStartNs = startNs + secondsToNs(config.warmupSeconds);
        endNs = config.requests > 0 ? ~std::uint64_t{0}
                                    : measureStartNs + secondsToNs(config.durationSeconds);
        if (config.rate > 0) {
            intervalNs = 1e9 / config.rate;
            sendDue(startNs);
        } else {
            for (std::size_t i = 0; i < conns.size() && !sendingOver(startNs); ++i) {
                if (conns[i].state == ConnState::kReady) {
                    sendRequest(i, nowNs());
                }
            }
        }
        armTimer();
    }

    // Fixed rate: request k is due at start + k * interval on connection k mod N, whether or not
    // earlier replies came back (replies on one connection return in order).
    void sendDue(std::uint64_t now) {
        while (!sendingOver(now)) {
            const std::uint64_t due =
                startNs + static_cast<std::uint64_t>(static_cast<double>(scheduled) * intervalNs);
            if (due > now) {
                break;
            }
            const std::size_t i = scheduled % conns.size();
            ++scheduled;
            if (conns[i].state != ConnState::kReady) {
                fail("request due on a closed connection");
                ++result.sent;
                continue;
            }
            sendRequest(i, due);
        }
    }

    void armTimer() {
        std::uint64_t wake = ~std::uint64_t{0};
        const std::uint64_t now = nowNs();
        if (started && !sendingOver(now)) {
            if (config.rate > 0) {
                wake = startNs +
                       static_cast<std::uint64_t>(static_cast<double>(scheduled) * intervalNs);
            }
            if (config.requests == 0) {
                wake = std::min(wake, endNs);
            }
        } else if (started) {
            wake = drainDeadlineNs;
        }
        itimerspec spec{};
        if (wake != ~std::uint64_t{0}) {
            wake = std::max(wake, now + 1);
            spec.it_value.tv_sec = static_cast<time_t>(wake / 1000000000ull);
            spec.it_value.tv_nsec = static_cast<long>(wake % 1000000000ull);
        }
        timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
    }

    void buildPayload(std::uint64_t id) {
        if (config.payload == Payload::kEcho) {
            return;
        }
        scratch = requestPayload(config, id);
    }

    void sendRequest(std::size_t i, std::uint64_t dueNs) {
        Connection& c = conns[i];
        const std::uint64_t id = c.nextId++;
        const std::string& payload =
            config.payload == Payload::kEcho ? echoPayload : (buildPayload(id), scratch);
        appendMessage(c, payload.data(), payload.size());
        c.pending.push_back(Pending{dueNs, id});
        ++result.sent;
        flush(i);
    }

    void appendMessage(Connection& c, const char* data, std::size_t length) {
        if (config.protocol == Protocol::kWebSocket) {
            maskSeed ^= maskSeed << 13;
            maskSeed ^= maskSeed >> 17;
            maskSeed ^= maskSeed << 5;
            wsframe::appendFrame(c.out, wsframe::kText, data, length, true, maskSeed);
        } else {
            const std::uint32_t n = htonl(static_cast<std::uint32_t>(length));
            c.out.append(reinterpret_cast<const char*>(&n), 4);
            c.out.append(data, length);
        }
    }

    void watchWrite(std::size_t i, bool on) {
        Connection& c = conns[i];
        if (c.watchingWrite == on) {
            return;
        }
        c.watchingWrite = on;
        epoll_event event{};
        event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        event.data.u64 = i;
        epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &event);
    }

    void flush(std::size_t i) {
        Connection& c = conns[i];
        while (c.outSent < c.out.size()) {
            const ssize_t n =
                ::send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent, MSG_NOSIGNAL);
            if (n > 0) {
                c.outSent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                watchWrite(i, true);
                return;
            }
            kill(i, std::string("send: ") + std::strerror(errno));
            return;
        }
        c.out.clear();
        c.outSent = 0;
        watchWrite(i, false);
    }

    void kill(std::size_t i, const std::string& why) {
        Connection& c = conns[i];
        if (c.state == ConnState::kDead) {
            return;
        }
        fail(why);
        result.errors += c.pending.size();
        c.pending.clear();
        c.state = ConnState::kDead;
        epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        c.fd = -1;
        ++deadCount;
        if (!started && readyCount > 0 && readyCount + deadCount == conns.size()) {
            start();
        }
    }

    void becomeReady(std::size_t i) {
        conns[i].state = ConnState::kReady;
        ++readyCount;
        if (readyCount + deadCount == conns.size() && !started) {
            start();
        }
    }

    void onReadable(std::size_t i) {
        Connection& c = conns[i];
        for (int rounds = 0; rounds < 64 && c.state != ConnState::kDead; ++rounds) {
            if (!c.in.reserveTail(kReadChunk)) {
                kill(i, "out of memory");
                return;
            }
            const std::size_t room = c.in.capacity - c.in.end;
            const ssize_t n = ::recv(c.fd, c.in.data.get() + c.in.end, room, 0);
            if (n > 0) {
                c.in.end += static_cast<std::size_t>(n);
                process(i);
                if (static_cast<std::size_t>(n) < room) {
                    return;
                }
                continue;
            }
            if (n == 0) {
                kill(i, "server closed the connection");
                return;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                kill(i, std::string("recv: ") + std::strerror(errno));
            }
            return;
        }
    }

    void process(std::size_t i) {
        Connection& c = conns[i];
        if (c.state == ConnState::kHandshake) {
            const char* head = c.in.head();
            const std::string_view window(head, c.in.size());
            const std::size_t endOfHeaders = window.find("\r\n\r\n");
            if (endOfHeaders == std::string_view::npos) {
                return;
            }
            const std::string_view response = window.substr(0, endOfHeaders);
            if (response.rfind("HTTP/1.1 101", 0) != 0 ||
                response.find(kHandshakeAccept) == std::string_view::npos) {
                kill(i, "handshake refused: " +
                            std::string(response.substr(0, response.find("\r\n"))));
                return;
            }
            c.in.consume(endOfHeaders + 4);
            if (!config.loadModule.empty()) {
                c.state = ConnState::kLoading;
                const std::string load = "{\"MsgId\":\"load\",\"Module\":\"" + config.loadModule +
                                         "\"" + (config.isolated ? ",\"Isolated\":true}" : "}");
                appendMessage(c, load.data(), load.size());
                flush(i);
            } else {
                becomeReady(i);
            }
        }
        if (config.protocol == Protocol::kWebSocket) {
            processFrames(i);
        } else {
            processLengthPrefixed(i);
        }
    }

    void processLengthPrefixed(std::size_t i) {
        Connection& c = conns[i];
        while (c.state != ConnState::kDead && c.in.size() >= 4) {
            std::uint32_t n;
            std::memcpy(&n, c.in.head(), 4);
            const std::size_t length = ntohl(n);
            if (c.in.size() < 4 + length) {
                c.in.reserveTail(4 + length - c.in.size());
                return;
            }
            onMessage(i, c.in.head() + 4, length);
            if (c.state != ConnState::kDead) {
                c.in.consume(4 + length);
            }
        }
    }

    void processFrames(std::size_t i) {
        Connection& c = conns[i];
        while (c.state != ConnState::kDead && c.state != ConnState::kHandshake) {
            wsframe::Header header;
            const wsframe::ParseStatus status =
                wsframe::parseHeader(c.in.head(), c.in.size(), header);
            if (status == wsframe::ParseStatus::kNeedMore) {
                return;
            }
            if (status == wsframe::ParseStatus::kMalformed) {
                kill(i, "malformed frame from the server");
                return;
            }
            const std::size_t total =
                header.headerLength + static_cast<std::size_t>(header.payloadLength);
            if (c.in.size() < total) {
                c.in.reserveTail(total - c.in.size());
                return;
            }
            char* payload = c.in.headMutable() + header.headerLength;
            const std::size_t length = static_cast<std::size_t>(header.payloadLength);
            if (header.masked) {
                wsframe::applyMask(payload, length, header.mask);
            }
            switch (header.opcode) {
                case wsframe::kPing: {
                    std::string pong;
                    maskSeed = maskSeed * 1664525u + 1013904223u;
                    wsframe::appendFrame(pong, wsframe::kPong, payload, length, true, maskSeed);
                    c.out += pong;
                    flush(i);
                    break;
                }
                case wsframe::kPong:
                    break;
                case wsframe::kClose:
                    kill(i, "server sent close");
                    return;
                case wsframe::kContinuation:
                    if (!c.inFragments) {
                        kill(i, "continuation without a first fragment");
                        return;
                    }
                    c.fragments.append(payload, length);
                    if (header.fin) {
                        c.inFragments = false;
                        onMessage(i, c.fragments.data(), c.fragments.size());
                        c.fragments.clear();
                    }
                    break;
                default:
                    if (!header.fin) {
                        c.inFragments = true;
                        c.fragments.assign(payload, length);
                    } else {
                        onMessage(i, payload, length);
                    }
            }
            if (c.state != ConnState::kDead) {
                c.in.consume(total);
            }
        }
    }

    bool replyMatches(const Pending& request, const char* data, std::size_t length) const {
        if (config.payload == Payload::kEcho) {
            return length == config.size;
        }
        const std::string expected =
            "{\"MsgId\":\"" + std::to_string(request.id) + "\",\"Result\":true,";
        return length >= expected.size() &&
               std::memcmp(data, expected.data(), expected.size()) == 0;
    }

    void onMessage(std::size_t i, const char* data, std::size_t length) {
        Connection& c = conns[i];
        if (c.state == ConnState::kLoading) {
            if (std::string_view(data, length).find("\"Result\":true") == std::string_view::npos) {
                kill(i, "load refused: " + std::string(data, std::min<std::size_t>(length, 200)));
                return;
            }
            becomeReady(i);
            return;
        }
        if (c.pending.empty()) {
            kill(i, "reply without a request");
            return;
        }
        const Pending request = c.pending.front();
        c.pending.pop_front();
        const std::uint64_t now = nowNs();
        ++result.replies;
        if (!replyMatches(request, data, length)) {
            fail("unexpected reply: " + std::string(data, std::min<std::size_t>(length, 120)));
        }
        if (now >= measureStartNs && now <= endNs) {
            ++result.measuredReplies;
            lastReplyNs = now;
        }
        if (request.dueNs >= measureStartNs) {
            result.latencyNs.record(now - request.dueNs);
        }
        if (config.rate <= 0 && !sendingOver(now)) {
            sendRequest(i, now);
        }
    }

    std::uint64_t inFlight() const {
        std::uint64_t n = 0;
        for (const Connection& c : conns) {
            n += c.pending.size();
        }
        return n;
    }

    void loop() {
        std::vector<epoll_event> events(256);
        bool draining = false;
        for (;;) {
            const std::uint64_t now = nowNs();
            if (deadCount == conns.size()) {
                break;
            }
            if (started && sendingOver(now)) {
                if (!draining) {
                    draining = true;
                    drainDeadlineNs = now + secondsToNs(config.drainSeconds);
                    armTimer();
                }
                if (inFlight() == 0) {
                    break;
                }
                if (now >= drainDeadlineNs) {
                    fail("replies still missing when the drain time ran out");
                    result.errors += inFlight();
                    break;
                }
            }
            const int n = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()),
                                     started ? -1 : 30000);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(std::string("epoll_wait: ") + std::strerror(errno));
                break;
            }
            if (n == 0 && !started) {
                fail("connections not ready after 30 s");
                break;
            }
            for (int k = 0; k < n; ++k) {
                const std::uint64_t tag = events[k].data.u64;
                if (tag == kTimerTag) {
                    std::uint64_t expirations;
                    while (::read(timerFd, &expirations, sizeof expirations) > 0) {
                    }
                    if (config.rate > 0 && started) {
                        sendDue(nowNs());
                    }
                    armTimer();
                    continue;
                }
                const std::size_t i = static_cast<std::size_t>(tag);
                if (conns[i].state == ConnState::kDead) {
                    continue;
                }
                if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    onReadable(i);
                }
                if (conns[i].state != ConnState::kDead && (events[k].events & EPOLLOUT)) {
                    flush(i);
                }
            }
        }
        const std::uint64_t measuredEnd =
            config.requests > 0 ? lastReplyNs : std::min(endNs, nowNs());
        result.measuredSeconds = measuredEnd > measureStartNs
                                     ? static_cast<double>(measuredEnd - measureStartNs) / 1e9
                                     : 0.0;
    }

    const Config& config;
    Result result;
    std::vector<Connection> conns;
    std::string echoPayload;
    std::string scratch;
    int epollFd = -1;
    int timerFd = -1;
    std::size_t readyCount = 0;
    std::size_t deadCount = 0;
    bool started = false;
    std::uint64_t startNs = 0, measureStartNs = 0, endNs = 0, drainDeadlineNs = 0, lastReplyNs = 0;
    double intervalNs = 0;
    std::uint64_t scheduled = 0;
    std::uint32_t maskSeed = 0x9E3779B9u;
};

}  // namespace

std::string requestPayload(const Config& config, std::uint64_t id) {
    if (config.payload == Payload::kEcho) {
        return std::string(config.size, 'x');
    }
    std::string head = "{\"MsgId\":\"" + std::to_string(id) + "\",\"Method\":\"" + config.method +
                       "\",\"Param\":\"";
    const std::string tail = "\"}";
    if (!config.param.empty()) {
        return head + config.param + tail;
    }
    const std::size_t fixed = head.size() + tail.size();
    const std::size_t padding = config.size > fixed ? config.size - fixed : 1;
    head.reserve(fixed + padding);
    head.append(padding, 'x');
    head += tail;
    return head;
}

Result run(const Config& config, const std::function<void(const Result&)>& onHold) {
    Engine engine(config);
    return engine.run(onHold);
}

}  // namespace loadgen
