// The broker channel on Linux: a SOCK_SEQPACKET Unix socket at BrokerChannel::kLinuxPath. Each
// message is one packet, delivered whole and in order; a page's socket travels with it as
// SCM_RIGHTS, and each end learns the other's account from the kernel (SO_PEERCRED), never from
// what the other end says. Readiness comes from the event loop (asio's descriptor waits); the
// reads and writes themselves are the plain non-blocking calls, since asio has no call that
// carries descriptors.

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/BrokerChannel.h"

namespace platform {

namespace {

// How long accepting pauses when the process is out of descriptors or memory.
constexpr std::chrono::milliseconds kAcceptRetry(100);
// Descriptors a received message has room for: one is allowed, the room for more lets the
// extra ones be seen and closed.
constexpr std::size_t kDescriptorRoom = 4;

std::error_code lastError() {
    return std::error_code(errno, std::system_category());
}

std::string uidText(uid_t uid) {
    return "uid " + std::to_string(static_cast<unsigned long>(uid));
}

BrokerChannel::Peer peerOf(int socket) {
    BrokerChannel::Peer peer;
    peer.ownUser = uidText(::geteuid());
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        peer.failure = std::string("SO_PEERCRED failed: ") + std::strerror(errno);
        return peer;
    }
    peer.known = true;
    peer.user = uidText(credentials.uid);
    peer.processId = credentials.pid;
    return peer;
}

bool socketAddress(sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(BrokerChannel::kLinuxPath);
    if (length >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, BrokerChannel::kLinuxPath, length);
    return true;
}

// One end of a connected channel. `life` tells handlers waiting on the loop whether the object
// still exists: destroying it cancels its waits, whose handlers then find it gone.
class PosixChannel final : public BrokerChannel {
  public:
    PosixChannel(asio::io_context& loop, int socket)
        : loop(loop), descriptor(loop, socket), who(peerOf(socket)) {}

    const Peer& peer() const override { return who; }

    void send(const std::string& text, SocketHandle socket, SendHandler sent) override {
        queue.push_back(Outgoing{text, socket, std::move(sent)});
        if (!writing) {
            writeNext();
        }
    }

    void receive(ReceiveHandler received) override {
        pending = std::move(received);
        if (!reading) {
            readNext();
        }
    }

  private:
    struct Outgoing {
        std::string text;
        SocketHandle socket;
        SendHandler sent;
    };

    // Calls `handler` from the loop, unless the channel is gone by then.
    void later(SendHandler handler, const std::error_code& error) {
        if (!handler) {
            return;
        }
        std::weak_ptr<char> alive = life;
        asio::post(loop, [alive, handler = std::move(handler), error] {
            if (!alive.expired()) {
                handler(error);
            }
        });
    }

    // Ends the channel: the other end sees it closed, and every later call reports `error`.
    void end(const std::error_code& error) {
        if (!ended) {
            ended = error;
        }
        std::error_code ignored;
        descriptor.close(ignored);
        while (!queue.empty()) {
            later(std::move(queue.front().sent), ended);
            queue.pop_front();
        }
    }

    void writeNext() {
        while (!queue.empty()) {
            if (ended) {
                end(ended);
                return;
            }
            Outgoing& out = queue.front();
            std::error_code result;
            if (out.text.empty() || out.text.size() > kMaxMessage ||
                out.text.find('\0') != std::string::npos) {
                result = std::make_error_code(std::errc::invalid_argument);
            } else {
                iovec part{const_cast<char*>(out.text.data()), out.text.size()};
                msghdr message{};
                message.msg_iov = &part;
                message.msg_iovlen = 1;
                alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
                if (out.socket != kNoSocket) {
                    std::memset(control, 0, sizeof control);
                    message.msg_control = control;
                    message.msg_controllen = sizeof control;
                    cmsghdr* header = CMSG_FIRSTHDR(&message);
                    header->cmsg_level = SOL_SOCKET;
                    header->cmsg_type = SCM_RIGHTS;
                    header->cmsg_len = CMSG_LEN(sizeof(int));
                    const int fd = static_cast<int>(out.socket);
                    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
                }
                if (::sendmsg(descriptor.native_handle(), &message, MSG_NOSIGNAL | MSG_DONTWAIT) <
                    0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        writing = true;
                        std::weak_ptr<char> alive = life;
                        descriptor.async_wait(asio::posix::stream_descriptor::wait_write,
                                              [this, alive](const std::error_code& error) {
                                                  if (alive.expired()) {
                                                      return;
                                                  }
                                                  writing = false;
                                                  if (error && !ended) {
                                                      end(error);
                                                  }
                                                  writeNext();
                                              });
                        return;
                    }
                    result = lastError();
                }
            }
            later(std::move(out.sent), result);
            queue.pop_front();
            if (result) {
                end(result);
                return;
            }
        }
    }

