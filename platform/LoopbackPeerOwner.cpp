// The owner decisions, kept apart from the calls that gather their facts (see
// platform/posix/PosixPeerOwner.cpp and platform/win32/Win32PeerOwner.cpp) and built on every
// target, so their tables of cases run everywhere.

#include "platform/LoopbackPeerOwner.h"

namespace platform {

const LoopbackPeerOwner::TcpRow* LoopbackPeerOwner::peerRow(const std::vector<TcpRow>& rows,
                                                            const Connection& connection) {
    for (const TcpRow& row : rows) {
        if (row.localAddress == connection.remoteAddress &&
            row.localPort == connection.remotePort &&
            row.remoteAddress == connection.localAddress &&
            row.remotePort == connection.localPort) {
            return &row;
        }
    }
    return nullptr;
}

LoopbackPeerOwner::Finding LoopbackPeerOwner::decide(const Connection& connection,
                                                     const WindowsFacts& facts) {
    Finding finding;
    if (!facts.tableRead) {
        finding.detail =
            "the TCP table could not be read (error " + std::to_string(facts.tableError) + ")";
        return finding;
    }
    const TcpRow* row = peerRow(facts.rows, connection);
    if (row == nullptr) {
        finding.detail = "the TCP table has no row for the peer's socket";
        return finding;
    }
    if (!row->established) {
        // Its process has closed it, or is closing it: nothing it owns is left to compare.
        finding.detail = "the peer's socket is no longer connected";
        return finding;
    }
    if (row->ownerProcessId == 0) {
        finding.verdict = kNotRecorded;
        return finding;
    }
    finding.processId = static_cast<long long>(row->ownerProcessId);
    if (!facts.processOpened) {
        finding.detail =
            "its process could not be opened (error " + std::to_string(facts.processError) + ")";
        return finding;
    }
    if (!facts.tokenRead) {
        finding.detail = "its process's user could not be read (error " +
                         std::to_string(facts.processError) + ")";
        return finding;
    }
    finding.user = facts.processUser;
    finding.session = facts.processSession;
    if (facts.processUser != facts.ownUser) {
        finding.verdict = kOtherUser;
    } else if (facts.processSession != facts.ownSession) {
        finding.verdict = kOtherSession;
        finding.detail = "logon session " + std::to_string(facts.processSession) +
                         ", this copy serves session " + std::to_string(facts.ownSession);
    } else {
        finding.verdict = kSameUser;
    }
    return finding;
}

LoopbackPeerOwner::Finding LoopbackPeerOwner::decide(const LinuxFacts& facts) {
    Finding finding;
    if (!facts.answered) {
        finding.detail = facts.failure;
        return finding;
    }
    if (facts.state == kTcpListen) {
        // Not the peer's connection: a listener that happens to hold the peer's address.
        finding.detail = "the system names a listening socket, not a connection, at the other end";
        return finding;
    }
    if (facts.state == kTcpTimeWait || facts.inode == 0) {
        finding.detail = "the socket at the other end is no longer held by any process";
        return finding;
    }
    finding.user = "uid " + std::to_string(facts.uid);
    finding.verdict = facts.uid == facts.ownUid ? kSameUser : kOtherUser;
    return finding;
}

}  // namespace platform
