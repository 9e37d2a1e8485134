#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace platform {

// One end of the private channel between the machine's broker (ravelink-broker) and a copy of
// ravelink that runs for one account: the copy registers over it, and the broker hands it the
// pages' connections over it.
//
// Linux: a SOCK_SEQPACKET Unix socket at kLinuxPath, in a folder only root can create; a socket
// travels with SCM_RIGHTS, and each end learns the other's account with SO_PEERCRED.
// Windows: a message-mode named pipe, kWindowsPipe; a socket travels as the WSAPROTOCOL_INFOW of
// WSADuplicateSocketW for the copy's process (from GetNamedPipeClientProcessId), made into a socket
// again with WSASocketW(FROM_PROTOCOL_INFO); each end learns the other's process, user and logon
// session from the process's token.
//
// Messages are short texts (at most kMaxMessage bytes, no NUL), each delivered whole and in order,
// optionally carrying one socket. What the texts say is the caller's business (see
// transport::BrokerProtocol); this class only moves them, and tells who is at the other end as the
// system reports it, never as the other end says.
//
// Single-threaded, on the thread that runs `loop`; a handler is never called after the object is
// gone. Destroying it closes the channel.
class BrokerChannel {
  public:
    static constexpr std::size_t kMaxMessage = 1024;
    static constexpr const char* kLinuxFolder = "/run/ravelink";
    static constexpr const char* kLinuxPath = "/run/ravelink/broker.sock";
    static constexpr const char* kWindowsPipe = "\\\\.\\pipe\\ravelink-broker";

    // The system's own account, by number as Peer::user names accounts: "uid 0"; Windows: the
    // local system's SID, "S-1-5-18". A copy trusts a broker that runs as it (see BrokerTrust).
    static const char* systemUser();

    // The platform's socket handle: a file descriptor, or a Windows SOCKET.
    using SocketHandle = std::uintptr_t;
    static constexpr SocketHandle kNoSocket = ~SocketHandle(0);

    // Who the system says is at the other end. `user` is the account by its number, in the form
    // LoopbackPeerOwner::Finding::user uses ("uid 1000"; Windows: the textual SID), so the two can
    // be compared; `session` is the Windows logon session (0 on Linux).
    struct Peer {
        bool known = false;  // else `failure` says why the system could not tell
        std::string failure;
        std::string user;
        unsigned long session = 0;
        long long processId = -1;
        // This process's own account, for the comparisons the caller makes.
        std::string ownUser;
        unsigned long ownSession = 0;
    };

    // A received message; `socket` is kNoSocket or a socket now owned by the receiver (who closes
    // it, or hands it on).
    using ReceiveHandler =
        std::function<void(const std::error_code&, const std::string& text, SocketHandle socket)>;
    using SendHandler = std::function<void(const std::error_code&)>;

    // The broker's end: listens for copies at the platform's address. Linux: makes kLinuxFolder
    // (root, 0755) unless it exists already owned by root and writable by no one else (else fails:
    // anyone who could write there could pose as the broker), replaces a stale socket file, and
    // lets every account connect (0666). Windows: the pipe admits interactive users and the
    // local system, and the first instance is this process's (FILE_FLAG_FIRST_PIPE_INSTANCE).
    class Listener {
      public:
        using AcceptHandler =
            std::function<void(const std::error_code&, std::unique_ptr<BrokerChannel>)>;
        static std::unique_ptr<Listener> open(asio::io_context& loop, std::error_code& error,
                                              std::string& detail);
        virtual ~Listener() = default;
        // Calls `accepted` once per copy that connects, until the listener is destroyed; an
        // error that ends accepting is reported once.
        virtual void accept(AcceptHandler accepted) = 0;
    };

    // The copy's end: connects to the broker, if one listens. Fails with an error when none does
    // (no such file or pipe, refused): the caller listens itself then.
    static std::unique_ptr<BrokerChannel> connect(asio::io_context& loop, std::error_code& error);

    virtual ~BrokerChannel() = default;

    // The other end as the system reports it, gathered once when the channel was made.
    virtual const Peer& peer() const = 0;

    // Accepts the next connection on `acceptor` (the broker's listening socket) as a plain socket
    // of the platform that no event loop has seen, ready to send(), with its two addresses (what
    // the owner lookup needs, read without touching the socket's data). Windows ties a socket to
    // the first I/O completion port it is used with for as long as it lives (every asio socket is
    // tied to its loop's, an accepted one too), and a socket tied to the broker's port can never
    // be served by the copy: so the broker accepts with this (Windows: AcceptEx into a socket of
    // its own; Linux: accept4 once the acceptor is readable), and assigns to a socket of its loop
    // only what it keeps, to answer it itself. `accepted` runs once, on the acceptor's loop: with
    // kNoSocket and the error when accepting failed (operation_aborted: the acceptor was closed).
    // The socket is then the handler's, to send or close.
    using UnboundHandler = std::function<void(const std::error_code&, SocketHandle socket,
                                              const asio::ip::tcp::endpoint& local,
                                              const asio::ip::tcp::endpoint& remote)>;
    static void acceptUnbound(asio::ip::tcp::acceptor& acceptor, UnboundHandler accepted);

    // Sends `text`, with `socket` unless it is kNoSocket. The socket stays the caller's: it may
    // close it once the handler has run (on Linux the system holds it in flight; on Windows its
    // duplicate belongs to the peer's process), though a caller that wants to be sure the peer has
    // made its own waits for the peer to say so. On Windows the socket must be one no I/O
    // completion port has seen (see acceptUnbound). Sends are queued and go out in order.
    virtual void send(const std::string& text, SocketHandle socket, SendHandler sent) = 0;

    // Receives the next message. One receive at a time. The other end's close is reported as an
    // error (asio::error::eof); a message too long, or a socket that cannot be made, also ends
    // the channel with an error.
    virtual void receive(ReceiveHandler received) = 0;

    // Whether the system holds a socket in flight once send() has sent it (Linux: SCM_RIGHTS), so
    // that the sender may close its handle as soon as the send's handler runs and the receiver
    // need not say it took it. Where it does not (Windows: the description is only usable while
    // the sender's handle lives until the peer has made its own), the receiver says "took".
    static bool holdsSocketsInFlight();

    // Closes a socket this end received and will not use.
    static void closeSocket(SocketHandle socket);
};

}  // namespace platform