    void deliver(const std::error_code& error, const std::string& text, SocketHandle socket) {
        ReceiveHandler handler = std::move(pending);
        pending = nullptr;
        if (handler) {
            handler(error, text, socket);  // may destroy this object
        } else if (socket != kNoSocket) {
            closeSocket(socket);
        }
    }

    void fail(const std::error_code& error) {
        end(error);
        deliver(error, std::string(), kNoSocket);
    }

    void readNext() {
        if (ended) {
            std::weak_ptr<char> alive = life;
            asio::post(loop, [this, alive] {
                if (!alive.expired() && pending) {
                    deliver(ended, std::string(), kNoSocket);
                }
            });
            return;
        }
        char buffer[kMaxMessage + 1];
        alignas(cmsghdr) char control[CMSG_SPACE(kDescriptorRoom * sizeof(int))];
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t length;
        do {
            length =
                ::recvmsg(descriptor.native_handle(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        } while (length < 0 && errno == EINTR);
        if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            reading = true;
            std::weak_ptr<char> alive = life;
            descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                  [this, alive](const std::error_code& error) {
                                      if (alive.expired()) {
                                          return;
                                      }
                                      reading = false;
                                      if (error) {
                                          fail(ended ? ended : error);
                                      } else if (pending) {
                                          readNext();
                                      }
                                  });
            return;
        }
        if (length < 0) {
            fail(lastError());
            return;
        }
        std::vector<int> received;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
                const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t index = 0; index < count; ++index) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(header) + index * sizeof(int), sizeof fd);
                    received.push_back(fd);
                }
            }
        }
        if (length == 0) {
            // The other end closed (a packet socket reports that as an empty read).
            for (const int fd : received) {
                ::close(fd);
            }
            fail(asio::error::make_error_code(asio::error::eof));
            return;
        }
        const std::string text(buffer, static_cast<std::size_t>(length));
        std::error_code error;
        if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || text.size() > kMaxMessage) {
            error = std::make_error_code(std::errc::message_size);
        } else if (received.size() > 1 || text.find('\0') != std::string::npos) {
            error = std::make_error_code(std::errc::bad_message);
        }
        if (error) {
            for (const int fd : received) {
                ::close(fd);
            }
            fail(error);
            return;
        }
        deliver(error, text, received.empty() ? kNoSocket : static_cast<SocketHandle>(received[0]));
    }

    asio::io_context& loop;
    asio::posix::stream_descriptor descriptor;  // owns the socket
    const Peer who;
    std::deque<Outgoing> queue;  // the front is the one being sent
    bool writing = false;        // a wait for room is outstanding
    bool reading = false;        // a wait for a message is outstanding
    ReceiveHandler pending;
    std::error_code ended;
    std::shared_ptr<char> life = std::make_shared<char>();
};

class PosixListener final : public BrokerChannel::Listener {
  public:
    PosixListener(asio::io_context& loop, int socket)
        : loop(loop), descriptor(loop, socket), retry(loop) {}

    void accept(AcceptHandler accepted) override {
        handler = std::move(accepted);
        next();
    }

  private:
    void next() {
        std::weak_ptr<char> alive = life;
        for (;;) {
            const int fd = ::accept4(descriptor.native_handle(), nullptr, nullptr,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                handler(std::error_code(), std::make_unique<PosixChannel>(loop, fd));
                if (alive.expired()) {
                    return;
                }
                continue;
            }
            switch (errno) {
                case EINTR:
                case ECONNABORTED:
                    continue;
                case EAGAIN:
#if EWOULDBLOCK != EAGAIN
                case EWOULDBLOCK:
#endif
                    descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                          [this, alive](const std::error_code& error) {
                                              if (alive.expired()) {
                                                  return;
                                              }
                                              if (error) {
                                                  handler(error, nullptr);
                                              } else {
                                                  next();
                                              }
                                          });
                    return;
                case EMFILE:
                case ENFILE:
                case ENOBUFS:
                case ENOMEM:
                    // Copies that connect meanwhile wait in the backlog.
                    retry.expires_after(kAcceptRetry);
                    retry.async_wait([this, alive](const std::error_code& error) {
                        if (!alive.expired() && !error) {
                            next();
                        }
                    });
                    return;
                default:
                    handler(lastError(), nullptr);
                    return;
            }
        }
    }

    asio::io_context& loop;
    asio::posix::stream_descriptor descriptor;  // owns the listening socket
    asio::steady_timer retry;
    AcceptHandler handler;
    std::shared_ptr<char> life = std::make_shared<char>();
};

