// The owner of a loopback peer on Linux: one exact NETLINK_SOCK_DIAG (inet_diag) lookup of the peer
// socket by the connection's four addresses, a few microseconds. The kernel answers with the
// socket's state, uid (its creator's) and inode; LoopbackPeerOwner::decide judges them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/LoopbackPeerOwner.h"

namespace platform {

static_assert(LoopbackPeerOwner::kTcpTimeWait == TCP_TIME_WAIT &&
                  LoopbackPeerOwner::kTcpListen == TCP_LISTEN,
              "the kernel's numbering of TCP states");

// The netlink socket, opened once; -1 when it could not be opened (every lookup then fails). This
// process's effective uid, read once: the program never changes it, and the broker looks up
// every page's connection.
struct LoopbackPeerOwner::State {
    int socket = -1;
    int openError = 0;
    std::uint32_t sequence = 0;
    uid_t ownUid = ::geteuid();
};

LoopbackPeerOwner::LoopbackPeerOwner() : state(new State) {
    state->socket = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (state->socket < 0) {
        state->openError = errno;
        return;
    }
    // The kernel answers before sendto() returns; the limit only keeps a lookup that went wrong
    // from stalling every connection.
    timeval limit{1, 0};
    ::setsockopt(state->socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

LoopbackPeerOwner::~LoopbackPeerOwner() {
    if (state->socket >= 0) {
        ::close(state->socket);
    }
}

LoopbackPeerOwner::Finding LoopbackPeerOwner::find(const Connection& connection) {
    LinuxFacts facts;
    facts.ownUid = state->ownUid;
    lookUp(connection, facts);
    return decide(facts);
}

std::string LoopbackPeerOwner::accountName(const std::string& user) {
    unsigned long uid = 0;
    char rest = 0;
    if (std::sscanf(user.c_str(), "uid %lu%c", &uid, &rest) != 1) {
        return std::string();
    }
    std::vector<char> buffer(4096);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::string();
    }
    return found->pw_name;
}

void LoopbackPeerOwner::lookUp(const Connection& connection, LinuxFacts& facts) {
    if (state->socket < 0) {
        facts.failure =
            std::string("no NETLINK_SOCK_DIAG socket: ") + std::strerror(state->openError);
        return;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message;
    std::memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    // No NLM_F_DUMP: the kernel looks up exactly the one socket named by the four addresses.
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = ++state->sequence;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    // The peer's socket: its source is our remote end, its destination our local end.
    message.request.id.idiag_sport = htons(connection.remotePort);
    message.request.id.idiag_dport = htons(connection.localPort);
    message.request.id.idiag_src[0] = htonl(connection.remoteAddress);
    message.request.id.idiag_dst[0] = htonl(connection.localAddress);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (::sendto(state->socket, &message, sizeof message, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
        facts.failure = std::string("the socket lookup could not be sent: ") + std::strerror(errno);
        return;
    }
    // The answer is one message: the socket, or an error. Answers to earlier requests cannot be
    // waiting, since each request's answer is read before the next is sent; the sequence number
    // is checked all the same.
    alignas(nlmsghdr) char buffer[1024];
    for (;;) {
        const ssize_t length = ::recv(state->socket, buffer, sizeof buffer, 0);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            facts.failure = std::string("no answer to the socket lookup: ") + std::strerror(errno);
            return;
        }
        const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(buffer);
        int remaining = static_cast<int>(length);
        if (!NLMSG_OK(header, remaining) || header->nlmsg_seq != state->sequence) {
            continue;
        }
        if (header->nlmsg_type == NLMSG_ERROR) {
            const nlmsgerr* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
            facts.failure = error->error == -ENOENT ? "the system knows no socket at the other end"
                                                    : std::string("the socket lookup failed: ") +
                                                          std::strerror(-error->error);
            return;
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            facts.failure = "the socket lookup gave an answer of an unknown kind";
            return;
        }
        const inet_diag_msg* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        facts.answered = true;
        facts.state = socket->idiag_state;
        facts.inode = socket->idiag_inode;
        facts.uid = socket->idiag_uid;
        return;
    }
}

}  // namespace platform
