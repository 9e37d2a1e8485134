#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Who owns the process at the other end of a loopback TCP connection, compared with the account
// (and on Windows the logon session) this program runs in. A browser connects as the user who runs
// it, so a peer of another account is someone else's program.
//
// Linux: one exact NETLINK_SOCK_DIAG (inet_diag) lookup of the peer socket by the connection's
// four addresses; the socket's uid is compared with this process's effective uid. Linux does not
// say which process holds a socket, so the process id is not known there.
// Windows: the peer's row in GetExtendedTcpTable gives its owner process id; that process's token
// gives its user SID and session id, compared with this process's. On both, what the system
// reports is gathered first and then decided by decide(), so the decisions can be tested on every
// target. Only a connected socket of the very same account is served: a socket in LISTEN or
// TIME_WAIT state, or one no process holds, has no owner to compare, and neither has a peer the
// system could not look up.
//
// find() never blocks on a user database: Finding::user names the account by its number (uid, SID);
// accountName() turns that into a name and may block (NSS, a domain controller), so call it off
// the event loop.
//
// One object per program; it keeps what it needs open (the netlink socket, this process's own
// identity) for its whole life. Not thread-safe: used from the endpoint's one thread.
class LoopbackPeerOwner {
  public:
    // One IPv4 TCP connection as this program's socket sees it, in host byte order.
    struct Connection {
        std::uint32_t localAddress = 0;
        std::uint16_t localPort = 0;
        std::uint32_t remoteAddress = 0;
        std::uint16_t remotePort = 0;
    };

    enum Verdict {
        kSameUser,      // the same account (Windows: also the same logon session): serve
        kOtherUser,     // another account: refuse
        kOtherSession,  // the same account in another logon session, whose own copy serves it
        kUnknown,       // the owner could not be found: refuse
        kNotRecorded,   // the system keeps no owners for sockets (Wine): the check cannot be made
    };

    struct Finding {
        Verdict verdict = kUnknown;
        // The owner's account by its number ("uid 65534", "S-1-5-21-..."), empty when not known.
        // Also the key by which refusals are counted.
        // Filled whenever the owner is known, whatever the verdict (the broker routes by it).
        std::string user;
        unsigned long session = 0;  // Windows: the owner's logon session; 0 on Linux
        long long processId = -1;  // -1 when not known
        std::string detail;        // what failed, for kUnknown; the sessions, for kOtherSession
    };

    // What Windows reports about a connection, as decide() reads it.
    struct TcpRow {  // one row of GetExtendedTcpTable(TCP_TABLE_OWNER_PID_ALL), host byte order
        std::uint32_t localAddress = 0;
        std::uint16_t localPort = 0;
        std::uint32_t remoteAddress = 0;
        std::uint16_t remotePort = 0;
        bool established = false;
        unsigned long ownerProcessId = 0;
    };
    struct WindowsFacts {
        bool tableRead = false;
        unsigned long tableError = 0;
        std::vector<TcpRow> rows;
        // About the process the peer's row names; gathered only for a nonzero owner.
        bool processOpened = false;
        unsigned long processError = 0;  // why it could not be opened or its token not read
        bool tokenRead = false;
        std::string processUser;  // textual SID
        unsigned long processSession = 0;
        // This process's own.
        std::string ownUser;
        unsigned long ownSession = 0;
    };

    // What Linux reports about the peer's socket, as decide() reads it.
    struct LinuxFacts {
        bool answered = false;  // the kernel named the socket; else `failure` says why not
        std::string failure;
        unsigned state = 0;       // TCP state, in the kernel's numbering (kTcp... below)
        unsigned long inode = 0;  // 0: no process holds the socket any more
        unsigned long uid = 0;
        unsigned long ownUid = 0;  // this process's effective uid
    };
    // The kernel's numbers for the states that have no owner to compare (include/net/tcp_states.h).
    static constexpr unsigned kTcpTimeWait = 6;
    static constexpr unsigned kTcpListen = 10;

    LoopbackPeerOwner();
    ~LoopbackPeerOwner();
    LoopbackPeerOwner(const LoopbackPeerOwner&) = delete;
    LoopbackPeerOwner& operator=(const LoopbackPeerOwner&) = delete;

    Finding find(const Connection& connection);

    // The peer's own row: the one whose local end is the connection's remote end and whose remote
    // end is the connection's local end (the table also holds this program's side). Null if none.
    static const TcpRow* peerRow(const std::vector<TcpRow>& rows, const Connection& connection);

    // The Windows decision from what the system reported about `connection`.
    static Finding decide(const Connection& connection, const WindowsFacts& facts);
    // The Linux decision from what the kernel reported about the peer's socket.
    static Finding decide(const LinuxFacts& facts);

    // The account's name ("nobody", "HOST\\name") for Finding::user, empty when it has none. May
    // block on the system's user database: never call it on the event loop.
    static std::string accountName(const std::string& user);

  private:
    void lookUp(const Connection& connection, LinuxFacts& facts);  // Linux: asks the kernel

    struct State;  // the platform's handles
    std::unique_ptr<State> state;
};

}  // namespace platform