// The folder the socket lives in: made by this process (as root), or accepted only if nobody but
// root could have put anything there.
bool checkFolder(std::error_code& error, std::string& detail) {
    const char* folder = BrokerChannel::kLinuxFolder;
    const bool made = ::mkdir(folder, 0755) == 0;
    if (!made && errno != EEXIST) {
        error = lastError();
        detail = std::string("cannot make the folder ") + folder + " (" + error.message() +
                 "): start ravelink-broker as root";
        return false;
    }
    struct stat info;
    if (::lstat(folder, &info) != 0) {
        error = lastError();
        detail = std::string("cannot look at ") + folder + " (" + error.message() + ")";
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = std::make_error_code(std::errc::not_a_directory);
        detail = std::string(folder) +
                 " is not a folder (a symbolic link or a file): remove it, then start the broker "
                 "again";
        return false;
    }
    if (info.st_uid != 0) {
        error = std::make_error_code(std::errc::permission_denied);
        detail = std::string(folder) + " belongs to uid " + std::to_string(info.st_uid) +
                 ", not root: whoever owns it could pose as the broker; start ravelink-broker as "
                 "root (remove the folder first if root does not own it)";
        return false;
    }
    if (made) {
        // The umask may have taken the copies' way in.
        if (::chmod(folder, 0755) != 0) {
            error = lastError();
            detail = std::string("cannot set the permissions of ") + folder + " (" +
                     error.message() + ")";
            return false;
        }
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        error = std::make_error_code(std::errc::permission_denied);
        detail = std::string(folder) + " can be written by others than root (mode " + mode +
                 "): anyone who can could pose as the broker; remove it, then start the broker "
                 "again";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<BrokerChannel::Listener> BrokerChannel::Listener::open(asio::io_context& loop,
                                                                       std::error_code& error,
                                                                       std::string& detail) {
    error.clear();
    detail.clear();
    sockaddr_un address;
    if (!socketAddress(address) || !checkFolder(error, detail)) {
        if (!error) {
            error = std::make_error_code(std::errc::filename_too_long);
            detail = "the broker's socket path is too long";
        }
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = lastError();
        detail = "cannot make a Unix socket (" + error.message() + ")";
        return nullptr;
    }
    struct stat info;
    if (::lstat(kLinuxPath, &info) == 0) {
        // A broker that still listens keeps its socket; one left by a broker that died goes.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address),
                                                  sizeof address) == 0;
        if (probe >= 0) {
            ::close(probe);
        }
        if (live) {
            ::close(fd);
            error = std::make_error_code(std::errc::address_in_use);
            detail = std::string("another ravelink-broker already listens at ") + kLinuxPath +
                     ": stop it first (systemctl stop ravelink-broker)";
            return nullptr;
        }
        ::unlink(kLinuxPath);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(kLinuxPath, 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = lastError();
        detail = std::string("cannot listen at ") + kLinuxPath + " (" + error.message() + ")";
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixListener>(loop, fd);
}

std::unique_ptr<BrokerChannel> BrokerChannel::connect(asio::io_context& loop,
                                                      std::error_code& error) {
    error.clear();
    sockaddr_un address;
    if (!socketAddress(address)) {
        error = std::make_error_code(std::errc::filename_too_long);
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = lastError();
        return nullptr;
    }
    // A Unix socket connects at once, or fails (EAGAIN: the broker's backlog is full).
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = lastError();
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixChannel>(loop, fd);
}

const char* BrokerChannel::systemUser() {
    return "uid 0";
}

bool BrokerChannel::holdsSocketsInFlight() {
    return true;  // a descriptor sent with SCM_RIGHTS is the kernel's until the peer receives it
}

void BrokerChannel::closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        ::close(static_cast<int>(socket));
    }
}

}  // namespace platform
